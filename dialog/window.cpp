#include "dialog/window.h"

#include "app/device_steps.h"
#include "image/program.h"
#include "isp/isp.h"
#include "platform/clock.h"

namespace dialog {

CBrisklinkDlg::~CBrisklinkDlg() {
    for (auto& worker : workers_)
        worker->join();
}

bool CBrisklinkDlg::onInitDialog() {
    const image::ProgramData& p = image::program();
    if (image::loadProgram()) {
        setCaption(image::recordText(p.info.windowTitle));
        setItemText(kHeadline, image::recordText(p.info.headline));
        setItemText(kNotice, image::recordText(p.info.notice));
        setItemText(kNewVersion, image::recordText(p.info.firmwareVersion));
    } else {
        Dialog::messageBox(u"Image format invalid!", u"Image Format Invalid");
        requestClose();
    }
    Dialog::setProgress(kProgressBar, 0);
    focusItem(kConnectButton);
    // The focus is set: the framework must not move it.
    return false;
}

bool CBrisklinkDlg::onKey(platform::ui::Key key) {
    using platform::ui::Key;
    if (key == Key::Escape) return true; // Escape never closes the window
    if (key != Key::Return) return false;
    if (dialogState() == kIdle)
        startConnection();
    else if (dialogState() == kConnected)
        startUpdate();
    return true;
}

void CBrisklinkDlg::onButton(int id) {
    if (id == kConnectButton && dialogState() == kIdle) startConnection();
    if (id == kProgramButton && dialogState() == kConnected) startUpdate();
}

void CBrisklinkDlg::startConnection() {
    // The state first: a worker that ends at once must not be overwritten.
    dialogState() = kConnecting;
    workers_.push_back(platform::threads().start([this] { return connectionWorker(*this); }));
}

void CBrisklinkDlg::startUpdate() {
    dialogState() = kUpdating;
    workers_.push_back(platform::threads().start([this] { return updateWorker(*this); }));
}

void CBrisklinkDlg::onClose() {
    // A running worker holds the link, and an update stopped half-way could
    // leave the adapter without firmware: the window stays until it ends.
    const int state = dialogState();
    if (state == kUpdating || state == kConnecting) {
        Dialog::messageBox(state == kUpdating
                               ? u"The adapter is being updated. Please wait until the update "
                                 u"has finished; the window can be closed then."
                               : u"The adapter is being connected. Please wait until the "
                                 u"connection has finished; the window can be closed then.",
                           image::recordText(image::program().info.windowTitle));
        return;
    }
    const image::ProgramData& p = image::program();
    if (app::deviceAnswers(p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
        // Left in its loader: back to its application before the window goes.
        setItemText(kResultLabel, u"Reset device....");
        ISP_Execute();
        ISP_CloseSerialPortConnect();
        platform::sleepMs(3000);
    }
    endDialog();
}

int runWindow() {
    CBrisklinkDlg window;
    window.runModal(kDialogTemplate, kApplicationIcon);
    return 0;
}

} // namespace dialog
