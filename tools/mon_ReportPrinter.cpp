#include "mon_ReportPrinter.h"

#include <chrono>
#include <ctime>

namespace {

// Fields the line shows in columns of their own, or not at all.
bool shownApart(const std::string& key) {
    return key == "phase" || key == "jobName";
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string clockTime() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

} // namespace

mon_ReportPrinter::mon_ReportPrinter(std::FILE* out) : out(out) {}

std::string mon_ReportPrinter::Shown(const std::string& value) {
    std::string shown;
    bool quoted = value.empty();
    for (const char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == '"' || c == '\\') {
            shown += '\\';
            shown += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            static const char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15];
        } else {
            shown += c;
        }
        quoted = quoted || c == ' ' || c == '"' || c == '\\';
    }
    return quoted ? "\"" + shown + "\"" : shown;
}

std::string mon_ReportPrinter::Describe(const std::string& job, const mon_Report& report) {
    std::string line = padded(job, 10) + "  " + padded(report.Type(), 10);
    if (report.Has("phase") && !report.Value("phase").empty())
        line += "  [" + report.Value("phase") + "]";
    for (const mon_Report::Field& field : report.Fields())
        if (!shownApart(field.key))
            line += "  " + field.key + "=" + Shown(field.value);
    return line;
}

void mon_ReportPrinter::Print(const std::string& job, const mon_Report& report) {
    count(job, report.Type());
    writeLine(clockTime() + "  " + Describe(job, report));
}

void mon_ReportPrinter::PrintUnreadable(const std::string& job, const std::string& raw,
                                        const std::string& reason) {
    count(job, std::string());
    writeLine(clockTime() + "  " + padded(job, 10) + "  unreadable (" + reason +
              "): " + Shown(raw));
}

void mon_ReportPrinter::Note(const std::string& text) {
    writeLine(clockTime() + "  -- " + text);
}

void mon_ReportPrinter::count(const std::string& job, const std::string& type) {
    mon_JobCounts& seen = counts[job];
    ++seen.reports;
    if (type == "Error")
        ++seen.errors;
    else if (type == "Warning")
        ++seen.warnings;
}

mon_JobCounts mon_ReportPrinter::Counts(const std::string& job) const {
    const auto found = counts.find(job);
    return found == counts.end() ? mon_JobCounts() : found->second;
}

std::string mon_ReportPrinter::Tally(const std::string& job) const {
    const mon_JobCounts seen = Counts(job);
    return std::to_string(seen.reports) + " reports, " + std::to_string(seen.errors) + " errors, " +
           std::to_string(seen.warnings) + " warnings";
}

std::string mon_ReportPrinter::Summary(const std::string& job) const {
    return job + ": " + Tally(job);
}

void mon_ReportPrinter::writeLine(const std::string& text) {
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}
