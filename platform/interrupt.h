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

// Console mode: a process that uses windows learns of the end of the user's
// session (logoff, shutdown) only through a top-level window, never through
// its console handler (Windows). This starts a hidden one that refuses the
// end, with a reason Windows shows, while the adapter is being written, and
// otherwise interrupts the run and gives it the system's grace time to end
// the adapter's session. Elsewhere it does nothing.
void watchSessionEnd();
// The span in which an adapter is being written; one call with true and one
// with false for each update.
void markWriting(bool writing);

// With a journal open, SIGHUP asks for the journal to be opened again at its
// path (the convention of log rotation: move the file, then send SIGHUP)
// instead of interrupting the run. Windows has no such signal.
void setHangupReopens(bool reopens);
// How many such requests have come in the life of the process.
int hangups();

bool interruptRequested();
// How many requests have come in the life of the process (clearInterrupt
// does not reset it): a wait that a first request cut short can tell a
// second one, which ends a stop that is stuck, from the first.
int interruptRequests();
// What the hangup handler does (Linux).
void hangup();
// What the handlers do; tests raise it themselves.
void requestInterrupt();
void clearInterrupt();

} // namespace platform
