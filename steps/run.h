// The adapter's connection and update, written once for the console and the
// window. The steps talk to one adapter through its session; what differs
// between the two front ends (words, pauses and limits, progress display,
// stopping, threads) is the FrontEnd each of them implements.
#pragma once

#include "image/program.h"
#include "isp/session.h"
#include "steps/facts.h"
#include "steps/images.h"

#include <cstdint>
#include <functional>
#include <string>

namespace steps {

// What a connection learns about the adapter, kept for the update and for a
// later connection, which starts from the values an earlier one left.
struct AdapterState {
    std::u16string loaderVersion = u"NA";
    std::int32_t iapLoader = 0;
    std::uint32_t chipFlashSize = 0;
    std::uint32_t apStartAddress = 0;
    std::uint32_t versionRecordAddress = 0;
    // Some connection has read the address (item 8): until then there is no
    // record to read.
    bool versionRecordKnown = false;
    std::uint32_t versionLength = 0;
    std::uint32_t versionEnd = 0;
    std::u16string chipVersion = u"NA";
    // "USB, " and the part name, then ", " and the loader kind and version.
    std::u16string deviceDescription;
    // The hint about a device node this user may not open is said once.
    bool accessHintGiven = false;
};

// What the steps tell their front end. Each front end has its own words
// for each, or none.
enum class Event {
    // The connection. A search is either for the application or for the
    // loader; its attempts count from 1.
    SearchApplication,
    SearchLoader,
    Attempt,
    Missed,
    Found,
    SearchEnded,
    ApplicationMissing,
    LoaderMissing,
    ItemFailed, // attempt: the information item that did not come
    HungLoader,
    // The loader took the authentication and refuses every command signed
    // with this updater's command key.
    WrongCommandKey,
    AdapterVersion, // text: the version the record holds
    Connected,
    AccessDenied, // text: the node of the adapter that this user may not open
    LockHolder,   // text: what holds the adapter's lock, where the system tells
    LockNotice,   // text: the lock guards less than usual (said once a process)
    AdapterBusy,  // text: why the adapter found is not this run's to use
    // The update.
    ImagesInvalid,
    TooLarge,
    ErasingExternal,
    EraseExternalFailed, // text: the range
    ProgrammingExternal,
    ProgramExternalFailed,
    VerifyingExternal,
    ExternalVerifyFailed,
    ErasingInternal,
    EraseVersionFailed,     // text: the range
    EraseApplicationFailed, // text: the range
    MassEraseFailed,
    Resetting,
    ResetFailed,
    Reconnecting,
    ReconnectFailed,
    ProgrammingInternal,
    ProgramFailed,
    VerifyingInternal,
    VerifyFailed,
    DigestCheck,
    DigestMismatch, // attempt: the digest the adapter computed
    WritingVersion,
    ProgramVersionFailed,
    VersionVerifyFailed,
    Restarting,
    WaitingForReturn,
    Returned,
    NotReturned,
    Succeeded,
    Failed,
};

struct Note {
    Note(Event e, int n = 0, std::u16string t = {}) : event(e), attempt(n), text(std::move(t)) {}
    Event event;
    int attempt;
    std::u16string text;
};

// The limits and pauses in which the front ends differ.
struct Pacing {
    int searchAttempts;
    int searchPauseMs;
    // After the loader was not found, a read failed, a loader was reset.
    int loaderMissingPauseMs;
    int failedReadPauseMs;
    int afterResetPauseMs;
    // The back-to-back loops (reconnection, return check): each attempt
    // lasts at least `attemptPeriodMs`, and a missed one is followed by
    // `missedAttemptPauseMs`.
    int attemptPeriodMs;
    int missedAttemptPauseMs;
    int beforeProgramPauseMs;
    // After the adapter came back in its loader instead of its application.
    int notReturnedPauseMs;
    // Program and verify passes run to the end of the word holding the
    // image's last byte, or end exactly at that byte.
    bool transfersToWordEnd;
};

// The console's and the device library's pacing. Search: 60 attempts half
// a second apart. Back-to-back loops: each attempt
// lasts at least 50 ms, because a hidraw discovery takes milliseconds where a
// Windows one takes about that, and 120 attempts would pass long before a
// restarted adapter (about a second) is back on the bus.
inline constexpr Pacing kStandardPacing{.searchAttempts = 60,
                                        .searchPauseMs = 500,
                                        .loaderMissingPauseMs = 0,
                                        .failedReadPauseMs = 0,
                                        .afterResetPauseMs = 0,
                                        .attemptPeriodMs = 50,
                                        .missedAttemptPauseMs = 0,
                                        .beforeProgramPauseMs = 0,
                                        .notReturnedPauseMs = 0,
                                        .transfersToWordEnd = true};

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    virtual const Pacing& pacing() const = 0;
    virtual void note(const Note& note) = 0;
    // True once the run is to stop at its next step (interrupted, closed).
    virtual bool stopRequested() = 0;
    // Just before the authentication, after which the adapter is in this
    // run's session: false when the run may not go on.
    virtual bool enterSession() { return !stopRequested(); }
    // True when nothing may be said beside the notes (the holder of a busy
    // lock, for one).
    virtual bool quiet() const { return false; }
    // Runs one long step (`bytes` of a transfer, 0 for a step without a
    // measure) and returns its result; shows it the front end's way. The
    // long ones: the erases, the passes, the reset and the two waits.
    virtual int run(Step step, std::uint64_t bytes, const std::function<int()>& body) = 0;
};

