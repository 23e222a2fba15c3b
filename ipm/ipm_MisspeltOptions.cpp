#include "ipm/ipm_MisspeltOptions.h"

#include "base/utl_OptionSpelling.h"
#include "ipm/ipm_Warning.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

const char* const libraryOptions[] = {
    "job", "message", "indir", "direct_port", "listener_name", "listener_resource", "msgserver"};
const int libraryOptionCount = sizeof libraryOptions / sizeof libraryOptions[0];

// Long names take two edits: "listner_nam" is still meant for "listener_name".
int editsAllowedFor(const char* meant) {
    return std::strlen(meant) >= 9 ? 2 : 1;
}

bool isLibraryOption(const cow_String& name) {
    for (const char* option : libraryOptions)
        if (name == option)
            return true;
    return false;
}

// The option a given name was meant to be; null when it looks like none of them.
const char* meantFor(const cow_String& name, const utl_CommandLine& commandLine) {
    if (isLibraryOption(name))
        return nullptr;
    const char* const meant =
        utl_OptionSpelling::Nearest(name.c_str(), libraryOptions, libraryOptionCount, 2);
    if (meant == nullptr)
        return nullptr;
    const int distance = utl_OptionSpelling::Distance(name.c_str(), meant);
    if (distance == 0)
        return meant;
    return distance <= editsAllowedFor(meant) && !commandLine.IsMember(meant) ? meant : nullptr;
}

// Never destroyed: a transmitter may be made while the process exits.
bool firstTimeFor(const std::string& name, unsigned long generation) {
    static std::mutex* const mutex = new std::mutex;
    static std::set<std::string>* const told = new std::set<std::string>;
    static unsigned long toldFor = 0;
    std::lock_guard<std::mutex> lock(*mutex);
    if (generation != toldFor) {
        told->clear();
        toldFor = generation;
    }
    return told->insert(name).second;
}

} // namespace

void ipm_MisspeltOptions::Tell(const utl_CommandLine& commandLine, unsigned long generation) {
    for (const cow_String& name : commandLine.GetNames()) {
        const char* const meant = meantFor(name, commandLine);
        if (meant == nullptr || !firstTimeFor(name.c_str(), generation))
            continue;
        const std::string shown = ipm_shown(cow_String("-") + name);
        ipm_warn("the library ignores the option " + shown + ": did you mean -" + meant + "?");
    }
}
