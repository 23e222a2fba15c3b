#ifndef TESTS_IPM_IPM_TESTSUPPORT_H
#define TESTS_IPM_IPM_TESTSUPPORT_H

#include "base/aio_ostream.h"
#include "base/eli_KillSignal.h"
#include "base/thr_GlobalSingleton.h"
#include "base/utl_CommandLine.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "ipm/ipm_sendMessage.h"
#include "ipm_DrivenClock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

// The test's time: the active DrivenClock's, otherwise the steady clock's.
struct Clock {
    typedef std::chrono::steady_clock::duration duration;
    typedef std::chrono::steady_clock::time_point time_point;

    static time_point now() {
        const DrivenClock* driven = DrivenClock::Active();
        return driven ? driven->Now() : std::chrono::steady_clock::now();
    }
};

// What a RecordingMechanism saw and how it is to behave. Shared, so that a test
// can read it after the transmitter has destroyed the mechanism. The knobs are atomic, so
// that a test may turn them while the message task runs.
struct Recording {
    std::mutex mutex;
    std::condition_variable interrupted;
    std::vector<std::string> transmitted;
    std::vector<Clock::time_point> transmitTimes;
    std::vector<Clock::time_point> initializeTimes;
    int initializeCalls = 0;
    int transmitCalls = 0;
    int polls = 0;
    int closes = 0;
    int interrupts = 0;
    bool destroyed = false;
    // Calls that overlapped another call on the same transport.
    int overlaps = 0;

    std::atomic<bool> initializeResult{true};
    std::atomic<int> initializeFailuresToThrow{0};
    // Initialize and Transmit block until Interrupt, as against a peer that never answers.
    std::atomic<bool> initializeHangs{false};
    std::atomic<bool> transmitHangs{false};
    // Transmit waits while this is set (it has counted the call by then).
    std::atomic<bool> holdTransmit{false};
    std::atomic<int> failTransmitNumber{0}; // the 1-based call that fails; 0 none
    std::atomic<bool> failPoll{false};
    // The next poll finds the monitor's "Kill".
    std::atomic<bool> killOnPoll{false};
    std::atomic<int> transmitMilliseconds{0};

    std::vector<std::string> Transmitted() {
        std::lock_guard<std::mutex> lock(mutex);
        return transmitted;
    }
    int Polls() {
        std::lock_guard<std::mutex> lock(mutex);
        return polls;
    }
    std::vector<Clock::time_point> TransmitTimes() {
        std::lock_guard<std::mutex> lock(mutex);
        return transmitTimes;
    }
    int TransmitCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return transmitCalls;
    }
    // Lets a held Transmit go on.
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            holdTransmit = false;
        }
        interrupted.notify_all();
    }
    int InitializeCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return initializeCalls;
    }
    std::vector<Clock::time_point> InitializeTimes() {
        std::lock_guard<std::mutex> lock(mutex);
        return initializeTimes;
    }
    int Interrupts() {
        std::lock_guard<std::mutex> lock(mutex);
        return interrupts;
    }
    bool Destroyed() {
        std::lock_guard<std::mutex> lock(mutex);
        return destroyed;
    }
    int Overlaps() {
        std::lock_guard<std::mutex> lock(mutex);
        return overlaps;
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
        std::unique_lock<std::mutex> lock(recording->mutex);
        ++recording->initializeCalls;
        recording->initializeTimes.push_back(Clock::now());
        if (recording->initializeHangs) {
            const DrivenClock::Idle silentNetwork(DrivenClock::Active());
            recording->interrupted.wait(lock, [this] { return isInterrupted; });
            return false;
        }
        if (recording->initializeFailuresToThrow > 0) {
            --recording->initializeFailuresToThrow;
            throw std::runtime_error("listener unreachable");
        }
        return recording->initializeResult && !isInterrupted;
    }

    cow_String Encode(const char* type, const char* format, const int* integers,
                      const double* reals, const char* const* texts, bool started) const override {
        return EncodePayload(variant, type, format, integers, reals, texts, started);
    }
    const ipm_PayloadEncoder& PayloadVariant() const override { return variant; }

    void Close() override {
        std::lock_guard<std::mutex> lock(recording->mutex);
        ++recording->closes;
    }

    void Transmit(const cow_String& payload) override {
        InFlight call(*this);
        if (recording->transmitMilliseconds > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(recording->transmitMilliseconds));
        std::unique_lock<std::mutex> lock(recording->mutex);
        const int number = ++recording->transmitCalls;
        recording->interrupted.wait(lock,
                                    [this] { return !recording->holdTransmit || isInterrupted; });
        if (recording->transmitHangs) {
            const DrivenClock::Idle silentNetwork(DrivenClock::Active());
            recording->interrupted.wait(lock, [this] { return isInterrupted; });
            throw std::runtime_error("interrupted");
        }
        if (number == recording->failTransmitNumber || isInterrupted)
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
        if (recording->killOnPoll.exchange(false))
            eli_setkillsig();
    }

    // Another thread: no InFlight, and only the recording's own lock.
    void Interrupt() override {
        {
            std::lock_guard<std::mutex> lock(recording->mutex);
            ++recording->interrupts;
            isInterrupted = true;
        }
        recording->interrupted.notify_all();
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
    bool isInterrupted = false; // guarded by the recording's lock
};

