// The console front end: switches, output and the order of its actions.
#pragma once

#include "app/lines.h"
#include "isp/session.h"
#include "steps/run.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace app {

// What one adapter's run came to, beside its transcript: what a batch counts
// and a script is told.
struct AdapterReport {
    // The connection that ran last read every item and the version record.
    bool connected = false;
    // "/p" found the adapter's version not older, after a complete
    // connection (a version the run could not read is never current).
    bool current = false;
    // "/save:FILE" wrote the adapter's copy (once per run).
    bool saved = false;
    // The save failed: the run has ended the adapter's session.
    bool saveFailed = false;
    // A failure of the console's own (a save, a refusal, an adapter not
    // back on the bus): its step and its line, without the line end. The
    // steps' failures are the run's facts.
    std::optional<steps::Step> failedAt;
    std::u16string failedStep;
};

struct ConsoleSettings {
    bool silentMode = false;
    std::int32_t versionCheck = 0;
    // Where one adapter's lines go when several are at work or scripts read
    // them ("/a", "/j"); standard output as it is when null.
    AdapterLines* lines = nullptr;
    // Filled in by the connection and the update when given.
    AdapterReport* report = nullptr;
    // In front of each line said on standard error about this adapter
    // ("[1-2.3] " in a batch).
    std::u16string diagnosisPrefix;
    // Where each adapter's result is recorded ("/log:FILE"), when given.
    class Journal* journal = nullptr;
    // Where each adapter's start, progress and result are told: the
    // journal, the system log, the metrics, the live view.
    class Station* station = nullptr;
    // "/save:FILE": where the first complete connection saves the adapter's
    // firmware before anything else happens to it.
    std::string savePath;
    // "/range:": the addresses saved instead of the usual regions.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> saveRange;
};

// Writes `text` to standard error, each line behind the settings' prefix,
// unless silent.
void diagnose(const ConsoleSettings& settings, const std::u16string& text);

// Writes one message to standard output unless silent. The text is output
// as it is, never used as a format, and carries its own line ends.
void printMessage(const ConsoleSettings& settings, const std::u16string& text);
void printMessage(const ConsoleSettings& settings, const char* asciiText);
void printUsage(const ConsoleSettings& settings);
// An "error" event for a script, or the text on standard output.
void sayError(const ConsoleSettings& settings, bool json, const std::string& text,
              const std::string& location = {});
// After a search that found no adapter: one line on standard error (unless
// silent) of what the bus showed instead.
void sayWhatTheSearchSaw(platform::hid::Bus& bus, const image::ProgramData& program,
                         const ConsoleSettings& settings);

// The console's connection and update of the adapter of `run`; each returns
// 0 for success, 1 for failure, and fills in `settings.report` when given.
int consoleConnect(steps::Run& run, const ConsoleSettings& settings);
int consoleUpdate(steps::Run& run, const ConsoleSettings& settings);
// Reads back the adapter's application area (without its erased tail), the
// range of the external image the updater carries and the version record,
// and writes them as Intel HEX at their addresses to `path`, whole or not at
// all. Says what it saved, or "Save Failed! ..." (also in the report).
bool saveAdapter(steps::Run& run, const ConsoleSettings& settings, const std::string& path);
// The console's line of a failure the steps told, without its line end.
std::u16string failureLine(const steps::Failure& failure);
// Connects without a word, reads the adapter's version record and leaves the
// adapter restarted in its loader, as a failed update leaves it; nothing
// when it does not answer or holds no version.
std::optional<std::u16string> readVersionQuietly(steps::Run& run);

// Parses the process's switches, loads the trailer and runs the actions on
// the adapter of `session`, which stops when the process is interrupted.
// Returns the exit code, 0 or 1.
int consoleMain(isp::Session& session);

// The program's start: chooses the console or, without arguments, the window
// that `runWindow` runs (where the system has one), both on `session`.
int appMain(int argc, char** argv, isp::Session& session,
            int (*runWindow)(isp::Session&) = nullptr);

} // namespace app
