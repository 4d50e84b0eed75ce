// Windows backend of the dialog framework.
#include "platform/dialog.h"

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <atomic>

// The framework's members carry the classic names, which windows.h turns
// into macros; the system's functions are called by their wide names here.
#undef MessageBox
#undef PostMessage
#undef LoadIcon
#undef SetWindowText
#undef SetDlgItemText

namespace platform::ui {

namespace {
const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
HWND hwnd(WindowHandle window) { return static_cast<HWND>(window); }
} // namespace

// Centres `window` in the work area of the screen it is on (the template
// places it at the corner).
void centre(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT frame;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
        !GetWindowRect(window, &frame))
        return;
    const RECT& area = monitor.rcWork;
    const int x = area.left + (area.right - area.left - (frame.right - frame.left)) / 2;
    const int y = area.top + (area.bottom - area.top - (frame.bottom - frame.top)) / 2;
    SetWindowPos(window, nullptr, std::max<int>(x, area.left), std::max<int>(y, area.top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The private message of RunOnDialogThread: lParam points at the step.
constexpr UINT kRunStep = WM_APP + 1;

struct CDialog::Impl {
    CDialog* owner = nullptr;
    int templateId = 0;
    // Read by workers (through controlWindow) while the dialog's thread
    // creates and destroys the window.
    std::atomic<HWND> window = nullptr;
    bool done = false;
    int result = 0;
    bool defaulted = false;

    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, DWLP_USER));
        if (message == WM_INITDIALOG) {
            self = reinterpret_cast<Impl*>(lParam);
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            self->window = window;
            const bool defaultFocus = self->owner->OnInitDialog();
            // The dialog manager focuses the first control, a read-only text,
            // and selects all of it: the window would open with its notice
            // highlighted. Clear the selection once it is made.
            if (defaultFocus) {
                HWND first = GetNextDlgTabItem(window, nullptr, FALSE);
                if (first != nullptr && (SendMessageW(first, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL))
                    PostMessageW(first, EM_SETSEL, static_cast<WPARAM>(-1), 0);
            }
            return defaultFocus ? TRUE : FALSE;
        }
        if (self == nullptr) return FALSE;
        if (message == kRunStep) {
            (*reinterpret_cast<const std::function<void()>*>(lParam))();
            return TRUE;
        }
        return self->dispatch(message, wParam);
    }

    // Runs the message map's handler for `message`; FALSE hands the message
    // to the system's dialog handling.
    INT_PTR dispatch(UINT message, WPARAM wParam) {
        const MessageMap& map = owner->GetMessageMap();
        for (std::size_t i = 0; i < map.count; ++i) {
            const MessageEntry& entry = map.entries[i];
            if (entry.message != message) continue;
            if (message == WM_COMMAND &&
                (LOWORD(wParam) != entry.id || HIWORD(wParam) != BN_CLICKED))
                continue;
            defaulted = false;
            if (entry.query) return reinterpret_cast<INT_PTR>((owner->*entry.query)());
            (owner->*entry.handler)();
            return defaulted ? FALSE : TRUE;
        }
        if (message == WM_CLOSE) {
            owner->OnClose();
            return TRUE;
        }
        if (message == WM_QUERYENDSESSION) {
            // A dialog procedure answers through DWLP_MSGRESULT.
            SetWindowLongPtrW(window, DWLP_MSGRESULT, owner->OnQueryEndSession() ? TRUE : FALSE);
            return TRUE;
        }
        if (message == WM_ENDSESSION) {
            owner->OnEndSession(wParam != FALSE);
            return TRUE;
        }
        return FALSE;
    }
};

CDialog::CDialog(int templateId) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->templateId = templateId;
}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    impl_->done = false;
    impl_->result = 0;
    HWND window =
        CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(impl_->templateId), nullptr,
                           &Impl::procedure, reinterpret_cast<LPARAM>(impl_.get()));
    if (window == nullptr) return -1;
    if (!impl_->done) {
        centre(window);
        ShowWindow(window, SW_SHOW);
    }
    // The modal loop: every message for the dialog goes to
    // PreTranslateMessage before the dialog's own keyboard handling (Return
    // and Escape would otherwise press the default button or close it).
    MSG msg;
    while (!impl_->done && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == window || IsChild(window, msg.hwnd)) {
            const Message m{msg.hwnd, msg.message, msg.wParam, msg.lParam};
            if (PreTranslateMessage(m)) continue;
            if (IsDialogMessageW(window, &msg)) continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    impl_->window = nullptr;
    DestroyWindow(window);
    return impl_->result;
}

