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

// What holds a lock that another process has, as far as the system tells.
struct LockHolder {
    bool updater = false; // it answered as an updater (or may be one the system hides)
    long process = 0;     // 0: not named
    std::string command;  // its process name, as the system gives it (outside text)
    std::string user;     // its user (a number on Linux), empty when not known
};

// What a try to take a lock found beside its result.
struct LockReport {
    LockHolder holder;  // Busy: who holds it
    std::string reason; // Unavailable: why it could not be made
    // Held, but guarded less than usual (a lock file this user cannot use):
    // worth saying once.
    std::string notice;
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
    // machine meets the same lock under one name; nothing but the lock's own
    // empty file is created, and nothing is changed. `report`, when given,
    // tells the holder (Busy), the reason (Unavailable) or a weaker guard
    // (Held).
    LockResult tryAcquire(const std::string& name, LockReport* report = nullptr);
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
