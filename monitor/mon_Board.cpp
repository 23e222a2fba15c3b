#include "monitor/mon_Board.h"

#include "monitor/mon_Command.h"
#include "monitor/mon_ReportPrinter.h"
#include "monitor/mon_Roster.h"
#include "monitor/mon_Series.h"
#include "monitor/mon_Text.h"

#include <curses.h>

#include <algorithm>
#include <clocale>
#include <cmath>
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

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
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

std::unique_ptr<mon_Board> mon_Board::Open(const std::string& title, bool colour, bool bell) {
    std::unique_ptr<Screen> screen = Screen::Open(colour);
    if (!screen)
        return nullptr;
    return std::unique_ptr<mon_Board>(new mon_Board(std::move(screen), title, bell));
}

mon_Board::mon_Board(std::unique_ptr<Screen> opened, const std::string& title, bool bell)
    : screen(std::move(opened)), title(title), bell(bell), ring(false), roster(nullptr),
      selected(0), dirty(true), lastDrawn() {}

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
    if (report.Type() == "Error" && !mon_Job::IsNotice(report) &&
        errorsRung.insert(job.Id()).second)
        ring = true;
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
    if (job.HasEnded())
        ring = true;
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

void mon_Board::Watch(csp_Poller& poller) {
    if (screen)
        poller.add(0);
}

bool mon_Board::Next(std::string& line) {
    readKeys();
    while (!entered.empty()) {
        line = entered.front();
        entered.pop_front();
        if (!handled(line))
            return true;
    }
    return false;
}

bool mon_Board::handled(const std::string& line) {
    const mon_Command command = mon_Command::Parse(line);
    if (command.kind == mon_Command::select)
        select(command.argument);
    else if (command.kind == mon_Command::plot)
        field = command.argument;
    else
        return false;
    dirty = true;
    return true;
}

// The jobs in the order of the table: running and silent first, then those that ended.
std::vector<const mon_Job*> mon_Board::ordered() const {
    std::vector<const mon_Job*> jobs;
    if (roster != nullptr)
        jobs = roster->Jobs();
    std::stable_partition(jobs.begin(), jobs.end(),
                          [](const mon_Job* job) { return !job->HasEnded(); });
    return jobs;
}

const mon_Job* mon_Board::selectedJob() const {
    return selected == 0 || roster == nullptr ? nullptr : roster->Find(selected);
}

void mon_Board::select(const std::string& job) {
    if (job == "none" || job == "-") {
        selected = 0;
        return;
    }
    const std::vector<const mon_Job*> matching =
        roster == nullptr ? std::vector<const mon_Job*>() : roster->Matching(job);
    if (matching.empty()) {
        add(clockNow() + "  -- no job named " + mon_Text::Visible(job) + " to select", plain);
        return;
    }
    selected = matching.front()->Id();
}

void mon_Board::moveSelection(int by) {
    const std::vector<const mon_Job*> jobs = ordered();
    if (jobs.empty())
        return;
    int at = -1;
    for (std::size_t i = 0; i < jobs.size(); ++i)
        if (jobs[i]->Id() == selected)
            at = int(i);
    if (at < 0)
        at = by > 0 ? -1 : int(jobs.size());
    at = std::max(0, std::min(int(jobs.size()) - 1, at + by));
    selected = jobs[std::size_t(at)]->Id();
}

// The field chosen, or until one is, a residual if the job sends one: what an engineer
// watches first.
const mon_Series::Field* mon_Board::shownField(const mon_Job& job) const {
    const std::vector<mon_Series::Field>& fields = job.Series().Fields();
    const mon_Series::Field* shown = job.Series().Find(field);
    for (const mon_Series::Field& candidate : fields)
        if (shown == nullptr && mon_Series::IsResidualLike(candidate.name))
            shown = &candidate;
    if (shown == nullptr && !fields.empty())
        shown = &fields.front();
    return shown;
}

void mon_Board::cycleField(int by) {
    const mon_Job* job = selectedJob();
    if (job == nullptr || job->Series().Fields().empty())
        return;
    const std::vector<mon_Series::Field>& fields = job->Series().Fields();
    const mon_Series::Field* shown = shownField(*job);
    int at = 0;
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (&fields[i] == shown)
            at = int(i);
    at = (at + by + int(fields.size())) % int(fields.size());
    field = fields[std::size_t(at)].name;
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
        } else if (key == KEY_UP || key == KEY_DOWN) {
            moveSelection(key == KEY_UP ? -1 : 1);
        } else if (key == KEY_LEFT || key == KEY_RIGHT) {
            cycleField(key == KEY_LEFT ? -1 : 1);
        } else if (key >= 32 && key <= 255 && key != 127 && typed.size() < maxTypedBytes) {
            typed += char(key);
        } else if (key != KEY_RESIZE) {
            continue;
        }
        dirty = true;
        lastDrawn = Clock::time_point();
    }
}

