#ifndef TOOLS_MON_CHATREPORTS_H
#define TOOLS_MON_CHATREPORTS_H

#include "mon_Report.h"

#include <string>
#include <vector>

// The reports in a chat message's x content as the XMPP client hands it over: each element
// written back as "<name attributes>" + its text + its children + "</name>" and a line
// feed, with texts as they were received, unescaped. It is no XML (a value may hold "&" or
// "<"), so it is read by that layout: x, the reports in it, their fields, each field's
// value up to its own closing tag.
class mon_ChatReports {
public:
    // False, with nothing in `reports`, when the text does not have that layout or holds
    // no report.
    static bool Read(const std::string& x, std::vector<mon_Report>& reports);
};

#endif
