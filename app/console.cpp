#include "app/console.h"

#include "image/program.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "steps/adapters.h"
#include "steps/claim.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

namespace app {

void printMessage(const ConsoleSettings& settings, const std::u16string& text) {
    if (settings.silentMode) return;
    if (settings.lines != nullptr)
        settings.lines->text(text);
    else
        platform::writeStandardOutput(text);
}

void printMessage(const ConsoleSettings& settings, const char* asciiText) {
    printMessage(settings, platform::ascii(asciiText));
}

void sayWhatTheSearchSaw(platform::hid::Bus& bus, const image::ProgramData& program,
                         const ConsoleSettings& settings) {
    const std::string seen = steps::searchReport(bus, program);
    if (!seen.empty() && !settings.silentMode)
        platform::writeStandardError(platform::utf8ToUtf16("The search saw: " + seen + "\n"));
}

void printUsage(const ConsoleSettings& settings) {
    // Windows' text is the product's own; elsewhere the program says the name
    // it was started by and how that system's shells give the exit code.
    const bool windows = platform::hasWindow();
    std::string name = windows ? "IAP.exe" : platform::programName();
    if (name.empty()) name = "IAP";
    const std::string usage = "\nUsage: " + name + " [/c] [/e] [/p] [/f] [/s | /b] [/h]\n";
    const char* exitCode =
        windows ? "Use %errorlevel% to get the error code. 0 for success, 1 for error.\n"
                : "The exit code ($? in a shell) is 0 for success, 1 for error.\n";
    const char* const lines[] = {
        "Brisklink firmware update tool. Copyright (C) 2026 Brisklink. All rights reserved.\n",
        usage.c_str(),
        "    /c    Show loader/firmware version of the chip.\n",
        "    /e    Show firmware version of the EXE file.\n",
        "    /p    Start firmware update.\n",
        "    /f    Force firmware update (without version check).\n",
        "    /s    Silent mode.\n",
        "    /b    Background mode.\n",
        "    /h    Show help.\n\n",
        exitCode,
        "\nSeveral adapters:\n",
        "    /l    List the adapters on the bus (LOCATION, mode, VID:PID).\n",
        "    /port:LOCATION    Work on the adapter at LOCATION only.\n",
        "    /a    Work on every adapter on the bus at once.\n",
        "    /j    Write JSON lines for scripts instead of text.\n",
    };
    for (const char* line : lines)
        printMessage(settings, line);
}

namespace {

std::u16string lowerAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

// What the switches ask for.
struct Request {
    bool showChipVersions = false;
    bool showExeVersion = false;
    bool updateRequested = false;
    bool list = false;
    bool all = false;
    bool json = false;
    std::u16string port;
    bool deviceWork() const { return showChipVersions || updateRequested; }
};

// How one adapter's run ended.
struct Outcome {
    int exitCode = 1;
    bool updated = false;
    bool current = false;
    // Written and verified, but not back in its application: alone, the
    // update stands with its error line; in a batch the adapter needs a
    // look, so it counts as failed.
    bool lost = false;
    bool failed() const { return (exitCode != 0 && !current) || lost; }
};

// The connection and update of one adapter, as the switches ask.
Outcome adapterActions(steps::Run& run, const ConsoleSettings& settings, const Request& request) {
    Outcome outcome;
    int& exitCode = outcome.exitCode;
    exitCode = 0;
    if (request.showChipVersions) {
        exitCode = consoleConnect(run, settings);
        if (platform::interruptRequested()) {
            // An interrupted connection has ended the session itself; one that
            // was complete when the interruption came leaves it to this.
            if (exitCode == 0) {
                run.session.resetToIap(1);
                run.session.close();
                printMessage(settings, "Operation Failed.\n\n");
            }
            exitCode = 1;
            return outcome;
        }
        // Whatever the connection found, the adapter goes back to its
        // application firmware.
        run.session.execute();
    }
    if (request.updateRequested) {
        if (platform::interruptRequested()) {
            printMessage(settings, "Operation Failed.\n\n");
            exitCode = 1;
            return outcome;
        }
        // A connected loader is in its session: the update, interrupted or
        // not, is what ends it.
        exitCode = consoleConnect(run, settings, &outcome.current);
        if (exitCode == 0) {
            exitCode = consoleUpdate(run, settings, &outcome.lost);
            outcome.updated = exitCode == 0 && !outcome.lost;
        }
    }
    return outcome;
}

// The adapter's firmware version after the run, where the run knows it.
std::optional<std::u16string> versionAfter(const steps::Run& run, const Outcome& outcome) {
    if (outcome.updated || outcome.lost)
        return steps::storedVersionText(image::recordText(run.program.info.firmwareVersion));
    if (run.state.chipVersion == u"NA") return std::nullopt;
    return run.state.chipVersion;
}

std::string identityText(const steps::FoundAdapter& a) {
    const std::string line = steps::adapterLine(a);
    return line.substr(line.rfind(' ') + 1);
}

// "/l": the adapters on the bus, without a report sent to any.
int listAction(platform::hid::Bus& bus, const image::ProgramData& program,
               const ConsoleSettings& settings, bool json) {
    const auto all = steps::listAdapters(bus, program);
    for (const steps::FoundAdapter& a : all) {
        if (json) {
            AdapterLines(a.location, AdapterLines::Form::Json).found(a.loader, identityText(a));
        } else {
            printMessage(settings, platform::utf8ToUtf16(steps::adapterLine(a) + "\n"));
        }
    }
    if (all.empty()) {
        printMessage(settings, "No adapter is on the bus.\n");
        sayWhatTheSearchSaw(bus, program, settings);
    }
    return all.empty() ? 1 : 0;
}

// The adapters on the bus, listed again every 500 ms, up to `looks` times,
// until `wanted` takes the list: an adapter that a run has just restarted is
// off the bus for a second or so.
template <typename Wanted>
std::vector<steps::FoundAdapter>
listUntil(platform::hid::Bus& bus, const image::ProgramData& program, int looks, Wanted wanted) {
    std::vector<steps::FoundAdapter> all = steps::listAdapters(bus, program);
    for (int look = 1; look < looks && !wanted(all) && !platform::interruptRequested(); ++look) {
        steps::pause(500);
        all = steps::listAdapters(bus, program);
    }
    return all;
}

// "/port:LOCATION": the run follows that adapter; one that is not there is
// an error that says what is.
bool choosePort(steps::Run& run, const ConsoleSettings& settings, const std::u16string& port) {
    const std::string location = platform::utf16ToUtf8(port);
    auto there = [&location](const std::vector<steps::FoundAdapter>& all) {
        return std::any_of(all.begin(), all.end(),
                           [&](const steps::FoundAdapter& a) { return a.location == location; });
    };
    const auto all = listUntil(run.session.bus(), run.program, 6, there);
    if (there(all)) {
        run.session.follow(location);
        return true;
    }
    std::string text = "\nNo adapter at " + location + ".";
    text += all.empty() ? " No adapter is on the bus.\n" : " On the bus:\n";
    for (const steps::FoundAdapter& a : all)
        text += "    " + steps::adapterLine(a) + "\n";
    printMessage(settings, platform::utf8ToUtf16(text + "\n"));
    return false;
}

// One adapter's whole run: its lock, its actions, its result.
Outcome runAdapter(steps::Run& run, ConsoleSettings settings, const Request& request,
                   AdapterLines* lines) {
    settings.lines = lines;
    Outcome outcome;
    std::u16string refusal;
    const std::string& location = run.session.followed();
    // Without an adapter on the bus yet, the search takes the lock of the
    // first it finds.
    if (!location.empty() &&
        !steps::claimAdapter(run.session.bus(), location, settings.silentMode, &refusal)) {
        printMessage(settings, u"\n" + refusal + u"\n\n");
    } else {
        outcome = adapterActions(run, settings, request);
    }
    if (lines != nullptr) {
        lines->flush();
        // An adapter that is already current is no failure, though "/p"
        // ends with 1 for it.
        lines->result(!outcome.failed(), lines->lastLine(), versionAfter(run, outcome));
    }
    return outcome;
}

// "/a": every adapter on the bus at once, each in its own session on its
// own thread; one that fails leaves the others alone.
int fleetAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request) {
    // A batch started right after another waits for the first adapter.
    const auto all =
        listUntil(main.bus(), program, 7, [](const auto& list) { return !list.empty(); });
    if (all.empty()) sayWhatTheSearchSaw(main.bus(), program, settings);
    std::vector<Outcome> outcomes(all.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < all.size(); ++i)
        threads.emplace_back([&, i] {
            isp::Session session(&main.bus());
            steps::useReleaseKey(session, program);
            session.follow(all[i].location);
            steps::Run run{session, program};
            run.images = images;
            AdapterLines lines(all[i].location, request.json ? AdapterLines::Form::Json
                                                             : AdapterLines::Form::Prefixed);
            lines.found(all[i].loader, identityText(all[i]));
            outcomes[i] = runAdapter(run, settings, request, &lines);
        });
    for (std::thread& t : threads)
        t.join();
    int updated = 0, current = 0, failed = 0;
    for (const Outcome& o : outcomes) {
        updated += o.updated;
        current += o.current;
        failed += o.failed();
    }
    const int read = static_cast<int>(outcomes.size()) - failed;
    std::string summary = std::to_string(outcomes.size()) + " adapters: ";
    summary += request.updateRequested ? std::to_string(updated) + " updated, " +
                                             std::to_string(current) + " already current, "
                                       : std::to_string(read) + " read, ";
    summary += std::to_string(failed) + " failed";
    if (request.json)
        writeWholeLine("{\"event\":\"summary\",\"location\":\"\",\"text\":" + jsonString(summary) +
                       "}\n");
    else if (!settings.silentMode)
        writeWholeLine(summary + "\n");
    return failed == 0 && !outcomes.empty() ? 0 : 1;
}

int consoleActions(isp::Session& session, const ConsoleSettings& settings, const Request& request) {
    image::ProgramData program;
    steps::Run run{session, program};
    if (!steps::loadRelease(session, program) ||
        (request.updateRequested && !steps::prepareUpdateImages(program, run.images))) {
        // The images are read before the adapter is touched: a trailer whose
        // images cannot be read leaves it as it is.
        printMessage(settings, "\nImage format invalid!\n\n");
        return 1;
    }

    if (request.showExeVersion) {
        // Printed even in silent mode: asking for it is asking for output.
        platform::writeStandardOutput(u"EXE F/W version: " +
                                      image::recordText(program.info.firmwareVersion) + u"\n\n");
    }
    // A bus that cannot work as it is set up (a malformed emulator address)
    // is said at once, not after a search of 30 s.
    if (request.list || request.deviceWork()) {
        if (const std::string why = session.bus().misconfigured(); !why.empty()) {
            if (!settings.silentMode)
                platform::writeStandardError(platform::utf8ToUtf16(why + "\n"));
            return 1;
        }
    }
    if (request.list) {
        const int listed = listAction(session.bus(), program, settings, request.json);
        if (!request.deviceWork()) return listed;
    }
    if (!request.deviceWork()) return 0;

    // An interruption ends the run before its next action; the action it
    // came in has already printed the failure.
    if (platform::interruptRequested()) {
        printMessage(settings, "Operation Failed.\n\n");
        return 1;
    }
    if (request.all) return fleetAction(session, program, run.images, settings, request);
    if (!request.port.empty()) {
        if (!choosePort(run, settings, request.port)) return 1;
    } else {
        steps::pickAdapter(run);
    }
    if (!request.json) return runAdapter(run, settings, request, nullptr).exitCode;
    AdapterLines lines(session.followed(), AdapterLines::Form::Json);
    for (const steps::FoundAdapter& a : steps::listAdapters(session.bus(), program))
        if (a.location == session.followed()) lines.found(a.loader, identityText(a));
    return runAdapter(run, settings, request, &lines).exitCode;
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
        } else if (sw.rfind(u"/port:", 0) == 0 && sw.size() > 6) {
            request.port = argument.substr(6);
        } else {
            unrecognisedArgument = true;
        }
    }

    // One adapter, or all of them.
    if (unrecognisedArgument || (request.all && !request.port.empty())) {
        printUsage(settings);
        return 1;
    }
    const int exitCode = consoleActions(session, settings, request);
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
