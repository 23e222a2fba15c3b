#include "monitor/mon_Hooks.h"

#include "monitor/mon_Roster.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include <process.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

// Environment texts cannot hold a NUL; a job's texts never do, but a cut is safer than a
// truncated variable that says something else.
std::string variable(const std::string& name, const std::string& value) {
    return name + "=" + value.substr(0, value.find('\0'));
}

std::vector<std::string> environmentWith(const std::vector<std::string>& added) {
    std::vector<std::string> result;
#if defined(_WIN32)
    char** inherited = _environ;
#else
    char** inherited = environ;
#endif
    for (char** entry = inherited; entry != nullptr && *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "IPM_", 4) != 0)
            result.push_back(*entry);
    result.insert(result.end(), added.begin(), added.end());
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts)
        result.push_back(&text[0]);
    result.push_back(nullptr);
    return result;
}

} // namespace

mon_Hooks::mon_Hooks(const std::string& onEnd, const std::string& onError, bool quietOutput,
                     mon_View& notes)
    : onEnd(Words(onEnd)), onError(Words(onError)), quietOutput(quietOutput), notes(notes),
      started(0), droppedSaid(false) {}

// Commands still running go on by themselves; the monitor does not wait for them.
mon_Hooks::~mon_Hooks() = default;

std::vector<std::string> mon_Hooks::Words(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : command) {
        if (c == ' ' || c == '\t') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

void mon_Hooks::ReportArrived(const mon_Job& job, const mon_Report& report, const Time&) {
    if (onError.empty() || report.Type() != "Error" || mon_Job::IsNotice(report) ||
        !errorDone.insert(job.Id()).second)
        return;
    queue(onError, "error", job, report.Value("message"));
}

void mon_Hooks::StateChanged(const mon_Job& job, mon_Job::State, const std::string&) {
    if (onEnd.empty() || !job.HasEnded() || !endDone.insert(job.Id()).second)
        return;
    queue(onEnd, "end", job, job.LastMessage());
}

void mon_Hooks::queue(const std::vector<std::string>& words, const char* event, const mon_Job& job,
                      const std::string& message) {
    if (waiting.size() >= maxWaiting) {
        if (!droppedSaid)
            notes.Note(std::string("too many -on_") + event +
                       " commands waiting; further ones are dropped");
        droppedSaid = true;
        return;
    }
    Run run;
    run.event = event;
    run.label = job.Label();
    run.words = words;
    run.environment = environmentWith({
        variable("IPM_EVENT", event),
        variable("IPM_JOB", job.Label()),
        variable("IPM_JOB_NAME", job.Name()),
        variable("IPM_STATE", mon_Job::StateName(job.GetState())),
        variable("IPM_MESSAGE", message),
        variable("IPM_ERRORS", std::to_string(job.Errors())),
        variable("IPM_WARNINGS", std::to_string(job.Warnings())),
        variable("IPM_REPORTS", std::to_string(job.Reports())),
    });
    waiting.push_back(std::move(run));
    startWaiting();
}

void mon_Hooks::startWaiting() {
    while (!waiting.empty() && running.size() < maxRunning) {
        Run run = std::move(waiting.front());
        waiting.pop_front();
        long long process = 0;
        std::string why;
        if (!start(run, process, why)) {
            notes.Note("-on_" + run.event + " for " + run.label + ": cannot run " +
                       run.words.front() + " (" + why + ")");
            continue;
        }
        ++started;
        running.push_back(Child{std::move(run), process});
    }
}

void mon_Hooks::Refresh(const mon_Roster&) {
    // Asked a few times a second, not on each of the loop's rounds.
    const auto now = std::chrono::steady_clock::now();
    if (running.empty() || now - lastLook < std::chrono::milliseconds(100))
        return;
    lastLook = now;
    for (auto child = running.begin(); child != running.end();) {
        int status = 0;
        const int ended = poll(child->process, status);
        if (ended == 0) {
            ++child;
            continue;
        }
        if (ended > 0 && status != 0)
            notes.Note("-on_" + child->run.event + " for " + child->run.label + ": " +
                       child->run.words.front() + " exited with status " + std::to_string(status));
        child = running.erase(child);
    }
    startWaiting();
}

#if defined(_WIN32)

bool mon_Hooks::start(const Run& run, long long& process, std::string& why) {
    std::vector<std::string> words = run.words;
    std::vector<std::string> environment = run.environment;
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    const intptr_t handle = _spawnvpe(_P_NOWAIT, argv[0], argv.data(), envp.data());
    if (handle == -1) {
        why = std::strerror(errno);
        return false;
    }
    process = static_cast<long long>(handle);
    return true;
}

int mon_Hooks::poll(long long process, int& status) {
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(process));
    const DWORD waited = ::WaitForSingleObject(handle, 0);
    if (waited == WAIT_TIMEOUT)
        return 0;
    DWORD code = 0;
    const bool known = waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(handle, &code);
    ::CloseHandle(handle);
    status = int(code);
    return known ? 1 : -1;
}

#else

bool mon_Hooks::start(const Run& run, long long& process, std::string& why) {
    std::vector<std::string> words = run.words;
    std::vector<std::string> environment = run.environment;
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (quietOutput) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else {
        // Standard output may carry the JSON log: a command's words must not break into it.
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        why = std::strerror(failed);
        return false;
    }
    process = pid;
    return true;
}

int mon_Hooks::poll(long long process, int& status) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_t(process), &raw, WNOHANG);
    if (done == 0)
        return 0;
    if (done < 0)
        return -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    return 1;
}

#endif
