#ifndef TESTS_WINDOWS_UNDERWINE_H
#define TESTS_WINDOWS_UNDERWINE_H

#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>
#endif

// Wine differs from Windows in a few socket corners (a reset read before recv as end of stream,
// options it does not keep); a test that exercises one of them skips that part under Wine.
inline bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#endif
