// The console update: erase, program and verify the images the executable
// carries, write the new version record and restart the adapter.
#include "app/console.h"
#include "app/device_steps.h"
#include "app/progress.h"

#include "image/program.h"
#include "image/trailer.h"
#include "isp/bytes.h"
#include "isp/isp.h"
#include "platform/clock.h"
#include "platform/text.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace app {

namespace {

constexpr int kPauseBeforeReturnCheckMs = 3000;

// A program or verify pass of `bytes` bytes, or a step without a measure,
// under the progress line.
int pass(const char* step, std::uint64_t bytes, const std::function<int()>& run) {
    return withProgress(
        step, bytes, [bytes] { return passDone(bytes); }, run);
}

int waiting(const char* step, const std::function<int()>& run) {
    return withProgress(step, 0, {}, run);
}

// The device steps; false after a failure (its message printed) or an
// interruption (nothing printed).
bool updateSteps(const image::ProgramData& p, AdapterState& s, const UpdateImages& images,
                 int& status) {
    // A failed step's message; an interrupted step stops without one.
    auto fail = [](const std::u16string& message) {
        if (!interrupted()) printMessage(message);
        return false;
    };
    if (interrupted()) return false;
    const std::uint32_t internalSize = p.internalImageSize();
    // Before anything is erased, the external region included: a release
    // meant for a larger adapter must leave this one as it is.
    if (internalSize > s.chipFlashSize) {
        printMessage("Not Connected\n");
        status = kStatusTooLarge;
        return false;
    }

    const std::uint32_t externalSize = p.externalImageSize();
    if (externalSize != 0) {
        const std::uint32_t start = p.externalImageAddress();
        const std::uint32_t eraseEnd = start + externalSize - 1;
        const std::uint32_t end = wordEnd(start, externalSize);
        if (interrupted()) return false;
        printMessage("Erasing external...\n");
        if (waiting("Erasing external", [&] { return ISP_ErasePage(start, eraseEnd); }) != 0)
            return fail(addressRange("Erase external failed! %08X-%08X", start, eraseEnd));
        if (interrupted()) return false;
        printMessage("Programming external...\n");
        if (pass("Programming external", externalSize,
                 [&] { return ISP_WriteProgramB(start, end, 1, images.external.data()); }) != 0)
            return fail(u"Program External Failed!\n");
        if (interrupted()) return false;
        printMessage("Verifing external...\n");
        if (pass("Verifying external", externalSize,
                 [&] { return ISP_WriteProgramB(start, end, 0, images.external.data()); }) != 0)
            return fail(u"External Verify Failed!\n");
    }

    if (interrupted()) return false;
    printMessage("Eraseing internal...\n");
    if (s.iapLoader == 1) {
        if (ISP_ErasePage(s.versionRecordAddress, s.versionEnd) != 0)
            return fail(addressRange("Erase Ver failed! 0x%08X-0x%08X", s.versionRecordAddress,
                                     s.versionEnd));
        if (interrupted()) return false;
        const std::uint32_t apEnd = s.apStartAddress + internalSize - 1;
        if (waiting("Erasing internal", [&] { return ISP_ErasePage(s.apStartAddress, apEnd); }) !=
            0)
            return fail(addressRange("Erase AP failed! %08X-%08X", s.apStartAddress, apEnd));
    } else {
        if (waiting("Erasing internal", [] { return ISP_EraseMass(); }) != 0)
            return fail(u"Mass Erase failed!");
        if (interrupted()) return false;
        // An ISP loader takes the erase only after a restart; it comes back on
        // a new link that needs its own authentication.
        printMessage("Reset...\n");
        if (ISP_Reset() != 0) return fail(u"Reset Failed!\n");
        printMessage("Connecting...\n");
        bool back = false;
        waiting("Waiting for the loader", [&] {
            for (int attempt = 0; attempt < kReconnectAttempts && !back && !interrupted();
                 ++attempt) {
                const std::int64_t started = platform::clockMs();
                back = deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector);
                if (!back) finishAttempt(started);
            }
            return 0;
        });
        // Nothing to program on: the erased adapter waits in its loader for
        // another run.
        if (!back) return fail(u"Connect IAP Fail!\n");
        ISP_SendAuthentication();
    }

