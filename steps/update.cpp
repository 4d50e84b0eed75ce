// The update: erase, program and verify the images the executable carries,
// write the new version record, restart the adapter and see it come back.
#include "steps/run.h"

#include "isp/bytes.h"
#include "platform/clock.h"

namespace steps {

namespace {

constexpr int kReconnectAttempts = 120;
constexpr int kReturnCheckAttempts = 120;
// Before this attempt of the return check, a loader identity on the bus is
// the adapter still on its way out of the loader, not a failed start of the
// application.
constexpr int kLoaderCountsFromAttempt = 21;
constexpr int kPauseBeforeReturnCheckMs = 3000;

// A failed step's note; a stopped run ends without one.
bool fail(Run& run, FrontEnd& face, Event event, std::u16string text = {}) {
    if (!face.stopRequested()) tell(run, face, {event, 0, std::move(text)});
    return false;
}

// The rest of a missed attempt of a back-to-back loop.
void missedAttempt(Run& run, FrontEnd& face, std::int64_t startedMs) {
    finishAttempt(startedMs, face.pacing().attemptPeriodMs);
    pause(face.pacing().missedAttemptPauseMs, run.session.stop());
}

// A program (mode 1) or verify (mode 0) pass of `size` bytes from `start`.
int pass(Run& run, FrontEnd& face, Step step, std::uint32_t start, std::uint32_t size, int mode,
         const std::uint8_t* data) {
    const std::uint32_t end =
        face.pacing().transfersToWordEnd ? wordEnd(start, size) : start + size - 1;
    return face.run(step, size, [&run, start, end, mode, data] {
        return run.session.writeProgram(start, end, mode, data);
    });
}

bool externalSteps(Run& run, FrontEnd& face) {
    const std::uint32_t size = run.program.externalImageSize();
    if (size == 0) return true;
    const std::uint32_t start = run.program.externalImageAddress();
    const std::uint32_t eraseEnd = start + size - 1;
    const std::uint8_t* image = run.images.external.data();
    if (face.stopRequested()) return false;
    tell(run, face, {Event::ErasingExternal});
    if (face.run(Step::EraseExternal, 0, [&] { return run.session.erasePage(start, eraseEnd); }) !=
        0)
        return fail(run, face, Event::EraseExternalFailed,
                    addressRange("Erase external failed! %08X-%08X", start, eraseEnd));
    if (face.stopRequested()) return false;
    tell(run, face, {Event::ProgrammingExternal});
    if (pass(run, face, Step::ProgramExternal, start, size, 1, image) != 0)
        return fail(run, face, Event::ProgramExternalFailed);
    if (face.stopRequested()) return false;
    tell(run, face, {Event::VerifyingExternal});
    if (pass(run, face, Step::VerifyExternal, start, size, 0, image) != 0)
        return fail(run, face, Event::ExternalVerifyFailed);
    return true;
}

bool eraseInternal(Run& run, FrontEnd& face) {
    const AdapterState& s = run.state;
    if (face.stopRequested()) return false;
    tell(run, face, {Event::ErasingInternal});
    if (s.iapLoader != 1) {
        if (face.run(Step::EraseInternal, 0, [&] { return run.session.eraseMass(); }) != 0)
            return fail(run, face, Event::MassEraseFailed);
        return true;
    }
    if (run.session.erasePage(s.versionRecordAddress, s.versionEnd) != 0)
        return fail(
            run, face, Event::EraseVersionFailed,
            addressRange("Erase Ver failed! 0x%08X-0x%08X", s.versionRecordAddress, s.versionEnd));
    if (face.stopRequested()) return false;
    std::uint32_t apEnd = s.apStartAddress + run.program.internalImageSize() - 1;
    if (run.eraseAll && s.chipFlashSize > s.apStartAddress) apEnd = s.chipFlashSize - 1;
    if (face.run(Step::EraseInternal, 0,
                 [&] { return run.session.erasePage(s.apStartAddress, apEnd); }) != 0)
        return fail(run, face, Event::EraseApplicationFailed,
                    addressRange("Erase AP failed! %08X-%08X", s.apStartAddress, apEnd));
    return true;
}

// An ISP loader takes the erase only after a restart; it comes back on a
// new link that needs its own authentication.
bool restartLoader(Run& run, FrontEnd& face) {
    if (face.stopRequested()) return false;
    tell(run, face, {Event::Resetting});
    if (face.run(Step::Reset, 0, [&] {
            const int result = run.session.reset();
            pause(face.pacing().afterResetPauseMs, run.session.stop());
            return result;
        }) != 0)
        return fail(run, face, Event::ResetFailed);
    tell(run, face, {Event::Reconnecting});
    bool back = false;
    face.run(Step::WaitForLoader, 0, [&] {
        for (int attempt = 0; attempt < kReconnectAttempts && !back && !face.stopRequested();
             ++attempt) {
            const std::int64_t started = platform::clockMs();
            back = loaderAnswers(run, face);
            if (!back) missedAttempt(run, face, started);
        }
        return 0;
    });
    // Nothing to program on: the erased adapter waits in its loader for
    // another run.
    if (!back) return fail(run, face, Event::ReconnectFailed);
    run.session.sendAuthentication();
    return true;
}

bool internalSteps(Run& run, FrontEnd& face) {
    const AdapterState& s = run.state;
    const std::uint32_t size = run.program.internalImageSize();
    const std::uint8_t* image = run.images.internal.data();
    if (face.stopRequested()) return false;
    tell(run, face, {Event::ProgrammingInternal});
    if (pass(run, face, Step::ProgramInternal, s.apStartAddress, size, 1, image) != 0)
        return fail(run, face, Event::ProgramFailed);
    if (face.stopRequested()) return false;
    tell(run, face, {Event::VerifyingInternal});
    if (pass(run, face, Step::VerifyInternal, s.apStartAddress, size, 0, image) != 0)
        return fail(run, face, Event::VerifyFailed);
    return true;
}

bool versionSteps(Run& run, FrontEnd& face) {
    const image::ProgramData& p = run.program;
    AdapterState& s = run.state;
    if (p.info.digestCheckEnabled != 0) {
        if (face.stopRequested()) return false;
        tell(run, face, {Event::DigestCheck});
        std::uint8_t parameters[52] = {p.info.digest[0], p.info.digest[1]};
        std::uint16_t digestResult = 0;
        // The adapter keeps the outcome itself; the update goes on either way,
        // but a mismatch is worth saying.
        const std::uint16_t recorded =
            static_cast<std::uint16_t>(p.info.digest[0] | p.info.digest[1] << 8);
        run.facts.digest.expected = recorded;
        if (run.session.crcCheck(&digestResult, parameters) != 1) {
            run.facts.digest.outcome = DigestOutcome::NoAnswer;
        } else {
            run.facts.digest.adapter = digestResult;
            run.facts.digest.outcome =
                digestResult == recorded ? DigestOutcome::Matched : DigestOutcome::Mismatched;
            if (digestResult != recorded) tell(run, face, {Event::DigestMismatch, digestResult});
        }
    }
    const std::vector<std::uint8_t> record =
        versionRecord(image::recordText(p.info.firmwareVersion));
    s.versionLength = isp::le32(record.data());
    s.versionEnd = wordEnd(s.versionRecordAddress, 4 + s.versionLength);
    if (face.stopRequested()) return false;
    tell(run, face, {Event::WritingVersion});
    if (run.session.writeProgram(s.versionRecordAddress, s.versionEnd, 1, record.data()) != 0)
        return fail(run, face, Event::ProgramVersionFailed);
    if (face.stopRequested()) return false;
    if (run.session.writeProgram(s.versionRecordAddress, s.versionEnd, 0, record.data()) != 0)
        return fail(run, face, Event::VersionVerifyFailed);
    return true;
}

// The device steps; false after a failure (its note told) or a stop.
bool updateSteps(Run& run, FrontEnd& face, int& status) {
    // After the connection the loader is in its authenticated session: a
    // trailer whose images cannot be read still ends it (in update()).
    if (!run.images.ready && !prepareUpdateImages(run.program, run.images))
        return fail(run, face, Event::ImagesInvalid);
    if (face.stopRequested()) return false;
    // Before anything is erased, the external region included: a release
    // meant for a larger adapter must leave this one as it is.
    if (run.program.internalImageSize() > run.state.chipFlashSize) {
        tell(run, face, {Event::TooLarge});
        status = kStatusTooLarge;
        return false;
    }
    if (!externalSteps(run, face) || !eraseInternal(run, face)) return false;
    if (run.state.iapLoader != 1 && !restartLoader(run, face)) return false;
    pause(face.pacing().beforeProgramPauseMs, run.session.stop());
    if (!internalSteps(run, face) || !versionSteps(run, face)) return false;
    if (face.stopRequested()) return false;
    tell(run, face, {Event::Restarting});
    run.session.execute();
    return true;
}

enum class Back { Unchecked, Returned, InLoader, Never, Stopped };

// After the restart: did the application come back, or the loader again?
Back checkReturn(Run& run, FrontEnd& face) {
    for (int attempt = 1; attempt <= kReturnCheckAttempts; ++attempt) {
        if (face.stopRequested()) return Back::Stopped;
        const std::int64_t started = platform::clockMs();
        if (applicationAnswers(run, face)) {
            run.session.close();
            return Back::Returned;
        }
        if (attempt >= kLoaderCountsFromAttempt && loaderAnswers(run, face)) {
            run.session.resetToIap(1);
            run.session.close();
            return Back::InLoader;
        }
        missedAttempt(run, face, started);
    }
    return Back::Never;
}

} // namespace

int update(Run& run, FrontEnd& face) {
    int status = 0;
    const bool executed = updateSteps(run, face, status);
    if (!executed) {
        if (status == 0) status = 1;
        // Restart into the loader so that another run starts afresh.
        run.session.resetToIap(1);
    }
    run.session.close();
    Back back = Back::Unchecked;
    if (executed) {
        const image::ProgramData& p = run.program;
        tell(run, face, {Event::WaitingForReturn});
        face.run(Step::ReturnCheck, 0, [&] {
            pause(kPauseBeforeReturnCheckMs, run.session.stop());
            if (p.apVendorId != 0 && p.apProductId != 0) back = checkReturn(run, face);
            return 0;
        });
    } else {
        pause(kPauseBeforeReturnCheckMs, run.session.stop());
    }
    if (back == Back::Returned) tell(run, face, {Event::Returned});
    // The adapter's firmware is written and verified: the update stands,
    // with the error line.
    if (back == Back::InLoader || back == Back::Never) tell(run, face, {Event::NotReturned});
    if (back == Back::InLoader) pause(face.pacing().notReturnedPauseMs, run.session.stop());
    // A stopped run never reports success, even when only the wait for the
    // restarted adapter was cut short.
    if (face.stopRequested() && status == 0) status = 1;
    tell(run, face, {status == 0 ? Event::Succeeded : Event::Failed});
    return status;
}

} // namespace steps
