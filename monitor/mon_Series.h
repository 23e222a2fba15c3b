#ifndef MONITOR_MON_SERIES_H
#define MONITOR_MON_SERIES_H

#include "monitor/mon_Report.h"

#include <string>
#include <vector>

// The numeric fields of a job's Step reports over its steps (time, residual, increment,
// whatever the job sends), for plots. Memory is bounded per job: at most maxFields fields
// and maxPoints points each; a full field keeps every other point and from then on takes
// every other step, so that the plot still spans the whole run.
class mon_Series {
public:
    static constexpr std::size_t maxFields = 8;
    static constexpr std::size_t maxPoints = 256;

    struct Point {
        float step;
        float value;
    };
    struct Field {
        std::string name;
        std::vector<Point> points;
        // Steps offered to this field, and how many of them make one kept point.
        unsigned long offered = 0;
        unsigned long stride = 1;
    };

    // Takes the numeric fields of a Step report; `step` is the step the job is at (-1 when
    // unknown: the report's rank among the Step reports is used instead).
    void Apply(const mon_Report& report, long step);

    const std::vector<Field>& Fields() const { return fields; }
    const Field* Find(const std::string& name) const;
    // A residual, an error norm or a tolerance: plotted on a log scale.
    static bool IsResidualLike(const std::string& name);
    // Fields that carry no quantity worth a plot: the step itself, totals, handles.
    static bool IsCounter(const std::string& name);

private:
    std::vector<Field> fields;
    long stepReports = 0;

    Field* field(const std::string& name);
    static void add(Field& into, float step, float value);
};

#endif
