// The console's actions on adapters, shared by its run on one adapter and
// its batches ("/a", several "/port:") and its watch ("/w").
#pragma once

#include "app/console.h"
#include "app/request.h"
#include "steps/adapters.h"

#include <optional>
#include <string>
#include <vector>

namespace app {

// How one adapter's run ended.
struct Outcome {
    int exitCode = 1;
    AdapterReport report;
    // Its status, the step it failed or stopped in, the failure's line, its
    // firmware version after the run where the run knows it, the digest.
    ResultFacts result;
    // Its final text.
    std::u16string message;
    // What the first complete connection read, before anything was written.
    std::optional<std::u16string> before;
    // The run lost its adapter without a restart it commanded.
    bool pulled = false;
    steps::Status status() const { return result.status; }
    bool failed() const { return result.status == steps::Status::Failed; }
};

// One adapter's whole run: its lock, its actions, in a batch the wait for it
// to be back on the bus, its journal line (`serial` is its serial number as
// listed) and its "result" event when `lines` writes JSON.
// `retried`: a watch's second run after its adapter was pulled.
Outcome runAdapter(steps::Run& run, ConsoleSettings settings, const Request& request,
                   AdapterLines* lines, bool batch, const std::string& serial,
                   bool retried = false);

// One adapter of a batch or a watch, found at its location: its own session
// (on this thread, stopped with `main`'s), following it, with its own lines;
// its lock is given back and its session closed once its result is out.
Outcome runFound(isp::Session& main, const image::ProgramData& program,
                 const steps::UpdateImages& images, const ConsoleSettings& settings,
                 const Request& request, const steps::FoundAdapter& found, bool retried = false);

// "/l": the adapters on the bus, without a report sent to any.
int listAction(platform::hid::Bus& bus, const image::ProgramData& program,
               const ConsoleSettings& settings, bool json);

// "/port:LOCATION" or "/serial:SN": the run follows that adapter; one that
// is not there is an error that says what is.
bool chooseNamed(steps::Run& run, const ConsoleSettings& settings, const Named& named, bool json);

// How many adapters' runs ended in each status: all a station keeps of its
// results (a watch that runs all shift keeps no more than this).
struct Tally {
    std::size_t counts[5] = {};
    std::size_t total = 0;
    // Runs whose adapter reported another digest than the release's (the
    // update stands: the adapter keeps the outcome itself).
    std::size_t digestMismatches = 0;
    void add(steps::Status s) {
        ++counts[static_cast<int>(s)];
        ++total;
    }
    void add(const Outcome& o) {
        add(o.status());
        digestMismatches += o.result.digest.outcome == steps::DigestOutcome::Mismatched;
    }
    std::size_t operator[](steps::Status s) const { return counts[static_cast<int>(s)]; }
};

// The station's summary line (or event) of a batch or watch, and its exit
// code.
int summarize(const Tally& tally, const ConsoleSettings& settings, const Request& request);

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
