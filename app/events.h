// The JSON formatter: every JSON line the console writes (the "/j" events and
// the journal's records) is made here, with one serializer, in the shapes
// that docs/schema/ publishes.
#pragma once

#include "steps/facts.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace image {
struct ProgramData;
}

namespace app {

// Field order as written, so that a line reads event first.
using Json = nlohmann::ordered_json;

// The version of the events' and the journal's layout: 2 since the failed
// step is a stable name (`step`) beside the console's line (`failure`), 3
// since every record names its station, run and tags.
inline constexpr int kJsonSchema = 4;

// What every record of this process's run says of where and for what it was
// made: the station ("/station:", else the host name), the run (a random
// identifier, one per process) and the tags ("/tag:KEY=VALUE").
struct RunLabels {
    std::string station;
    std::string run;
    std::map<std::string, std::string> tags;
};
// Set once, before any record is written.
void setRunLabels(RunLabels labels);
const RunLabels& runLabels();

// One line of JSON: text that is not valid UTF-8 (an adapter's bytes) comes
// out with U+FFFD in its place, never as a broken line.
std::string jsonLine(const Json& value);
// Writes it to standard output whole, never inside another thread's line.
void writeJson(const Json& value);
// Writes one whole line (its line end included) to standard output.
void writeWholeLine(const std::string& utf8Line);

// UTF-16 text as a JSON string, or null.
Json text(const std::u16string& utf16);
Json textOrNull(const std::optional<std::u16string>& utf16);

// {"event": kind, "location": location}: what every event starts with.
Json event(const char* kind, const std::string& location);
// The first event of a run: the layout, this tool and the firmware it carries
// (null without a valid trailer).
Json startEvent(const image::ProgramData* program);
// Something that concerns no adapter's run (or one not found).
Json errorEvent(const std::string& message, const std::string& location = {});

// One adapter's result, as the JSON result and the journal tell it.
struct ResultFacts {
    steps::Status status = steps::Status::Failed;
    // The step a failed run failed in, or an interrupted one was in.
    std::optional<steps::Step> step;
    // The console's line of the failure (failed only).
    std::u16string failure;
    std::optional<std::u16string> version;
    steps::DigestFacts digest;
    // A watch's failed run whose adapter was pulled (lost without a restart
    // the run commanded): "taken_again" when the adapter there once the run
    // ended is worked on again, "waiting_for_plug" when its run was already
    // such a second one. Null otherwise.
    const char* replug = nullptr;
};
// The result's fields, added to `into`; `message` (the run's last line)
// after the status when given.
void addResult(Json& into, const ResultFacts& facts, const std::u16string* message = nullptr);

} // namespace app
