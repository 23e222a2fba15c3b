#ifndef TESTS_IPM_IPM_TESTSUPPORT_H
#define TESTS_IPM_IPM_TESTSUPPORT_H

#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TransmissionMechanism.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#endif

namespace ipm_test {

#if defined(_WIN32)
// The C runtime's counterparts of the POSIX calls below; an empty value removes a variable.
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
inline char* mkdtemp(char* pattern) {
    return _mktemp(pattern) != nullptr && _mkdir(pattern) == 0 ? pattern : nullptr;
}
#endif

using Clock = std::chrono::steady_clock;

// What a RecordingMechanism saw and how it is to behave. Shared, so that a test
// can read it after the transmitter has destroyed the mechanism.
struct Recording {
    std::mutex mutex;
    std::vector<std::string> transmitted;
    std::vector<Clock::time_point> transmitTimes;
    int initializeCalls = 0;
    int polls = 0;
    int closes = 0;
    bool destroyed = false;
    // Calls that overlapped another call on the same transport.
    int overlaps = 0;

    bool initializeResult = true;
    int initializeFailuresToThrow = 0;
    int failTransmitNumber = 0; // 1-based; 0 never fails
    bool failPoll = false;
    int transmitMilliseconds = 0;

    std::vector<std::string> Transmitted() {
        std::lock_guard<std::mutex> lock(mutex);
        return transmitted;
    }
    int Polls() {
        std::lock_guard<std::mutex> lock(mutex);
        return polls;
    }
};

// A transport that records what it is given, in the direct or the Jabber variant.
class RecordingMechanism : public ipm_TransmissionMechanism {
public:
    explicit RecordingMechanism(std::shared_ptr<Recording> recording,
                                const ipm_PayloadEncoder& variant = ipm_PayloadEncoder::Direct())
        : recording(std::move(recording)), variant(variant) {}

    ~RecordingMechanism() override {
        std::lock_guard<std::mutex> lock(recording->mutex);
        recording->destroyed = true;
    }

    bool Initialize() override {
        InFlight call(*this);
        std::lock_guard<std::mutex> lock(recording->mutex);
        ++recording->initializeCalls;
        if (recording->initializeFailuresToThrow > 0) {
            --recording->initializeFailuresToThrow;
            throw std::runtime_error("listener unreachable");
        }
        return recording->initializeResult;
    }

    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override {
        return EncodePayload(variant, type, format, integers, reals, texts, started);
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(recording->mutex);
        ++recording->closes;
    }

    void Transmit(const cow_String& payload) override {
        InFlight call(*this);
        if (recording->transmitMilliseconds > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(recording->transmitMilliseconds));
        std::lock_guard<std::mutex> lock(recording->mutex);
        const int number = int(recording->transmitted.size()) + 1;
        if (number == recording->failTransmitNumber)
            throw std::runtime_error("connection reset");
        recording->transmitted.emplace_back(payload.c_str(), std::size_t(payload.length()));
        recording->transmitTimes.push_back(Clock::now());
    }

    void Poll() override {
        InFlight call(*this);
        std::lock_guard<std::mutex> lock(recording->mutex);
        ++recording->polls;
        if (recording->failPoll)
            throw 42; // a failure of any kind, not only std::exception
    }

private:
    // Counts calls that find another one still running on this transport.
    class InFlight {
    public:
        explicit InFlight(RecordingMechanism& owner) : owner(owner) {
            if (owner.inFlight.fetch_add(1) != 0) {
                std::lock_guard<std::mutex> lock(owner.recording->mutex);
                ++owner.recording->overlaps;
            }
        }
        ~InFlight() { owner.inFlight.fetch_sub(1); }

    private:
        RecordingMechanism& owner;
    };

    std::shared_ptr<Recording> recording;
    const ipm_PayloadEncoder& variant;
    std::atomic<int> inFlight{0};
};

// A fresh directory for message files, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ipm_test_XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// Text mode, as the message file is written: on Windows its CRLF line ends read as "\n".
inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

// Replaces the job's command line with these options (program name added).
inline void SetCommandLine(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"job_under_test"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(int(argv.size()), argv.data());
}

// Sets an environment variable for one test, restoring the old state afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) {
            hadValue = true;
            oldValue = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadValue)
            setenv(name.c_str(), oldValue.c_str(), 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::string name;
    bool hadValue = false;
    std::string oldValue;
};

// Starts every test without a transmitter and ends it the same way.
inline void DestroyTransmitter() {
    thr_GlobalSingleton<ipm_MessageTransmit>::Destroy();
}

// Sets up the command line for reporting into a temp directory, creates the
// transmitter and installs a recording transport.
class ReportingJob {
public:
    explicit ReportingJob(const ipm_PayloadEncoder& variant = ipm_PayloadEncoder::Direct(),
                          const std::string& job = "beam")
        : recording(std::make_shared<Recording>()), job(job) {
        DestroyTransmitter();
        SetCommandLine({"-job", job, "-message", "on", "-indir", dir.Path()});
        ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording, variant));
    }
    ~ReportingJob() { DestroyTransmitter(); }

    std::string MessageFile() const { return dir.File(job + ".ipm"); }
    std::string MessageFileText() const { return ReadFile(MessageFile()); }
    ipm_MessageTransmit& Transmitter() { return ipm_MessageTransmit::Instance(); }

    std::shared_ptr<Recording> recording;
    TempDir dir;
    std::string job;
};

// The lines of a text, each with its line feed removed.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

} // namespace ipm_test

#endif
