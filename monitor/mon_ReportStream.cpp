#include "monitor/mon_ReportStream.h"

#include <algorithm>
#include <cstring>

namespace {

// Element depths: the enclosing element, a payload's root, then its fields.
const int reportDepth = 2;
const int fieldDepth = 3;
const char enclosingElement[] = "<reports>";
// Kept of a payload over the limit while looking for the next one: enough to find a
// payload start that spans two reads.
const std::size_t keptWhileDiscarding = 2 * mon_ReportStream::maxNameBytes;

const char blanks[] = " \t\r\n";

bool onlyBlanks(const std::string& text) {
    return text.find_first_not_of(blanks) == std::string::npos;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) + 1 - first);
}

bool isNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool isNameChar(unsigned char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The start tag just parsed (the last "<" held) is the first thing on its line.
bool tagStartsLine(const std::string& held) {
    const std::size_t start = held.rfind('<');
    return start != std::string::npos && start > 0 && held[start - 1] == '\n';
}

enum Verdict { no, yes, needMore };

// Whether the "<" at `at` starts a payload: it begins a line and a name follows, or it is
// a root tag without attributes that a field's tag follows at once.
Verdict payloadStartsAt(const std::string& text, std::size_t at) {
    if (at + 1 >= text.size())
        return needMore;
    if (!isNameStart(static_cast<unsigned char>(text[at + 1])))
        return no;
    if (at > 0 && text[at - 1] == '\n')
        return yes;
    std::size_t end = at + 1;
    while (end < text.size() && end - at <= mon_ReportStream::maxNameBytes &&
           isNameChar(static_cast<unsigned char>(text[end])))
        ++end;
    if (end - at > mon_ReportStream::maxNameBytes)
        return no;
    if (end + 2 >= text.size())
        return needMore;
    return text[end] == '>' && text[end + 1] == '<' &&
                   isNameStart(static_cast<unsigned char>(text[end + 2]))
               ? yes
               : no;
}

} // namespace

mon_ReportStream::mon_ReportStream(Sink& sink, Framing framing, Limits limits)
    : sink(sink), limits(limits), parser(nullptr), nameComplete(framing == PayloadsOnly),
      failed(false), skipping(false), discarding(false), reportCompleted(false), cutAt(0),
      searchedUpTo(1), depth(0) {
    startParser();
}

mon_ReportStream::~mon_ReportStream() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
}

void mon_ReportStream::fail(const std::string& reason) {
    failed = true;
    failureReason = reason;
    unread.clear();
    unread.shrink_to_fit();
    report = mon_Report();
}

void mon_ReportStream::startParser() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
    parser = xmp_XML_ParserCreate(nullptr);
    depth = 0;
    report = mon_Report();
    if (parser == nullptr) {
        fail("out of memory");
        return;
    }
    xmp_XML_SetUserData(parser, this);
    xmp_XML_SetElementHandler(parser, startElement, endElement);
    xmp_XML_SetCharacterDataHandler(parser, characterData);
    xmp_XML_Parse(parser, enclosingElement, int(sizeof enclosingElement - 1), 0);
}

bool mon_ReportStream::Feed(const char* data, std::size_t length) {
    if (failed)
        return false;
    if (!nameComplete) {
        const char* const end = data + length;
        const char* const payloadStart = std::find(data, end, '<');
        jobName.append(data, std::min<std::size_t>(std::size_t(payloadStart - data),
                                                   maxNameBytes + 1 - jobName.size()));
        if (jobName.size() > maxNameBytes) {
            fail("a job name longer than " + std::to_string(maxNameBytes) + " bytes");
            return false;
        }
        if (payloadStart == end)
            return true;
        nameComplete = true;
        sink.JobNamed(jobName);
        length = std::size_t(end - payloadStart);
        data = payloadStart;
    }
    std::string work(data, length);
    process(work);
    return !failed;
}

void mon_ReportStream::process(std::string& work) {
    std::size_t at = 0;
    while (at < work.size() && !failed) {
        if (skipping)
            skipToNextPayload(work, at);
        else
            parseSegments(work, at);
    }
}

// Fed up to each ">" at a time, the parser ends a payload exactly at the end of a
// segment, so the raw bytes of the payload in hand are always known.
void mon_ReportStream::parseSegments(std::string& work, std::size_t& at) {
    while (at < work.size()) {
        const std::size_t close = work.find('>', at);
        const std::size_t segmentEnd = close == std::string::npos ? work.size() : close + 1;
        const std::size_t segmentLength = segmentEnd - at;
        if (unread.size() + segmentLength > maxReportBytes) {
            tooLarge("larger than " + std::to_string(maxReportBytes >> 20) + " MB");
            return;
        }
        unread.append(work, at, segmentLength);
        reportCompleted = false;
        const XML_Status status = xmp_XML_Parse(parser, work.data() + at, int(segmentLength), 0);
        at = segmentEnd;
        if (status == XML_STATUS_ERROR || cutAt != 0) {
            const XML_LChar* text = xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser));
            parseError = cutAt != 0 ? "cut off by the next report"
                         : text     ? text
                                    : "not well-formed";
            // The next payload is looked for from where this one broke: what parsed before
            // that was inside it, and markup in a value must never come out as a report.
            const std::size_t brokeAt = unread.size() - segmentLength;
            work.replace(0, at, unread);
            at = 0;
            unread.clear();
            skipping = true;
            searchedUpTo = cutAt != 0 ? cutAt : std::max<std::size_t>(brokeAt, 1);
            cutAt = 0;
            return;
        }
        if (reportCompleted) {
            unread.clear();
        } else if (report.Fields().size() > maxFields) {
            tooLarge("with more than " + std::to_string(maxFields) + " fields");
            return;
        }
    }
}

