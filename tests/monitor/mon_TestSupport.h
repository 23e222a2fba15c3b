#ifndef TESTS_TOOLS_MON_TESTSUPPORT_H
#define TESTS_TOOLS_MON_TESTSUPPORT_H

#include "monitor/mon_Report.h"
#include "monitor/mon_ReportStream.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_View.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace mon_test {

// What a report stream handed on, written out for comparison.
class CollectingSink : public mon_ReportStream::Sink {
public:
    void JobNamed(const std::string& name) override { seen.push_back("job:" + name); }
    void ReportArrived(const mon_Report& report) override {
        std::string text = report.Type() + ":";
        for (const mon_Report::Field& field : report.Fields())
            text += " " + field.key + "(" + field.type + ")=" + field.value;
        seen.push_back(text);
    }
    void ReportUnreadable(const std::string& raw, const std::string&) override {
        seen.push_back("unreadable:" + raw);
    }
    std::vector<std::string> seen;
};

struct Fed {
    std::vector<std::string> seen;
    bool ok;
    std::string failure;
};

// Feeds the bytes in pieces of `piece` bytes (0: all at once).
inline Fed FeedInPieces(const std::string& bytes, std::size_t piece,
                        mon_ReportStream::Framing framing,
                        mon_ReportStream::Limits limits = mon_ReportStream::endStream) {
    CollectingSink sink;
    mon_ReportStream stream(sink, framing, limits);
    bool ok = true;
    const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
    for (std::size_t at = 0; at < bytes.size() && ok; at += step)
        ok = stream.Feed(bytes.data() + at, std::min(step, bytes.size() - at));
    stream.Finish();
    return Fed{sink.seen, ok, stream.FailureReason()};
}

inline mon_Report MakeReport(const std::string& type,
                             const std::vector<std::pair<std::string, std::string>>& fields) {
    mon_Report report(type);
    for (const auto& field : fields)
        report.AddField(mon_Report::Field{field.first, "string", field.second});
    return report;
}

// Every event a view is given, one line each: "report beam Step", "state beam lost: why".
class RecordingView : public mon_View {
public:
    void JobArrived(const mon_Job& job, const std::string& how) override {
        events.push_back("arrived " + job.Label() + " " + how);
    }
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time&) override {
        events.push_back("report " + job.Label() + " " + report.Type());
    }
    void ReportUnreadable(const mon_Job& job, const std::string&, const std::string& reason,
                          const Time&) override {
        events.push_back("unreadable " + job.Label() + " " + reason);
    }
    void StateChanged(const mon_Job& job, mon_Job::State, const std::string& why) override {
        events.push_back("state " + job.Label() + " " + mon_Job::StateName(job.GetState()) + ": " +
                         why);
    }
    void JobLeft(const mon_Job& job) override { events.push_back("left " + job.Label()); }
    void Note(const std::string& text) override { events.push_back("note " + text); }
    void Summary(const mon_Roster&) override { events.push_back("summary"); }

    // The events that start with `prefix`.
    std::vector<std::string> Only(const std::string& prefix) const {
        std::vector<std::string> kept;
        for (const std::string& event : events)
            if (event.compare(0, prefix.size(), prefix) == 0)
                kept.push_back(event);
        return kept;
    }

    std::vector<std::string> events;
};

} // namespace mon_test

#endif
