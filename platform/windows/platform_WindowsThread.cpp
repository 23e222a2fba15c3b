#include "platform/platform_Thread.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

namespace platform_thread {

struct Thread {
    HANDLE handle;
    HMODULE library;
    void (*body)(void*);
    void* argument;
};

namespace {

// The module whose code this is: the DLL, or the executable the library is linked into.
HMODULE libraryModule(DWORD flags) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                            reinterpret_cast<LPCWSTR>(&libraryModule), &module))
        return nullptr;
    return module;
}

DWORD WINAPI run(LPVOID parameter) {
    Thread* const thread = static_cast<Thread*>(parameter);
    // Read before the body returns: the joiner may release the record at any time after.
    const HMODULE library = thread->library;
    thread->body(thread->argument);
    // Gives the library's reference back only once no code of the library runs any more.
    FreeLibraryAndExitThread(library, 0);
}

} // namespace

Thread* start(void (*body)(void*), void* argument) {
    Thread* started = new (std::nothrow) Thread;
    if (started == nullptr)
        return nullptr;
    started->body = body;
    started->argument = argument;
    started->library = libraryModule(0);
    if (started->library == nullptr) {
        delete started;
        return nullptr;
    }
    started->handle = CreateThread(nullptr, 0, run, started, 0, nullptr);
    if (started->handle == nullptr) {
        FreeLibrary(started->library);
        delete started;
        return nullptr;
    }
    return started;
}

void join(Thread* thread) {
    if (thread == nullptr)
        return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

// Linked into the executable, the library's handlers run from exit() before the process ends
// its threads, as on POSIX; inside a DLL they run when the DLL is detached.
bool exitHandlersMayWait() {
    return libraryModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == GetModuleHandleW(nullptr);
}

void atFork(void (*)(), void (*)(), void (*)()) {}

} // namespace platform_thread
