#ifndef JOB_JOB_OPTIONS_H
#define JOB_JOB_OPTIONS_H

#include <string>

// Checks the demo job's command line before the library reads it: every option known and
// given a value, the numbers numbers.
class job_Options {
public:
    enum Verdict { run, help, refuse };

    // refuse with the reason in `error`.
    static Verdict Check(int argc, const char* const* argv, std::string& error);
    static const char* Usage();
};

#endif
