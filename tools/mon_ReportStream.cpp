#include "mon_ReportStream.h"

#include <algorithm>

namespace {

// Element depths: the enclosing element, a payload's root, then its fields.
const int reportDepth = 2;
const int fieldDepth = 3;
const char enclosingElement[] = "<reports>";

} // namespace

mon_ReportStream::mon_ReportStream(Sink& sink, Framing framing)
    : sink(sink), parser(xmp_XML_ParserCreate(nullptr)), nameComplete(framing == PayloadsOnly),
      depth(0) {
    if (parser == nullptr) {
        error = "out of memory";
        return;
    }
    xmp_XML_SetUserData(parser, this);
    xmp_XML_SetElementHandler(parser, startElement, endElement);
    xmp_XML_SetCharacterDataHandler(parser, characterData);
    parse(enclosingElement, int(sizeof enclosingElement - 1));
}

mon_ReportStream::~mon_ReportStream() {
    if (parser != nullptr)
        xmp_XML_ParserFree(parser);
}

bool mon_ReportStream::Feed(const char* data, int length) {
    if (Failed())
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
    return parse(data, length);
}

bool mon_ReportStream::parse(const char* data, int length) {
    if (xmp_XML_Parse(parser, data, length, 0) == XML_STATUS_ERROR && error.empty()) {
        const XML_LChar* text = xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser));
        error = text ? text : "not well-formed";
    }
    return !Failed();
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
            if (std::string(attributes[i]) == "type")
                stream.field.type = attributes[i + 1];
    }
}

void XMLCALL mon_ReportStream::endElement(void* userData, const XML_Char*) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth == fieldDepth)
        stream.report.AddField(stream.field);
    else if (stream.depth == reportDepth)
        stream.sink.ReportArrived(stream.report);
    --stream.depth;
}

// Text nested deeper than a field belongs to that field; text between payloads (their
// line feeds) belongs to nothing.
void XMLCALL mon_ReportStream::characterData(void* userData, const XML_Char* text, int length) {
    mon_ReportStream& stream = *static_cast<mon_ReportStream*>(userData);
    if (stream.depth >= fieldDepth)
        stream.field.value.append(text, std::size_t(length));
}
