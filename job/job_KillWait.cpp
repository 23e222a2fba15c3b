#include "job/job_KillWait.h"

#include "QORKelCommunications.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex& wakeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& wake() {
    static std::condition_variable condition;
    return condition;
}

extern "C" void wakeOnKill() {
    // Taking the mutex orders the flag eli_setkillsig set before this call with the
    // waiter's test of it: the wake-up cannot fall between the test and the wait.
    { std::lock_guard<std::mutex> lock(wakeMutex()); }
    wake().notify_all();
}

} // namespace

void job_KillWait::Install() {
    wakeMutex();
    wake();
    eli_setkillhandler(wakeOnKill);
}

bool job_KillWait::WaitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(wakeMutex());
    return wake().wait_for(lock, std::chrono::milliseconds(milliseconds), Killed);
}

bool job_KillWait::Killed() {
    return eli_getkillsig();
}
