// The console front end: switches, output and the order of its actions.
#pragma once

#include "app/lines.h"
#include "isp/session.h"
#include "steps/run.h"

#include <cstdint>
#include <string>

namespace app {

struct ConsoleSettings {
    bool silentMode = false;
    std::int32_t versionCheck = 0;
    // Where one adapter's lines go when several are at work or scripts read
    // them ("/a", "/j"); standard output as it is when null.
    AdapterLines* lines = nullptr;
};

// Writes one message to standard output unless silent. The text is output
// as it is, never used as a format, and carries its own line ends.
void printMessage(const ConsoleSettings& settings, const std::u16string& text);
void printMessage(const ConsoleSettings& settings, const char* asciiText);
void printUsage(const ConsoleSettings& settings);
// After a search that found no adapter: one line on standard error (unless
// silent) of what the bus showed instead.
void sayWhatTheSearchSaw(platform::hid::Bus& bus, const image::ProgramData& program,
                         const ConsoleSettings& settings);

// The console's connection and update of the adapter of `run`; each returns
// 0 for success, 1 for failure. `current`, when given, is set when "/p"
// found the adapter's version not older than the carried one.
int consoleConnect(steps::Run& run, const ConsoleSettings& settings, bool* current = nullptr);
// `lost`, when given, is set when the updated adapter did not come back
// running its application (the update stands; the error line said so).
int consoleUpdate(steps::Run& run, const ConsoleSettings& settings, bool* lost = nullptr);

// Parses the process's switches, loads the trailer and runs the actions on
// the adapter of `session`. Returns the exit code, 0 or 1.
int consoleMain(isp::Session& session);

// The program's start: chooses the console or, without arguments, the window
// that `runWindow` runs (where the system has one), both on `session`.
int appMain(int argc, char** argv, isp::Session& session,
            int (*runWindow)(isp::Session&) = nullptr);

} // namespace app
