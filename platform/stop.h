// A request to stop, raised by whoever may stop a run and read by the run
// between two reports and during its waits. Each adapter's session holds
// one; a signal may follow another (a batch's adapters follow the station's,
// the station follows the process's), so one request reaches every run below
// it while each run can still be stopped alone.
#pragma once

#include <atomic>

namespace platform {

class StopSignal {
  public:
    StopSignal() = default;
    explicit StopSignal(const StopSignal* parent) : parent_(parent) {}
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Safe from a signal handler and from any thread.
    void request() {
        requests_.fetch_add(1, std::memory_order_relaxed);
        raised_.store(true, std::memory_order_relaxed);
    }
    // Lowers this signal's own request (not the one it follows): the next
    // run of the same session may go on.
    void clear() { raised_.store(false, std::memory_order_relaxed); }
    bool requested() const {
        return raised_.load(std::memory_order_relaxed) ||
               (parent_ != nullptr && parent_->requested());
    }
    // How many requests have come here and above, never reset: a wait that a
    // first request cut short can tell a second one from it.
    int requests() const {
        return requests_.load(std::memory_order_relaxed) +
               (parent_ != nullptr ? parent_->requests() : 0);
    }
    // Set before the runs that read it start.
    void follow(const StopSignal* parent) { parent_ = parent; }

  private:
    const StopSignal* parent_ = nullptr;
    std::atomic<bool> raised_{false};
    std::atomic<int> requests_{0};
    static_assert(std::atomic<bool>::is_always_lock_free);
    static_assert(std::atomic<int>::is_always_lock_free);
};

// The process's own signal, raised by Ctrl-C, a closed console, SIGTERM and
// the end of the user's session (platform/interrupt.h installs them).
StopSignal& processStop();

} // namespace platform