void CDialog::WaitPumping(const std::function<bool()>& done, int limitMs) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (limitMs >= 0 && GetTickCount64() - start >= static_cast<ULONGLONG>(limitMs)) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE | QS_PAINT);
        // Peeking runs the messages sent from other threads; painting is
        // the only queued work done here.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
            DispatchMessageW(&msg);
    }
}

void CDialog::UpdateWindow() {
    RedrawWindow(impl_->window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void CDialog::RunOnDialogThread(const std::function<void()>& step) {
    SendMessageW(impl_->window, kRunStep, 0, reinterpret_cast<LPARAM>(&step));
}

void CDialog::BlockSessionEnd(const std::u16string& reason) {
    ShutdownBlockReasonCreate(impl_->window, wide(reason));
}

void CDialog::AllowSessionEnd() { ShutdownBlockReasonDestroy(impl_->window); }

void CDialog::EndDialog(int result) {
    impl_->done = true;
    impl_->result = result;
    PostMessageW(impl_->window, WM_NULL, 0, 0);
}

void CDialog::Default() { impl_->defaulted = true; }

WindowHandle CDialog::controlWindow(int id) const { return GetDlgItem(impl_->window, id); }

void CDialog::SetWindowText(const std::u16string& text) {
    SetWindowTextW(impl_->window, wide(text));
}

void CDialog::SetDlgItemText(int id, const std::u16string& text) {
    SetDlgItemTextW(impl_->window, id, wide(text));
}

void CDialog::SetIcon(IconHandle icon, bool big) {
    SendMessageW(impl_->window, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                 reinterpret_cast<LPARAM>(icon));
}

void CDialog::GotoDlgCtrl(int id) {
    // A sent WM_NEXTDLGCTL moves the focus on the dialog's own thread, where
    // the focus lives, whichever thread asks.
    SendMessageW(impl_->window, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(GetDlgItem(impl_->window, id)), TRUE);
}

void CDialog::MessageBox(const std::u16string& text, const std::u16string& caption) {
    MessageBoxW(impl_->window, wide(text), wide(caption), MB_OK);
}

void CDialog::PostMessage(unsigned message) { PostMessageW(impl_->window, message, 0, 0); }

bool CDialog::IsIconic() const { return ::IsIconic(impl_->window) != FALSE; }

void CDialog::PaintIconCentred(IconHandle icon) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(impl_->window, &paint);
    SendMessageW(impl_->window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(impl_->window, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, static_cast<HICON>(icon));
    EndPaint(impl_->window, &paint);
}

IconHandle CDialog::LoadIcon(int resourceId) {
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId));
}

void CWnd::SetWindowText(const std::u16string& text) {
    if (dialog_) SetWindowTextW(hwnd(dialog_->controlWindow(id_)), wide(text));
}

void CWnd::EnableWindow(bool enabled) {
    if (dialog_) ::EnableWindow(hwnd(dialog_->controlWindow(id_)), enabled);
}

void CProgressCtrl::SetPos(int position) {
    if (dialog_)
        SendMessageW(hwnd(dialog_->controlWindow(id_)), PBM_SETPOS, static_cast<WPARAM>(position),
                     0);
}

} // namespace platform::ui
