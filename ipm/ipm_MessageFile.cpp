#include "ipm/ipm_MessageFile.h"

#include "ipm/ipm_Warning.h"

#include <string>

ipm_MessageFile::ipm_MessageFile()
    : file(platform_file::noHandle), openFailureTold(false), appendFailureTold(false),
      failedAppends(0) {}

ipm_MessageFile::~ipm_MessageFile() {
    platform_file::close(file);
}

bool ipm_MessageFile::Open(const cow_String& filePath, const char* consequence) {
    if (IsOpen())
        return true;
    path = filePath;
    std::string reason;
    file = platform_file::openForAppend(path.c_str(), reason);
    if (IsOpen() || openFailureTold)
        return IsOpen();
    openFailureTold = true;
    ipm_warn("cannot write the message file " + std::string(path.c_str()) + " (" + reason +
             "; check -indir): " + consequence);
    return false;
}

bool ipm_MessageFile::Append(const cow_String& text) {
    if (!IsOpen())
        return false;
    std::string reason;
    if (platform_file::appendWhole(file, text.c_str(), static_cast<std::size_t>(text.length()),
                                   reason))
        return true;
    ++failedAppends;
    if (!appendFailureTold) {
        appendFailureTold = true;
        ipm_warn("the message file " + std::string(path.c_str()) + " cannot take a whole report (" +
                 reason +
                 "): the part written was cut off again; reports that do not fit are "
                 "delivered but not recorded");
    }
    return false;
}
