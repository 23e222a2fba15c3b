#include "mon_Board.h"

#include "mon_ReportPrinter.h"
#include "mon_Roster.h"
#include "mon_Text.h"

#include <curses.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>

namespace {

enum Colour { plain = 0, green, yellow, cyan, red, magenta };

const std::size_t maxTypedBytes = 1024;
// Redrawn at most this often for reports; typing redraws at once.
const auto drawInterval = std::chrono::milliseconds(100);

int stateColour(mon_Job::State state) {
    switch (state) {
    case mon_Job::running:
        return green;
    case mon_Job::silent:
        return yellow;
    case mon_Job::finished:
        return cyan;
    case mon_Job::lost:
        return red;
    case mon_Job::killed:
        return magenta;
    }
    return plain;
}

int typeColour(const std::string& type) {
    if (type == "Error")
        return red;
    if (type == "Warning")
        return yellow;
    return plain;
}

// At most `columns` characters of a visible text (UTF-8 sequences count once).
std::string fitted(const std::string& text, int columns) {
    int counted = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xc0) == 0x80)
            continue;
        if (counted == columns)
            return text.substr(0, at);
        ++counted;
    }
    return text;
}

int characters(const std::string& text) {
    int counted = 0;
    for (const char c : text)
        counted += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return counted;
}

// A column of the table: the text cut or padded to `width` characters, and a blank.
std::string cell(const std::string& text, int width) {
    const std::string cut = fitted(text, width);
    return cut + std::string(std::size_t(width - characters(cut) + 1), ' ');
}

std::string clockNow() {
    return mon_ReportPrinter::ClockTime(mon_View::Time::Now());
}

} // namespace

// The curses screen, set up on standard output and input and restored when it goes.
class mon_Board::Screen {
public:
    static std::unique_ptr<Screen> Open(bool colour) {
        // Characters as the terminal encodes them (UTF-8), not bytes; numbers stay as
        // they are, whatever the locale.
        std::setlocale(LC_CTYPE, "");
        SCREEN* opened = newterm(nullptr, stdout, stdin);
        if (opened == nullptr)
            return nullptr;
        return std::unique_ptr<Screen>(new Screen(opened, colour));
    }
    ~Screen() {
        endwin();
        delscreen(screen);
    }
    bool colour;

private:
    SCREEN* screen;

    Screen(SCREEN* opened, bool wanted) : colour(false), screen(opened) {
        set_term(screen);
        cbreak();
        noecho();
        nodelay(stdscr, TRUE);
        keypad(stdscr, TRUE);
        if (wanted && has_colors()) {
            start_color();
            use_default_colors();
            const short colours[] = {COLOR_GREEN, COLOR_YELLOW, COLOR_CYAN, COLOR_RED,
                                     COLOR_MAGENTA};
            for (short pair = 1; pair <= 5; ++pair)
                init_pair(pair, colours[pair - 1], -1);
            colour = true;
        }
    }
};

std::unique_ptr<mon_Board> mon_Board::Open(const std::string& title, bool colour) {
    std::unique_ptr<Screen> screen = Screen::Open(colour);
    if (!screen)
        return nullptr;
    return std::unique_ptr<mon_Board>(new mon_Board(std::move(screen), title));
}

mon_Board::mon_Board(std::unique_ptr<Screen> opened, const std::string& title)
    : screen(std::move(opened)), title(title), dirty(true), lastDrawn() {}

mon_Board::~mon_Board() = default;

void mon_Board::add(const std::string& text, int colour) {
    lines.push_back(Line{text, colour});
    if (lines.size() > keptLines)
        lines.pop_front();
    dirty = true;
}

void mon_Board::JobArrived(const mon_Job& job, const std::string& how) {
    add(clockNow() + "  -- " + mon_Text::Visible(job.Label() + " " + how), plain);
}

