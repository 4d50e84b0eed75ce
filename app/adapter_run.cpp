// One adapter's run as the console does it: its lock, the connection and
// update the switches ask for, its result in facts, and how that result is
// told (the transcript's last line, the JSON result, the journal).
#include "app/actions.h"
#include "app/station.h"

#include "image/program.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "steps/claim.h"

namespace app {

namespace {

// Back to the application after a connection: true when the run goes on.
bool leaveAfterReading(steps::Run& run, const ConsoleSettings& settings, int& exitCode) {
    if (settings.report != nullptr && settings.report->saveFailed) return false;
    if (run.session.stop().requested()) {
        // An interrupted connection has ended the session itself; one that
        // was complete when the interruption came leaves it to this.
        if (exitCode == 0) {
            run.session.resetToIap(1);
            run.session.close();
            printMessage(settings, "Operation Failed.\n\n");
        }
        exitCode = 1;
        return false;
    }
    // Whatever the connection found, the adapter goes back to its
    // application firmware.
    run.session.execute();
    return true;
}

// The connection and update of one adapter, as the switches ask.
void adapterActions(steps::Run& run, const ConsoleSettings& settings, const Request& request,
                    Outcome& outcome) {
    int& exitCode = outcome.exitCode;
    AdapterReport& report = outcome.report;
    steps::Status& status = outcome.result.status;
    exitCode = 0;
    auto noteBefore = [&] {
        if (report.connected && !outcome.before && run.state.chipVersion != u"NA")
            outcome.before = run.state.chipVersion;
    };
    if (request.showChipVersions) {
        exitCode = consoleConnect(run, settings);
        noteBefore();
        if (!leaveAfterReading(run, settings, exitCode)) return;
        if (exitCode == 0) status = steps::Status::Read;
    }
    if (!request.updateRequested) return;
    status = steps::Status::Failed;
    if (run.session.stop().requested()) {
        printMessage(settings, "Operation Failed.\n\n");
        exitCode = 1;
        return;
    }
    // The update's facts are its own, whatever a reading before it told.
    run.facts = {};
    // A connected loader is in its session: the update, interrupted or
    // not, is what ends it.
    report.current = false;
    exitCode = consoleConnect(run, settings);
    noteBefore();
    if (exitCode == 0) {
        exitCode = consoleUpdate(run, settings);
        if (exitCode == 0 && !run.facts.lost) status = steps::Status::Updated;
    } else if (report.current) {
        status = steps::Status::Current;
    }
}

// The adapter's firmware version after the run, where the run knows it:
// never one read before an erase.
std::optional<std::u16string> versionAfter(steps::Run& run, const Outcome& outcome) {
    if (outcome.status() == steps::Status::Updated || run.facts.lost)
        return steps::storedVersionText(image::recordText(run.program.info.firmwareVersion));
    if (run.facts.erased) {
        // What the failed update left: read again where the adapter still
        // answers and the user did not stop the run.
        if (run.session.stop().requested()) return std::nullopt;
        return readVersionQuietly(run);
    }
    if (run.state.chipVersion == u"NA") return std::nullopt;
    return run.state.chipVersion;
}

// After a batch sent the adapter back to its application: true once it is
// on the bus again. It leaves the bus for its restart at once, so it is back
// when it was seen gone and is there again, or is still there when a
// restart would have shown.
bool backOnBus(isp::Session& session, const image::ProgramData& program,
               const std::string& location) {
    const std::int64_t began = platform::clockMs();
    bool gone = false;
    for (;;) {
        bool there = false;
        for (const steps::FoundAdapter& a : steps::listAdapters(session.bus(), program))
            there = there || a.location == location;
        const std::int64_t waited = platform::clockMs() - began;
        if (there && (gone || waited >= 1500)) return true;
        gone = gone || !there;
        if (waited >= 10'000 || session.stop().requested()) return false;
        steps::pause(200, session.stop());
    }
}

// The run's status and, for one that did not succeed, its step and line,
// from the facts the steps kept and the console's own failures.
void conclude(steps::Run& run, Outcome& outcome) {
    ResultFacts& r = outcome.result;
    const AdapterReport& report = outcome.report;
    const steps::Facts& facts = run.facts;
    r.digest = facts.digest;
    // Written and verified, but not back running it: the adapter needs a
    // look, whatever the transcript's last line.
    if (facts.lost) {
        r.status = steps::Status::Failed;
        outcome.message = u"[ERROR] Can't Reset to AP...";
    }
    if (steps::succeeded(r.status)) return;
    if (r.status == steps::Status::Failed && run.session.stop().requested())
        r.status = steps::Status::Interrupted;
    if (r.status == steps::Status::Interrupted) {
        r.step = facts.step.value_or(steps::Step::Connect);
    } else if (facts.failure) {
        r.step = facts.failure->step;
        r.failure = failureLine(*facts.failure);
    } else {
        r.step = report.failedAt.value_or(facts.step.value_or(steps::Step::Connect));
        r.failure = report.failedStep.empty() ? outcome.message : report.failedStep;
    }
}

void record(Station& station, const steps::Run& run, const Outcome& outcome, const Request& request,
            const std::string& serial, std::int64_t ms) {
    JournalEntry entry;
    entry.location = run.session.followed();
    entry.serial = serial;
    entry.mode = modeSwitch(request);
    entry.result = outcome.result;
    if (run.state.loaderVersion != u"NA") entry.loader = run.state.loaderVersion;
    entry.before = outcome.before;
    entry.durationMs = ms;
    // On the journal's disk before the result is reported.
    station.finished(entry);
}

} // namespace

Outcome runAdapter(steps::Run& run, ConsoleSettings settings, const Request& request,
                   AdapterLines* lines, bool batch, const std::string& serial, bool retried) {
    const std::int64_t began = platform::clockMs();
    Outcome outcome;
    run.eraseAll = request.eraseAll;
    settings.lines = lines;
    settings.report = &outcome.report;
    if (lines != nullptr) lines->setQuiet(settings.silentMode);
    const std::string& location = run.session.followed();
    if (batch) settings.diagnosisPrefix = platform::utf8ToUtf16("[" + location + "] ");
    if (settings.station != nullptr) settings.station->started(location, serial);
    std::u16string refusal;
    // Without an adapter on the bus yet, the search takes the lock of the
    // first it finds.
    std::string holder, notice;
    const bool claimed = location.empty() || steps::claimAdapter(run.session.bus(), location,
                                                                 &refusal, &holder, &notice);
    if (!notice.empty()) diagnose(settings, platform::utf8ToUtf16(notice + "\n"));
    if (!claimed) {
        if (!holder.empty())
            diagnose(settings,
                     platform::utf8ToUtf16("The adapter's lock is held by " + holder + ".\n"));
        printMessage(settings, u"\n" + refusal + u"\n\n");
        outcome.report.failedAt = steps::Step::Connect;
        outcome.report.failedStep = refusal;
    } else {
        adapterActions(run, settings, request, outcome);
    }
    // A batch ends with each adapter it sent back to its application on the
    // bus again, so that the next run finds every one.
    const steps::Status status = outcome.status();
    if (batch && (status == steps::Status::Read || status == steps::Status::Current) &&
        !backOnBus(run.session, run.program, location)) {
        outcome.result.status = steps::Status::Failed;
        outcome.report.failedAt = steps::Step::Restart;
        outcome.report.failedStep = u"Not back on the bus after its restart.";
        printMessage(settings, outcome.report.failedStep + u"\n");
    }
    if (lines != nullptr) {
        lines->flush();
        outcome.message = lines->lastLine();
    }
    conclude(run, outcome);
    outcome.pulled = run.session.state.devicesPulled > 0;
    if (request.watch && outcome.failed() && outcome.pulled)
        outcome.result.replug = retried ? "waiting_for_plug" : "taken_again";
    const bool json = lines != nullptr && lines->json();
    Station* station = settings.station;
    const bool told = station != nullptr && station->listening();
    if (json || told) outcome.result.version = versionAfter(run, outcome);
    if (told) record(*station, run, outcome, request, serial, platform::clockMs() - began);
    if (json) lines->result(outcome.message, outcome.result);
    return outcome;
}

Outcome runFound(isp::Session& main, const image::ProgramData& program,
                 const steps::UpdateImages& images, const ConsoleSettings& settings,
                 const Request& request, const steps::FoundAdapter& found, bool retried) {
    isp::Session session(&main.bus());
    session.stop().follow(&main.stop());
    steps::useReleaseKey(session, program);
    session.follow(found.location);
    steps::Run run{session, program};
    run.images = images;
    AdapterLines lines(found.location,
                       request.json ? AdapterLines::Form::Json : AdapterLines::Form::Prefixed);
    lines.setStation(settings.station);
    lines.found(found.loader, steps::identityText(found), found.serial);
    Outcome outcome = runAdapter(run, settings, request, &lines, true, found.serial, retried);
    // Given back at once: a later run, or a handle, may use the idle adapter.
    session.close();
    steps::releaseAdapter(session.bus(), found.location);
    return outcome;
}

int listAction(platform::hid::Bus& bus, const image::ProgramData& program,
               const ConsoleSettings& settings, bool json) {
    const auto all = steps::listAdapters(bus, program);
    for (const steps::FoundAdapter& a : all) {
        if (json) {
            AdapterLines(a.location, AdapterLines::Form::Json)
                .found(a.loader, steps::identityText(a), a.serial);
        } else {
            printMessage(settings, platform::utf8ToUtf16(steps::adapterLine(a) + "\n"));
        }
    }
    if (all.empty()) {
        sayError(settings, json, "No adapter is on the bus.\n");
        sayWhatTheSearchSaw(bus, program, settings);
    }
    return all.empty() ? 1 : 0;
}

bool chooseNamed(steps::Run& run, const ConsoleSettings& settings, const Named& named, bool json) {
    // An adapter that a run has just restarted is off the bus for a second
    // or so: the bus is listed again for 3 s.
    std::vector<steps::FoundAdapter> all;
    for (int look = 0; look < 6 && !run.session.stop().requested(); ++look) {
        if (look > 0) steps::pause(500, run.session.stop());
        all = steps::listAdapters(run.session.bus(), run.program);
        if (const steps::FoundAdapter* a = findNamed(all, named)) {
            run.session.follow(a->location);
            return true;
        }
    }
    std::string text = (named.bySerial ? "\nNo adapter with serial number " : "\nNo adapter at ") +
                       named.value + ".";
    text += all.empty() ? " No adapter is on the bus.\n" : " On the bus:\n";
    for (const steps::FoundAdapter& a : all)
        text += "    " + steps::adapterLine(a) + "\n";
    sayError(settings, json, text + "\n", named.bySerial ? std::string() : named.value);
    return false;
}

const steps::FoundAdapter* findNamed(const std::vector<steps::FoundAdapter>& all,
                                     const Named& named) {
    for (const steps::FoundAdapter& a : all)
        if (named.matches(a)) return &a;
    return nullptr;
}

} // namespace app
