#include "app/console.h"

#include "image/program.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "steps/claim.h"

#include <vector>

namespace app {

void printMessage(const ConsoleSettings& settings, const std::u16string& text) {
    if (settings.silentMode) return;
    platform::writeStandardOutput(text);
}

void printMessage(const ConsoleSettings& settings, const char* asciiText) {
    printMessage(settings, platform::ascii(asciiText));
}

void printUsage(const ConsoleSettings& settings) {
    static const char* const lines[] = {
        "Brisklink firmware update tool. Copyright (C) 2026 Brisklink. All rights reserved.\n",
        "\nUsage: IAP.exe [/c] [/e] [/p] [/f] [/s | /b] [/h]\n",
        "    /c    Show loader/firmware version of the chip.\n",
        "    /e    Show firmware version of the EXE file.\n",
        "    /p    Start firmware update.\n",
        "    /f    Force firmware update (without version check).\n",
        "    /s    Silent mode.\n",
        "    /b    Background mode.\n",
        "    /h    Show help.\n\n",
        "Use %errorlevel% to get the error code. 0 for success, 1 for error.\n",
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

int consoleActions(isp::Session& session, const ConsoleSettings& settings, bool showChipVersions,
                   bool showExeVersion, bool updateRequested) {
    image::ProgramData program;
    steps::Run run{session, program};
    if (!steps::loadRelease(session, program) ||
        (updateRequested && !steps::prepareUpdateImages(program, run.images))) {
        // The images are read before the adapter is touched: a trailer whose
        // images cannot be read leaves it as it is.
        printMessage(settings, "\nImage format invalid!\n\n");
        return 1;
    }

    if (showExeVersion) {
        // Printed even in silent mode: asking for it is asking for output.
        platform::writeStandardOutput(u"EXE F/W version: " +
                                      image::recordText(program.info.firmwareVersion) + u"\n\n");
    }

    // An interruption ends the run before its next action; the action it
    // came in has already printed the failure.
    int exitCode = 0;
    if ((showChipVersions || updateRequested) && platform::interruptRequested()) {
        printMessage(settings, "Operation Failed.\n\n");
        return 1;
    }
    std::u16string refusal;
    if ((showChipVersions || updateRequested) &&
        !steps::claimAdapter(session.bus(), settings.silentMode, &refusal)) {
        printMessage(settings, u"\n" + refusal + u"\n\n");
        return 1;
    }
    if (showChipVersions) {
        exitCode = consoleConnect(run, settings);
        if (platform::interruptRequested()) {
            // An interrupted connection has ended the session itself; one that
            // was complete when the interruption came leaves it to this.
            if (exitCode == 0) {
                session.resetToIap(1);
                session.close();
                printMessage(settings, "Operation Failed.\n\n");
            }
            return 1;
        }
        // Whatever the connection found, the adapter goes back to its
        // application firmware.
        session.execute();
    }
    if (updateRequested) {
        if (platform::interruptRequested()) {
            printMessage(settings, "Operation Failed.\n\n");
            return 1;
        }
        // A connected loader is in its session: the update, interrupted or
        // not, is what ends it.
        exitCode = consoleConnect(run, settings);
        if (exitCode == 0) exitCode = consoleUpdate(run, settings);
    }
    return exitCode;
}

} // namespace

int consoleMain(isp::Session& session) {
    bool showChipVersions = false;
    bool showExeVersion = false;
    bool updateRequested = false;
    bool unrecognisedArgument = false;
    ConsoleSettings settings;

    for (const std::u16string& argument : platform::commandLineArguments()) {
        const std::u16string sw = lowerAscii(argument);
        if (sw == u"/b") {
            platform::hideConsoleWindow();
        } else if (sw == u"/c") {
            showChipVersions = true;
        } else if (sw == u"/e") {
            showExeVersion = true;
        } else if (sw == u"/p") {
            updateRequested = true;
            settings.versionCheck = 1;
        } else if (sw == u"/f") {
            updateRequested = true;
            settings.versionCheck = 0;
        } else if (sw == u"/s") {
            settings.silentMode = true;
        } else {
            unrecognisedArgument = true;
        }
    }

    if (unrecognisedArgument) {
        printUsage(settings);
        return 1;
    }
    return consoleActions(session, settings, showChipVersions, showExeVersion, updateRequested);
}

int appMain(int argc, char** argv, isp::Session& session, int (*runWindow)(isp::Session&)) {
    if (!platform::initProcess(argc, argv)) {
        platform::writeStandardOutput(u"Fatal Error: MFC initialization failed\n");
        return 1;
    }
    if (argc > 1) {
        platform::installInterruptHandlers();
        return consoleMain(session);
    }
    // Without arguments the program is a window; where it has none, the
    // usage says how to run it.
    if (!platform::hasWindow() || runWindow == nullptr) {
        printUsage({});
        return 0;
    }
    platform::hideConsoleWindow();
    runWindow(session);
    // The window's outcome is shown in it; the process always ends with 0.
    return 0;
}

} // namespace app
