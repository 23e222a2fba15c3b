#ifndef MONITOR_MON_TEXT_H
#define MONITOR_MON_TEXT_H

#include <string>

// Texts from the network shown safely: a job chooses its name and its values, so nothing it
// sends may reach a terminal as a control sequence or break a line in two.
class mon_Text {
public:
    // Control characters, C1 controls, direction overrides and bytes that are not UTF-8
    // written as escapes (\n, \x1b, \u202e); everything else as it came.
    static std::string Visible(const std::string& text);
    // Visible, and in double quotes (with \" and \\) when it is empty or holds blanks,
    // quotes or backslashes: a value on a line of key=value pairs.
    static std::string Quoted(const std::string& text);
    // At most `limit` bytes, cut at a character boundary, with the size said when cut.
    static std::string Shortened(const std::string& text, std::size_t limit);
    // text padded with blanks to `width` bytes; longer texts stay whole.
    static std::string Padded(const std::string& text, std::size_t width);
};

#endif
