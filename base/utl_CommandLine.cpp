#include "base/utl_CommandLine.h"

#include "base/thr_GlobalSingletonImpl.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
// shellapi.h relies on the types windows.h declares.
#include <windows.h>

#include <shellapi.h>
#endif

QORKEL_INSTANTIATE_GLOBAL_SINGLETON(utl_CommandLine);

static std::vector<std::string> ownArguments() {
    std::vector<std::string> arguments;
#if defined(_WIN32)
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return arguments;
    for (int i = 0; i < argc; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(size > 0 ? size - 1 : 0, '\0');
        if (size > 1)
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &text[0], size, nullptr, nullptr);
        arguments.push_back(text);
    }
    LocalFree(argv);
#else
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string::size_type start = 0;
    while (start < all.size()) {
        std::string::size_type end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        arguments.push_back(all.substr(start, end - start));
        start = end + 1;
    }
#endif
    return arguments;
}

static bool isOptionName(const char* argument) {
    return argument[0] == '-' && argument[1] != '\0';
}

utl_CommandLine::utl_CommandLine() {
    readOwnProcess();
}

utl_CommandLine::utl_CommandLine(int argc, const char* const* argv) {
    Set(argc, argv);
}

void utl_CommandLine::readOwnProcess() {
    std::vector<std::string> arguments = ownArguments();
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    Set(int(argv.size()), argv.data());
}

// Sorted before they go in, the last of a repeated option after the others: the map keeps
// its entries in one sorted block, and taking a long command line in its own order would
// move them on nearly every insert.
void utl_CommandLine::Set(int argc, const char* const* argv) {
    std::vector<std::pair<cow_String, cow_String>> given;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr)
            continue;
        if (isOptionName(argument)) {
            const char* name = argument + 1;
            bool hasValue = i + 1 < argc && argv[i + 1] != nullptr && !isOptionName(argv[i + 1]);
            given.emplace_back(name, hasValue ? cow_String(argv[++i]) : cow_String());
            continue;
        }
        if (const char* equals = std::strchr(argument, '=')) {
            if (equals != argument)
                given.emplace_back(cow_String(argument, int(equals - argument)),
                                   cow_String(equals + 1));
        }
    }
    names.clear();
    for (const std::pair<cow_String, cow_String>& option : given)
        names.push_back(option.first);
    std::stable_sort(given.begin(), given.end(),
                     [](const std::pair<cow_String, cow_String>& a,
                        const std::pair<cow_String, cow_String>& b) { return a.first < b.first; });
    options.Clear();
    options.Reserve(static_cast<int>(given.size()));
    for (const std::pair<cow_String, cow_String>& option : given)
        options.SetAscending(option.first, option.second);
}

bool utl_CommandLine::IsMember(const cow_String& name) const {
    return options.IsMember(name);
}

cow_String utl_CommandLine::ConstGetValue(const cow_String& name) const {
    return options.ConstGet(name);
}
