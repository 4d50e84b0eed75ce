// The facts of one adapter's run, as types: the step it was in, how it ended,
// the step that failed and why, the digest check's outcome. The front ends
// only put words to them (the console's lines, the window's texts, the JSON
// events, the journal, the library's progress and errors), and they share
// one set of step names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace steps {

// Every step of a run, in the order an update runs them. Their names are
// stable: scripts, the journal and the library's progress callback see them.
enum class Step {
    Connect,         // search, restart into the loader, authenticate, read
    Save,            // "/save:FILE": the adapter's firmware read back
    CheckImage,      // the images read and sized against the flash
    EraseExternal,   //
    ProgramExternal, //
    VerifyExternal,  //
    EraseInternal,   // the version record and the application area, or a mass erase
    Reset,           // an ISP loader's restart before it is programmed
    WaitForLoader,   // ... and the wait for it to come back
    ProgramInternal, //
    VerifyInternal,  //
    DigestCheck,     //
    WriteVersion,    // the version record written and verified
    Restart,         // into the new application
    ReturnCheck,     // the wait for the application to come back
};
inline constexpr int kStepCount = static_cast<int>(Step::ReturnCheck) + 1;

// "connect", "erase_external", ...
const char* stepName(Step step);
std::optional<Step> stepNamed(std::string_view name);

// How one adapter's run ended.
enum class Status { Updated, Current, Read, Failed, Interrupted };
// "updated", "current", "read", "failed", "interrupted"
const char* statusName(Status status);
inline bool succeeded(Status s) { return s != Status::Failed && s != Status::Interrupted; }

// What the adapter said of its application area's digest after an update.
enum class DigestOutcome {
    NotChecked, // the release does not ask for the check, or the update did not reach it
    Matched,
    Mismatched,
    NoAnswer, // the adapter did not answer the check
};
// "not_checked", "matched", "mismatched", "no_answer"
const char* digestName(DigestOutcome outcome);
// The check's outcome with its values: the digest the release expects and
// the one the adapter computed (when it answered).
struct DigestFacts {
    DigestOutcome outcome = DigestOutcome::NotChecked;
    std::uint16_t expected = 0;
    std::optional<std::uint16_t> adapter;
};
// A digest as the trailer stores it and `show` prints it: its low byte first
// ("3412" for 0x1234).
std::string digestText(std::uint16_t digest);

enum class Event;

// The step that failed, the event that told it (each front end has its words
// for it) and the event's detail (an address range, a refusal's reason).
struct Failure {
    Step step;
    Event event;
    std::u16string detail;
    int number = 0; // the information item that did not come
};

// What the steps learned of a run while they told their front end: kept in
// the run, so the front end reads facts instead of its own transcript.
struct Facts {
    // The step that began last: where a stopped run was.
    std::optional<Step> step;
    // The first failure; what follows it is its consequence.
    std::optional<Failure> failure;
    DigestFacts digest;
    // The update began erasing the internal flash and the version record:
    // what the connection read of them no longer holds.
    bool erased = false;
    // The update stands, but the adapter did not come back running it.
    bool lost = false;
};

} // namespace steps
