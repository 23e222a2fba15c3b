#include "ipm/ipm_MessageFile.h"

#include "ipm/ipm_Warning.h"

#include <string>

ipm_MessageFile::ipm_MessageFile()
    : file(platform_file::noHandle), removed(false), openFailureTold(false),
      appendFailureTold(false), removalTold(false), remakingTold(false), failedAppends(0),
      failedBeforeRemoval(0) {}

ipm_MessageFile::~ipm_MessageFile() {
    platform_file::close(file);
}

bool ipm_MessageFile::Open(const cow_String& filePath, const char* consequence) {
    // A removed file is made again by the next report, at the path it had.
    if (IsOpen() || removed)
        return IsOpen();
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

// Written into a file that has no name any more, the reports would be lost without a word.
bool ipm_MessageFile::Append(const cow_String& text) {
    if (IsOpen() && platform_file::isRemoved(file))
        letGoOfRemovedFile();
    if (removed && !makeAgain()) {
        ++failedAppends;
        return false;
    }
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

void ipm_MessageFile::letGoOfRemovedFile() {
    platform_file::close(file);
    file = platform_file::noHandle;
    removed = true;
    failedBeforeRemoval = failedAppends;
    if (removalTold)
        return;
    removalTold = true;
    ipm_warn("the message file " + std::string(path.c_str()) +
             " has been removed (or its directory): reports are not recorded until it can be "
             "made again there");
}

bool ipm_MessageFile::makeAgain() {
    std::string reason;
    file = platform_file::openForAppend(path.c_str(), reason);
    if (!IsOpen())
        return false;
    removed = false;
    if (!remakingTold) {
        remakingTold = true;
        const int missed = failedAppends - failedBeforeRemoval;
        ipm_warn("the message file " + std::string(path.c_str()) + " has been made again; " +
                 std::to_string(missed) + (missed == 1 ? " report" : " reports") +
                 " could not be recorded while it was missing");
    }
    return true;
}
