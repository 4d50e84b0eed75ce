// A batch: every adapter on the bus ("/a", with "/n:COUNT" the number a
// station expects) or the adapters at the locations named ("/port:" more
// than once), each in its own session on its own thread, and one summary
// that counts every adapter: the ones found, the ones that could not be
// taken and the ones that were not there.
#include "app/actions.h"
#include "app/station.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <thread>

namespace app {

namespace {

using steps::FoundAdapter;

// Every adapter of a batch: those on the bus start at once, each on its own
// thread, and the bus is watched on for its settle window, so that an
// adapter that arrives meanwhile (just plugged, or still restarting from an
// earlier run) joins. The window ends once no new location has appeared for
// a second and `enough` holds for the locations seen, or after `limitMs`.
// A location is started once: the batch's own adapters leave the bus and
// come back as their runs restart them.
class Arrivals {
  public:
    template <typename Enough, typename Start>
    void watch(isp::Session& main, const image::ProgramData& program, std::int64_t limitMs,
               Enough enough, Start start) {
        const std::int64_t began = platform::clockMs();
        std::int64_t stillSince = began;
        for (;;) {
            bool arrived = false;
            for (const FoundAdapter& a : steps::listAdapters(main.bus(), program)) {
                if (std::any_of(seen_.begin(), seen_.end(),
                                [&](const FoundAdapter& s) { return s.location == a.location; }))
                    continue;
                seen_.push_back(a);
                arrived = true;
                start(a);
            }
            const std::int64_t now = platform::clockMs();
            if (arrived) stillSince = now;
            if (now - stillSince >= 1000 && enough(seen_, now - stillSince)) return;
            if (now - began >= limitMs || main.stop().requested()) return;
            steps::pause(300, main.stop());
        }
    }
    const std::vector<FoundAdapter>& seen() const { return seen_; }

  private:
    std::vector<FoundAdapter> seen_;
};

std::string plural(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

} // namespace

int summarize(const Tally& tally, const ConsoleSettings& settings, const Request& request) {
    auto count = [&](steps::Status s) { return tally[s]; };
    const std::size_t updated = count(steps::Status::Updated);
    const std::size_t current = count(steps::Status::Current);
    const std::size_t read = count(steps::Status::Read);
    const std::size_t interrupted = count(steps::Status::Interrupted);
    std::size_t failed = count(steps::Status::Failed);
    // Expected adapters that were not there count as failed.
    const std::size_t present = tally.total;
    const std::size_t expected = static_cast<std::size_t>(request.expected);
    const std::size_t missing = expected > present ? expected - present : 0;
    failed += missing;
    std::string summary = request.expected > 0 ? plural(expected, "adapter") + " expected, " +
                                                     std::to_string(present) + " present: "
                                               : plural(present, "adapter") + ": ";
    summary += request.updateRequested ? std::to_string(updated) + " updated, " +
                                             std::to_string(current) + " already current, "
                                       : std::to_string(read) + " read, ";
    summary += std::to_string(failed) + " failed";
    if (interrupted > 0) summary += ", " + std::to_string(interrupted) + " interrupted";
    if (tally.digestMismatches > 0)
        summary += ", " + std::to_string(tally.digestMismatches) +
                   (tally.digestMismatches == 1 ? " digest mismatch" : " digest mismatches");
    if (request.json) {
        Json e = event("summary", "");
        e["text"] = summary;
        e["adapters"] = present;
        e["expected"] = request.expected > 0 ? Json(expected) : Json(nullptr);
        e["updated"] = updated;
        e["current"] = current;
        e["read"] = read;
        e["failed"] = failed;
        e["interrupted"] = interrupted;
        e["digest_mismatches"] = tally.digestMismatches;
        writeJson(e);
    } else if (!settings.silentMode) {
        writeWholeLine(summary + "\n");
    }
    // A station that finds another number of adapters than it expects is not
    // what its operator thinks it is, even when each one went well.
    const bool counted = request.expected == 0 || present == expected;
    return failed == 0 && interrupted == 0 && counted && present > 0 ? 0 : 1;
}

int batchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request) {
    const std::vector<Named>& named = request.named;
    const AdapterLines::Form form =
        request.json ? AdapterLines::Form::Json : AdapterLines::Form::Prefixed;
    if (!request.json && !settings.silentMode && settings.station != nullptr)
        settings.station->showLive();

    // The adapters found, each on its thread as it is found: every one with
    // "/a", the ones named otherwise.
    std::list<Outcome> outcomes;
    std::vector<std::thread> threads;
    auto start = [&](const FoundAdapter& a) {
        if (!named.empty() &&
            std::none_of(named.begin(), named.end(), [&](const Named& n) { return n.matches(a); }))
            return;
        Outcome& outcome = outcomes.emplace_back();
        threads.emplace_back(
            [&, a] { outcome = runFound(main, program, images, settings, request, a); });
    };
    Arrivals arrivals;
    if (!named.empty()) {
        arrivals.watch(
            main, program, 10'000,
            [&](const auto& list, std::int64_t) {
                return std::all_of(named.begin(), named.end(),
                                   [&](const Named& n) { return findNamed(list, n); });
            },
            start);
    } else if (request.expected > 0) {
        arrivals.watch(
            main, program, 30'000,
            [&](const auto& list, std::int64_t) {
                return list.size() >= static_cast<std::size_t>(request.expected);
            },
            start);
    } else {
        // An empty bus is given three still seconds.
        arrivals.watch(
            main, program, 10'000,
            [](const auto& list, std::int64_t still) { return !list.empty() || still >= 3000; },
            start);
    }
    if (arrivals.seen().empty()) sayWhatTheSearchSaw(main.bus(), program, settings);

    // A location or serial number named that no adapter has.
    Tally tally;
    for (const Named& n : named) {
        if (findNamed(arrivals.seen(), n) != nullptr) continue;
        AdapterLines lines(n.label(), form);
        lines.setQuiet(settings.silentMode);
        lines.setStation(settings.station);
        lines.text(n.bySerial ? u"No adapter with this serial number.\n"
                              : u"No adapter at this location.\n");
        Outcome missing;
        missing.message = lines.lastLine();
        missing.result.step = steps::Step::Connect;
        missing.result.failure = missing.message;
        if (settings.station != nullptr) {
            JournalEntry entry;
            entry.location = n.bySerial ? "" : n.value;
            entry.serial = n.bySerial ? n.value : "";
            entry.mode = modeSwitch(request);
            entry.result = missing.result;
            settings.station->finished(entry, false);
        }
        lines.result(missing.message, missing.result);
        tally.add(missing);
    }
    for (std::thread& t : threads)
        t.join();
    if (settings.station != nullptr) settings.station->endLive();
    for (const Outcome& o : outcomes)
        tally.add(o);
    return summarize(tally, settings, request);
}

} // namespace app
