// A lock that one process of the machine holds at a time, given up when its
// holder ends, however it ends (a crash or a kill included), so that no lock
// outlives the updater that took it.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

namespace platform {

enum class LockResult {
    Held,       // this process holds it now
    Busy,       // another process holds it
    Unavailable // the system could not make the lock at all
};

class MachineLock {
  public:
    MachineLock() = default;
    ~MachineLock() { release(); }
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Takes the lock called `name` (any text; characters a system cannot
    // take in a name are replaced) without waiting. Held again at once when
    // this object holds it already. Every process of every user of the
    // machine meets the same lock under one name, and nothing outside the
    // lock (no file) is created or changed. `detail`, when given, is set for
    // Busy to what holds the lock where the system tells it (empty where it
    // does not), and for Unavailable to why the lock could not be made.
    LockResult tryAcquire(const std::string& name, std::string* detail = nullptr);
    void release();
    bool held() const { return handle_ != kNone; }

  private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone;
    // Linux: the lock file's descriptor, and the thread that answers the
    // probes of other updaters on the socket.
    std::intptr_t file_ = kNone;
    std::thread answering_;
};

// `name` with everything but letters, digits, '.', '-' and '_' replaced by
// '_', so that it makes a file name or a kernel object name.
std::string lockFileName(const std::string& name);

} // namespace platform
