// The updater's window, CBrisklinkDlg: started without arguments, it shows
// the carried release and the adapter's version and runs the connection and
// update workers from its Connect and Program buttons.
#pragma once

#include "dialog/view.h"
#include "image/program.h"
#include "isp/session.h"
#include "platform/dialog.h"
#include "platform/thread.h"

#include <memory>
#include <vector>

namespace dialog {

inline constexpr int kDialogTemplate = 102;
inline constexpr int kApplicationIcon = 129;

class CBrisklinkDlg : public platform::ui::CDialog, public View {
  public:
    // The window's adapter is the one of `session`; `program` is the release
    // it carries, loaded when the window opens.
    CBrisklinkDlg(isp::Session& session, image::ProgramData& program);
    ~CBrisklinkDlg() override;

    // View: each control call is a message sent to the dialog's thread; the
    // message box runs on the worker that asks, owned by the window.
    void setText(int control, const std::u16string& text) override;
    void setProgress(int position) override { progressBar.SetPos(position); }
    void enable(int control, bool enabled) override;
    void focus(int control) override { GotoDlgCtrl(control); }
    void messageBox(const std::u16string& text, const std::u16string& caption) override {
        MessageBox(text, caption);
    }
    void finish(int button, int state) override;

    // Return starts the step of the window's state; Escape never closes it.
    bool PreTranslateMessage(const platform::ui::Message& message) override;

    // The states its workers and handlers share.
    WindowState& states() { return states_; }

  protected:
    const platform::ui::MessageMap& GetMessageMap() const override;
    void DoDataExchange(platform::ui::CDataExchange& dx) override;
    bool OnInitDialog() override;

    void OnPaint();
    platform::ui::IconHandle OnQueryDragIcon() { return icon; }
    void OnBnClickedProgram();
    void OnClose();
    void OnBnClickedConnect();
    bool OnQueryEndSession() override;
    void OnEndSession(bool ending) override;

  private:
    // Takes the adapter's lock; what holds it, where the system tells, is
    // said on standard error.
    bool claim(const std::string& location, std::u16string* refusal);
    void startConnection();
    void startUpdate();
    bool workerRunning() const;
    // Until the running worker has ended, with the dialog's messages run.
    void waitForWorker();
    // Stops a connection that is still searching; false when none is.
    bool stopSearch();
    // An adapter left in its loader goes back to its application.
    void resetAdapterInLoader(bool pause);

    isp::Session& session_;
    image::ProgramData& program_;
    WindowState states_;
    // The adapter from its connection to its update.
    steps::Run run_{session_, program_};
    platform::ui::IconHandle icon = nullptr;
    platform::ui::CButton programButton;
    platform::ui::CButton connectButton;
    platform::ui::CProgressCtrl progressBar;
    platform::ui::CStatic statusLabel;
    platform::ui::CStatic resultLabel;
    // The running workers (the update worker owns its transfer worker).
    std::unique_ptr<platform::Worker> connectThread;
    std::unique_ptr<platform::Worker> updateThread;
    // Workers that have ended are joined only once the window is gone: a
    // worker's last calls are messages to the dialog's thread, which must
    // not be waiting for it then.
    std::vector<std::unique_ptr<platform::Worker>> endedThreads_;
};

// Runs the window on `session` until it is closed; the process then exits
// with 0.
int runWindow(isp::Session& session);

} // namespace dialog
