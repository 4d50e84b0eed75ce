// The console's process: its switches, the trailer it carries, the order of
// its actions (the executable's version, the bus's list, one adapter, a
// batch or a watch) and its exit code.
#include "app/console.h"

#include "app/actions.h"
#include "app/station.h"
#include "app/switches.h"
#include "image/program.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/stop.h"
#include "platform/text.h"

#include <optional>

namespace app {

namespace {

// A bus that cannot work as it is set up (a malformed emulator address) is
// said at once, not after a search of 30 s.
bool busUsable(isp::Session& session, const ConsoleSettings& settings, bool json) {
    const std::string why = session.bus().misconfigured();
    if (why.empty()) return true;
    if (!settings.silentMode) platform::writeStandardError(platform::utf8ToUtf16(why + "\n"));
    if (json) writeJson(errorEvent(why));
    return false;
}

// A station that cannot record its results must not update anything.
bool openStation(Station& station, const Request& request, const steps::Run& run,
                 ConsoleSettings& settings) {
    std::string why;
    if (!station.open(request, run.program, run.images, why)) {
        if (!settings.silentMode) platform::writeStandardError(platform::utf8ToUtf16(why));
        if (request.json) writeJson(errorEvent(why));
        return false;
    }
    settings.journal = station.journal();
    settings.station = &station;
    return true;
}

// The one adapter of a run without a batch: the one named, or the first
// found.
int singleAdapter(steps::Run& run, const ConsoleSettings& settings, const Request& request) {
    isp::Session& session = run.session;
    if (!request.named.empty()) {
        if (!chooseNamed(run, settings, request.named.front(), request.json)) return 1;
    } else {
        steps::pickAdapter(run);
    }
    // The adapter as listed, for the JSON "found" event and the journal's
    // serial number, while it is on the bus as it was picked.
    std::optional<steps::FoundAdapter> picked;
    if (request.json || settings.station->listening())
        for (const steps::FoundAdapter& a : steps::listAdapters(session.bus(), run.program))
            if (a.location == session.followed()) picked = a;
    const std::string serial = picked ? picked->serial : std::string();
    if (!request.json) return runAdapter(run, settings, request, nullptr, false, serial).exitCode;
    AdapterLines lines(session.followed(), AdapterLines::Form::Json);
    if (picked) lines.found(picked->loader, steps::identityText(*picked), serial);
    return runAdapter(run, settings, request, &lines, false, serial).exitCode;
}

// The actions on the bus's adapters, once the release is loaded.
int deviceActions(steps::Run& run, ConsoleSettings settings, const Request& request,
                  Station& station) {
    isp::Session& session = run.session;
    if ((request.list || request.deviceWork()) && !busUsable(session, settings, request.json))
        return 1;
    if (request.list) {
        const int listed = listAction(session.bus(), run.program, settings, request.json);
        if (!request.deviceWork()) return listed;
    }
    if (!request.deviceWork()) return 0;
    if (!openStation(station, request, run, settings)) return 1;
    // An interruption ends the run before its next action; the action it
    // came in has already printed the failure.
    if (session.stop().requested()) {
        sayError(settings, request.json, "Operation Failed.\n\n");
        return 1;
    }
    if (request.watch) return watchAction(session, run.program, run.images, settings, request);
    if (request.batch()) return batchAction(session, run.program, run.images, settings, request);
    return singleAdapter(run, settings, request);
}

int consoleActions(isp::Session& session, const ConsoleSettings& settings, const Request& request,
                   Station& station) {
    image::ProgramData program;
    steps::Run run{session, program};
    const bool loaded = steps::loadRelease(session, program);
    if (request.json) writeJson(startEvent(loaded ? &program : nullptr));
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
        if (request.json) {
            Json e = event("image", "");
            e["version"] = text(version);
            writeJson(e);
        } else {
            platform::writeStandardOutput(u"EXE F/W version: " + version + u"\n\n");
        }
    }
    return deviceActions(run, settings, request, station);
}

// Switches that cannot be run: the whole usage for one this tool does not
// know, one line naming the conflict for switches that do not go together.
int refuse(const ParsedSwitches& parsed) {
    ConsoleSettings settings;
    settings.silentMode = parsed.request.silent;
    std::string text;
    if (parsed.unrecognised) {
        for (const std::string& line : usageLines())
            text += line;
    } else {
        text = "\n" + parsed.conflict + "\n\n";
    }
    if (parsed.request.json) {
        writeJson(startEvent(nullptr));
        writeJson(errorEvent(text));
    } else if (parsed.unrecognised) {
        printUsage(settings);
    } else {
        printMessage(settings, platform::utf8ToUtf16(text));
    }
    return 1;
}

} // namespace

int consoleMain(isp::Session& session) {
    // Ctrl-C, a closed console, SIGTERM and the end of the user's session
    // stop this session's run, and through it every adapter's of a batch.
    session.stop().follow(&platform::processStop());
    const ParsedSwitches parsed = parseSwitches(platform::commandLineArguments());
    const Request& request = parsed.request;
    if (request.background) platform::leaveConsoleWindow();
    setRunLabels({request.station.empty() ? platform::hostName() : request.station,
                  platform::randomHex(8), request.tags});
    if (!parsed.usable()) return refuse(parsed);
    ConsoleSettings settings;
    settings.silentMode = request.silent;
    settings.versionCheck = request.versionCheck;
    settings.savePath = request.savePath;
    settings.saveRange = request.saveRange;
    Station station;
    int exitCode = consoleActions(session, settings, request, station);
    // A result the journal lacks is a failed run for the station.
    if (station.journal() != nullptr && station.journal()->stopped()) exitCode = 1;
    // "Operation Failed." alone does not say that nothing is wrong with the
    // adapter: the user stopped the run.
    if (exitCode != 0 && session.stop().requested() && !settings.silentMode)
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
    session.stop().follow(&platform::processStop());
    platform::leaveConsoleWindow();
    runWindow(session);
    // The window's outcome is shown in it; the process always ends with 0.
    return 0;
}

} // namespace app
