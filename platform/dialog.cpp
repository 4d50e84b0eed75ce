// The framework's parts that every backend shares.
#include "platform/dialog.h"

namespace platform::ui {

const MessageMap& CDialog::GetMessageMap() const {
    static const MessageMap none;
    return none;
}

bool CDialog::OnInitDialog() {
    CDataExchange dx(*this);
    DoDataExchange(dx);
    return true;
}

bool CDialog::PreTranslateMessage(const Message&) { return false; }

} // namespace platform::ui
