#ifndef TOOLS_MON_JOBCOUNTS_H
#define TOOLS_MON_JOBCOUNTS_H

// What the monitor has seen from one job so far.
struct mon_JobCounts {
    int reports = 0;
    int errors = 0;
    int warnings = 0;
};

#endif
