// Linux has no window for the updater (it prints its usage without
// arguments); the framework only keeps the window's code building and its
// key and button handling testable here.
#include "platform/dialog.h"

namespace platform::ui {

struct CDialog::Impl {};

CDialog::CDialog(int) : impl_(std::make_unique<Impl>()) {}
CDialog::~CDialog() = default;
int CDialog::DoModal() { return -1; }
void CDialog::EndDialog(int) {}
void CDialog::Default() {}
WindowHandle CDialog::controlWindow(int) const { return nullptr; }
void CDialog::SetWindowText(const std::u16string&) {}
void CDialog::SetDlgItemText(int, const std::u16string&) {}
void CDialog::SetIcon(IconHandle, bool) {}
void CDialog::GotoDlgCtrl(int) {}
void CDialog::MessageBox(const std::u16string&, const std::u16string&) {}
void CDialog::PostMessage(unsigned) {}
bool CDialog::IsIconic() const { return false; }
void CDialog::PaintIconCentred(IconHandle) {}
IconHandle CDialog::LoadIcon(int) { return nullptr; }
void CDialog::WaitPumping(const std::function<bool()>&, int) {}
void CDialog::UpdateWindow() {}
void CDialog::RunOnDialogThread(const std::function<void()>& step) { step(); }
void CDialog::BlockSessionEnd(const std::u16string&) {}
void CDialog::AllowSessionEnd() {}
void CWnd::SetWindowText(const std::u16string&) {}
void CWnd::EnableWindow(bool) {}
void CProgressCtrl::SetPos(int) {}

} // namespace platform::ui
