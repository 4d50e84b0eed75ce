// Interruption of a run: Ctrl-C, a closed console window or a termination
// request. The system's handler only raises a flag; the connection and update
// look at it between reports, so an interrupted run still sends the adapter
// out of its authenticated session before the process ends.
#pragma once

namespace platform {

enum class InterruptMode {
    Console, // Ctrl-C, Ctrl-Break, a closed console and the end of the session
    Window,  // only a closed console and the end of the session: the window
             // is the way to stop, and a Ctrl-C typed into the console the
             // window was started from must not end an update
};

// Installs the handlers (a console control handler on Windows, SIGINT,
// SIGTERM and SIGHUP on Linux) and makes a write to a closed standard output
// fail quietly instead of ending the process.
void installInterruptHandlers(InterruptMode mode = InterruptMode::Console);

bool interruptRequested();
// What the handlers do; tests raise it themselves.
void requestInterrupt();
void clearInterrupt();

} // namespace platform