void mon_Board::ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) {
    add(mon_ReportPrinter::ClockTime(time) + "  " +
            mon_ReportPrinter::Describe(job.Label(), report),
        typeColour(report.Type()));
}

void mon_Board::ReportUnreadable(const mon_Job& job, const std::string& raw,
                                 const std::string& reason, const Time& time) {
    add(mon_ReportPrinter::ClockTime(time) + "  " +
            mon_ReportPrinter::DescribeUnreadable(job.Label(), raw, reason),
        magenta);
}

void mon_Board::StateChanged(const mon_Job& job, mon_Job::State, const std::string& why) {
    add(clockNow() + "  -- " + mon_ReportPrinter::DescribeState(job, why),
        stateColour(job.GetState()));
}

void mon_Board::JobLeft(const mon_Job& job) {
    add(clockNow() + "  -- " + mon_Text::Visible(job.Label()) + " disconnected: " + job.Tally(),
        plain);
}

void mon_Board::Note(const std::string& text) {
    add(clockNow() + "  -- " + mon_Text::Visible(text), plain);
}

void mon_Board::Summary(const mon_Roster& roster) {
    screen.reset();
    mon_ReportPrinter(stdout).Summary(roster);
}

void mon_Board::Watch(mon_Poller& poller) {
    if (screen)
        poller.Add(0);
}

bool mon_Board::Next(std::string& line) {
    readKeys();
    if (entered.empty())
        return false;
    line = entered.front();
    entered.pop_front();
    return true;
}

void mon_Board::readKeys() {
    if (!screen)
        return;
    for (int key; (key = getch()) != ERR;) {
        if (key == '\n' || key == '\r' || key == KEY_ENTER) {
            add("> " + mon_Text::Visible(typed), plain);
            entered.push_back(typed);
            typed.clear();
        } else if (key == KEY_BACKSPACE || key == 127 || key == 8) {
            // Takes a whole UTF-8 character off.
            while (!typed.empty() && (static_cast<unsigned char>(typed.back()) & 0xc0) == 0x80)
                typed.pop_back();
            if (!typed.empty())
                typed.pop_back();
        } else if (key == 21) {
            typed.clear();
        } else if (key >= 32 && key <= 255 && key != 127 && typed.size() < maxTypedBytes) {
            typed += char(key);
        } else if (key != KEY_RESIZE) {
            continue;
        }
        dirty = true;
        lastDrawn = Clock::time_point();
    }
}

void mon_Board::Refresh(const mon_Roster& roster) {
    if (!screen)
        return;
    const Clock::time_point now = Clock::now();
    // The times in the table move every second even when nothing arrives.
    const bool due = now - lastDrawn >= std::chrono::seconds(1);
    if (!(dirty && now - lastDrawn >= drawInterval) && !due)
        return;
    draw(roster);
    dirty = false;
    lastDrawn = now;
}

void mon_Board::draw(const mon_Roster& roster) {
    int rows, columns;
    getmaxyx(stdscr, rows, columns);
    erase();
    if (rows < 5 || columns < 20) {
        mvaddstr(0, 0, fitted("ipm_monitor: window too small", columns).c_str());
        refresh();
        return;
    }
    const std::string heading = "ipm_monitor  " + title + "   " + roster.Counts();
    const std::string clock = clockNow();
    attron(A_REVERSE);
    mvaddstr(0, 0, std::string(std::size_t(columns), ' ').c_str());
    mvaddstr(0, 0, fitted(mon_Text::Visible(heading), columns - int(clock.size()) - 1).c_str());
    mvaddstr(0, columns - int(clock.size()), clock.c_str());
    attroff(A_REVERSE);
    const int tableEnd = drawTable(roster, rows, columns);
    attron(A_BOLD);
    mvaddstr(tableEnd, 0,
             fitted("-- reports " + std::string(std::size_t(columns), '-'), columns).c_str());
    attroff(A_BOLD);
    drawLines(tableEnd + 1, rows - 1, columns);
    drawCommandLine(rows - 1, columns);
    refresh();
}

