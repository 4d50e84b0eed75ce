#include "app/console.h"

#include "app/actions.h"
#include "app/journal.h"
#include "image/program.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "steps/adapters.h"
#include "steps/claim.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace app {

void printMessage(const ConsoleSettings& settings, const std::u16string& text) {
    // One adapter's lines keep its last line even when silent: it is the
    // message of its result.
    if (settings.lines != nullptr)
        settings.lines->text(text);
    else if (!settings.silentMode)
        platform::writeStandardOutput(text);
}

void printMessage(const ConsoleSettings& settings, const char* asciiText) {
    printMessage(settings, platform::ascii(asciiText));
}

void diagnose(const ConsoleSettings& settings, const std::u16string& text) {
    if (settings.silentMode) return;
    if (settings.diagnosisPrefix.empty()) return platform::writeStandardError(text);
    std::u16string out;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find(u'\n', from);
        end = end == std::u16string::npos ? text.size() : end + 1;
        out += settings.diagnosisPrefix + text.substr(from, end - from);
        from = end;
    }
    platform::writeStandardError(out);
}

void sayWhatTheSearchSaw(platform::hid::Bus& bus, const image::ProgramData& program,
                         const ConsoleSettings& settings) {
    const std::string seen = steps::searchReport(bus, program);
    if (!seen.empty()) diagnose(settings, platform::utf8ToUtf16("The search saw: " + seen + "\n"));
}

namespace {

std::vector<std::string> usageLines() {
    // Windows' text is the product's own; elsewhere the program says the name
    // it was started by and how that system's shells give the exit code.
    const bool windows = platform::hasWindow();
    std::string name = windows ? "IAP.exe" : platform::programName();
    if (name.empty()) name = "IAP";
    return {
        "Brisklink firmware update tool. Copyright (C) 2026 Brisklink. All rights reserved.\n",
        "\nUsage: " + name + " [/c] [/e] [/p] [/f] [/s | /b] [/h]\n",
        "    /c    Show loader/firmware version of the chip.\n",
        "    /e    Show firmware version of the EXE file.\n",
        "    /p    Start firmware update.\n",
        "    /f    Force firmware update (without version check).\n",
        "    /s    Silent mode.\n",
        "    /b    Background mode.\n",
        "    /h    Show help.\n\n",
        windows ? "Use %errorlevel% to get the error code. 0 for success, 1 for error.\n"
                : "The exit code ($? in a shell) is 0 for success, 1 for error.\n",
        "\nSeveral adapters:\n",
        "    /l    List the adapters on the bus (LOCATION, mode, VID:PID, serial number).\n",
        "    /port:LOCATION    Work on the adapter at LOCATION only; given more than once,\n"
        "                      on those adapters at once, as /a does.\n",
        "    /serial:SN    The same, by the adapter's USB serial number.\n",
        "    /a    Work on every adapter on the bus at once.\n",
        "    /n:COUNT    With /a: wait up to 30 s for COUNT adapters; each one missing\n"
        "                counts as failed. With /w: stop after COUNT results.\n",
        "    /w    Watch: work on each adapter as it is plugged in, until Ctrl-C.\n",
        "    /j    Write JSON lines for scripts instead of text.\n",
        "    /log:FILE    Append one JSON line per adapter's result to FILE.\n",
        "    /save:FILE    Save the adapter's firmware to FILE (Intel HEX) first;\n"
        "                  with /p or /f the update starts only once it is saved.\n",
    };
}

} // namespace

void printUsage(const ConsoleSettings& settings) {
    for (const std::string& line : usageLines())
        printMessage(settings, platform::utf8ToUtf16(line));
}

