#include "dialog/window.h"

#include "dialog/words.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "steps/adapters.h"
#include "steps/claim.h"

namespace dialog {

using namespace platform::ui;

CBrisklinkDlg::CBrisklinkDlg(isp::Session& session, image::ProgramData& program)
    : CDialog(kDialogTemplate), session_(session), program_(program),
      icon(LoadIcon(kApplicationIcon)) {}

CBrisklinkDlg::~CBrisklinkDlg() {
    for (auto* worker : {&connectThread, &updateThread})
        if (*worker) (*worker)->join();
    for (auto& worker : endedThreads_)
        worker->join();
}

const MessageMap& CBrisklinkDlg::GetMessageMap() const {
    using Self = CBrisklinkDlg;
    static const MessageEntry entries[] = {
        {kPaint, 0, static_cast<void (CDialog::*)()>(&Self::OnPaint), nullptr},
        {kQueryDragIcon, 0, nullptr,
         static_cast<IconHandle (CDialog::*)()>(&Self::OnQueryDragIcon)},
        {kCommand, kProgramButton, static_cast<void (CDialog::*)()>(&Self::OnBnClickedProgram),
         nullptr},
        {kClose, 0, static_cast<void (CDialog::*)()>(&Self::OnClose), nullptr},
        {kCommand, kConnectButton, static_cast<void (CDialog::*)()>(&Self::OnBnClickedConnect),
         nullptr},
    };
    static const MessageMap map{entries, std::size(entries)};
    return map;
}

void CBrisklinkDlg::DoDataExchange(CDataExchange& dx) {
    DDX_Control(dx, kProgramButton, programButton);
    DDX_Control(dx, kConnectButton, connectButton);
    DDX_Control(dx, kProgressBar, progressBar);
    DDX_Control(dx, kStatusLabel, statusLabel);
    DDX_Control(dx, kResultLabel, resultLabel);
}

bool CBrisklinkDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetIcon(icon, true);
    SetIcon(icon, false);
    const image::ProgramData& p = program_;
    if (steps::loadRelease(session_, program_)) {
        SetWindowText(image::recordText(p.info.windowTitle));
        SetDlgItemText(kHeadline, image::recordText(p.info.headline));
        SetDlgItemText(kNotice, image::recordText(p.info.notice));
        SetDlgItemText(kNewVersion, platform::shown(image::recordText(p.info.firmwareVersion)));
    } else {
        // Before the window is ever shown, and without the close's search
        // for an adapter: there are no identities to search with.
        MessageBox(words::kImageInvalid, words::kImageInvalidCaption);
        EndDialog(2);
        return false;
    }
    progressBar.SetPos(0);
    GotoDlgCtrl(kConnectButton);
    // The focus is set: the framework must not move it.
    return false;
}

bool CBrisklinkDlg::claim(const std::string& location, std::u16string* refusal) {
    std::string holder, notice;
    const bool claimed = steps::claimAdapter(session_.bus(), location, refusal, &holder, &notice);
    if (!notice.empty()) platform::writeStandardError(platform::utf8ToUtf16(notice + "\n"));
    if (claimed) return true;
    if (!holder.empty())
        platform::writeStandardError(
            platform::utf8ToUtf16("The adapter's lock is held by " + holder + ".\n"));
    return false;
}

void CBrisklinkDlg::OnPaint() {
    if (IsIconic())
        PaintIconCentred(icon);
    else
        Default();
}

bool CBrisklinkDlg::PreTranslateMessage(const Message& message) {
    if (message.message != kKeyDown) return CDialog::PreTranslateMessage(message);
    if (message.wParam == kEscapeKey) return true;
    if (message.wParam != kReturnKey) return CDialog::PreTranslateMessage(message);
    if (states_.dialog == kIdle)
        OnBnClickedConnect();
    else if (states_.dialog == kConnected)
        startUpdate();
    return true;
}

// A click queued before the buttons were switched must not start a second
// worker on the link, so the handlers check the state as Return does.
void CBrisklinkDlg::OnBnClickedProgram() {
    if (states_.dialog == kConnected) startUpdate();
}

void CBrisklinkDlg::OnBnClickedConnect() {
    if (states_.dialog != kIdle) return;
    // Taken here and kept while the window lives: after the connection the
    // adapter waits in this window's session for the update.
    // Each connection takes the first adapter on the bus again and follows
    // it through its restarts; its lock is taken before anything is sent.
    session_.follow({});
    steps::pickAdapter(run_);
    std::u16string refusal;
    if (!session_.followed().empty() && !claim(session_.followed(), &refusal)) {
        MessageBox(refusal, image::recordText(program_.info.windowTitle));
        return;
    }
    startConnection();
}