// Running and silent jobs first, then those that ended, each in order of arrival; rows
// that do not fit are counted on the last one.
int mon_Board::drawTable(const mon_Roster& roster, int rows, int columns) {
    std::vector<const mon_Job*> jobs = roster.Jobs();
    std::stable_partition(jobs.begin(), jobs.end(),
                          [](const mon_Job* job) { return !job->HasEnded(); });
    const int room = std::max(1, (rows - 4) / 2);
    const std::string header = cell("JOB", 16) + cell("STATE", 8) + cell("PHASE", 14) +
                               cell("STEP", 12) + cell("ELAPSED", 8) + cell("LAST", 8) +
                               cell("ERR", 4) + cell("WARN", 4) + "MESSAGE";
    attron(A_BOLD);
    mvaddstr(1, 0, fitted(header, columns).c_str());
    attroff(A_BOLD);
    const Clock::time_point now = Clock::now();
    int row = 2;
    for (std::size_t i = 0; i < jobs.size(); ++i, ++row) {
        if (row - 2 == room - 1 && jobs.size() - i > 1) {
            mvaddstr(row, 0,
                     fitted("... " + std::to_string(jobs.size() - i) +
                                " more jobs (type list to see them all)",
                            columns)
                         .c_str());
            return row + 1;
        }
        const mon_Job& job = *jobs[i];
        const std::string state = cell(mon_Job::StateName(job.GetState()), 8);
        const std::string before = cell(mon_Text::Visible(job.Label()), 16);
        const std::string after =
            cell(mon_Text::Visible(job.Phase()), 14) + cell(job.Progress(), 12) +
            cell(mon_Job::Duration((job.HasEnded() ? job.EndedAt() : now) - job.Arrived()), 8) +
            cell(mon_Job::Duration(now - job.LastReport()), 8) +
            cell(std::to_string(job.Errors()), 4) + cell(std::to_string(job.Warnings()), 4) +
            mon_Text::Visible(job.LastMessage());
        mvaddstr(row, 0, fitted(before, columns).c_str());
        const int colour = screen->colour ? stateColour(job.GetState()) : plain;
        if (colour != plain)
            attron(COLOR_PAIR(colour));
        addstr(fitted(state, std::max(0, columns - 17)).c_str());
        if (colour != plain)
            attroff(COLOR_PAIR(colour));
        addstr(fitted(after, std::max(0, columns - 26)).c_str());
    }
    if (jobs.empty())
        mvaddstr(row++, 0, fitted("(no job yet)", columns).c_str());
    return row;
}

void mon_Board::drawLines(int top, int bottom, int columns) {
    const int room = bottom - top;
    if (room <= 0)
        return;
    const std::size_t shown = std::min(lines.size(), std::size_t(room));
    int row = top;
    for (std::size_t i = lines.size() - shown; i < lines.size(); ++i, ++row) {
        const int colour = screen->colour ? lines[i].colour : plain;
        if (colour != plain)
            attron(COLOR_PAIR(colour));
        mvaddstr(row, 0, fitted(lines[i].text, columns).c_str());
        if (colour != plain)
            attroff(COLOR_PAIR(colour));
    }
}

void mon_Board::drawCommandLine(int row, int columns) {
    const std::string prompt = "> ";
    std::string shown = mon_Text::Visible(typed);
    const int room = columns - int(prompt.size()) - 1;
    // The end of a long line stays in view, where the typing goes on.
    while (int(shown.size()) > room && !shown.empty()) {
        std::size_t cut = 1;
        while (cut < shown.size() && (static_cast<unsigned char>(shown[cut]) & 0xc0) == 0x80)
            ++cut;
        shown.erase(0, cut);
    }
    mvaddstr(row, 0, (prompt + shown).c_str());
    move(row, int(prompt.size() + shown.size()));
}
