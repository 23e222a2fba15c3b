// A demo job: a host that brings the library up, installs a transport from its command
// line, runs the message task and reports like a simulation, until it ends or the monitor
// sends "Kill".
//
//   ipm_job -direct_port N [-listener_name H] [-job NAME] [-message on|NONE] [-indir DIR]
//           [-steps N] [-delay_ms M]
//   ipm_job -msgserver S [-listener_name A] [-listener_resource R] [...]   over Jabber, to
//           the monitor logged in as A@S/R (default monitor@S/console)

#include "QORKelCommunications.h"
#include "job_KillWait.h"
#include "job_Options.h"
#include "job_Simulation.h"

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

void useCommandLine(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    thr_GlobalSingleton<utl_CommandLine>::Instance().Set(int(argv.size()), argv.data());
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
    return !option("msgserver").empty();
}

// The one place that decides how reports travel.
ipm_TransmissionMechanism* chooseTransport() {
    if (overJabber())
        return new ipm_JabberMechanism;
    return new ipm_DirectMechanism;
}

void tellWhereReportsGo(const ipm_MessageTransmit& transmitter) {
    const std::string monitor =
        option("listener_name") + "@" + option("msgserver") + "/" + option("listener_resource");
    if (overJabber() && transmitter.IsMechanismReady())
        std::printf("ipm_job: reporting through the Jabber server %s to %s as job %s\n",
                    option("msgserver").c_str(), monitor.c_str(), transmitter.GetJobName().c_str());
    else if (overJabber())
        std::printf("ipm_job: no Jabber server reachable at %s (or -message NONE); "
                    "running without reports\n",
                    option("msgserver").c_str());
    else if (option("direct_port").empty())
        std::printf("ipm_job: no -direct_port given; running without reports (start "
                    "ipm_monitor and pass the port it prints)\n");
    else if (transmitter.IsEnabled())
        std::printf("ipm_job: reporting to %s:%s as job %s\n", option("listener_name").c_str(),
                    option("direct_port").c_str(), transmitter.GetJobName().c_str());
    else
        std::printf("ipm_job: no monitor reachable at %s:%s (or -message NONE); "
                    "running without reports\n",
                    option("listener_name").c_str(), option("direct_port").c_str());
    std::fflush(stdout);
}

int runJob() {
    job_KillWait::Install();
    ipm_MessageTransmit& transmitter = ipm_MessageTransmit::Instance();
    transmitter.SetMechanism(chooseTransport());
    ipm_MessageTask task;
    std::thread delivery([&task] { task.Run(0); });

    job_Simulation simulation(positiveOption("steps", defaultSteps),
                              positiveOption("delay_ms", defaultDelayMilliseconds));
    simulation.Start();
    tellWhereReportsGo(transmitter);
    const bool completed = simulation.RunSteps();
    if (transmitter.IsDisabled())
        std::printf("ipm_job: the monitor connection was lost; later reports went only to "
                    "the message file\n");
    if (completed)
        std::printf("ipm_job: finished all %d steps\n", simulation.Steps());
    else
        std::printf("ipm_job: stopped early by the monitor's Kill after step %d of %d\n",
                    simulation.StepsDone(), simulation.Steps());
    std::fflush(stdout);

    transmitter.RequestStop();
    delivery.join();
    // Over Jabber the monitor learns that the job has gone from its farewell.
    if (overJabber() && transmitter.IsMechanismReady() && !transmitter.IsDisabled()) {
        try {
            transmitter.CloseMechanism();
        } catch (...) {
        }
    }
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
    useCommandLine(argumentsWithDefaults(argc, argv));
    int modules = 0;
    QORKelCommunications_initialize(modules);
    const int status = runJob();
    QORKelCommunications_finalize(modules);
    return status;
}