void CBrisklinkDlg::setText(int control, const std::u16string& text) {
    if (control == kStatusLabel)
        statusLabel.SetWindowText(text);
    else if (control == kResultLabel)
        resultLabel.SetWindowText(text);
    else
        SetDlgItemText(control, text);
}

void CBrisklinkDlg::enable(int control, bool enabled) {
    (control == kProgramButton ? programButton : connectButton).EnableWindow(enabled);
}

void CBrisklinkDlg::finish(int button, int state) {
    RunOnDialogThread([this, button, state] {
        enable(button, true);
        focus(button);
        states_.dialog = state;
        AllowSessionEnd();
    });
}

bool CBrisklinkDlg::workerRunning() const {
    const int state = states_.dialog;
    return state == kUpdating || state == kConnecting;
}

void CBrisklinkDlg::waitForWorker() {
    WaitPumping([this] { return !workerRunning(); });
}

bool CBrisklinkDlg::stopSearch() {
    int searching = kSearching;
    if (states_.dialog != kConnecting ||
        !states_.connection.compare_exchange_strong(searching, kSearchStopped))
        return false;
    // Through the session's own stop, as every stop: the search ends at its
    // next attempt or pause.
    session_.stop().request();
    return true;
}

void CBrisklinkDlg::startConnection() {
    // The state first: a worker that ends at once must not be overwritten.
    states_.dialog = kConnecting;
    states_.connection = kSearching;
    // A close that stopped the last search does not stop this one.
    session_.stop().clear();
    BlockSessionEnd(words::kSessionBlockReason);
    if (connectThread) endedThreads_.push_back(std::move(connectThread));
    connectThread =
        platform::threads().start([this] { return connectionWorker(*this, run_, states_); });
}

void CBrisklinkDlg::startUpdate() {
    states_.dialog = kUpdating;
    BlockSessionEnd(words::kSessionBlockReason);
    if (updateThread) endedThreads_.push_back(std::move(updateThread));
    updateThread = platform::threads().start([this] { return updateWorker(*this, run_, states_); });
}

void CBrisklinkDlg::OnClose() {
    // A connection that is still searching has sent nothing that would
    // leave the adapter in a session: it stops at its next attempt, and
    // the window closes once it has.
    if (stopSearch()) waitForWorker();
    // A running worker holds the link, and an update stopped half-way could
    // leave the adapter without firmware: the window stays until it ends.
    const int state = states_.dialog;
    if (state == kUpdating || state == kConnecting) {
        MessageBox(state == kUpdating ? words::kBusyUpdating : words::kBusyConnecting,
                   image::recordText(program_.info.windowTitle));
        return;
    }
    resetAdapterInLoader(true);
    CDialog::OnClose();
}

void CBrisklinkDlg::resetAdapterInLoader(bool pause) {
    const image::ProgramData& p = program_;
    // Without a connection, the first adapter in its loader.
    if (session_.followed().empty())
        for (const steps::FoundAdapter& a : steps::listAdapters(session_.bus(), p))
            if (a.loader) {
                session_.follow(a.location);
                break;
            }
    // Never the adapter of another updater that is at work on it.
    if (session_.followed().empty() || !claim(session_.followed(), nullptr) ||
        (session_.setTarget(static_cast<int>(p.iapVendorId), static_cast<int>(p.iapProductId),
                            static_cast<int>(p.iapUsageSelector)),
         !session_.connectToTarget()))
        return;
    // Left in its loader: back to its application before the window goes.
    // The text is painted at once and stays drawn through the pause.
    resultLabel.SetWindowText(words::kResettingDevice);
    UpdateWindow();
    session_.execute();
    session_.close();
    if (pause) WaitPumping([] { return false; }, 3000);
}

// While a worker runs, the session's end waits (the system shows the
// reason that BlockSessionEnd gave when the worker started).
bool CBrisklinkDlg::OnQueryEndSession() { return !workerRunning(); }

void CBrisklinkDlg::OnEndSession(bool ending) {
    if (!ending) return;
    // Ending anyway (a forced shutdown): the running step stops as an
    // interruption stops the console's, between two reports, and the
    // worker ends the adapter's session before the process goes.
    if (workerRunning()) {
        stopSearch();
        session_.stop().request();
        waitForWorker();
    }
    resetAdapterInLoader(false);
    // The system ends the process once this returns; the window goes first.
    EndDialog(0);
}

int runWindow(isp::Session& session) {
    image::ProgramData program;
    CBrisklinkDlg window(session, program);
    window.DoModal();
    return 0;
}

} // namespace dialog
