// The console's actions on adapters, shared by its run on one adapter and
// its batches ("/a", several "/port:").
#pragma once

#include "app/console.h"
#include "steps/adapters.h"

#include <optional>
#include <string>
#include <vector>

namespace app {

// An adapter named on the command line: "/port:LOCATION" or "/serial:SN".
struct Named {
    bool bySerial = false;
    std::string value;
    bool operator==(const Named&) const = default;
    bool matches(const steps::FoundAdapter& a) const {
        return bySerial ? a.serial == value : a.location == value;
    }
    // How its lines are headed while it is not found.
    std::string label() const { return bySerial ? "serial:" + value : value; }
};

// The adapter of `all` that `named` names; null when none.
const steps::FoundAdapter* findNamed(const std::vector<steps::FoundAdapter>& all,
                                     const Named& named);

// What the switches ask for.
struct Request {
    bool showChipVersions = false;
    bool showExeVersion = false;
    bool updateRequested = false;
    bool list = false;
    bool all = false;
    bool json = false;
    bool watch = false;
    // "/port:" and "/serial:", each adapter once, in the order given.
    std::vector<Named> named;
    // "/n:COUNT": the adapters a station expects (0: not said).
    int expected = 0;
    // "/log:FILE": the journal of results.
    std::string journal;
    bool deviceWork() const { return showChipVersions || updateRequested; }
    bool batch() const { return all || named.size() > 1; }
};

// The switch a journal line names the run by: "/p", "/f" or "/c".
inline const char* modeSwitch(const Request& request, const ConsoleSettings& settings) {
    if (!request.updateRequested) return "/c";
    return settings.versionCheck == 1 ? "/p" : "/f";
}

// How one adapter's run ended.
struct Outcome {
    int exitCode = 1;
    // updated, current, read or failed.
    const char* status = "failed";
    AdapterReport report;
    // Its final text, and its firmware version after the run where the run
    // knows it.
    std::u16string message;
    std::optional<std::u16string> version;
    // What the first complete connection read, before anything was written.
    std::optional<std::u16string> before;
    bool failed() const { return std::string(status) == "failed"; }
};

// One adapter's whole run: its lock, its actions, in a batch the wait for it
// to be back on the bus, its journal line (`serial` is its serial number as
// listed) and its "result" event when `lines` writes JSON.
Outcome runAdapter(steps::Run& run, ConsoleSettings settings, const Request& request,
                   AdapterLines* lines, bool batch, const std::string& serial);

// "/w": each adapter as it is plugged in, each on its own thread, until
// Ctrl-C or until "/n:COUNT" adapters have a result; then the summary.
int watchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request);

// "/a" or several "/port:": the adapters at once, each in its own session on
// its own thread, then the summary. Returns the exit code.
int batchAction(isp::Session& main, const image::ProgramData& program,
                const steps::UpdateImages& images, const ConsoleSettings& settings,
                const Request& request);

} // namespace app
