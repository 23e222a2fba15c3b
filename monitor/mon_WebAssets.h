#ifndef MONITOR_MON_WEBASSETS_H
#define MONITOR_MON_WEBASSETS_H

#include <string>

// The web page's files, built into the monitor so that it needs nothing beside it: the page,
// its script and style (monitor/web/) and the plotting library, embedded at build time.
class mon_WebAssets {
public:
    static std::string Page();
    static std::string Script();
    static std::string Style();
    static std::string ChartLibrary();
};

#endif
