#ifndef MONITOR_MON_CHATREPORTS_H
#define MONITOR_MON_CHATREPORTS_H

#include "monitor/mon_Report.h"

#include <string>
#include <vector>

// The reports in a chat message's x content as the XMPP client hands it over: the x element
// written back as XML, each report a child of it and each field a child of its report. A
// field's value is all the character data inside it, decoded, as the direct connection reads
// it; the line feeds that the client writes after each end tag are only layout.
class mon_ChatReports {
public:
    // False, with nothing in `reports`, when the text is not one well-formed x element, holds
    // text outside the fields, holds no report, or holds more reports, or a report more
    // fields, than mon_ReportStream::maxFields.
    static bool Read(const std::string& x, std::vector<mon_Report>& reports);
};

#endif
