#ifndef PLATFORM_PLATFORM_THREAD_H
#define PLATFORM_PLATFORM_THREAD_H

// The one thread the library starts for itself, where POSIX and Windows differ: a Windows
// host may unload the library while that thread runs, and a Windows DLL's exit handlers
// run where no thread can be waited for.

namespace platform_thread {

struct Thread;

// Runs body(argument) on a new thread; null when no thread could be started. On Windows the
// thread holds a reference on the module the library lives in until it has ended, so that a
// host that unloads the library without stopping the thread does not unmap the code it runs.
Thread* start(void (*body)(void*), void* argument);

// Waits until the thread has ended, then releases it.
void join(Thread* thread);

// Whether a handler that the library registers with atexit may wait for the library's
// thread. Not when the library is a Windows DLL: such a handler runs as the DLL is detached,
// under the loader lock, which a thread needs in order to end; and at process exit only after
// the process's other threads have been ended wherever they were.
bool exitHandlersMayWait();

// Registers handlers that the system runs around fork(): prepare in the forking thread before
// the fork, parent and child on each side after it (in the child, the only thread). Handlers
// registered later run their prepare earlier, and their parent and child later. Nothing on
// Windows, which has no fork.
void atFork(void (*prepare)(), void (*parent)(), void (*child)());

} // namespace platform_thread

#endif
