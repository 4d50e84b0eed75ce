// The updater's window, CBrisklinkDlg: started without arguments, it shows
// the carried release and the adapter's version and runs the connection and
// update workers from its Connect and Program buttons.
#pragma once

#include "dialog/view.h"
#include "platform/dialog.h"
#include "platform/thread.h"

#include <memory>
#include <vector>

namespace dialog {

inline constexpr int kDialogTemplate = 102;
inline constexpr int kApplicationIcon = 129;

class CBrisklinkDlg : public platform::ui::Dialog, public View {
  public:
    CBrisklinkDlg() = default;
    ~CBrisklinkDlg() override;

    // View: each call runs on the dialog's thread while the worker waits.
    void setText(int control, const std::u16string& text) override { setItemText(control, text); }
    void setProgress(int position) override { Dialog::setProgress(kProgressBar, position); }
    void enable(int control, bool enabled) override { enableItem(control, enabled); }
    void focus(int control) override { focusItem(control); }
    void messageBox(const std::u16string& text, const std::u16string& caption) override {
        Dialog::messageBox(text, caption);
    }

  protected:
    bool onInitDialog() override;
    bool onKey(platform::ui::Key key) override;
    void onButton(int id) override;
    void onClose() override;

  private:
    void startConnection();
    void startUpdate();
    // Workers are kept until the window is gone: joining one on the
    // dialog's thread could wait for a worker that waits for the dialog.
    std::vector<std::unique_ptr<platform::Worker>> workers_;
};

// Runs the window until it is closed; the process then exits with 0.
int runWindow();

} // namespace dialog
