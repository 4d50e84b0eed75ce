// The console front end: switches, output and the order of its actions.
#pragma once

#include "isp/session.h"
#include "steps/run.h"

#include <cstdint>
#include <string>

namespace app {

struct ConsoleSettings {
    bool silentMode = false;
    std::int32_t versionCheck = 0;
};

// Writes one message to standard output unless silent. The text is output
// as it is, never used as a format, and carries its own line ends.
void printMessage(const ConsoleSettings& settings, const std::u16string& text);
void printMessage(const ConsoleSettings& settings, const char* asciiText);
void printUsage(const ConsoleSettings& settings);

// The console's connection and update of the adapter of `run`; each returns
// 0 for success, 1 for failure.
int consoleConnect(steps::Run& run, const ConsoleSettings& settings);
int consoleUpdate(steps::Run& run, const ConsoleSettings& settings);

// Parses the process's switches, loads the trailer and runs the actions on
// the adapter of `session`. Returns the exit code, 0 or 1.
int consoleMain(isp::Session& session);

// The program's start: chooses the console or, without arguments, the window
// that `runWindow` runs (where the system has one), both on `session`.
int appMain(int argc, char** argv, isp::Session& session,
            int (*runWindow)(isp::Session&) = nullptr);

} // namespace app
