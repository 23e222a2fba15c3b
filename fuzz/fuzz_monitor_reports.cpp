// The monitor's report readers fed arbitrary bytes, as a hostile job or a damaged message
// file would send them (and as the x content of a chat message, raw and as received), in pieces
// whose sizes come from the input: it must hold no more than its bounds, hand on no report over
// them, and every text it hands on must show without a control character.
#include "QORKelCommunications.h"
#include "jcl/jcl_DocumentParser.h"
#include "monitor/mon_ChatReports.h"
#include "monitor/mon_Job.h"
#include "monitor/mon_ReportStream.h"
#include "monitor/mon_Text.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool wellFormed(const std::string& text) {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    const bool ok = xmp_XML_Parse(parser, text.data(), int(text.size()), 1) == XML_STATUS_OK;
    xmp_XML_ParserFree(parser);
    return ok;
}

void checkVisible(const std::string& text) {
    for (const char c : mon_Text::Visible(text)) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            std::abort();
    }
}

class CheckingSink : public mon_ReportStream::Sink {
public:
    void JobNamed(const std::string& name) override {
        if (name.size() > mon_ReportStream::maxNameBytes)
            std::abort();
        checkVisible(name);
    }
    void ReportArrived(const mon_Report& report) override {
        if (report.Fields().size() > mon_ReportStream::maxFields)
            std::abort();
        checkVisible(report.Type());
        for (const mon_Report::Field& field : report.Fields()) {
            checkVisible(field.key);
            checkVisible(mon_Text::Quoted(field.value));
        }
        job.Apply(report, mon_Job::Clock::now());
        checkVisible(job.Progress() + job.LastMessage() + job.FinalReport());
    }
    void ReportUnreadable(const std::string& raw, const std::string& reason) override {
        checkVisible(mon_Text::Shortened(raw, 400) + reason);
    }

    mon_Job job{1, "fuzz", "fuzz", "fuzz", mon_Job::Clock::now()};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = 1 + data[0] % 64;
    const auto framing =
        data[0] & 64 ? mon_ReportStream::JobNameThenPayloads : mon_ReportStream::PayloadsOnly;
    const auto limits = data[0] & 128 ? mon_ReportStream::endStream : mon_ReportStream::skipPayload;
    CheckingSink sink;
    mon_ReportStream stream(sink, framing, limits);
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0 && stream.Feed(text, left < piece ? left : piece)) {
        const std::size_t length = left < piece ? left : piece;
        text += length;
        left -= length;
        if (stream.Pending() > mon_ReportStream::maxReportBytes + piece)
            std::abort();
    }
    stream.Finish();
    // The same bytes as the x content of a chat message, taken as they are and as the XMPP
    // client hands over a message that carried them: whatever tree the client built, what it
    // hands over is well-formed.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string stanza = "<message><x xmlns='zorvik:msg'>" + bytes + "</x></message>";
    const std::string received =
        jcl_Message(jcl_DocumentParser::Parse(stanza.c_str(), int(stanza.size()))).GetX().c_str();
    if (!received.empty() && !wellFormed("<all>" + received + "</all>"))
        std::abort();
    for (const std::string& x : {bytes, received}) {
        std::vector<mon_Report> reports;
        if (mon_ChatReports::Read(x, reports))
            for (const mon_Report& report : reports)
                sink.ReportArrived(report);
    }
    return 0;
}
