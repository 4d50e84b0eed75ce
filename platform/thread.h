// Worker threads whose end can be polled, as the window's update worker polls
// its transfer worker. Tests install threads that run their body at once, so
// the workers run in virtual time on one thread.
#pragma once

#include <functional>
#include <memory>

namespace platform {

// The exit code of a thread that is still running.
inline constexpr int kStillActive = 259;

class Worker {
  public:
    virtual ~Worker() = default;
    // The body's result once it has ended, kStillActive before.
    virtual int exitCode() = 0;
    // Waits for the body to end.
    virtual void join() = 0;
};

class Threads {
  public:
    virtual ~Threads() = default;
    virtual std::unique_ptr<Worker> start(std::function<int()> body) = 0;
};

// Runs `body` on this thread while a second thread calls `tick` at once and
// then every `periodMs` until `body` has ended (a progress display that only
// reads what the body publishes); returns `body`'s result.
int whileTicking(const std::function<int()>& body, int periodMs, const std::function<void()>& tick);

// The threads in force: the system's, unless a test installed others.
Threads& threads();
void setThreads(Threads* replacement);

} // namespace platform
