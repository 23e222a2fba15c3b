#include "base/utl_HostName.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

cow_String utl_getHostName() {
    char name[256] = {0};
#if defined(_WIN32)
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return cow_String("localhost");
#else
    if (gethostname(name, sizeof name - 1) != 0)
        return cow_String("localhost");
#endif
    return cow_String(name);
}
