// The window's update: the console's device steps with the window's texts,
// progress positions, pauses and limits, each program and verify pass on a
// transfer worker that the update worker polls.
#include "dialog/view.h"

#include "app/device_steps.h"
#include "image/program.h"
#include "isp/bytes.h"
#include "isp/isp.h"
#include "isp/link_state.h"
#include "platform/clock.h"
#include "platform/thread.h"

#include <algorithm>
#include <cstdio>

namespace dialog {

namespace {

using app::addressRange;
using app::kLoaderCountsFromAttempt;
using app::kReconnectAttempts;
using app::kReturnCheckAttempts;
using app::kStatusTooLarge;

constexpr int kExternalPolls = 90'000;
constexpr int kInternalPolls = 4'000;
constexpr int kPollMs = 10;

// Polls the transfer worker until it ends or the limit runs out. A pass
// still running then is stopped, and has ended, before anything else talks
// to the adapter: the link is never used by two threads.
int waitForTransfer(View& view, platform::Worker& worker, int limit) {
    view.setProgress(0);
    int code = -1;
    for (int poll = 0; poll < limit; ++poll) {
        platform::sleepMs(kPollMs);
        code = worker.exitCode();
        // An ended pass is reported at once, a failed one as well.
        if (code != platform::kStillActive) return code;
        view.setProgress(ISP_GetTransProgress());
    }
    auto& stop = isp::linkState().stopTransfer.value;
    stop.store(1);
    worker.join();
    stop.store(0);
    return code;
}

// One program (mode 1) or verify (mode 0) pass of `size` bytes from `start`
// on a transfer worker. The poll limit grows with the image so that a pass
// at full-speed pace (1 ms a report) always fits, with `minimumPolls` as the
// floor.
int transfer(View& view, std::uint32_t start, std::uint32_t size, int mode,
             const std::uint8_t* data, int minimumPolls) {
    const std::int64_t reports = (static_cast<std::int64_t>(size) + 51) / 52;
    const auto limit = static_cast<int>(std::max<std::int64_t>(minimumPolls, reports / 5 + 1000));
    const std::uint32_t end = start + size - 1;
    auto worker = platform::threads().start(
        [start, end, mode, data] { return ISP_WriteProgramB(start, end, mode, data); });
    return waitForTransfer(view, *worker, limit);
}

bool updateSteps(View& view, int& status) {
    const image::ProgramData& p = image::program();
    app::AdapterState& s = app::adapterState();
    auto fail = [&view](const std::u16string& text) {
        view.setText(kResultLabel, text);
        return false;
    };
    // After the connection the loader is in its authenticated session: a
    // trailer whose images cannot be read still ends it (below).
    if (!app::prepareUpdateImages()) return fail(u"Image format invalid!");
    const app::UpdateImages& images = app::updateImages();
    const std::uint32_t internalSize = p.internalImageSize();

    // Before anything is erased, the external region included.
    if (internalSize > s.chipFlashSize) {
        view.messageBox(u"Image size is large the chip size!", u"Image Size Error");
        view.setText(kStatusLabel, u"Not Connected");
        view.setText(kResultLabel, u"NA");
        status = kStatusTooLarge;
        return false;
    }

    const std::uint32_t externalSize = p.externalImageSize();
    if (externalSize != 0) {
        const std::uint32_t start = p.externalImageAddress();
        const std::uint32_t end = start + externalSize - 1;
        view.setText(kResultLabel, u"Erasing external....");
        view.setProgress(0);
        const bool erased = ISP_ErasePage(start, end) == 0;
        view.setProgress(100);
        if (!erased) return fail(addressRange("Erase external failed! %08X-%08X", start, end));
        view.setText(kResultLabel, u"Programming external....");
        if (transfer(view, start, externalSize, 1, images.external.data(), kExternalPolls) != 0)
            return fail(u"Program External Failed!");
        view.setText(kResultLabel, u"Verifing external....");
        if (transfer(view, start, externalSize, 0, images.external.data(), kExternalPolls) != 0)
            return fail(u"External Verify Failed!");
    }

    view.setProgress(0);
    view.setText(kResultLabel, u"Eraseing internal....");
    if (s.iapLoader == 1) {
        if (ISP_ErasePage(s.versionRecordAddress, s.versionEnd) != 0)
            return fail(addressRange("Erase Ver failed! 0x%08X-0x%08X", s.versionRecordAddress,
                                     s.versionEnd));
        const std::uint32_t apEnd = s.apStartAddress + internalSize - 1;
        if (ISP_ErasePage(s.apStartAddress, apEnd) != 0)
            return fail(addressRange("Erase AP failed! %08X-%08X", s.apStartAddress, apEnd));
    } else if (ISP_EraseMass() != 0) {
        return fail(u"Mass Erase failed!");
    }
    view.setProgress(100);

    view.setProgress(0);
    if (s.iapLoader == 0) {
        view.setText(kResultLabel, u"Reset....");
        const bool reset = ISP_Reset() == 0;
        app::pause(2000);
        view.setProgress(100);
        if (!reset) return fail(u"Reset Failed!");
    } else {
        view.setProgress(100);
    }

    view.setProgress(0);
    if (s.iapLoader == 0) {
        view.setText(kResultLabel, u"Connecting....");
        bool back = false;
        for (int attempt = 0; attempt < kReconnectAttempts && !back; ++attempt) {
            back = app::deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector);
            if (!back) app::pause(1000);
        }
        // Nothing to program on: the erased adapter waits in its loader.
        if (!back) return fail(u"Connect IAP Fail!");
        ISP_SendAuthentication();
    }
    view.setProgress(100);

