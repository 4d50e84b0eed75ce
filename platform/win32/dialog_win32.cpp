// Windows backend of the dialog framework.
#include "platform/dialog.h"

#include <windows.h>

#include <commctrl.h>

namespace platform::ui {

namespace {
// Runs the std::function in lParam on the dialog's thread.
constexpr UINT kCallMessage = WM_APP + 1;

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
} // namespace

struct Dialog::Impl {
    Dialog* owner = nullptr;
    HWND window = nullptr;
    HICON icon = nullptr;
    DWORD thread = 0;
    bool done = false;

    // Runs `call` on the dialog's thread and waits for it.
    void onDialogThread(const std::function<void()>& call) {
        if (window == nullptr) return;
        if (GetCurrentThreadId() == thread)
            call();
        else
            SendMessageW(window, kCallMessage, 0,
                         reinterpret_cast<LPARAM>(const_cast<std::function<void()>*>(&call)));
    }

    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Impl*>(GetWindowLongPtrW(window, DWLP_USER));
        switch (message) {
        case WM_INITDIALOG: {
            self = reinterpret_cast<Impl*>(lParam);
            SetWindowLongPtrW(window, DWLP_USER, lParam);
            self->window = window;
            SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(self->icon));
            SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(self->icon));
            return self->owner->onInitDialog() ? TRUE : FALSE;
        }
        case WM_COMMAND:
            if (self && HIWORD(wParam) == BN_CLICKED) self->owner->onButton(LOWORD(wParam));
            return TRUE;
        case WM_CLOSE:
            if (self) self->owner->onClose();
            return TRUE;
        case WM_QUERYDRAGICON:
            return self ? reinterpret_cast<INT_PTR>(self->icon) : 0;
        case kCallMessage:
            (*reinterpret_cast<std::function<void()>*>(lParam))();
            return TRUE;
        default:
            return FALSE;
        }
    }
};

Dialog::Dialog() : impl_(std::make_unique<Impl>()) { impl_->owner = this; }

Dialog::~Dialog() = default;

bool Dialog::runModal(int templateId, int iconId) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE module = GetModuleHandleW(nullptr);
    impl_->icon = LoadIconW(module, MAKEINTRESOURCEW(iconId));
    impl_->thread = GetCurrentThreadId();
    impl_->done = false;
    HWND window = CreateDialogParamW(module, MAKEINTRESOURCEW(templateId), nullptr,
                                     &Impl::procedure, reinterpret_cast<LPARAM>(impl_.get()));
    if (window == nullptr) return false;
    ShowWindow(window, SW_SHOW);
    // The modal loop: every key goes to onKey before the dialog's own
    // keyboard handling (Return and Escape would otherwise press the default
    // button or close the dialog).
    MSG message;
    while (!impl_->done && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN &&
            (message.hwnd == window || IsChild(window, message.hwnd))) {
            const Key key = message.wParam == VK_RETURN   ? Key::Return
                            : message.wParam == VK_ESCAPE ? Key::Escape
                                                          : Key::Other;
            if (onKey(key)) continue;
        }
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    impl_->window = nullptr;
    return true;
}

void Dialog::endDialog() {
    impl_->done = true;
    PostMessageW(impl_->window, WM_NULL, 0, 0);
}

void Dialog::setCaption(const std::u16string& text) {
    impl_->onDialogThread([&] { SetWindowTextW(impl_->window, wide(text)); });
}

void Dialog::setItemText(int id, const std::u16string& text) {
    impl_->onDialogThread([&] { SetDlgItemTextW(impl_->window, id, wide(text)); });
}

void Dialog::setProgress(int id, int position) {
    impl_->onDialogThread([&] {
        SendDlgItemMessageW(impl_->window, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    });
}

void Dialog::enableItem(int id, bool enabled) {
    impl_->onDialogThread([&] { EnableWindow(GetDlgItem(impl_->window, id), enabled); });
}

void Dialog::focusItem(int id) {
    impl_->onDialogThread([&] {
        SendMessageW(impl_->window, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(impl_->window, id)), TRUE);
    });
}

void Dialog::messageBox(const std::u16string& text, const std::u16string& caption) {
    MessageBoxW(impl_->window, wide(text), wide(caption), MB_OK);
}

void Dialog::requestClose() { PostMessageW(impl_->window, WM_CLOSE, 0, 0); }

} // namespace platform::ui
