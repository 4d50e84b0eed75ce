// The small dialog framework the window stands on, in the shape of the
// classic one it replaces: a modal dialog created from a dialog resource
// (CDialog), with its own message loop so that PreTranslateMessage sees
// every key before the dialog's keyboard handling, OnInitDialog, a message
// map of handlers, DoDataExchange binding of controls by id, and thin
// control wrappers (CButton, CStatic, CProgressCtrl).
//
// Every call on a control or on the dialog's texts may come from a worker
// thread: it is a window message sent to the dialog's thread, which runs it
// while the caller waits. MessageBox runs on the thread that calls it, owned
// by the dialog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::ui {

using WindowHandle = void*;
using IconHandle = void*;

// The messages and keys the framework's users name (the system's values).
inline constexpr unsigned kKeyDown = 0x0100;
inline constexpr unsigned kPaint = 0x000F;
inline constexpr unsigned kClose = 0x0010;
inline constexpr unsigned kQueryDragIcon = 0x0037;
inline constexpr unsigned kCommand = 0x0111;
inline constexpr std::uintptr_t kReturnKey = 0x0D;
inline constexpr std::uintptr_t kEscapeKey = 0x1B;

struct Message {
    WindowHandle window = nullptr;
    unsigned message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class CDialog;

// One row of a message map: `message` (for kCommand, a click of control
// `id`) runs `handler`, or `query`, whose result is the message's answer.
struct MessageEntry {
    unsigned message = 0;
    int id = 0;
    void (CDialog::*handler)() = nullptr;
    IconHandle (CDialog::*query)() = nullptr;
};

struct MessageMap {
    const MessageEntry* entries = nullptr;
    std::size_t count = 0;
};

// A control of a dialog, bound by id in DoDataExchange.
class CWnd {
  public:
    void SetWindowText(const std::u16string& text);
    void EnableWindow(bool enabled);
    int id() const { return id_; }

  protected:
    friend class CDataExchange;
    CDialog* dialog_ = nullptr;
    int id_ = 0;
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CProgressCtrl : public CWnd {
  public:
    // The position within the default range 0 to 100.
    void SetPos(int position);
};

class CDataExchange {
  public:
    explicit CDataExchange(CDialog& dialog) : dialog_(dialog) {}
    void control(int id, CWnd& control) {
        control.dialog_ = &dialog_;
        control.id_ = id;
    }

  private:
    CDialog& dialog_;
};

inline void DDX_Control(CDataExchange& dx, int id, CWnd& control) { dx.control(id, control); }

class CDialog {
  public:
    explicit CDialog(int templateId);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the dialog and runs it until it is closed: the code given to
    // EndDialog, or -1 when it cannot be created.
    int DoModal();

    // A key or other message on its way to the dialog; true swallows it.
    virtual bool PreTranslateMessage(const Message& message);

    void SetWindowText(const std::u16string& text);
    void SetDlgItemText(int id, const std::u16string& text);
    void SetIcon(IconHandle icon, bool big);
    // Moves the focus to control `id`, as the Tab key would.
    void GotoDlgCtrl(int id);
    // A message box with an OK button, owned by the dialog.
    void MessageBox(const std::u16string& text, const std::u16string& caption);
    // Queues `message` for the dialog (as a close box queues kClose).
    void PostMessage(unsigned message);
    bool IsIconic() const;
    // Paints the minimized window: the icon's background erased, `icon`
    // centred in the client area.
    void PaintIconCentred(IconHandle icon);
    void EndDialog(int result);

    // The window of control `id`; null where there is no window. Safe from
    // any thread while the dialog lives.
    WindowHandle controlWindow(int id) const;

    // On the dialog's thread: waits until `done` is true (asked every 10
    // ms) or `limitMs` have passed (never, when negative), running
    // meanwhile the messages that other threads send to the dialog and its
    // painting, but no input: a worker that calls the dialog can end, and
    // the window stays drawn, without a click starting anything new.
    void WaitPumping(const std::function<bool()>& done, int limitMs = -1);
    // Paints what has changed now, not when the thread next gets to it.
    void UpdateWindow();
    // Runs `step` on the dialog's thread, as one message, while the caller
    // waits: nothing the user does comes between its parts.
    void RunOnDialogThread(const std::function<void()>& step);
    // Asks the system to hold the end of the session (logoff, shutdown)
    // for `reason`, or lets it go again.
    void BlockSessionEnd(const std::u16string& reason);
    void AllowSessionEnd();

    static IconHandle LoadIcon(int resourceId);

  protected:
    virtual const MessageMap& GetMessageMap() const;
    virtual void DoDataExchange(CDataExchange&) {}
    // Binds the controls; true lets the framework give the first control
    // the focus.
    virtual bool OnInitDialog();
    // The framework's close: the modal run ends.
    void OnClose() { EndDialog(2); }
    // The session is about to end (logoff, shutdown): false asks the system
    // to hold it.
    virtual bool OnQueryEndSession() { return true; }
    // The session ends (`ending`; the process goes when this returns) or
    // its end was called off.
    virtual void OnEndSession(bool ending) { (void)ending; }
    // Hands the message being handled to the framework's own handling.
    void Default();

  private:
    struct Impl;
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::ui
