#include "mon_ChatReports.h"

#include "mon_ReportStream.h"

namespace {

class Reader {
public:
    explicit Reader(const std::string& text) : text(text), at(0) {}

    bool Reports(std::vector<mon_Report>& reports) {
        std::string name;
        if (!openTag(name, nullptr) || name != "x")
            return false;
        skipBlanks();
        while (!closesHere("x")) {
            mon_Report report;
            if (!oneReport(report) || reports.size() >= mon_ReportStream::maxFields)
                return false;
            reports.push_back(report);
            skipBlanks();
        }
        at += closing("x").size();
        skipBlanks();
        return at == text.size() && !reports.empty();
    }

private:
    const std::string& text;
    std::size_t at;

    static std::string closing(const std::string& name) { return "</" + name + ">\n"; }

    bool closesHere(const std::string& name) const {
        return text.compare(at, closing(name).size(), closing(name)) == 0;
    }

    void skipBlanks() {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\n' || text[at] == '\t' || text[at] == '\r'))
            ++at;
    }

    // "<name a="v" ...>"; the value of a type attribute, if asked for.
    bool openTag(std::string& name, std::string* type) {
        if (at >= text.size() || text[at] != '<')
            return false;
        const std::size_t end = text.find_first_of(" >", at + 1);
        if (end == std::string::npos || end == at + 1 || text[at + 1] == '/')
            return false;
        name = text.substr(at + 1, end - at - 1);
        at = end;
        while (at < text.size() && text[at] == ' ') {
            const std::size_t equals = text.find("=\"", at);
            const std::size_t quote =
                equals == std::string::npos ? equals : text.find('"', equals + 2);
            if (quote == std::string::npos)
                return false;
            if (type != nullptr && text.compare(at + 1, equals - at - 1, "type") == 0)
                *type = text.substr(equals + 2, quote - equals - 2);
            at = quote + 1;
        }
        if (at >= text.size() || text[at] != '>')
            return false;
        ++at;
        return true;
    }

    bool oneReport(mon_Report& report) {
        std::string type;
        if (!openTag(type, nullptr))
            return false;
        report = mon_Report(type);
        while (!closesHere(type)) {
            mon_Report::Field field;
            if (!openTag(field.key, &field.type) ||
                report.Fields().size() >= mon_ReportStream::maxFields)
                return false;
            const std::size_t end = text.find(closing(field.key), at);
            if (end == std::string::npos)
                return false;
            field.value = text.substr(at, end - at);
            at = end + closing(field.key).size();
            report.AddField(field);
        }
        at += closing(type).size();
        return true;
    }
};

} // namespace

bool mon_ChatReports::Read(const std::string& x, std::vector<mon_Report>& reports) {
    std::vector<mon_Report> read;
    if (!Reader(x).Reports(read))
        return false;
    reports.swap(read);
    return true;
}
