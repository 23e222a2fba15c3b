#ifndef BASE_UTL_COMMANDLINE_H
#define BASE_UTL_COMMANDLINE_H

#include "base/base_Export.h"
#include "base/cow_Map.h"
#include "base/cow_String.h"
#include "base/thr_GlobalSingleton.h"

#include <vector>

// The job's command-line options. By default it reads the process's own command
// line; a host or a test may hand it argc/argv instead. Options are written
// "-name value" or "name=value"; an option given without a value has the empty value.
class QORKEL_API utl_CommandLine {
public:
    utl_CommandLine();
    utl_CommandLine(int argc, const char* const* argv);

    // Replaces the options with those of the given arguments (argv[0] is the program).
    void Set(int argc, const char* const* argv);

    bool IsMember(const cow_String& name) const;
    // The option's value; the empty string when the option is absent.
    cow_String ConstGetValue(const cow_String& name) const;
    // Every option's name, in the order given ("--job" gives "-job").
    const std::vector<cow_String>& GetNames() const { return names; }

private:
    cow_Map<cow_String, cow_String> options;
    std::vector<cow_String> names;

    void readOwnProcess();
};

extern template class QORKEL_API thr_GlobalSingletonBase<utl_CommandLine>;
extern template class QORKEL_API thr_GlobalSingleton<utl_CommandLine>;

#endif
