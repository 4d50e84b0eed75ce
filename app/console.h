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

// Reads and checks the images the update will write, before the adapter is
// touched (there is then nothing to undo when they are bad). False when the
// trailer's sizes do not fit in the file or the read fails. The update reads
// them itself when this was not called.
bool prepareUpdateImages();

// Entry point shared by every build: chooses the console or the dialog.
int appMain(int argc, char** argv);

} // namespace app
