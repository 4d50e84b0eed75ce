// "/w": a station's watch. Each adapter is worked on as it is plugged in, on
// a thread of its own with its own session; each thread is joined as soon as
// its adapter's result is out, so a watch that runs all shift holds only the
// runs that are running.
#include "app/actions.h"
#include "app/station.h"

#include "image/program.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace app {

namespace {

using steps::FoundAdapter;

// One adapter of a watch, by location: running, or done with this plug.
// After its result it is taken again only once it has been off the bus for
// a second and a half, counted from whenever it left (during its run, when
// it was unplugged then): its own restarts (the update's, the version read
// after a failure) take less, an unplugging by hand takes longer.
// A run that lost its adapter without a restart it commanded (a pull and a
// quick re-plug while the run was still failing) makes the adapter there
// count as newly plugged, once in a row: `retried` marks that second run.
struct Watched {
    bool running = true;
    std::int64_t absentSinceMs = -1;
    bool departed = false;
    bool retried = false;
    bool retryNext = false;
};
constexpr std::int64_t kUnpluggedMs = 1500;

// "[1-2.3] 1.0.0 -> 2.1.0 updated in 6.4 s": a station's line per result.
std::string resultLine(const std::string& location, const Outcome& o,
                       const image::ProgramData& program, std::int64_t ms) {
    auto text = [](const std::optional<std::u16string>& v) {
        return v ? platform::utf16ToUtf8(platform::shown(*v)) : std::string("-");
    };
    const steps::Status status = o.status();
    std::optional<std::u16string> after = o.result.version;
    if (status == steps::Status::Updated) after = image::recordText(program.info.firmwareVersion);
    if (!after && (status == steps::Status::Read || status == steps::Status::Current))
        after = o.before;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
    std::string line = "[" + location + "] " + text(o.before) + " -> " + text(after) + " " +
                       steps::statusName(status) + " in " + seconds + " s";
    if (o.failed()) line += ": " + platform::utf16ToUtf8(o.result.failure);
    if (status == steps::Status::Interrupted && o.result.step)
        line += std::string(": during ") + steps::stepName(*o.result.step);
    if (o.result.replug != nullptr)
        line += std::string(o.result.replug) == "taken_again"
                    ? " (pulled during the run: taken again)"
                    : " (pulled again: waiting for a new plug)";
    return line + "\n";
}

class Watch {
  public:
    Watch(isp::Session& main, const image::ProgramData& program, const steps::UpdateImages& images,
          const ConsoleSettings& settings, const Request& request)
        : main_(main), program_(program), images_(images), settings_(settings), request_(request),
          feedback_(!request.json && !settings.silentMode),
          limit_(request.expected > 0 ? static_cast<std::size_t>(request.expected)
                                      : static_cast<std::size_t>(-1)) {}

    int run() {
        if (!settings_.silentMode)
            platform::writeStandardError(u"Waiting for adapters; Ctrl-C ends the watch.\n");
        // On a terminal, the live view of the adapters; where it cannot be
        // drawn, one line on standard error says how many are running.
        Station* station = settings_.station;
        if (feedback_ && station != nullptr) station->showLive();
        const bool statusLine = feedback_ && platform::standardErrorIsTerminal() &&
                                (station == nullptr || !station->live());
        while (true) {
            joinEnded();
            if (statusLine) showStatus();
            if (main_.stop().requested()) break;
            // A station that cannot record its results takes no new adapter;
            // the running ones finish.
            if (settings_.journal != nullptr && settings_.journal->stopped()) break;
            if (!look(steps::listAdapters(main_.bus(), program_))) break;
            steps::pause(300, main_.stop());
        }
        for (Thread& t : threads_)
            t.thread.join();
        if (station != nullptr) station->endLive();
        return summarize(tally_, settings_, request_);
    }

  private:
    struct Thread {
        std::thread thread;
        std::atomic<bool> ended{false};
    };

    // One look at the bus: the adapters seen come and go, the new ones
    // start. False once the watch has its count of results.
    bool look(const std::vector<FoundAdapter>& all) {
        const std::int64_t now = platform::clockMs();
        const std::lock_guard lock(mutex_);
        if (tally_.total >= limit_) return false;
        for (auto& entry : watched_) {
            // No structured binding in a lambda's reach: clang 14 refuses it.
            const std::string& location = entry.first;
            Watched& w = entry.second;
            const bool there = std::any_of(all.begin(), all.end(), [&](const FoundAdapter& a) {
                return a.location == location;
            });
            if (there)
                w.absentSinceMs = -1;
            else if (w.absentSinceMs < 0)
                w.absentSinceMs = now;
            if (!w.running && w.absentSinceMs >= 0 && now - w.absentSinceMs >= kUnpluggedMs)
                w.departed = true;
        }
        for (const FoundAdapter& a : all) {
            if (started_ >= limit_) break;
            const auto it = watched_.find(a.location);
            if (it != watched_.end() && (it->second.running || !it->second.departed)) continue;
            const bool retry = it != watched_.end() && it->second.retryNext;
            watched_[a.location] = Watched{.retried = retry};
            ++started_;
            start(a, retry);
        }
        return true;
    }

    void start(const FoundAdapter& a, bool retry) {
        Thread& t = threads_.emplace_back();
        t.thread = std::thread([this, a, retry, &t] {
            const std::int64_t began = platform::clockMs();
            // The live view on the same terminal shows them instead.
            const bool lines = feedback_ && (settings_.station == nullptr ||
                                             !settings_.station->transcriptHidden());
            if (lines)
                writeWholeLine(
                    "[" + a.location + "] Started" +
                    (a.serial.empty() ? "" : " (serial " + platform::shown(a.serial) + ")") + "\n");
            Outcome o = runFound(main_, program_, images_, settings_, request_, a, retry);
            if (lines)
                writeWholeLine(resultLine(a.location, o, program_, platform::clockMs() - began));
            {
                const std::lock_guard done(mutex_);
                Watched& w = watched_[a.location];
                w.running = false;
                if (o.result.replug != nullptr && !w.retried) w.departed = w.retryNext = true;
                tally_.add(o);
            }
            t.ended = true;
        });
    }

    // The threads whose adapter has its result: joined and gone.
    void joinEnded() {
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (!it->ended) {
                ++it;
                continue;
            }
            it->thread.join();
            it = threads_.erase(it);
        }
    }

    void showStatus() {
        std::string text;
        {
            const std::lock_guard lock(mutex_);
            text = "Watching: " + std::to_string(started_ - tally_.total) + " running, " +
                   std::to_string(tally_.total) + " done";
        }
        if (text != shown_)
            platform::writeStandardError(platform::utf8ToUtf16("\r" + text + "   \r"));
        shown_ = text;
    }

    isp::Session& main_;
    const image::ProgramData& program_;
    const steps::UpdateImages& images_;
    const ConsoleSettings& settings_;
    const Request& request_;
    const bool feedback_;
    const std::size_t limit_;
    std::mutex mutex_;
    std::map<std::string, Watched> watched_;
    Tally tally_;
    std::list<Thread> threads_;
    std::size_t started_ = 0;
    std::string shown_;
};

} // namespace

int watchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request) {
    Watch watch(main, program, images, settings, request);
    return watch.run();
}

} // namespace app
