// The live view of a batch or a watch on a terminal: one row per adapter,
// redrawn in place on standard error a few times a second (location, serial
// number, step, percent of the running pass, time so far; at its end its
// status, versions before and after, the step it failed in), under it the
// station's totals and the journal's state. Rows are cut at the terminal's
// width, never wrapped; the size is asked at each redraw, so a resized
// window is drawn anew; when the rows do not fit, the finished ones scroll
// away above the view first. Text said meanwhile on standard error goes
// above the view.
#pragma once

#include "app/journal.h"
#include "steps/facts.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace app {

class LiveView {
  public:
    // `colour`: status words in colour. `journal`: the journal's path, empty
    // without one.
    LiveView(bool colour, std::string journal);
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    void started(const std::string& location, const std::string& serial);
    void line(const std::string& location, const std::u16string& text);
    void progress(const std::string& location, int percent);
    // The adapter's result, as the journal records it.
    void finished(const JournalEntry& entry);
    void journalStopped();
    // Text (whole lines) written above the rows.
    void above(const std::u16string& text);
    // The last draw, left on the screen; no redraw after it.
    void end();

    // The row of one adapter at `nowMs` as drawn, at most `columns` - 1
    // characters, and the status word's place in it (for its colour).
    struct Row {
        std::string location, serial, step;
        int percent = -1;
        std::int64_t beganMs = 0, endedMs = -1;
        std::optional<steps::Status> status;
        std::string detail;
    };
    static std::string render(const Row& row, std::int64_t nowMs, int columns,
                              std::size_t locationWidth, std::size_t serialWidth,
                              std::size_t* statusAt = nullptr, std::size_t* statusLength = nullptr);

  private:
    void tick();
    void draw(const std::string& above = {});
    std::string totals(int columns) const;
    Row* find(const std::string& location);

    const bool colour_;
    const std::string journal_;
    bool journalStopped_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ended_ = false;
    bool changed_ = true;
    std::vector<Row> rows_;
    // Finished rows to scroll away above the view at the next draw.
    std::vector<Row> pending_;
    std::size_t counts_[5] = {};
    int drawnLines_ = 0;
    std::thread ticker_;
};

} // namespace app
