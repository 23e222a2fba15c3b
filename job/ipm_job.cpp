// A demo job: a host that brings reporting up from its command line with one call, reports
// like a simulation until it ends or the monitor sends "Kill", and brings reporting down.
//
//   ipm_job -direct_port N [-listener_name H] [-job NAME] [-message on|NONE] [-indir DIR]
//           [-steps N] [-delay_ms M]
//   ipm_job -msgserver S [-listener_name A] [-listener_resource R] [...]   over Jabber, to
//           the monitor logged in as A@S/R (default monitor@S/console)

#include "QORKelCommunications.h"
#include "job/job_KillWait.h"
#include "job/job_Options.h"
#include "job/job_Simulation.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const int defaultSteps = 12;
const int defaultDelayMilliseconds = 300;

// The job's own arguments, with what the demo needs added where the caller left it out.
std::vector<std::string> argumentsWithDefaults(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    const utl_CommandLine given(argc, argv);
    const bool jabber = given.IsMember("msgserver");
    const char* const defaults[][2] = {{"job", "demo"},
                                       {"message", "on"},
                                       {"listener_name", jabber ? "monitor" : "127.0.0.1"},
                                       {"listener_resource", "console"}};
    for (const auto& option : defaults) {
        if (!given.IsMember(option[0])) {
            arguments.push_back(std::string("-") + option[0]);
            arguments.push_back(option[1]);
        }
    }
    return arguments;
}

int positiveOption(const char* name, int fallback) {
    const cow_String text = thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue(name);
    const int value = std::atoi(text.c_str());
    return value > 0 ? value : fallback;
}

std::string option(const char* name) {
    return thr_GlobalSingleton<utl_CommandLine>::Instance().ConstGetValue(name).c_str();
}

bool overJabber() {
    return thr_GlobalSingleton<utl_CommandLine>::Instance().IsMember("msgserver");
}

// The message task sets the transport up on its own thread; its first attempt tells whether
// the monitor is there. Without a transport there is no attempt to wait for.
void awaitFirstConnection(const ipm_MessageTransmit& transmitter) {
    for (int i = 0; i < 1500 && transmitter.IsEnabled() && transmitter.HasMechanism() &&
                    !transmitter.IsMechanismReady() && transmitter.GetConnectionAttempts() == 0;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void tellWhereReportsGo(int answer, const ipm_MessageTransmit& transmitter) {
    if (answer == IPM_REPORTING_OFF || answer == IPM_START_FAILED) {
        std::printf("ipm_job: reporting is off (the line above says why); the job runs "
                    "without it\n");
        std::fflush(stdout);
        return;
    }
    if (answer == IPM_DELIVERY_OFF) {
        std::printf("ipm_job: reports go to the message file only (the line above says why)\n");
        std::fflush(stdout);
        return;
    }
    awaitFirstConnection(transmitter);
    cow_String server = option("msgserver").c_str();
    int port = 0;
    ipm_JabberMechanism::ParseServerOption(option("msgserver").c_str(), server, port);
    const std::string monitor =
        option("listener_name") + "@" + server.c_str() + "/" + option("listener_resource");
    const bool ready = transmitter.IsMechanismReady();
    if (overJabber() && ready)
        std::printf("ipm_job: reporting through the Jabber server %s to %s as job %s\n",
                    server.c_str(), monitor.c_str(), transmitter.GetJobName().c_str());
    else if (overJabber())
        // The library says why: the server unreachable, or its log-in refused.
        std::printf("ipm_job: not connected to the Jabber server %s:%d (the library says why "
                    "on standard error); reports go to the message file, and to the monitor "
                    "once the job is let in\n",
                    server.c_str(), port);
    else if (option("direct_port").empty())
        std::printf("ipm_job: no -direct_port given; reports go to the message file only "
                    "(start ipm_monitor and pass the port it prints)\n");
    else if (ready)
        std::printf("ipm_job: reporting to %s:%s as job %s\n", option("listener_name").c_str(),
                    option("direct_port").c_str(), transmitter.GetJobName().c_str());
    else
        std::printf("ipm_job: no monitor reachable at %s:%s; reports go to the "
                    "message file, and to the monitor once it listens\n",
                    option("listener_name").c_str(), option("direct_port").c_str());
    std::fflush(stdout);
}

// The library reads the same arguments through ipm_startReporting, which decides how
// reports travel; what it refuses it says on standard error, and the job runs on.
int runJob(const std::vector<std::string>& arguments) {
    job_KillWait::Install();
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    const int answer = ipm_startReporting(int(argv.size()), argv.data());

    job_Simulation simulation(positiveOption("steps", defaultSteps),
                              positiveOption("delay_ms", defaultDelayMilliseconds));
    simulation.Start();
    tellWhereReportsGo(answer, ipm_MessageTransmit::Instance());
    const bool completed = simulation.RunSteps();
    if (completed)
        std::printf("ipm_job: finished all %d steps\n", simulation.Steps());
    else
        std::printf("ipm_job: stopped early by the monitor's Kill after step %d of %d\n",
                    simulation.StepsDone(), simulation.Steps());
    std::fflush(stdout);
    ipm_stopReporting();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    switch (job_Options::Check(argc, argv, error)) {
    case job_Options::help:
        std::fputs(job_Options::Usage(), stdout);
        return 0;
    case job_Options::refuse:
        std::fprintf(stderr, "ipm_job: %s\n%s", error.c_str(), job_Options::Usage());
        return 2;
    case job_Options::run:
        break;
    }
    return runJob(argumentsWithDefaults(argc, argv));
}
