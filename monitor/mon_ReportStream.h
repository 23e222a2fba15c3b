#ifndef MONITOR_MON_REPORTSTREAM_H
#define MONITOR_MON_REPORTSTREAM_H

#include "QORKelCommunications.h"
#include "monitor/mon_Report.h"

#include <string>

// Turns received bytes, cut anywhere, into reports. On a direct connection the job's name
// comes first as raw bytes, up to the first payload's "<"; the payloads follow back to back
// and are read as the children of one enclosing element, so line feeds inside values are
// only text. A message file, or a payload that arrives whole on its own (as in a chat
// message), is read the same way without the name.
//
// A report is a top-level element, never a line: a value may hold line feeds and markup of
// its own, well-formed markup included, and that stays part of the value (as text, tags and
// all), wherever its lines begin.
//
// A payload may be ill-formed (a job that did not escape a value, a file cut short by a
// crash). Its raw text is handed on as unreadable and reading starts again at the next
// payload after the point where it broke: at a line that starts with "<" and a name, or at a
// root tag that a field follows at once ("<Started><program"). A tag at the start of a line
// where a field belongs begins the next payload (fields never begin a line, and markup in a
// value sits deeper), so a payload cut short between two fields is found even when what
// follows it is well-formed. Text between payloads is handed on as unreadable too.
//
// What one source may make the monitor hold is bounded: a job name longer than
// maxNameBytes, or a payload larger than maxReportBytes or with more than maxFields fields,
// ends a connection (Limits::endStream) or, in a file, is skipped as unreadable.
class mon_ReportStream {
public:
    enum Framing { JobNameThenPayloads, PayloadsOnly };
    enum Limits { endStream, skipPayload };

    static const std::size_t maxNameBytes = 256;
    static const std::size_t maxReportBytes = 1 << 20;
    static const std::size_t maxFields = 4096;

    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void JobNamed(const std::string& name) = 0;
        virtual void ReportArrived(const mon_Report& report) = 0;
        // raw: the payload's bytes without the blanks around them.
        virtual void ReportUnreadable(const std::string& raw, const std::string& reason) = 0;
    };

    mon_ReportStream(Sink& sink, Framing framing, Limits limits = endStream);
    mon_ReportStream(const mon_ReportStream&) = delete;
    mon_ReportStream& operator=(const mon_ReportStream&) = delete;
    ~mon_ReportStream();

    // False once the stream has ended on a limit (FailureReason says which); nothing more is
    // read after that.
    bool Feed(const char* data, std::size_t length);
    // The stream has ended: a payload left unfinished is handed on as unreadable.
    void Finish();
    bool Failed() const { return failed; }
    const std::string& FailureReason() const { return failureReason; }
    bool HasJobName() const { return nameComplete; }
    // Markup inside a value, written back as the text it stands for: "<b id="1">", "</b>".
    static std::string StartTagText(const XML_Char* name, const XML_Char** attributes);
    static std::string EndTagText(const XML_Char* name);
    const std::string& JobName() const { return jobName; }
    // Bytes held for a payload not yet complete.
    std::size_t Pending() const { return unread.size(); }

private:
    Sink& sink;
    Limits limits;
    XML_Parser parser;
    bool nameComplete;
    bool failed;
    bool skipping;
    // A payload over the limit was already shown; its remaining bytes go unseen.
    bool discarding;
    bool reportCompleted;
    // Where in `unread` a new payload began before the one in hand was complete; 0: none.
    std::size_t cutAt;
    std::string failureReason;
    std::string jobName;
    // Raw bytes since the last payload that was read whole.
    std::string unread;
    // Where the search for the next payload goes on in `unread`.
    std::size_t searchedUpTo;
    std::string parseError;
    int depth;
    mon_Report report;
    mon_Report::Field field;

    void fail(const std::string& reason);
    void startParser();
    // Each takes bytes from `work` at `at` onwards; a payload found again puts the bytes
    // from its start back into `work`, to be read in order before the rest.
    void process(std::string& work);
    void parseSegments(std::string& work, std::size_t& at);
    void skipToNextPayload(std::string& work, std::size_t& at);
    void tooLarge(const std::string& what);
    void textBeforeReport();
    static void XMLCALL startElement(void* userData, const XML_Char* name,
                                     const XML_Char** attributes);
    static void XMLCALL endElement(void* userData, const XML_Char* name);
    static void XMLCALL characterData(void* userData, const XML_Char* text, int length);
};

#endif
