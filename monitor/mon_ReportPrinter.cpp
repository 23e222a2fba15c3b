#include "monitor/mon_ReportPrinter.h"

#include "monitor/mon_Clock.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Text.h"

namespace {

// Fields the line shows in columns of their own, or not at all.
bool shownApart(const std::string& key) {
    return key == "phase" || key == "jobName";
}

} // namespace

mon_ReportPrinter::mon_ReportPrinter(std::FILE* out) : out(out) {}

std::string mon_ReportPrinter::ClockTime(const Time& time) {
    return time.known ? mon_Clock::Local(time.when, "%H:%M:%S") : "--:--:--";
}

std::string mon_ReportPrinter::Describe(const std::string& job, const mon_Report& report) {
    std::string line = mon_Text::Padded(mon_Text::Visible(job), 10) + "  " +
                       mon_Text::Padded(mon_Text::Visible(report.Type()), 10);
    if (report.Has("phase") && !report.Value("phase").empty())
        line += "  [" + mon_Text::Visible(report.Value("phase")) + "]";
    for (const mon_Report::Field& field : report.Fields())
        if (!shownApart(field.key))
            line += "  " + mon_Text::Visible(field.key) + "=" + mon_Text::Quoted(field.value);
    return line;
}

std::string mon_ReportPrinter::DescribeUnreadable(const std::string& job, const std::string& raw,
                                                  const std::string& reason) {
    return mon_Text::Padded(mon_Text::Visible(job), 10) + "  unreadable (" + reason +
           "): " + mon_Text::Quoted(mon_Text::Shortened(raw, shownRawBytes));
}

std::string mon_ReportPrinter::DescribeState(const mon_Job& job, const std::string& why) {
    return mon_Text::Visible(job.Label()) + " " + mon_Job::StateName(job.GetState()) +
           (why.empty() ? std::string() : ": " + mon_Text::Visible(why));
}

void mon_ReportPrinter::JobArrived(const mon_Job& job, const std::string& how) {
    Note(job.Label() + " " + how);
}

void mon_ReportPrinter::ReportArrived(const mon_Job& job, const mon_Report& report,
                                      const Time& time) {
    writeLine(ClockTime(time) + "  " + Describe(job.Label(), report), false);
}

void mon_ReportPrinter::ReportUnreadable(const mon_Job& job, const std::string& raw,
                                         const std::string& reason, const Time& time) {
    writeLine(ClockTime(time) + "  " + DescribeUnreadable(job.Label(), raw, reason), false);
}

void mon_ReportPrinter::StateChanged(const mon_Job& job, mon_Job::State, const std::string& why) {
    writeLine(ClockTime(Time::Now()) + "  -- " + DescribeState(job, why));
}

void mon_ReportPrinter::JobLeft(const mon_Job& job) {
    Note(job.Label() + " disconnected: " + job.Tally());
}

void mon_ReportPrinter::Note(const std::string& text) {
    writeLine(ClockTime(Time::Now()) + "  -- " + mon_Text::Visible(text));
}

void mon_ReportPrinter::writeLine(const std::string& text, bool flush) {
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
    if (flush)
        std::fflush(out);
}

void mon_ReportPrinter::Refresh(const mon_Roster&) {
    std::fflush(out);
}

void mon_ReportPrinter::Summary(const mon_Roster& roster) {
    if (roster.Empty())
        return;
    const mon_Roster::Clock::time_point now = mon_Roster::Clock::now();
    Note("summary: " + roster.Counts());
    for (const mon_Job* job : roster.Jobs())
        Note("  " + job->Describe(now));
}