    const std::uint32_t internalEnd = wordEnd(s.apStartAddress, internalSize);
    if (interrupted()) return false;
    printMessage("Programming internal...\n");
    if (pass("Programming internal", internalSize, [&] {
            return ISP_WriteProgramB(s.apStartAddress, internalEnd, 1, images.internal.data());
        }) != 0)
        return fail(u"Program Failed!\n");
    if (interrupted()) return false;
    printMessage("Verifing...\n");
    if (pass("Verifying internal", internalSize, [&] {
            return ISP_WriteProgramB(s.apStartAddress, internalEnd, 0, images.internal.data());
        }) != 0)
        return fail(u"AP Verify Failed!");

    const std::u16string version = image::recordText(p.info.firmwareVersion);
    if (p.info.digestCheckEnabled != 0) {
        if (interrupted()) return false;
        printMessage("Digest Check...\n");
        std::uint8_t parameters[52] = {p.info.digest[0], p.info.digest[1]};
        std::uint16_t digestResult = 0;
        // The adapter keeps the outcome itself; the update goes on either way.
        ISP_CRCCheck(0, 32, &digestResult, parameters);
    }

    const std::vector<std::uint8_t> record = versionRecord(version);
    s.versionLength = isp::le32(record.data());
    s.versionEnd = wordEnd(s.versionRecordAddress, 4 + s.versionLength);
    if (interrupted()) return false;
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 1, record.data()) != 0)
        return fail(u"Program Version Failed!\n");
    if (interrupted()) return false;
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 0, record.data()) != 0)
        return fail(u"Version Verify Failed!\n");

    if (interrupted()) return false;
    printMessage("Reset to AP...\n");
    ISP_Execute();
    return true;
}

// After the restart: did the application come back, or the loader again?
// True when it did not come back running its application.
bool lostReturn(const image::ProgramData& p) {
    for (int attempt = 1; attempt <= kReturnCheckAttempts; ++attempt) {
        if (interrupted()) return false;
        const std::int64_t started = platform::clockMs();
        if (deviceAnswers(p.apVendorId, p.apProductId, p.apUsageSelector)) {
            ISP_CloseSerialPortConnect();
            return false;
        }
        if (attempt >= kLoaderCountsFromAttempt &&
            deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
            ISP_ResetToIAP(1);
            ISP_CloseSerialPortConnect();
            return true;
        }
        finishAttempt(started);
    }
    return true;
}

} // namespace

int consoleUpdate() {
    const image::ProgramData& p = image::program();
    AdapterState& s = adapterState();
    int status = 0;
    bool apReturnCheck = false;

    printMessage("\n");
    if (!updateImages().ready && !prepareUpdateImages()) {
        // Read after the connection (the console reads them before): the
        // loader is in its authenticated session, which only a reset ends.
        status = 1;
        ISP_ResetToIAP(1);
    } else if (updateSteps(p, s, updateImages(), status)) {
        apReturnCheck = true;
    } else {
        if (status == 0) status = 1;
        // Restart into the loader so that another run starts afresh.
        ISP_ResetToIAP(1);
    }

    ISP_CloseSerialPortConnect();
    bool lost = false;
    if (apReturnCheck) {
        lost = waiting("Waiting for the adapter", [&] {
            pause(kPauseBeforeReturnCheckMs);
            return p.apVendorId != 0 && p.apProductId != 0 && lostReturn(p);
        });
    } else {
        pause(kPauseBeforeReturnCheckMs);
    }
    if (lost) printMessage("[ERROR] Can't Reset to AP...\n");
    // An interrupted run never reports success, even when only the wait for
    // the restarted adapter was cut short.
    if (interrupted() && status == 0) status = 1;

    if (status == 0) {
        printMessage("Operation Success.\n\n");
        return 0;
    }
    printMessage("Operation Failed.\n\n");
    return 1;
}

} // namespace app
