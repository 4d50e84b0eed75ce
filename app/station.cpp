#include "app/station.h"

#include "app/live_view.h"
#include "app/metrics.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace app {

namespace {

// The live view shown now, which text on standard error must pass.
std::mutex viewMutex;
LiveView* shownView = nullptr;

} // namespace

void sayOnStandardError(const std::u16string& text) {
    const std::lock_guard lock(viewMutex);
    if (shownView != nullptr) return shownView->above(text);
    platform::writeStandardError(text);
}

Station::Station() = default;

Station::~Station() { endLive(); }

bool Station::open(const Request& request, const image::ProgramData& program,
                   const steps::UpdateImages& images, std::string& why) {
    fields_ = recordFields(program, images);
    std::string reason;
    if (!request.journal.empty()) {
        if (!journal_.open(request.journal, reason)) {
            why = "The journal " + request.journal + " cannot be opened (" + reason +
                  "): no adapter was touched.\n";
            return false;
        }
        journalOpen_ = true;
        // A rotation (move the journal, then SIGHUP) opens its path again.
        platform::setHangupReopens(true);
    }
    if (!request.metrics.empty()) {
        metrics_ = std::make_unique<Metrics>();
        if (!metrics_->open(request.metrics, runLabels().station, reason)) {
            why = "The metrics file " + request.metrics + " cannot be written (" + reason +
                  "): no adapter was touched.\n";
            metrics_.reset();
            return false;
        }
    }
    if (request.syslog) {
        logOpen_ = log_.open(request.syslogSocket, reason);
        if (!logOpen_ && !request.silent)
            sayOnStandardError(
                platform::utf8ToUtf16("The system log cannot be reached (" + reason +
                                      "): results go to the journal and the output only.\n"));
        logFailureSaid_ = !logOpen_;
    }
    return true;
}

bool Station::listening() const {
    return journalOpen_ || metrics_ != nullptr || logOpen_ || view_ != nullptr;
}

void Station::showLive() {
    if (view_ != nullptr || !platform::standardErrorIsTerminal() ||
        !platform::enableTerminalSequences())
        return;
    const std::string term = platform::environment("TERM");
    const bool colour = platform::environment("NO_COLOR").empty() &&
                        (platform::hasWindow() || (!term.empty() && term != "dumb"));
    view_ = std::make_unique<LiveView>(colour, journalOpen_ ? journal_.path() : std::string());
    hideTranscript_ = platform::standardOutputIsTerminal();
    const std::lock_guard lock(viewMutex);
    shownView = view_.get();
}

void Station::endLive() {
    if (view_ == nullptr) return;
    {
        const std::lock_guard lock(viewMutex);
        shownView = nullptr;
    }
    view_->end();
    hideTranscript_ = false;
}

bool Station::transcriptHidden() const { return hideTranscript_; }

void Station::started(const std::string& location, const std::string& serial) {
    if (view_) view_->started(location, serial);
    if (metrics_) metrics_->started();
}

void Station::line(const std::string& location, const std::u16string& text) {
    if (view_) view_->line(location, text);
}

void Station::progress(const std::string& location, steps::Step, int percent) {
    if (view_) view_->progress(location, percent);
}

void Station::finished(const JournalEntry& entry, bool ran) {
    const Json line = recordLine(entry, fields_);
    if (journalOpen_) {
        journal_.record(line);
        if (view_ && journal_.stopped()) view_->journalStopped();
    }
    if (logOpen_) {
        // "@cee:" and the record: rsyslog's mmjsonparse and syslog-ng read
        // the JSON after it.
        const bool error = !steps::succeeded(entry.result.status);
        std::string reason;
        const std::lock_guard lock(logMutex_);
        if (!log_.send(error, "@cee: " + jsonLine(line), reason) && !logFailureSaid_.exchange(true))
            sayOnStandardError(platform::utf8ToUtf16("The system log did not take a result (" +
                                                     reason + "); the journal keeps them.\n"));
    }
    if (metrics_) metrics_->finished(entry, ran);
    if (view_) view_->finished(entry);
}

} // namespace app
