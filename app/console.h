// The console front end: switches, output and the order of its actions.
#pragma once

#include <cstdint>
#include <string>

namespace app {

struct ConsoleSettings {
    bool silentMode = false;
    std::int32_t versionCheck = 0;
};

// Process-wide switches that the connection and update sequences read.
ConsoleSettings& consoleSettings();

// Writes one message to standard output unless silent. The text is output
// as it is, never used as a format, and carries its own line ends.
void printMessage(std::u16string text);
void printMessage(const char* asciiText);
void printUsage();

// Parses the process's switches, loads the trailer and runs the actions.
// Returns the exit code, 0 or 1.
int consoleMain();

// The connection and update sequences; each returns 0 for success, 1 for
// failure.
int consoleConnect();
int consoleUpdate();

// Entry point shared by every build: chooses the console or, without
// arguments, the window that `runWindow` runs (where the system has one).
int appMain(int argc, char** argv, int (*runWindow)() = nullptr);

} // namespace app
