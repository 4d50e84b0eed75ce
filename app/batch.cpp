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
#include <thread>

namespace app {

namespace {

using steps::FoundAdapter;

bool sameAdapters(const std::vector<FoundAdapter>& a, const std::vector<FoundAdapter>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const FoundAdapter& x, const FoundAdapter& y) {
                          return x.location == y.location && x.loader == y.loader;
                      });
}

// The adapters on the bus once it has been still (the same locations in the
// same modes) for a second and `enough` holds, looking every 300 ms, or
// what it shows after `limitMs`. Adapters that a run has just restarted are
// off the bus for a moment; a batch that listed them then would leave them
// out.
template <typename Enough>
std::vector<FoundAdapter> settledList(isp::Session& main, const image::ProgramData& program,
                                      std::int64_t limitMs, Enough enough) {
    platform::hid::Bus& bus = main.bus();
    const std::int64_t began = platform::clockMs();
    std::int64_t stillSince = began;
    std::vector<FoundAdapter> all = steps::listAdapters(bus, program);
    for (;;) {
        const std::int64_t now = platform::clockMs();
        if (now - stillSince >= 1000 && enough(all, now - stillSince)) return all;
        if (now - began >= limitMs || main.stop().requested()) return all;
        steps::pause(300, main.stop());
        std::vector<FoundAdapter> next = steps::listAdapters(bus, program);
        if (!sameAdapters(next, all)) {
            all = std::move(next);
            stillSince = platform::clockMs();
        }
    }
}

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
    platform::hid::Bus& bus = main.bus();
    const std::vector<Named>& named = request.named;

    std::vector<FoundAdapter> all;
    if (!named.empty()) {
        all = settledList(main, program, 10'000, [&](const auto& list, std::int64_t) {
            return std::all_of(named.begin(), named.end(),
                               [&](const Named& n) { return findNamed(list, n); });
        });
    } else if (request.expected > 0) {
        all = settledList(main, program, 30'000, [&](const auto& list, std::int64_t) {
            return list.size() >= static_cast<std::size_t>(request.expected);
        });
    } else {
        // An empty bus is given three still seconds.
        all = settledList(main, program, 10'000, [](const auto& list, std::int64_t still) {
            return !list.empty() || still >= 3000;
        });
    }
    if (all.empty()) sayWhatTheSearchSaw(bus, program, settings);

    // Each adapter of the batch: the ones found, or each one named.
    std::vector<Named> members = named;
    if (named.empty())
        for (const FoundAdapter& a : all)
            members.push_back({false, a.location});

    const AdapterLines::Form form =
        request.json ? AdapterLines::Form::Json : AdapterLines::Form::Prefixed;
    if (!request.json && !settings.silentMode && settings.station != nullptr)
        settings.station->showLive();
    std::vector<Outcome> outcomes(members.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const FoundAdapter* found = findNamed(all, members[i]);
        if (found == nullptr) {
            // A location or serial number named that no adapter has.
            AdapterLines lines(members[i].label(), form);
            lines.setQuiet(settings.silentMode);
            lines.setStation(settings.station);
            lines.text(members[i].bySerial ? u"No adapter with this serial number.\n"
                                           : u"No adapter at this location.\n");
            outcomes[i].message = lines.lastLine();
            outcomes[i].result.step = steps::Step::Connect;
            outcomes[i].result.failure = outcomes[i].message;
            if (settings.station != nullptr) {
                JournalEntry entry;
                entry.location = members[i].bySerial ? "" : members[i].value;
                entry.serial = members[i].bySerial ? members[i].value : "";
                entry.mode = modeSwitch(request);
                entry.result = outcomes[i].result;
                settings.station->finished(entry, false);
            }
            lines.result(outcomes[i].message, outcomes[i].result);
            continue;
        }
        threads.emplace_back([&, i, found] {
            outcomes[i] = runFound(main, program, images, settings, request, *found);
        });
    }
    for (std::thread& t : threads)
        t.join();
    if (settings.station != nullptr) settings.station->endLive();

    Tally tally;
    for (const Outcome& o : outcomes)
        tally.add(o.status());
    return summarize(tally, settings, request);
}

} // namespace app
