#ifndef TOOLS_MON_REPORTSTREAM_H
#define TOOLS_MON_REPORTSTREAM_H

#include "QORKelCommunications.h"
#include "mon_Report.h"

#include <string>

// Turns received bytes, cut anywhere, into reports. On a direct connection the job's name
// comes first as raw bytes, up to the first payload's "<"; the payloads follow back to back
// and are read as the children of one enclosing element, so line feeds inside values are
// only text. A payload that arrives whole on its own (as in a chat message) is read the
// same way without the name.
//
// Jobs do not escape every value, so a payload may be ill-formed. Its raw text is handed
// on as unreadable and reading starts again at the next payload, found where a line feed
// that ends a tag is followed by "<".
class mon_ReportStream {
public:
    enum Framing { JobNameThenPayloads, PayloadsOnly };

    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void JobNamed(const std::string& name) = 0;
        virtual void ReportArrived(const mon_Report& report) = 0;
        // raw: the payload's bytes without the blanks around them.
        virtual void ReportUnreadable(const std::string& raw, const std::string& reason) = 0;
    };

    mon_ReportStream(Sink& sink, Framing framing);
    mon_ReportStream(const mon_ReportStream&) = delete;
    mon_ReportStream& operator=(const mon_ReportStream&) = delete;
    ~mon_ReportStream();

    // False once the bytes cannot be a report stream at all (no payload starts again
    // within a megabyte); nothing more is read after that.
    bool Feed(const char* data, int length);
    // The stream has ended: a payload left unfinished is handed on as unreadable.
    void Finish();
    bool Failed() const { return failed; }
    bool HasJobName() const { return nameComplete; }
    const std::string& JobName() const { return jobName; }

private:
    Sink& sink;
    XML_Parser parser;
    bool nameComplete;
    bool failed;
    bool skipping;
    bool reportCompleted;
    std::string jobName;
    // Raw bytes since the last payload that was read whole.
    std::string unread;
    std::string parseError;
    int depth;
    mon_Report report;
    mon_Report::Field field;

    void startParser();
    void parseSegments(const char* data, int length);
    void skipToNextPayload(const char* data, int length);
    static void XMLCALL startElement(void* userData, const XML_Char* name,
                                     const XML_Char** attributes);
    static void XMLCALL endElement(void* userData, const XML_Char* name);
    static void XMLCALL characterData(void* userData, const XML_Char* text, int length);
};

#endif
