// The console update: erase, program and verify the images the executable
// carries, write the new version record and restart the adapter.
#include "app/console.h"
#include "app/device_steps.h"

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

constexpr int kReconnectAttempts = 120;
constexpr int kReturnCheckAttempts = 120;
// Before this attempt a loader identity on the bus is the adapter still on its
// way out of the loader, not a failed start of the application.
constexpr int kLoaderCountsFromAttempt = 21;
constexpr int kPauseBeforeReturnCheckMs = 3000;
// Status after an image larger than the flash.
constexpr int kStatusTooLarge = 7;

std::u16string addressRange(const char* format, std::uint32_t start, std::uint32_t end) {
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(start),
                  static_cast<unsigned>(end));
    return platform::ascii(text);
}

struct Images {
    std::vector<std::uint8_t> internal;
    std::vector<std::uint8_t> external;
};

// Reads both images from the trailer into word-padded buffers. False when the
// trailer's sizes do not fit in the file (checked before anything is
// allocated) or the read fails.
bool readImages(const image::ProgramData& p, Images& images) {
    const std::uint32_t internalSize = p.internalImageSize();
    const std::uint32_t externalSize = p.externalImageSize();
    if (!image::imagesFit(image::programPath(), image::processTrailer(), internalSize,
                          externalSize))
        return false;
    try {
        images.internal = wordPaddedBuffer(internalSize);
        images.external = wordPaddedBuffer(externalSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return GetImage(static_cast<int>(internalSize), static_cast<int>(externalSize),
                    images.internal.data(), images.external.data()) == 1;
}

// The device steps; false after a failure, with its message printed.
bool updateSteps(const image::ProgramData& p, AdapterState& s, const Images& images, int& status) {
    const std::uint32_t externalSize = p.externalImageSize();
    if (externalSize != 0) {
        const std::uint32_t start = p.externalImageAddress();
        const std::uint32_t eraseEnd = start + externalSize - 1;
        const std::uint32_t end = wordEnd(start, externalSize);
        printMessage("Erasing external...\n");
        if (ISP_ErasePage(start, eraseEnd) != 0) {
            printMessage(addressRange("Erase external failed! %08X-%08X", start, eraseEnd));
            return false;
        }
        printMessage("Programming external...\n");
        if (ISP_WriteProgramB(start, end, 1, images.external.data()) != 0) {
            printMessage("Program External Failed!\n");
            return false;
        }
        printMessage("Verifing external...\n");
        if (ISP_WriteProgramB(start, end, 0, images.external.data()) != 0) {
            printMessage("External Verify Failed!\n");
            return false;
        }
    }

    const std::uint32_t internalSize = p.internalImageSize();
    if (internalSize > s.chipFlashSize) {
        printMessage("Not Connected\n");
        status = kStatusTooLarge;
        return false;
    }

    printMessage("Eraseing internal...\n");
    if (s.iapLoader == 1) {
        if (ISP_ErasePage(s.versionRecordAddress, s.versionEnd) != 0) {
            printMessage(addressRange("Erase Ver failed! 0x%08X-0x%08X", s.versionRecordAddress,
                                      s.versionEnd));
            return false;
        }
        const std::uint32_t apEnd = s.apStartAddress + internalSize - 1;
        if (ISP_ErasePage(s.apStartAddress, apEnd) != 0) {
            printMessage(addressRange("Erase AP failed! %08X-%08X", s.apStartAddress, apEnd));
            return false;
        }
    } else {
        if (ISP_EraseMass() != 0) {
            printMessage("Mass Erase failed!");
            return false;
        }
        // An ISP loader takes the erase only after a restart; it comes back on
        // a new link that needs its own authentication.
        printMessage("Reset...\n");
        if (ISP_Reset() != 0) {
            printMessage("Reset Failed!\n");
            return false;
        }
        printMessage("Connecting...\n");
        bool back = false;
        for (int attempt = 0; attempt < kReconnectAttempts && !back; ++attempt)
            back = deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector);
        if (!back) {
            // Nothing to program on: the erased adapter waits in its loader for
            // another run.
            printMessage("Connect IAP Fail!\n");
            return false;
        }
        ISP_SendAuthentication();
    }

    const std::uint32_t internalEnd = wordEnd(s.apStartAddress, internalSize);
    printMessage("Programming internal...\n");
    if (ISP_WriteProgramB(s.apStartAddress, internalEnd, 1, images.internal.data()) != 0) {
        printMessage("Program Failed!\n");
        return false;
    }
    printMessage("Verifing...\n");
    if (ISP_WriteProgramB(s.apStartAddress, internalEnd, 0, images.internal.data()) != 0) {
        printMessage("AP Verify Failed!");
        return false;
    }

    const std::u16string version = image::recordText(p.info.firmwareVersion);
    if (p.info.digestCheckEnabled != 0) {
        printMessage("Digest Check...\n");
        std::uint8_t parameters[52] = {p.info.digest[0], p.info.digest[1]};
        std::uint16_t digestResult = 0;
        // The adapter keeps the outcome itself; the update goes on either way.
        ISP_CRCCheck(0, 32, &digestResult, parameters);
    }

    const std::vector<std::uint8_t> record = versionRecord(version);
    s.versionLength = isp::le32(record.data());
    s.versionEnd = wordEnd(s.versionRecordAddress, 4 + s.versionLength);
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 1, record.data()) != 0) {
        printMessage("Program Version Failed!\n");
        return false;
    }
    if (ISP_WriteProgramB(s.versionRecordAddress, s.versionEnd, 0, record.data()) != 0) {
        printMessage("Version Verify Failed!\n");
        return false;
    }

    printMessage("Reset to AP...\n");
    ISP_Execute();
    return true;
}

// After the restart: did the application come back, or the loader again?
void checkReturn(const image::ProgramData& p) {
    for (int attempt = 1; attempt <= kReturnCheckAttempts; ++attempt) {
        if (deviceAnswers(p.apVendorId, p.apProductId, p.apUsageSelector)) {
            ISP_CloseSerialPortConnect();
            return;
        }
        if (attempt >= kLoaderCountsFromAttempt &&
            deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
            ISP_ResetToIAP(1);
            ISP_CloseSerialPortConnect();
            printMessage("[ERROR] Can't Reset to AP...\n");
            return;
        }
    }
    printMessage("[ERROR] Can't Reset to AP...\n");
}

} // namespace

int consoleUpdate() {
    const image::ProgramData& p = image::program();
    AdapterState& s = adapterState();
    int status = 0;
    bool apReturnCheck = false;

    printMessage("\n");
    Images images;
    if (!readImages(p, images)) {
        // Nothing was sent: the adapter waits untouched in its loader.
        status = 1;
    } else if (updateSteps(p, s, images, status)) {
        apReturnCheck = true;
    } else {
        if (status == 0) status = 1;
        // Restart into the loader so that another run starts afresh.
        ISP_ResetToIAP(1);
    }

    ISP_CloseSerialPortConnect();
    platform::sleepMs(kPauseBeforeReturnCheckMs);
    if (apReturnCheck && p.apVendorId != 0 && p.apProductId != 0) checkReturn(p);

    if (status == 0) {
        printMessage("Operation Success.\n\n");
        return 0;
    }
    printMessage("Operation Failed.\n\n");
    return 1;
}

} // namespace app