// One adapter as the steps see it: the link to it, the release the
// executable carries, what the connection learned and the images the update
// writes. Its front end holds it from the connection to the update.
struct Run {
    isp::Session& session;
    const image::ProgramData& program;
    AdapterState state{};
    UpdateImages images{};
    Facts facts{};
    // An "IAP" loader's erase covers the whole application area, from its
    // start to the flash's end the loader reports, not only the image's
    // pages: nothing of an earlier, longer firmware stays behind.
    bool eraseAll = false;
};

// Tells `face` what happened, after keeping the facts of it in `run`: every
// note of the steps goes through here.
void tell(Run& run, FrontEnd& face, const Note& note);

// Loads the executable's release into `program` and hands its command key to
// `session`. False when the executable carries no valid trailer.
bool loadRelease(isp::Session& session, image::ProgramData& program);
// Hands the release's command key to another session.
void useReleaseKey(isp::Session& session, const image::ProgramData& program);

enum class Connection { Connected, NotFound, ReadFailed, Stopped, Refused };

// Finds the adapter, brings it into its loader, authenticates and reads what
// the update needs. A stopped connection has ended the adapter's session
// and closed the link. A session that follows no adapter yet follows the
// first it finds, once its lock is taken (Refused, with the AdapterBusy
// note, when another updater holds it).
Connection connect(Run& run, FrontEnd& face);

// Erases, programs and verifies the flash, writes the version record,
// restarts the adapter and checks that it came back. Ends with the
// Succeeded or Failed note; returns the status, 0 for success.
int update(Run& run, FrontEnd& face);

// One discovery of the adapter running its application, or in its loader:
// true when it was found and opened. An adapter this user may not open is
// told once (AccessDenied).
bool applicationAnswers(Run& run, FrontEnd& face);
bool loaderAnswers(Run& run, FrontEnd& face);

// Sleeps out the rest of an attempt's period of `periodMs` that began at
// `startedMs`.
void finishAttempt(std::int64_t startedMs, std::int64_t periodMs);

// Waits `ms` milliseconds, or less when `stop` is raised meanwhile.
void pause(std::int64_t ms, const platform::StopSignal& stop);

// The update's status after an image larger than the flash.
inline constexpr int kStatusTooLarge = 7;

} // namespace steps
