// The connection: bring the adapter into its loader, authenticate and read
// what the update needs.
#include "steps/adapter_info.h"
#include "steps/claim.h"
#include "steps/run.h"
#include "steps/udev_rule.h"

#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/text.h"

#include <algorithm>

namespace steps {

void pause(std::int64_t ms, const platform::StopSignal& stop) {
    constexpr std::int64_t kSlice = 100;
    for (std::int64_t left = ms; left > 0 && !stop.requested(); left -= kSlice)
        platform::sleepMs(std::min(left, kSlice));
}

void finishAttempt(std::int64_t startedMs, std::int64_t periodMs) {
    const std::int64_t left = startedMs + periodMs - platform::clockMs();
    if (left > 0) platform::sleepMs(left);
}

bool loadRelease(isp::Session& session, image::ProgramData& program) {
    if (!image::loadProgram(program)) return false;
    useReleaseKey(session, program);
    return true;
}

void useReleaseKey(isp::Session& session, const image::ProgramData& program) {
    session.setCommandKey(program.info.commandKey, program.info.commandKeyLength);
    session.enableCommandKey(program.info.commandKeyEnabled);
}

namespace {

// Told once when the device asked for is on the bus but this user may not
// open its node (hidraw nodes are root's by default).
void reportDeniedAccess(Run& run, FrontEnd& face, std::uint32_t vendorId, std::uint32_t productId) {
    if (run.state.accessHintGiven) return;
    for (const platform::hid::DeniedDevice& d : run.session.bus().deniedDevices()) {
        if (d.identity.vendorId != vendorId || d.identity.productId != productId) continue;
        run.state.accessHintGiven = true;
        tell(run, face, {Event::AccessDenied, 0, platform::utf8ToUtf16(d.path)});
        return;
    }
}

} // namespace

namespace {

bool answers(Run& run, FrontEnd& face, std::uint32_t vendorId, std::uint32_t productId,
             std::uint32_t usageSelector) {
    run.session.setTarget(static_cast<int>(vendorId), static_cast<int>(productId),
                          static_cast<int>(usageSelector));
    const bool answered = run.session.connectToTarget() != 0;
    if (!answered) reportDeniedAccess(run, face, vendorId, productId);
    return answered;
}

} // namespace

bool applicationAnswers(Run& run, FrontEnd& face) {
    const image::ProgramData& p = run.program;
    return answers(run, face, p.apVendorId, p.apProductId, p.apUsageSelector);
}

bool loaderAnswers(Run& run, FrontEnd& face) {
    const image::ProgramData& p = run.program;
    return answers(run, face, p.iapVendorId, p.iapProductId, p.iapUsageSelector);
}

namespace {

enum class Search { Found, Missing, Stopped, Refused };

// The first adapter a session finds is the one it follows from then on,
// once its lock is taken: nothing has been sent to it yet.
bool follows(Run& run, FrontEnd& face) {
    if (!run.session.followed().empty()) return true;
    const std::string location = run.session.location();
    std::u16string refusal;
    std::string holder, notice;
    const bool claimed = claimAdapter(run.session.bus(), location, &refusal, &holder, &notice);
    if (!notice.empty()) tell(run, face, {Event::LockNotice, 0, platform::utf8ToUtf16(notice)});
    if (!claimed) {
        run.session.close();
        if (!holder.empty()) tell(run, face, {Event::LockHolder, 0, platform::utf8ToUtf16(holder)});
        tell(run, face, {Event::AdapterBusy, 0, refusal});
        return false;
    }
    run.session.follow(location);
    return true;
}

// The adapter's application (which is restarted into its loader) or its
// loader, one attempt a search pause apart.
Search search(Run& run, FrontEnd& face, bool forLoader) {
    tell(run, face, {forLoader ? Event::SearchLoader : Event::SearchApplication});
    for (int attempt = 1; attempt <= face.pacing().searchAttempts; ++attempt) {
        if (face.stopRequested()) return Search::Stopped;
        tell(run, face, {Event::Attempt, attempt});
        if (!forLoader && applicationAnswers(run, face)) {
            if (!follows(run, face)) return Search::Refused;
            // Running its application: restart it into its loader.
            run.session.resetToIap(0);
        } else if (!loaderAnswers(run, face)) {
            tell(run, face, {Event::Missed, attempt});
            pause(face.pacing().searchPauseMs, run.session.stop());
            continue;
        } else if (!follows(run, face)) {
            return Search::Refused;
        }
        if (!forLoader) run.session.close();
        tell(run, face, {Event::Found});
        return Search::Found;
    }
    return Search::Missing;
}

// How a connection ended, and what its way out has to do.
struct Ending {
    Connection result;
    // The adapter is in the session this run opened: restarted into its
    // loader first, so that the next run finds a loader that listens.
    bool inSession = false;
    // The link is closed (a search that found nothing leaves it as it was).
    bool close = true;
    int pauseMs = 0;
};

// The sequence: searches, authentication, the information reads.
Ending connection(Run& run, FrontEnd& face) {
    const image::ProgramData& p = run.program;
    AdapterState& s = run.state;

    if (p.apVendorId != 0 && p.apProductId != 0) {
        const Search found = search(run, face, false);
        if (found == Search::Stopped) return {Connection::Stopped};
        if (found == Search::Refused) return {Connection::Refused, false, false};
        if (found == Search::Missing) {
            tell(run, face, {Event::ApplicationMissing});
            return {Connection::NotFound, false, false};
        }
    }
    const Search found = search(run, face, true);
    tell(run, face, {Event::SearchEnded});
    if (found == Search::Refused) return {Connection::Refused, false, false};
    if (found == Search::Stopped || face.stopRequested()) return {Connection::Stopped};
    if (!loaderAnswers(run, face)) {
        tell(run, face, {Event::LoaderMissing});
        return {Connection::NotFound, false, true, face.pacing().loaderMissingPauseMs};
    }

    if (!face.enterSession()) return {Connection::Stopped};
    run.session.sendAuthentication();
    // The authentication does not depend on the command key: a loader that
    // takes it and then refuses every command has another key. One held by
    // an earlier session does not take the authentication at all.
    const bool authenticated = run.session.state.rollingEnabled != 0;
    const std::uint32_t lost = run.session.state.devicesLost;
    AdapterReadNotes notes;
    const bool read = !face.stopRequested() && readAdapterInformation(run, face, notes);
    // Only for an adapter that stayed: one unplugged (and maybe back, out of
    // the session) is neither hung nor keyed otherwise.
    if (notes.probeFailed && !face.stopRequested() && run.session.state.devicesLost == lost &&
        loaderAnswers(run, face))
        tell(run, face, {authenticated ? Event::WrongCommandKey : Event::HungLoader, 1});
    if (face.stopRequested()) return {Connection::Stopped, true};
    if (notes.versionRead) tell(run, face, {Event::AdapterVersion, 0, s.chipVersion});
    // A failed read leaves the adapter restarted in its loader, ready for
    // another try.
    if (!read) return {Connection::ReadFailed, true, true, face.pacing().failedReadPauseMs};
    tell(run, face, {Event::Connected});
    return {Connection::Connected, false, false};
}

} // namespace

Connection connect(Run& run, FrontEnd& face) {
    // The one way out of a connection.
    const Ending e = connection(run, face);
    if (e.inSession) run.session.resetToIap(1);
    if (e.close) run.session.close();
    pause(e.pauseMs, run.session.stop());
    return e.result;
}

} // namespace steps