// Runs the message task on a thread of its own, as a host does; the task is made now, for
// the transmitter that exists now. Under a DrivenClock that awaits the task, the clock waits
// for the thread from its start.
class TaskThread {
public:
    TaskThread() : task(new ipm_MessageTask), thread(start()) {}
    ~TaskThread() {
        if (thread.joinable()) {
            if (ipm_MessageTransmit* transmitter =
                    thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
                transmitter->RequestStop();
            Join();
        }
    }
    void Join() {
        const DrivenClock::Idle joining(DrivenClock::Active());
        thread.join();
    }
    bool Joinable() const { return thread.joinable(); }
    // Makes the task give up on what still waits for delivery, as shut-down does past its
    // deadline, and waits for it to end.
    void Abandon() {
        if (ipm_MessageTransmit* transmitter =
                thr_GlobalSingletonBase<ipm_MessageTransmit>::Instance())
            transmitter->Abandon();
        Join();
    }

private:
    std::unique_ptr<ipm_MessageTask> task;
    std::thread thread;

    std::thread start() {
        DrivenClock* driven = DrivenClock::Active();
        if (driven && driven->AwaitsTask())
            return driven->Thread([this] { task->Run(0); });
        return std::thread([this] { task->Run(0); });
    }
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
        if (DrivenClock* driven = DrivenClock::Active())
            ipm_MessageTransmit::Instance().SetClock(*driven);
        ipm_MessageTransmit::Instance().SetMechanism(new RecordingMechanism(recording, variant));
    }
    ~ReportingJob() { DestroyTransmitter(); }

    std::string MessageFile() const { return dir.File(job + ".ipm"); }
    // The path as the transmitter writes it (absolute, in the platform's own form).
    std::string MessageFilePath() { return Transmitter().GetMessageFilePath().c_str(); }
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

// Asks every 10 ms, for at most the given time; a generous bound, not a measurement. On a
// DrivenClock's participant the clock may skip meanwhile.
inline bool Eventually(const std::function<bool()>& condition, int milliseconds = 10000) {
    DrivenClock* driven = DrivenClock::Active();
    if (driven && driven->IsParticipant())
        return driven->WaitFor(condition, milliseconds);
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Everything the library writes on standard error while the object lives.
class CapturedWarnings {
public:
    CapturedWarnings() : file(std::tmpfile()), previous(aio_cerr.SetTarget(file)) {}
    ~CapturedWarnings() {
        aio_cerr.SetTarget(previous);
        std::fclose(file);
    }
    CapturedWarnings(const CapturedWarnings&) = delete;
    CapturedWarnings& operator=(const CapturedWarnings&) = delete;

    std::string Text() {
        aio_cerr.flush();
        std::fflush(file);
        std::rewind(file);
        std::string text;
        for (int c; (c = std::fgetc(file)) != EOF;)
            text.push_back(char(c));
        return text;
    }

private:
    std::FILE* file;
    std::FILE* previous;
};

// The host's side: reports with numbered texts, timing every call.
class TimedReporter {
public:
    explicit TimedReporter(const std::string& prefix = "r") : prefix(prefix) {}

    // The text of report n.
    std::string Text(int n) const { return prefix + std::to_string(n); }

    void Report(int n, const char* type = "Info") {
        const std::string text = Text(n);
        const char* texts[] = {text.c_str()};
        const Clock::time_point start = Clock::now();
        ipm_sendMessage(type, "message=%s", nullptr, nullptr, texts);
        const Clock::duration took = Clock::now() - start;
        std::lock_guard<std::mutex> lock(mutex);
        if (took > longest)
            longest = took;
    }
    void ReportRange(int first, int last, const char* type = "Info") {
        for (int n = first; n <= last; ++n)
            Report(n, type);
    }
    double LongestMilliseconds() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::chrono::duration<double, std::milli>(longest).count();
    }

private:
    std::string prefix;
    std::mutex mutex;
    Clock::duration longest = Clock::duration::zero();
};

// An "Info" report of the job "beam" whose message is the text, as the direct encoder and the
// encoder without a transport write it.
inline std::string InfoPayload(const std::string& message) {
    return "<Info><message type=\"string\">" + message +
           "</message><phase type=\"symconst\"></phase><jobName type=\"string\">beam</jobName>"
           "</Info>\n";
}

// The notice the message task sends ahead of the next report: after the transport came back
// (reconnected), or after reports were dropped for MAX_PENDING_MESSAGES (bound).
inline std::string NoticePayload(bool reconnected, int undelivered, const std::string& file,
                                 int bound = 1000) {
    const std::string why = reconnected
                                ? "The connection to the monitor was lost and is back. "
                                : "More reports waited for delivery than MAX_PENDING_MESSAGES (" +
                                      std::to_string(bound) + ") allows. ";
    return "<Notice><message type=\"string\">" + why + std::to_string(undelivered) +
           (undelivered == 1 ? " report was" : " reports were") +
           " dropped from the backlog and not delivered" +
           (reconnected ? "; reports sent just before the connection was lost may be missing too"
                        : "") +
           ". The message file " + file +
           " holds every report.</message><undelivered type=\"integer\">" +
           std::to_string(undelivered) +
           "</undelivered><phase type=\"symconst\"></phase><jobName "
           "type=\"string\">beam</jobName></Notice>\n";
}

// How many times each line occurs in a text.
inline std::map<std::string, int> LineCounts(const std::string& text) {
    std::map<std::string, int> counts;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        ++counts[line];
    return counts;
}

} // namespace ipm_test

#endif
