#include "base/QORBasUtlsleep.h"

#include <chrono>
#include <thread>

void QORBasUtlsleep(int milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
