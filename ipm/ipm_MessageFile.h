#ifndef IPM_IPM_MESSAGEFILE_H
#define IPM_IPM_MESSAGEFILE_H

#include "base/cow_String.h"

#include <cstdio>

// The job's message file: every buffered report, appended as it is made. Each
// report is flushed at once, so a job that crashes keeps the reports that explain it.
class ipm_MessageFile {
public:
    ipm_MessageFile();
    ipm_MessageFile(const ipm_MessageFile&) = delete;
    ipm_MessageFile& operator=(const ipm_MessageFile&) = delete;
    ~ipm_MessageFile();

    // Opens the file for appending (an existing file is never truncated).
    bool Open(const cow_String& path);
    bool IsOpen() const { return file != nullptr; }
    // Writes the text's bytes unchanged; a payload may hold '%', so never as a format.
    void Append(const cow_String& text);

private:
    std::FILE* file;
};

#endif