void mon_Board::Refresh(const mon_Roster& shown) {
    roster = &shown;
    if (!screen)
        return;
    if (ring && bell)
        beep();
    ring = false;
    const Clock::time_point now = Clock::now();
    // The times in the table move every second even when nothing arrives.
    const bool due = now - lastDrawn >= std::chrono::seconds(1);
    if (!(dirty && now - lastDrawn >= drawInterval) && !due)
        return;
    draw(shown);
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
    int tableEnd = drawTable(roster, rows, columns);
    const mon_Job* job = selectedJob();
    if (job != nullptr && rows - tableEnd >= plotRows + 4)
        tableEnd = drawPlot(*job, tableEnd, columns);
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
    const int room = std::max(1, (rows - 4) / 2 - (selected != 0 ? plotRows / 2 : 0));
    const std::string header = cell("JOB", 16) + cell("STATE", 8) + cell("PHASE", 14) +
                               cell("PROGRESS", 12) + cell("STEP", 12) + cell("RATE", 8) +
                               cell("ETA", 8) + cell("ELAPSED", 8) + cell("LAST", 8) +
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
        const mon_Progress& progress = job.GetProgress();
        const bool ended = job.HasEnded();
        const std::string after =
            cell(mon_Text::Visible(job.Phase()), 14) + cell(progress.Bar(12), 12) +
            cell(job.Progress(), 12) + cell(ended ? std::string() : progress.RateText(), 8) +
            cell(ended ? std::string() : progress.EtaText(), 8) +
            cell(mon_Job::Duration((ended ? job.EndedAt() : now) - job.Arrived()), 8) +
            cell(mon_Job::Duration(now - job.LastReport()), 8) +
            cell(std::to_string(job.Errors()), 4) + cell(std::to_string(job.Warnings()), 4) +
            mon_Text::Visible(job.LastMessage());
        const bool isSelected = job.Id() == selected;
        if (isSelected)
            attron(A_REVERSE);
        mvaddstr(row, 0, fitted(before, columns).c_str());
        if (isSelected)
            attroff(A_REVERSE);
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

// The selected job's chosen number over its steps, as points in a box of plotRows rows;
// residuals and the like on a log scale when they are all positive.
int mon_Board::drawPlot(const mon_Job& job, int top, int columns) {
    const mon_Series::Field* shown = shownField(job);
    std::string heading = "-- plot: " + mon_Text::Visible(job.Label());
    if (shown == nullptr || shown->points.empty()) {
        attron(A_BOLD);
        mvaddstr(top, 0,
                 fitted(heading + " has sent no numbers in Step reports yet " +
                            std::string(std::size_t(columns), '-'),
                        columns)
                     .c_str());
        attroff(A_BOLD);
        return top + 1;
    }
    const std::vector<mon_Series::Point>& points = shown->points;
    bool logScale = mon_Series::IsResidualLike(shown->name);
    for (const mon_Series::Point& point : points)
        logScale = logScale && point.value > 0;
    auto scaled = [logScale](float value) {
        return logScale ? std::log10(double(value)) : double(value);
    };
    double low = scaled(points.front().value), high = low;
    for (const mon_Series::Point& point : points) {
        low = std::min(low, scaled(point.value));
        high = std::max(high, scaled(point.value));
    }
    const double first = points.front().step, last = points.back().step;
    const int axis = 10;
    const int width = std::max(10, columns - axis - 1);
    heading += " " + mon_Text::Visible(shown->name) + (logScale ? " (log scale)" : "") +
               ", steps " + number(first) + " to " + number(last) + ", last " +
               number(points.back().value) + "  (arrows: job, field) ";
    attron(A_BOLD);
    mvaddstr(top, 0, fitted(heading + std::string(std::size_t(columns), '-'), columns).c_str());
    attroff(A_BOLD);
    std::vector<std::string> grid(plotRows, std::string(std::size_t(width), ' '));
    for (const mon_Series::Point& point : points) {
        const int x = last > first
                          ? int(std::lround((point.step - first) / (last - first) * (width - 1)))
                          : 0;
        const int y =
            high > low
                ? int(std::lround((scaled(point.value) - low) / (high - low) * (plotRows - 1)))
                : 0;
        grid[std::size_t(plotRows - 1 - y)][std::size_t(x)] = '*';
    }
    auto label = [logScale](double at) { return number(logScale ? std::pow(10.0, at) : at); };
    for (int row = 0; row < plotRows; ++row) {
        std::string margin = row == 0              ? label(high)
                             : row == plotRows - 1 ? label(low)
                                                   : std::string();
        margin = std::string(std::size_t(std::max(0, axis - 1 - int(margin.size()))), ' ') +
                 margin + "|";
        mvaddstr(top + 1 + row, 0, fitted(margin + grid[std::size_t(row)], columns).c_str());
    }
    return top + 1 + plotRows;
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
