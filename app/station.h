// What a station's runs tell beside their transcript: each adapter's start,
// progress and result, to the journal ("/log:FILE"), the system log
// ("/syslog"), node_exporter's textfile collector ("/metrics:FILE") and, for
// a batch or a watch on a terminal, the live view of its adapters.
#pragma once

#include "app/journal.h"
#include "app/request.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace app {

class LiveView;
class Metrics;

class Station {
  public:
    Station();
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Opens what the request asks for before any adapter is touched: false
    // with the line that says why (a journal or metrics file that cannot be
    // written). A system log that cannot be reached is said once, and the
    // run goes on: the journal is the record of truth.
    bool open(const Request& request, const image::ProgramData& program,
              const steps::UpdateImages& images, std::string& why);
    // Null without "/log:".
    Journal* journal() { return journalOpen_ ? &journal_ : nullptr; }
    // Whether anything listens for results (a journal, a log, metrics, a view).
    bool listening() const;

    // The live view, for a batch or a watch when standard error is a
    // terminal that takes ANSI sequences (and the run is not silent or
    // JSON); nothing otherwise. Ended (its last state left on the screen)
    // before the summary.
    void showLive();
    void endLive();
    // The adapters' transcript lines stay off standard output while the
    // live view shows them on the same terminal.
    bool transcriptHidden() const;
    bool live() const { return view_ != nullptr; }

    void started(const std::string& location, const std::string& serial);
    void line(const std::string& location, const std::u16string& text);
    void progress(const std::string& location, steps::Step pass, int percent);
    // One adapter's result: on the journal's disk first, then told to the
    // system log, the metrics and the view. `ran`: the adapter was started
    // (one named that was not there was not).
    void finished(const JournalEntry& entry, bool ran = true);

  private:
    Journal journal_;
    bool journalOpen_ = false;
    Json fields_;
    std::unique_ptr<LiveView> view_;
    std::unique_ptr<Metrics> metrics_;
    platform::SystemLog log_;
    bool logOpen_ = false;
    std::atomic<bool> logFailureSaid_{false};
    std::mutex logMutex_;
    bool hideTranscript_ = false;
};

// Standard error, past the live view when one is shown (its rows are drawn
// again below the text).
void sayOnStandardError(const std::u16string& text);

} // namespace app