void mon_ReportStream::skipToNextPayload(std::string& work, std::size_t& at) {
    unread.append(work, at, std::string::npos);
    at = work.size();
    for (std::size_t start = unread.find('<', searchedUpTo); start != std::string::npos;
         start = unread.find('<', start + 1)) {
        const Verdict verdict = payloadStartsAt(unread, start);
        if (verdict == needMore) {
            searchedUpTo = start;
            return;
        }
        if (verdict == yes) {
            if (!discarding)
                sink.ReportUnreadable(trimmed(unread.substr(0, start)), parseError);
            work = unread.substr(start);
            at = 0;
            unread.clear();
            skipping = false;
            discarding = false;
            startParser();
            return;
        }
    }
    searchedUpTo = std::max<std::size_t>(unread.size(), 1);
    if (unread.size() > maxReportBytes)
        tooLarge("larger than " + std::to_string(maxReportBytes >> 20) + " MB");
}

// What is held of the payload is let go; in a file, reading goes on at the next payload.
void mon_ReportStream::tooLarge(const std::string& what) {
    if (limits == endStream) {
        fail("a report " + what);
        return;
    }
    if (!discarding)
        sink.ReportUnreadable(trimmed(unread), "a report " + what + ", skipped");
    discarding = true;
    skipping = true;
    parseError = "a report " + what;
    unread.erase(0, unread.size() - std::min(unread.size(), keptWhileDiscarding));
    searchedUpTo = 1;
}

void mon_ReportStream::Finish() {
    if (!failed && !discarding && !onlyBlanks(unread)) {
        const char* reason = "cut off by the end of the stream";
        if (skipping)
            reason = parseError.c_str();
        else if (depth < reportDepth)
            reason = "text outside any report";
        sink.ReportUnreadable(trimmed(unread), reason);
    }
    unread.clear();
}

// Text between payloads is no report; it is handed on before the payload that follows it.
void mon_ReportStream::textBeforeReport() {
    const std::size_t start = unread.rfind('<');
    if (start == std::string::npos || start == 0)
        return;
    if (!onlyBlanks(unread.substr(0, start)))
        sink.ReportUnreadable(trimmed(unread.substr(0, start)), "text outside any report");
    unread.erase(0, start);
}

std::string mon_ReportStream::StartTagText(const XML_Char* name, const XML_Char** attributes) {
    std::string text = std::string("<") + name;
    for (int i = 0; attributes[i] != nullptr; i += 2)
        text += std::string(" ") + attributes[i] + "=\"" + attributes[i + 1] + "\"";
    return text + ">";
}

std::string mon_ReportStream::EndTagText(const XML_Char* name) {
    return std::string("</") + name + ">";
}

void XMLCALL mon_ReportStream::startElement(void* userData, const XML_Char* name,
                                            const XML_Char** attributes) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    ++stream.depth;
    if (stream.depth == reportDepth) {
        stream.textBeforeReport();
        stream.report = mon_Report(name);
    } else if (stream.depth > fieldDepth) {
        stream.field.value += StartTagText(name, attributes);
    } else if (stream.depth == fieldDepth && tagStartsLine(stream.unread)) {
        stream.cutAt = stream.unread.rfind('<');
        xmp_XML_StopParser(stream.parser, XML_FALSE);
    } else if (stream.depth == fieldDepth) {
        stream.field = mon_Report::Field{name, std::string(), std::string()};
        for (int i = 0; attributes[i] != nullptr; i += 2)
            if (std::strcmp(attributes[i], "type") == 0)
                stream.field.type = attributes[i + 1];
    }
}

void XMLCALL mon_ReportStream::endElement(void* userData, const XML_Char* name) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth > fieldDepth) {
        stream.field.value += EndTagText(name);
    } else if (stream.depth == fieldDepth) {
        stream.report.AddField(stream.field);
        stream.field = mon_Report::Field();
    } else if (stream.depth == reportDepth) {
        stream.reportCompleted = true;
        stream.sink.ReportArrived(stream.report);
        stream.report = mon_Report();
    }
    --stream.depth;
}

// Text nested deeper than a field belongs to that field; text between payloads is looked
// at raw, before the next payload.
void XMLCALL mon_ReportStream::characterData(void* userData, const XML_Char* text, int length) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth >= fieldDepth)
        stream.field.value.append(text, std::size_t(length));
}
