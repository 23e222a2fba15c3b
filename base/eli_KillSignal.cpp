#include "base/eli_KillSignal.h"

#include <atomic>

static std::atomic<bool> killRequested{false};
static std::atomic<void (*)(void)> killHandler{nullptr};

void eli_setkillsig(void) {
    killRequested.store(true);
    if (void (*handler)(void) = killHandler.load())
        handler();
}

bool eli_getkillsig(void) {
    return killRequested.load();
}

void eli_resetkillsig(void) {
    killRequested.store(false);
}

void eli_setkillhandler(void (*handler)(void)) {
    killHandler.store(handler);
}