    app::pause(1000);
    view.setText(kResultLabel, u"Programming internal....");
    if (transfer(view, s.apStartAddress, internalSize, 1, images.internal.data(), kInternalPolls) !=
        0)
        return fail(u"Program Failed!");
    view.setText(kResultLabel, u"Verifing....");
    if (transfer(view, s.apStartAddress, internalSize, 0, images.internal.data(), kInternalPolls) !=
        0)
        return fail(u"AP Verify Failed!");

    if (p.info.digestCheckEnabled != 0) {
        view.setText(kResultLabel, u"Digest Check....");
        std::uint8_t parameters[52] = {p.info.digest[0], p.info.digest[1]};
        std::uint16_t digestResult = 0;
        // The adapter keeps the outcome itself; the update goes on either way.
        ISP_CRCCheck(0, 32, &digestResult, parameters);
    }

    const std::vector<std::uint8_t> record =
        app::versionRecord(image::recordText(p.info.firmwareVersion));
    s.versionLength = isp::le32(record.data());
    s.versionEnd = app::wordEnd(s.versionRecordAddress, 4 + s.versionLength);
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 1, record.data()) != 0)
        return fail(u"Program Version Failed!");
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 0, record.data()) != 0)
        return fail(u"Version Verify Failed!");

    view.setText(kResultLabel, u"Reset to AP...");
    ISP_Execute();
    return true;
}

void checkReturn(View& view) {
    const image::ProgramData& p = image::program();
    for (int attempt = 1; attempt <= kReturnCheckAttempts; ++attempt) {
        if (app::deviceAnswers(p.apVendorId, p.apProductId, p.apUsageSelector)) {
            ISP_CloseSerialPortConnect();
            view.setText(kResultLabel, u"Operation Success");
            return;
        }
        if (attempt >= kLoaderCountsFromAttempt &&
            app::deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
            ISP_ResetToIAP(1);
            ISP_CloseSerialPortConnect();
            view.setText(kResultLabel, u"[ERROR] Can't Reset to AP...");
            app::pause(1000);
            return;
        }
        app::pause(1000);
    }
    view.setText(kResultLabel, u"[ERROR] Can't Reset to AP...");
}

} // namespace

int updateWorker(View& view) {
    const image::ProgramData& p = image::program();
    view.enable(kProgramButton, false);
    int status = 0;
    const bool executed = updateSteps(view, status);
    if (!executed) {
        if (status == 0) status = 1;
        // Restart into the loader so that another update starts afresh.
        ISP_ResetToIAP(1);
    }
    ISP_CloseSerialPortConnect();
    app::pause(3000);
    if (executed && p.apVendorId != 0 && p.apProductId != 0) checkReturn(view);
    if (status == 0) view.setText(kResultLabel, u"Operation successful.");
    view.finish(kConnectButton, kIdle);
    return 0;
}

} // namespace dialog
