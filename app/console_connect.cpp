// The console connection: bring the adapter into its loader, authenticate,
// read what the update needs and print the versions.
#include "app/console.h"
#include "app/device_steps.h"

#include "image/program.h"
#include "isp/isp.h"
#include "platform/platform.h"

#include <algorithm>

namespace app {

namespace {

constexpr int kSearchAttempts = 60;
constexpr int kSearchPauseMs = 500;

bool loaderAnswers(const image::ProgramData& p) {
    return deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector);
}

// Said once on standard error (standard output keeps its transcript) when
// the loader is on the bus but takes none of the commands.
void reportDeafLoader() {
    if (consoleSettings().silentMode) return;
    platform::writeStandardError(
        u"The adapter's loader takes no commands: it is still held by an earlier session "
        u"that was interrupted, or it has hung. Unplug the adapter, plug it in again and run "
        u"the updater again.\n");
}

// An interrupted run: out of the authenticated session first, so that the
// next run finds a loader that listens, then the failure line.
int endInterrupted(bool inSession) {
    if (inSession) ISP_ResetToIAP(1);
    ISP_CloseSerialPortConnect();
    printMessage("Operation Failed.\n\n");
    return 1;
}

} // namespace

int consoleConnect() {
    const image::ProgramData& p = image::program();
    AdapterState& s = adapterState();
    int result = 1;

    if (p.apVendorId != 0 && p.apProductId != 0) {
        printMessage("Connecting AP");
        bool answered = false;
        for (int attempt = 0; attempt < kSearchAttempts && !answered; ++attempt) {
            if (interrupted()) return endInterrupted(false);
            if (deviceAnswers(p.apVendorId, p.apProductId, p.apUsageSelector)) {
                // Running its application: restart it into its loader.
                ISP_ResetToIAP(0);
                answered = true;
            } else if (loaderAnswers(p)) {
                answered = true;
            } else {
                printMessage(".");
                pause(kSearchPauseMs);
                continue;
            }
            ISP_CloseSerialPortConnect();
            printMessage("-->OK\n");
        }
        if (!answered) {
            printMessage("\nConnect AP Fail!\n\n");
            return 1;
        }
    }

    printMessage("Connecting IAP");
    for (int attempt = 0; attempt < kSearchAttempts; ++attempt) {
        if (interrupted()) return endInterrupted(false);
        if (loaderAnswers(p)) {
            printMessage("-->OK\n");
            break;
        }
        printMessage(".");
        pause(kSearchPauseMs);
    }
    if (interrupted()) return endInterrupted(false);
    if (!loaderAnswers(p)) {
        printMessage("Connect IAP Fail!\n\n");
        ISP_CloseSerialPortConnect();
        return 1;
    }

    ISP_SendAuthentication();
    auto print = [](const char* text) { printMessage(text); };
    AdapterReadNotes notes;
    const bool read = !interrupted() && readAdapterInformation(s, print, notes);
    // Only while it is still there: an unplugged adapter is no hung one.
    if (notes.probeFailed && !interrupted() && loaderAnswers(p)) reportDeafLoader();
    if (interrupted()) return endInterrupted(true);
    if (read) {
        printMessage("Connected\n");
        printMessage(u"Loader F/W version: " + s.loaderVersion + u"\n");
        printMessage(u"Chip F/W version: " + s.chipVersion + u"\n");
        result = 0;
    } else {
        // Leave the adapter restarted in its loader, ready for another try.
        ISP_ResetToIAP(1);
        ISP_CloseSerialPortConnect();
    }

    const std::u16string exeVersion = image::recordText(p.info.firmwareVersion);
    printMessage(u"EXE F/W version: " + exeVersion + u"\n");

    if (consoleSettings().versionCheck == 1 && updateNotNewer(exeVersion, s.chipVersion)) {
        printMessage(u"F/W version " + s.chipVersion + u" is newer than the IAP EXE version " +
                     exeVersion +
                     u" (not case sensitive).\nSkip firmware update (/f for force update).\n");
        // Back to its application firmware, which it was running before.
        ISP_Execute();
        return 1;
    }
    return result;
}

} // namespace app
