#ifndef MONITOR_MON_BOARD_H
#define MONITOR_MON_BOARD_H

#include "monitor/mon_CommandInput.h"
#include "monitor/mon_Series.h"
#include "monitor/mon_View.h"

#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The live board on a terminal: a table of every job at the top (state, phase, progress bar,
// step, pace and ETA, elapsed time, time since the last report, errors, warnings), the
// selected job's plot of one of its numbers (up and down arrows or "select JOB" choose the
// job, left and right or "plot FIELD" the number), the latest reports scrolling below, and
// a command line at the bottom that output never writes into. Colours mark errors, warnings
// and states, unless NO_COLOR is set; the terminal's bell rings when a job ends or reports
// its first error, unless the board is opened without it (-quiet).
class mon_Board : public mon_View, public mon_CommandInput {
public:
    // Lines of reports kept for scrolling back into view after a resize.
    static constexpr std::size_t keptLines = 1000;

    // Null when the terminal cannot be driven; then the plain log serves instead.
    static std::unique_ptr<mon_Board> Open(const std::string& title, bool colour, bool bell);
    // Rows of the plot, besides its title.
    static constexpr int plotRows = 6;
    ~mon_Board() override;
    mon_Board(const mon_Board&) = delete;
    mon_Board& operator=(const mon_Board&) = delete;

    void SetTitle(const std::string& text) { title = text; }

    void JobArrived(const mon_Job& job, const std::string& how) override;
    void ReportArrived(const mon_Job& job, const mon_Report& report, const Time& time) override;
    void ReportUnreadable(const mon_Job& job, const std::string& raw, const std::string& reason,
                          const Time& time) override;
    void StateChanged(const mon_Job& job, mon_Job::State previous, const std::string& why) override;
    void JobLeft(const mon_Job& job) override;
    void Note(const std::string& text) override;
    void Refresh(const mon_Roster& roster) override;
    // Leaves the board and prints the summary as the plain log would.
    void Summary(const mon_Roster& roster) override;

    void Watch(csp_Poller& poller) override;
    bool Next(std::string& line) override;

private:
    class Screen;
    struct Line {
        std::string text;
        int colour;
    };
    using Clock = std::chrono::steady_clock;

    std::unique_ptr<Screen> screen;
    std::string title;
    bool bell;
    bool ring;
    std::set<int> errorsRung;
    const mon_Roster* roster;
    int selected;
    std::string field;
    std::deque<Line> lines;
    std::string typed;
    std::deque<std::string> entered;
    bool dirty;
    Clock::time_point lastDrawn;

    mon_Board(std::unique_ptr<Screen> screen, const std::string& title, bool bell);
    void add(const std::string& text, int colour);
    void readKeys();
    // The board's own commands (select, plot); false for those the monitor carries out.
    bool handled(const std::string& line);
    void select(const std::string& job);
    void moveSelection(int by);
    void cycleField(int by);
    const mon_Job* selectedJob() const;
    const mon_Series::Field* shownField(const mon_Job& job) const;
    std::vector<const mon_Job*> ordered() const;
    int drawPlot(const mon_Job& job, int top, int columns);
    void draw(const mon_Roster& roster);
    int drawTable(const mon_Roster& roster, int rows, int columns);
    void drawLines(int top, int bottom, int columns);
    void drawCommandLine(int row, int columns);
};

#endif
