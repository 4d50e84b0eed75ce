// What the dialog's workers see of the window: the texts of its controls,
// the progress bar, the buttons' states and focus, and a message box. In the
// window each control call is a message sent to the dialog's thread, which
// runs it while the worker waits (the message box runs on the worker, owned
// by the window); in tests a recorder keeps every change in order.
#pragma once

#include "steps/run.h"

#include <atomic>
#include <string>

namespace dialog {

// Control ids of dialog template 102.
enum Control : int {
    kNotice = 1000,
    kHeadline = 1002,
    kProgramButton = 1003,
    kStatusLabel = 1004,
    kResultLabel = 1007,
    kNewVersion = 1008,
    kCurrentVersion = 1009,
    kConnectButton = 1010,
    kProgressBar = 1011,
};

class View {
  public:
    virtual ~View() = default;
    virtual void setText(int control, const std::u16string& text) = 0;
    // The progress bar's position, 0 to 100.
    virtual void setProgress(int position) = 0;
    virtual void enable(int control, bool enabled) = 0;
    virtual void focus(int control) = 0;
    virtual void messageBox(const std::u16string& text, const std::u16string& caption) = 0;
    // A worker's last call: enables `button`, gives it the focus and stores
    // `state` (dialogState) in one step on the dialog's thread, so that no
    // click or close can come between the three.
    virtual void finish(int button, int state) = 0;
};

enum DialogState : int { kIdle = 0, kConnected = 1, kUpdating = 2, kConnecting = 3 };

// How far the running connection is: a close may stop it while it is only
// searching (nothing has been sent that would leave the adapter in a
// session), never once it authenticates.
enum ConnectionPhase : int { kSearching = 0, kAuthenticating = 1, kSearchStopped = 2 };

// A window's states, owned by its window: written by the button handlers
// and the workers, read by the key handling on another thread.
struct WindowState {
    std::atomic<int> dialog{kIdle};
    std::atomic<int> connection{kSearching};
};

// The connection worker's body: finds the adapter of `run`, brings it into
// its loader, authenticates and reads what the update needs. Always returns 0.
int connectionWorker(View& view, steps::Run& run, WindowState& states);

// The update worker's body: erases, programs (each pass on a transfer worker
// of its own, polled every 10 ms) and verifies the flash, writes the version
// record and restarts the adapter. Always returns 0.
int updateWorker(View& view, steps::Run& run, WindowState& states);

} // namespace dialog
