#include "monitor/mon_ChatReports.h"

#include "QORKelCommunications.h"
#include "monitor/mon_ReportStream.h"

#include <cstring>

namespace {

// Element depths: x, a report, then its fields.
const int xDepth = 1;
const int reportDepth = 2;
const int fieldDepth = 3;

class Reader {
public:
    Reader() : parser(xmp_XML_ParserCreate(nullptr)), depth(0), refused(false) {}
    ~Reader() {
        if (parser != nullptr)
            xmp_XML_ParserFree(parser);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool Read(const std::string& x) {
        if (parser == nullptr)
            return false;
        xmp_XML_SetUserData(parser, this);
        xmp_XML_SetElementHandler(parser, startElement, endElement);
        xmp_XML_SetCharacterDataHandler(parser, characterData);
        const XML_Status status = xmp_XML_Parse(parser, x.data(), int(x.size()), 1);
        return status == XML_STATUS_OK && !refused && !reports.empty();
    }

    std::vector<mon_Report> reports;

private:
    XML_Parser parser;
    int depth;
    bool refused;
    mon_Report::Field field;

    void refuse() {
        refused = true;
        xmp_XML_StopParser(parser, XML_FALSE);
    }

    static void XMLCALL startElement(void* userData, const XML_Char* name,
                                     const XML_Char** attributes) {
        Reader& reader = *static_cast<Reader*>(userData);
        // The parser may still report an event or two after it was stopped.
        if (reader.refused)
            return;
        ++reader.depth;
        if (reader.depth == xDepth) {
            if (std::strcmp(name, "x") != 0)
                reader.refuse();
        } else if (reader.depth == reportDepth) {
            if (reader.reports.size() >= mon_ReportStream::maxFields)
                reader.refuse();
            else
                reader.reports.emplace_back(name);
        } else if (reader.depth > fieldDepth) {
            reader.field.value += mon_ReportStream::StartTagText(name, attributes);
        } else if (reader.depth == fieldDepth) {
            if (reader.reports.back().Fields().size() >= mon_ReportStream::maxFields) {
                reader.refuse();
                return;
            }
            reader.field = mon_Report::Field{name, std::string(), std::string()};
            for (int i = 0; attributes[i] != nullptr; i += 2)
                if (std::strcmp(attributes[i], "type") == 0)
                    reader.field.type = attributes[i + 1];
        }
    }

    static void XMLCALL endElement(void* userData, const XML_Char* name) {
        Reader& reader = *static_cast<Reader*>(userData);
        if (reader.refused)
            return;
        if (reader.depth > fieldDepth) {
            reader.field.value += mon_ReportStream::EndTagText(name);
        } else if (reader.depth == fieldDepth) {
            reader.reports.back().AddField(reader.field);
            reader.field = mon_Report::Field();
        }
        --reader.depth;
    }

    // Text nested in a field belongs to it; anything but blanks elsewhere is no report.
    static void XMLCALL characterData(void* userData, const XML_Char* text, int length) {
        Reader& reader = *static_cast<Reader*>(userData);
        if (reader.refused)
            return;
        if (reader.depth >= fieldDepth) {
            reader.field.value.append(text, std::size_t(length));
            return;
        }
        for (int i = 0; i < length; ++i) {
            const char c = text[i];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                reader.refuse();
                return;
            }
        }
    }
};

} // namespace

bool mon_ChatReports::Read(const std::string& x, std::vector<mon_Report>& reports) {
    Reader reader;
    if (!reader.Read(x))
        return false;
    reports.swap(reader.reports);
    return true;
}
