// The small dialog framework the window stands on: a modal dialog created
// from a dialog resource, with its own message loop so that keys reach
// onKey before the dialog's own handling, button and close handlers, and
// thin calls on its controls by id. Every call on the controls may come from
// any thread: it runs on the dialog's thread while the caller waits, as a
// sent window message does.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform::ui {

enum class Key { Return, Escape, Other };

class Dialog {
  public:
    Dialog();
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog from template `templateId` with icon `iconId` and
    // runs it until it is closed. False when it cannot be created.
    bool runModal(int templateId, int iconId);

    void setCaption(const std::u16string& text);
    void setItemText(int id, const std::u16string& text);
    // The progress bar `id` at `position` (0 to 100).
    void setProgress(int id, int position);
    void enableItem(int id, bool enabled);
    void focusItem(int id);
    // A message box with an OK button, owned by the dialog.
    void messageBox(const std::u16string& text, const std::u16string& caption);
    // Asks the dialog to close, as its close box does (onClose decides).
    void requestClose();

  protected:
    virtual bool onInitDialog() { return true; }
    // A key on its way to the dialog; true swallows it.
    virtual bool onKey(Key) { return false; }
    virtual void onButton(int) {}
    virtual void onClose() { endDialog(); }
    // Ends the modal run.
    void endDialog();

  private:
    struct Impl;
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform::ui
