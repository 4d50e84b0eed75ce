// The dialog's connection: the console's device steps with the window's
// texts, cycling dots, progress positions, pauses and limits.
#include "dialog/view.h"

#include "app/device_steps.h"
#include "image/program.h"
#include "isp/isp.h"

namespace dialog {

namespace {

constexpr int kSearchAttempts = 240;
constexpr int kSearchPauseMs = 500;
constexpr int kLoaderMissingPauseMs = 2000;
constexpr int kFailureExitPauseMs = 1000;

// "Connecting AP." to "Connecting AP....", one more dot an attempt, cycling.
std::u16string attemptText(const char16_t* phase, int attempt) {
    return phase + std::u16string(static_cast<std::size_t>((attempt - 1) % 4 + 1), u'.');
}

// The bar goes round four times a phase while nothing answers.
int searchProgress(int attempt) { return 4 * (100 * attempt / kSearchAttempts) % 100; }

bool loaderAnswers(const image::ProgramData& p) {
    return app::deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector);
}

// A close of the window asked the search to stop.
bool searchStopped() { return connectionPhase() == kSearchStopped; }

bool connectionSteps(View& view) {
    const image::ProgramData& p = image::program();
    app::AdapterState& s = app::adapterState();

    if (p.apVendorId != 0 && p.apProductId != 0) {
        bool answered = false;
        for (int attempt = 1; attempt <= kSearchAttempts && !answered; ++attempt) {
            if (searchStopped()) return false;
            view.setText(kResultLabel, attemptText(u"Connecting AP", attempt));
            if (app::deviceAnswers(p.apVendorId, p.apProductId, p.apUsageSelector)) {
                // Running its application: restart it into its loader.
                ISP_ResetToIAP(0);
                answered = true;
            } else if (loaderAnswers(p)) {
                answered = true;
            } else {
                view.setProgress(searchProgress(attempt));
                app::pause(kSearchPauseMs);
                continue;
            }
            ISP_CloseSerialPortConnect();
        }
        if (!answered) {
            view.setProgress(0);
            view.setText(kResultLabel, u"Connect AP Fail!");
            return false;
        }
    }

    view.setProgress(0);
    for (int attempt = 1; attempt <= kSearchAttempts; ++attempt) {
        if (searchStopped()) return false;
        view.setText(kResultLabel, attemptText(u"Connecting IAP", attempt));
        if (loaderAnswers(p)) break;
        view.setProgress(searchProgress(attempt));
        app::pause(kSearchPauseMs);
    }
    view.setProgress(0);
    if (!loaderAnswers(p)) {
        view.setText(kResultLabel, u"Connect IAP Fail!");
        app::pause(kLoaderMissingPauseMs);
        ISP_CloseSerialPortConnect();
        return false;
    }

    // From here on a close waits for the connection to end.
    int searching = kSearching;
    if (!connectionPhase().compare_exchange_strong(searching, kAuthenticating)) {
        ISP_CloseSerialPortConnect();
        return false;
    }
    ISP_SendAuthentication();
    // The window shows no text for an item that failed.
    auto quiet = [](const char*) {};
    app::AdapterReadNotes notes;
    const bool complete = app::readAdapterInformation(s, quiet, notes);
    if (notes.versionRead) view.setText(kCurrentVersion, s.chipVersion);
    if (!complete) {
        // The loader restarts, ready for another try; the result line keeps
        // the last search text.
        ISP_ResetToIAP(1);
        ISP_CloseSerialPortConnect();
        app::pause(kFailureExitPauseMs);
        return false;
    }
    view.setText(kResultLabel, u"Connected");
    view.setText(kStatusLabel, s.deviceDescription);
    return true;
}

} // namespace

std::atomic<int>& dialogState() {
    static std::atomic<int> state{kIdle};
    return state;
}

std::atomic<int>& connectionPhase() {
    static std::atomic<int> phase{kSearching};
    return phase;
}

int connectionWorker(View& view) {
    view.enable(kConnectButton, false);
    view.setText(kStatusLabel, u"Not Connected");
    view.setText(kResultLabel, u"NA");
    const bool connected = connectionSteps(view);
    // Ready for the next connection; a close that comes before the finish
    // below still finds a search to stop and waits for the finish.
    connectionPhase() = kSearching;
    if (connected)
        view.finish(kProgramButton, kConnected);
    else
        view.finish(kConnectButton, kIdle);
    return 0;
}

} // namespace dialog
