// Linux has no window for the updater (it prints its usage without
// arguments); the framework only keeps the window's code building here.
#include "platform/dialog.h"

namespace platform::ui {

struct Dialog::Impl {};

Dialog::Dialog() : impl_(std::make_unique<Impl>()) {}
Dialog::~Dialog() = default;
bool Dialog::runModal(int, int) { return false; }
void Dialog::setCaption(const std::u16string&) {}
void Dialog::setItemText(int, const std::u16string&) {}
void Dialog::setProgress(int, int) {}
void Dialog::enableItem(int, bool) {}
void Dialog::focusItem(int) {}
void Dialog::messageBox(const std::u16string&, const std::u16string&) {}
void Dialog::requestClose() {}
void Dialog::endDialog() {}

} // namespace platform::ui
