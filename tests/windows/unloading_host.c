/* A Windows host that loads the library at run time, starts reporting and unloads the library
 * without stopping it. The library's delivery thread must keep the DLL loaded rather than run
 * on in code that has been unmapped: the host goes on, and leaves cleanly.
 *   unloading_host -job NAME -message on -indir DIR -direct_port PORT
 * Exits 0 when the DLL stayed loaded for its thread. */
#include <stdio.h>
#include <windows.h>

typedef int (*StartFunction)(int, const char* const*);
typedef int (*ReportFunction)(const char*, const char*, const int*, const double*,
                              const char* const*);

int main(int argc, char** argv) {
    const char* const library = "QORKelCommunications.dll";
    HMODULE module = LoadLibraryA(library);
    if (module == NULL)
        return 3;
    StartFunction start =
        (StartFunction)(void (*)(void))GetProcAddress(module, "ipm_startReporting");
    ReportFunction report =
        (ReportFunction)(void (*)(void))GetProcAddress(module, "ipm_sendMessage");
    if (start == NULL || report == NULL)
        return 3;
    if (start(argc, (const char* const*)argv) != 0)
        return 2;
    for (int step = 1; step <= 10; ++step) {
        const char* texts[] = {"before the host unloads the library"};
        report("Info", "step=%i message=%s", &step, NULL, texts);
    }
    FreeLibrary(module);
    Sleep(1000);
    if (GetModuleHandleA(library) == NULL) {
        printf("unloading_host: the library was unloaded under its delivery thread\n");
        return 4;
    }
    printf("unloading_host: the library stayed loaded for its delivery thread\n");
    return 0;
}
