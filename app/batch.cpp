// A batch: every adapter on the bus ("/a", with "/n:COUNT" the number a
// station expects) or the adapters at the locations named ("/port:" more
// than once), each in its own session on its own thread, and one summary
// that counts every adapter: the ones found, the ones that could not be
// taken and the ones that were not there.
#include "app/actions.h"
#include "app/journal.h"

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
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
std::vector<FoundAdapter> settledList(platform::hid::Bus& bus, const image::ProgramData& program,
                                      std::int64_t limitMs, Enough enough) {
    const std::int64_t began = platform::clockMs();
    std::int64_t stillSince = began;
    std::vector<FoundAdapter> all = steps::listAdapters(bus, program);
    for (;;) {
        const std::int64_t now = platform::clockMs();
        if (now - stillSince >= 1000 && enough(all, now - stillSince)) return all;
        if (now - began >= limitMs || platform::interruptRequested()) return all;
        steps::pause(300);
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

// One adapter of a batch or a watch, found at its location: its own session
// (on this thread), following it, with its own lines.
Outcome runFound(platform::hid::Bus& bus, const image::ProgramData& program,
                 const steps::UpdateImages& images, const ConsoleSettings& settings,
                 const Request& request, const FoundAdapter& found) {
    isp::Session session(&bus);
    steps::useReleaseKey(session, program);
    session.follow(found.location);
    steps::Run run{session, program};
    run.images = images;
    AdapterLines lines(found.location,
                       request.json ? AdapterLines::Form::Json : AdapterLines::Form::Prefixed);
    lines.found(found.loader, steps::identityText(found), found.serial);
    return runAdapter(run, settings, request, &lines, true, found.serial);
}

// The batch's summary line (or event) and its exit code.
int summarize(const std::vector<Outcome>& outcomes, const ConsoleSettings& settings,
              const Request& request) {
    std::size_t updated = 0, current = 0, read = 0, failed = 0;
    for (const Outcome& o : outcomes) {
        const std::string status = o.status;
        updated += status == "updated";
        current += status == "current";
        read += status == "read";
        failed += o.failed();
    }
    // Expected adapters that were not there count as failed.
    const std::size_t present = outcomes.size();
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
    if (request.json) {
        writeEvent(
            "summary", "",
            ",\"text\":" + jsonString(summary) + ",\"adapters\":" + std::to_string(present) +
                ",\"expected\":" + (request.expected > 0 ? std::to_string(expected) : "null") +
                ",\"updated\":" + std::to_string(updated) +
                ",\"current\":" + std::to_string(current) + ",\"read\":" + std::to_string(read) +
                ",\"failed\":" + std::to_string(failed));
    } else if (!settings.silentMode) {
        writeWholeLine(summary + "\n");
    }
    // A station that finds another number of adapters than it expects is not
    // what its operator thinks it is, even when each one went well.
    const bool counted = request.expected == 0 || present == expected;
    return failed == 0 && counted && present > 0 ? 0 : 1;
}

} // namespace

const FoundAdapter* findNamed(const std::vector<FoundAdapter>& all, const Named& named) {
    for (const FoundAdapter& a : all)
        if (named.matches(a)) return &a;
    return nullptr;
}

int batchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request) {
    platform::hid::Bus& bus = main.bus();
    const std::vector<Named>& named = request.named;

    std::vector<FoundAdapter> all;
    if (!named.empty()) {
        all = settledList(bus, program, 10'000, [&](const auto& list, std::int64_t) {
            return std::all_of(named.begin(), named.end(),
                               [&](const Named& n) { return findNamed(list, n); });
        });
    } else if (request.expected > 0) {
        all = settledList(bus, program, 30'000, [&](const auto& list, std::int64_t) {
            return list.size() >= static_cast<std::size_t>(request.expected);
        });
    } else {
        // An empty bus is given three still seconds.
        all = settledList(bus, program, 10'000, [](const auto& list, std::int64_t still) {
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
    std::vector<Outcome> outcomes(members.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const FoundAdapter* found = findNamed(all, members[i]);
        if (found == nullptr) {
            // A location or serial number named that no adapter has.
            AdapterLines lines(members[i].label(), form);
            lines.setQuiet(settings.silentMode);
            lines.text(members[i].bySerial ? u"No adapter with this serial number.\n"
                                           : u"No adapter at this location.\n");
            outcomes[i].message = lines.lastLine();
            if (settings.journal != nullptr) {
                JournalEntry entry;
                entry.location = members[i].bySerial ? "" : members[i].value;
                entry.serial = members[i].bySerial ? members[i].value : "";
                entry.mode = modeSwitch(request, settings);
                entry.status = "failed";
                entry.step = outcomes[i].message;
                // Built in steps: GCC 12 at -O3 sees a false overlap in a
                // chain of u16string additions here.
                std::u16string prefix = platform::utf8ToUtf16(members[i].label());
                prefix.insert(0, 1, u'[');
                prefix.append(u"] ");
                settings.journal->record(entry, prefix);
            }
            lines.result("failed", outcomes[i].message, outcomes[i].message, std::nullopt);
            continue;
        }
        threads.emplace_back([&, i, found] {
            outcomes[i] = runFound(bus, program, images, settings, request, *found);
        });
    }
    for (std::thread& t : threads)
        t.join();

    return summarize(outcomes, settings, request);
}

namespace {

// One adapter of a watch, by location: running, or done with this plug.
// After its result it is taken again only once it has been off the bus for
// a second and a half, counted from whenever it left (during its run, when
// it was unplugged then): its own restarts (the update's, the version read
// after a failure) take less, an unplugging by hand takes longer.
struct Watched {
    bool running = true;
    std::int64_t absentSinceMs = -1;
    bool departed = false;
};
constexpr std::int64_t kUnpluggedMs = 1500;

// "[1-2.3] 1.0.0 -> 2.1.0 updated in 6.4 s": a station's line per result.
std::string resultLine(const std::string& location, const Outcome& o,
                       const image::ProgramData& program, std::int64_t ms) {
    auto text = [](const std::optional<std::u16string>& v) {
        return v ? platform::utf16ToUtf8(*v) : std::string("-");
    };
    const std::string status = o.status;
    std::optional<std::u16string> after = o.version;
    if (status == "updated") after = image::recordText(program.info.firmwareVersion);
    if (!after && (status == "read" || status == "current")) after = o.before;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
    std::string line = "[" + location + "] " + text(o.before) + " -> " + text(after) + " " +
                       status + " in " + seconds + " s";
    if (o.failed()) line += ": " + platform::utf16ToUtf8(o.report.failedStep);
    return line + "\n";
}

} // namespace

int watchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request) {
    platform::hid::Bus& bus = main.bus();
    const bool feedback = !request.json && !settings.silentMode;
    const std::size_t limit = request.expected > 0 ? static_cast<std::size_t>(request.expected)
                                                   : static_cast<std::size_t>(-1);
    std::mutex mutex;
    std::map<std::string, Watched> watched;
    std::vector<Outcome> outcomes;
    std::list<std::thread> threads;
    std::size_t started = 0;
    if (!settings.silentMode)
        platform::writeStandardError(u"Waiting for adapters; Ctrl-C ends the watch.\n");
    // On a terminal, one line on standard error says how many are running.
    const bool statusLine = feedback && platform::standardErrorIsTerminal();
    std::string shown;
    for (;;) {
        if (statusLine) {
            std::string text;
            {
                const std::lock_guard lock(mutex);
                text = "Watching: " + std::to_string(started - outcomes.size()) + " running, " +
                       std::to_string(outcomes.size()) + " done";
            }
            if (text != shown)
                platform::writeStandardError(platform::utf8ToUtf16("\r" + text + "   \r"));
            shown = text;
        }
        if (platform::interruptRequested()) break;
        const std::vector<FoundAdapter> all = steps::listAdapters(bus, program);
        const std::int64_t now = platform::clockMs();
        {
            const std::lock_guard lock(mutex);
            if (outcomes.size() >= limit) break;
            for (auto& entry : watched) {
                Watched& w = entry.second;
                const std::string& location = entry.first;
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
                if (started >= limit) break;
                const auto it = watched.find(a.location);
                if (it != watched.end() && (it->second.running || !it->second.departed)) continue;
                watched[a.location] = Watched{};
                ++started;
                threads.emplace_back([&, a] {
                    const std::int64_t began = platform::clockMs();
                    if (feedback)
                        writeWholeLine("[" + a.location + "] Started" +
                                       (a.serial.empty() ? "" : " (serial " + a.serial + ")") +
                                       "\n");
                    Outcome o = runFound(bus, program, images, settings, request, a);
                    if (feedback)
                        writeWholeLine(
                            resultLine(a.location, o, program, platform::clockMs() - began));
                    const std::lock_guard done(mutex);
                    outcomes.push_back(std::move(o));
                    watched[a.location].running = false;
                });
            }
        }
        steps::pause(300);
    }
    for (std::thread& t : threads)
        t.join();
    return summarize(outcomes, settings, request);
}

} // namespace app
