#include "ipm/ipm_MessageFile.h"

ipm_MessageFile::ipm_MessageFile() : file(nullptr) {}

ipm_MessageFile::~ipm_MessageFile() {
    if (file)
        std::fclose(file);
}

bool ipm_MessageFile::Open(const cow_String& path) {
    if (file)
        return true;
    file = std::fopen(path.c_str(), "a");
    return file != nullptr;
}

void ipm_MessageFile::Append(const cow_String& text) {
    if (!file)
        return;
    std::fwrite(text.c_str(), 1, static_cast<std::size_t>(text.length()), file);
    std::fflush(file);
}
