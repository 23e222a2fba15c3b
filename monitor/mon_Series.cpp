#include "monitor/mon_Series.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

bool readFinite(const std::string& text, float& value) {
    if (text.empty() || text.size() > 64)
        return false;
    char* end = nullptr;
    const double read = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(read) || std::fabs(read) > 3.5e38)
        return false;
    value = float(read);
    return std::isfinite(value);
}

std::string lowered(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

} // namespace

bool mon_Series::IsResidualLike(const std::string& name) {
    const std::string key = lowered(name);
    for (const char* word : {"resid", "error", "norm", "tol", "conv"})
        if (key.find(word) != std::string::npos)
            return true;
    return false;
}

bool mon_Series::IsCounter(const std::string& name) {
    return name == "step" || name == "steps" || name == "percent" || name == "handle";
}

const mon_Series::Field* mon_Series::Find(const std::string& name) const {
    for (const Field& known : fields)
        if (known.name == name)
            return &known;
    return nullptr;
}

mon_Series::Field* mon_Series::field(const std::string& name) {
    for (Field& known : fields)
        if (known.name == name)
            return &known;
    if (fields.size() >= maxFields)
        return nullptr;
    fields.push_back(Field{name, {}, 0, 1});
    return &fields.back();
}

void mon_Series::Apply(const mon_Report& report, long step) {
    if (report.Type() != "Step")
        return;
    ++stepReports;
    const float x = float(step >= 0 ? step : stepReports);
    for (const mon_Report::Field& reported : report.Fields()) {
        if ((reported.type != "float" && reported.type != "integer") || IsCounter(reported.key))
            continue;
        float value;
        if (!readFinite(reported.value, value))
            continue;
        Field* into = field(reported.key);
        if (into != nullptr && (into->points.empty() || into->points.back().step != x ||
                                into->points.back().value != value))
            add(*into, x, value);
    }
}

void mon_Series::add(Field& into, float step, float value) {
    if (into.offered++ % into.stride != 0)
        return;
    if (into.points.size() >= maxPoints) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < into.points.size(); i += 2)
            into.points[kept++] = into.points[i];
        into.points.resize(kept);
        into.stride *= 2;
        if ((into.offered - 1) % into.stride != 0)
            return;
    }
    if (into.points.capacity() == 0)
        into.points.reserve(16);
    into.points.push_back(Point{step, value});
}
