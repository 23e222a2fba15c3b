#include "mon_ReportStream.h"

#include <algorithm>
#include <cstring>

namespace {

// Element depths: the enclosing element, a payload's root, then its fields.
const int reportDepth = 2;
const int fieldDepth = 3;
const char enclosingElement[] = "<reports>";
// Where one payload ends and the next begins.
const char payloadBoundary[] = ">\n<";
const std::size_t boundaryLength = 3;
const std::size_t giveUpAfterBytes = 1 << 20;

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

} // namespace

mon_ReportStream::mon_ReportStream(Sink& sink, Framing framing)
    : sink(sink), parser(nullptr), nameComplete(framing == PayloadsOnly), failed(false),
      skipping(false), reportCompleted(false), depth(0) {
    startParser();
}

mon_ReportStream::~mon_ReportStream() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
}

void mon_ReportStream::startParser() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
    parser = xmp_XML_ParserCreate(nullptr);
    depth = 0;
    if (parser == nullptr) {
        failed = true;
        return;
    }
    xmp_XML_SetUserData(parser, this);
    xmp_XML_SetElementHandler(parser, startElement, endElement);
    xmp_XML_SetCharacterDataHandler(parser, characterData);
    xmp_XML_Parse(parser, enclosingElement, int(sizeof enclosingElement - 1), 0);
}

bool mon_ReportStream::Feed(const char* data, int length) {
    if (failed)
        return false;
    if (!nameComplete) {
        const char* const end = data + length;
        const char* const payloadStart = std::find(data, end, '<');
        jobName.append(data, payloadStart);
        if (payloadStart == end)
            return true;
        nameComplete = true;
        sink.JobNamed(jobName);
        length = int(end - payloadStart);
        data = payloadStart;
    }
    if (skipping)
        skipToNextPayload(data, length);
    else
        parseSegments(data, length);
    return !failed;
}

// Fed up to each ">" at a time, the parser ends a payload exactly at the end of a
// segment, so the raw bytes of the payload in hand are always known.
void mon_ReportStream::parseSegments(const char* data, int length) {
    const char* const end = data + length;
    while (data != end) {
        const char* const segmentEnd = std::min(std::find(data, end, '>') + 1, end);
        const int segmentLength = int(segmentEnd - data);
        unread.append(data, std::size_t(segmentLength));
        reportCompleted = false;
        if (xmp_XML_Parse(parser, data, segmentLength, 0) == XML_STATUS_ERROR) {
            const XML_LChar* text = xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser));
            parseError = text ? text : "not well-formed";
            skipping = true;
            const std::string broken = unread;
            unread.clear();
            skipToNextPayload(broken.data(), int(broken.size()));
            if (!failed && !skipping)
                parseSegments(segmentEnd, int(end - segmentEnd));
            else if (!failed)
                skipToNextPayload(segmentEnd, int(end - segmentEnd));
            return;
        }
        if (reportCompleted)
            unread.clear();
        data = segmentEnd;
    }
}

void mon_ReportStream::skipToNextPayload(const char* data, int length) {
    const std::size_t searchFrom = unread.size() < boundaryLength ? 0 : unread.size() - 2;
    unread.append(data, std::size_t(length));
    const std::size_t boundary = unread.find(payloadBoundary, searchFrom);
    if (boundary == std::string::npos) {
        failed = unread.size() > giveUpAfterBytes;
        return;
    }
    const std::string broken = unread.substr(0, boundary + 2);
    const std::string rest = unread.substr(boundary + 2);
    unread.clear();
    skipping = false;
    sink.ReportUnreadable(trimmed(broken), parseError);
    startParser();
    if (!failed)
        parseSegments(rest.data(), int(rest.size()));
}

void mon_ReportStream::Finish() {
    if (!failed && !onlyBlanks(unread))
        sink.ReportUnreadable(trimmed(unread),
                              skipping ? parseError : "cut off by the end of the stream");
    unread.clear();
}

void XMLCALL mon_ReportStream::startElement(void* userData, const XML_Char* name,
                                            const XML_Char** attributes) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    ++stream.depth;
    if (stream.depth == reportDepth) {
        stream.report = mon_Report(name);
    } else if (stream.depth == fieldDepth) {
        stream.field = mon_Report::Field{name, std::string(), std::string()};
        for (int i = 0; attributes[i] != nullptr; i += 2)
            if (std::strcmp(attributes[i], "type") == 0)
                stream.field.type = attributes[i + 1];
    }
}

void XMLCALL mon_ReportStream::endElement(void* userData, const XML_Char*) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth == fieldDepth) {
        stream.report.AddField(stream.field);
    } else if (stream.depth == reportDepth) {
        stream.reportCompleted = true;
        stream.sink.ReportArrived(stream.report);
    }
    --stream.depth;
}

// Text nested deeper than a field belongs to that field; text between payloads (their
// line feeds) belongs to nothing.
void XMLCALL mon_ReportStream::characterData(void* userData, const XML_Char* text, int length) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth >= fieldDepth)
        stream.field.value.append(text, std::size_t(length));
}