namespace {

std::u16string lowerAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

// An "error" event for a script, or the text on standard output.
void sayError(const ConsoleSettings& settings, bool json, const std::string& text,
              const std::string& location = {}) {
    if (!json) return printMessage(settings, platform::utf8ToUtf16(text));
    std::string message = text;
    while (!message.empty() && (message.front() == '\n' || message.back() == '\n'))
        message.erase(message.front() == '\n' ? 0 : message.size() - 1, 1);
    writeEvent("error", location, ",\"message\":" + jsonString(message));
}

// The first JSON line of a run: the lines' layout, this tool's version and
// the firmware it carries (null without a valid trailer).
void startEvent(const image::ProgramData* program) {
    std::string firmware = "null";
    if (program != nullptr)
        firmware =
            jsonString(platform::utf16ToUtf8(image::recordText(program->info.firmwareVersion)));
    writeEvent("start", "",
               ",\"schema\":" + std::to_string(kJsonSchema) +
                   ",\"tool\":" + jsonString(BRISKLINK_TOOL_VERSION) + ",\"firmware\":" + firmware);
}

// Back to the application after a connection: true when the run goes on.
bool leaveAfterReading(steps::Run& run, const ConsoleSettings& settings, int& exitCode) {
    if (settings.report != nullptr && settings.report->saveFailed) return false;
    if (platform::interruptRequested()) {
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
    exitCode = 0;
    auto noteBefore = [&] {
        if (report.connected && !outcome.before && run.state.chipVersion != u"NA")
            outcome.before = run.state.chipVersion;
    };
    if (request.showChipVersions) {
        exitCode = consoleConnect(run, settings);
        noteBefore();
        if (!leaveAfterReading(run, settings, exitCode)) return;
        if (exitCode == 0) outcome.status = "read";
    }
    if (!request.updateRequested) return;
    outcome.status = "failed";
    if (platform::interruptRequested()) {
        printMessage(settings, "Operation Failed.\n\n");
        exitCode = 1;
        return;
    }
    // A connected loader is in its session: the update, interrupted or
    // not, is what ends it.
    report.current = false;
    exitCode = consoleConnect(run, settings);
    noteBefore();
    if (exitCode == 0) {
        exitCode = consoleUpdate(run, settings);
        if (exitCode == 0 && !report.lost) outcome.status = "updated";
    } else if (report.current) {
        outcome.status = "current";
    }
}

// "/l": the adapters on the bus, without a report sent to any.
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

// "/port:LOCATION" or "/serial:SN": the run follows that adapter; one that
// is not there is an error that says what is. An adapter that a run has
// just restarted is off the bus for a second or so: the bus is listed again
// for 3 s.
bool chooseNamed(steps::Run& run, const ConsoleSettings& settings, const Named& named, bool json) {
    std::vector<steps::FoundAdapter> all;
    for (int look = 0; look < 6 && !platform::interruptRequested(); ++look) {
        if (look > 0) steps::pause(500);
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

// The adapter's firmware version after the run, where the run knows it:
// never one read before an erase.
std::optional<std::u16string> versionAfter(steps::Run& run, const Outcome& outcome) {
    if (std::string(outcome.status) == "updated" || outcome.report.lost)
        return steps::storedVersionText(image::recordText(run.program.info.firmwareVersion));
    if (outcome.report.erased) {
        // What the failed update left: read again where the adapter still
        // answers and the user did not stop the run.
        if (platform::interruptRequested()) return std::nullopt;
        return readVersionQuietly(run);
    }
    if (run.state.chipVersion == u"NA") return std::nullopt;
    return run.state.chipVersion;
}

// After a batch sent the adapter back to its application: true once it is
// on the bus again. It leaves the bus for its restart at once, so it is back
// when it was seen gone and is there again, or is still there when a
// restart would have shown.
bool backOnBus(platform::hid::Bus& bus, const image::ProgramData& program,
               const std::string& location) {
    const std::int64_t began = platform::clockMs();
    bool gone = false;
    for (;;) {
        bool there = false;
        for (const steps::FoundAdapter& a : steps::listAdapters(bus, program))
            there = there || a.location == location;
        const std::int64_t waited = platform::clockMs() - began;
        if (there && (gone || waited >= 1500)) return true;
        gone = gone || !there;
        if (waited >= 10'000 || platform::interruptRequested()) return false;
        steps::pause(200);
    }
}

} // namespace

Outcome runAdapter(steps::Run& run, ConsoleSettings settings, const Request& request,
                   AdapterLines* lines, bool batch, const std::string& serial) {
    const std::int64_t began = platform::clockMs();
    Outcome outcome;
    settings.lines = lines;
    settings.report = &outcome.report;
    if (lines != nullptr) lines->setQuiet(settings.silentMode);
    const std::string& location = run.session.followed();
    if (batch) settings.diagnosisPrefix = platform::utf8ToUtf16("[" + location + "] ");
    std::u16string refusal;
    // Without an adapter on the bus yet, the search takes the lock of the
    // first it finds.
    std::string holder;
    if (!location.empty() && !steps::claimAdapter(run.session.bus(), location, &refusal, &holder)) {
        if (!holder.empty())
            diagnose(settings,
                     platform::utf8ToUtf16("The adapter's lock is held by " + holder + ".\n"));
        printMessage(settings, u"\n" + refusal + u"\n\n");
        outcome.report.failedStep = refusal;
    } else {
        adapterActions(run, settings, request, outcome);
    }
    const std::string status = outcome.status;
    // A batch ends with each adapter it sent back to its application on the
    // bus again, so that the next run finds every one.
    if (batch && (status == "read" || status == "current") &&
        !backOnBus(run.session.bus(), run.program, location)) {
        outcome.status = "failed";
        outcome.report.failedStep = u"Not back on the bus after its restart.";
        printMessage(settings, outcome.report.failedStep + u"\n");
    }
    if (lines != nullptr) {
        lines->flush();
        outcome.message = lines->lastLine();
    }
    // Written and verified, but not back running it: the adapter needs a
    // look, whatever the transcript's last line.
    if (outcome.report.lost) {
        outcome.status = "failed";
        outcome.message = outcome.report.failedStep = u"[ERROR] Can't Reset to AP...";
    }
    if (outcome.failed() && outcome.report.failedStep.empty())
        outcome.report.failedStep = outcome.message;
    const bool json = lines != nullptr && lines->json();
    if (json || settings.journal != nullptr) outcome.version = versionAfter(run, outcome);
    if (settings.journal != nullptr) {
        JournalEntry entry;
        entry.location = run.session.followed();
        entry.serial = serial;
        entry.mode = modeSwitch(request, settings);
        entry.status = outcome.status;
        entry.step = outcome.report.failedStep;
        if (run.state.loaderVersion != u"NA") entry.loader = run.state.loaderVersion;
        entry.before = outcome.before;
        entry.after = outcome.version;
        entry.durationMs = platform::clockMs() - began;
        // On the disk before the result is reported.
        settings.journal->record(entry, settings.diagnosisPrefix);
    }
    if (json)
        lines->result(outcome.status, outcome.message, outcome.report.failedStep, outcome.version);
    return outcome;
}

namespace {

int consoleActions(isp::Session& session, ConsoleSettings settings, const Request& request,
                   Journal& journal) {
    image::ProgramData program;
    steps::Run run{session, program};
    const bool loaded = steps::loadRelease(session, program);
    if (request.json) startEvent(loaded ? &program : nullptr);
    // The journal records the images' digests, also of a run that only reads.
    const bool needImages = request.updateRequested || !request.journal.empty();
    if (!loaded || (needImages && !steps::prepareUpdateImages(program, run.images))) {
        // The images are read before the adapter is touched: a trailer whose
        // images cannot be read leaves it as it is.
        sayError(settings, request.json, "\nImage format invalid!\n\n");
        return 1;
    }

    if (request.showExeVersion) {
        // Printed even in silent mode: asking for it is asking for output.
        const std::u16string version = image::recordText(program.info.firmwareVersion);
        if (request.json)
            writeEvent("image", "", ",\"version\":" + jsonString(platform::utf16ToUtf8(version)));
        else
            platform::writeStandardOutput(u"EXE F/W version: " + version + u"\n\n");
    }
    // A bus that cannot work as it is set up (a malformed emulator address)
    // is said at once, not after a search of 30 s.
    if (request.list || request.deviceWork()) {
        if (const std::string why = session.bus().misconfigured(); !why.empty()) {
            if (!settings.silentMode)
                platform::writeStandardError(platform::utf8ToUtf16(why + "\n"));
            if (request.json) writeEvent("error", "", ",\"message\":" + jsonString(why));
            return 1;
        }
    }
    if (request.list) {
        const int listed = listAction(session.bus(), program, settings, request.json);
        if (!request.deviceWork()) return listed;
    }
    if (!request.deviceWork()) return 0;

    // A station that cannot record its results must not update anything.
    if (!request.journal.empty()) {
        std::string why;
        if (!journal.open(request.journal, program, run.images, why)) {
            const std::string text = "The journal " + request.journal + " cannot be opened (" +
                                     why + "): no adapter was touched.\n";
            if (!settings.silentMode) platform::writeStandardError(platform::utf8ToUtf16(text));
            if (request.json) writeEvent("error", "", ",\"message\":" + jsonString(text));
            return 1;
        }
        settings.journal = &journal;
    }

    // An interruption ends the run before its next action; the action it
    // came in has already printed the failure.
    if (platform::interruptRequested()) {
        sayError(settings, request.json, "Operation Failed.\n\n");
        return 1;
    }
    if (request.watch) return watchAction(session, program, run.images, settings, request);
    if (request.batch()) return batchAction(session, program, run.images, settings, request);
    if (!request.named.empty()) {
        if (!chooseNamed(run, settings, request.named.front(), request.json)) return 1;
    } else {
        steps::pickAdapter(run);
    }
    // The adapter as listed, for the JSON "found" event and the journal's
    // serial number, while it is on the bus as it was picked.
    std::optional<steps::FoundAdapter> picked;
    if (request.json || settings.journal != nullptr)
        for (const steps::FoundAdapter& a : steps::listAdapters(session.bus(), program))
            if (a.location == session.followed()) picked = a;
    const std::string serial = picked ? picked->serial : std::string();
    if (!request.json) return runAdapter(run, settings, request, nullptr, false, serial).exitCode;
    AdapterLines lines(session.followed(), AdapterLines::Form::Json);
    if (picked) lines.found(picked->loader, steps::identityText(*picked), serial);
    return runAdapter(run, settings, request, &lines, false, serial).exitCode;
}

// Each adapter named once.
void addNamed(Request& request, const Named& named) {
    if (std::find(request.named.begin(), request.named.end(), named) == request.named.end())
        request.named.push_back(named);
}

// "/n:COUNT": a whole number from 1 to 1000.
int countOf(const std::u16string& text) {
    if (text.empty() || text.size() > 4) return 0;
    int count = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') return 0;
        count = count * 10 + (c - u'0');
    }
    return count <= 1000 ? count : 0;
}

} // namespace

int consoleMain(isp::Session& session) {
    Request request;
    bool unrecognisedArgument = false;
    ConsoleSettings settings;

    for (const std::u16string& argument : platform::commandLineArguments()) {
        const std::u16string sw = lowerAscii(argument);
        if (sw == u"/b") {
            platform::leaveConsoleWindow();
        } else if (sw == u"/c") {
            request.showChipVersions = true;
        } else if (sw == u"/e") {
            request.showExeVersion = true;
        } else if (sw == u"/p") {
            request.updateRequested = true;
            settings.versionCheck = 1;
        } else if (sw == u"/f") {
            request.updateRequested = true;
            settings.versionCheck = 0;
        } else if (sw == u"/s") {
            settings.silentMode = true;
        } else if (sw == u"/l") {
            request.list = true;
        } else if (sw == u"/a") {
            request.all = true;
        } else if (sw == u"/j") {
            request.json = true;
        } else if (sw == u"/w") {
            request.watch = true;
        } else if (sw.rfind(u"/n:", 0) == 0 && countOf(sw.substr(3)) > 0) {
            request.expected = countOf(sw.substr(3));
        } else if (sw.rfind(u"/port:", 0) == 0 && sw.size() > 6) {
            addNamed(request, {false, platform::utf16ToUtf8(argument.substr(6))});
        } else if (sw.rfind(u"/log:", 0) == 0 && sw.size() > 5) {
            request.journal = platform::utf16ToUtf8(argument.substr(5));
        } else if (sw.rfind(u"/save:", 0) == 0 && sw.size() > 6) {
            settings.savePath = platform::utf16ToUtf8(argument.substr(6));
        } else if (sw.rfind(u"/serial:", 0) == 0 && sw.size() > 8) {
            addNamed(request, {true, platform::utf16ToUtf8(argument.substr(8))});
        } else {
            unrecognisedArgument = true;
        }
    }

    // A save needs a connection: alone it reads as "/c" does.
    if (!settings.savePath.empty() && !request.updateRequested) request.showChipVersions = true;
    // One adapter, those named, or all of them; a count is a batch's.
    if (unrecognisedArgument || (request.all && !request.named.empty()) ||
        (request.watch && (request.all || !request.named.empty() || !request.deviceWork())) ||
        (request.expected > 0 && !request.all && !request.watch) ||
        (!settings.savePath.empty() && (request.batch() || request.watch))) {
        if (!request.json) {
            printUsage(settings);
            return 1;
        }
        std::string usage;
        for (const std::string& line : usageLines())
            usage += line;
        startEvent(nullptr);
        sayError(settings, true, usage);
        return 1;
    }
    Journal journal;
    int exitCode = consoleActions(session, settings, request, journal);
    // A result the journal lacks is a failed run for the station.
    if (journal.failed()) exitCode = 1;
    // "Operation Failed." alone does not say that nothing is wrong with the
    // adapter: the user stopped the run.
    if (exitCode != 0 && platform::interruptRequested() && !settings.silentMode)
        platform::writeStandardError(
            request.updateRequested
                ? u"The update was interrupted; running the updater again finishes it.\n"
                : u"The run was interrupted; running the updater again finishes it.\n");
    return exitCode;
}

int appMain(int argc, char** argv, isp::Session& session, int (*runWindow)(isp::Session&)) {
    if (!platform::initProcess(argc, argv)) {
        platform::writeStandardOutput(u"Fatal Error: MFC initialization failed\n");
        return 1;
    }
    if (argc > 1) {
        platform::installInterruptHandlers();
        platform::watchSessionEnd();
        return consoleMain(session);
    }
    // Without arguments the program is a window; where it has none, the
    // usage says how to run it.
    if (!platform::hasWindow() || runWindow == nullptr) {
        printUsage({});
        return 0;
    }
    // A console closed under the window, or the end of the session, stops
    // the window's work as its close box does; a Ctrl-C does not.
    platform::installInterruptHandlers(platform::InterruptMode::Window);
    platform::leaveConsoleWindow();
    runWindow(session);
    // The window's outcome is shown in it; the process always ends with 0.
    return 0;
}

} // namespace app
