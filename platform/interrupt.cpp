#include "platform/interrupt.h"

#include <atomic>

namespace platform {

namespace {
// Lock-free, so a signal handler may set it.
std::atomic<bool> interrupted{false};
std::atomic<int> requests{0};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
} // namespace

bool interruptRequested() { return interrupted.load(std::memory_order_relaxed); }

int interruptRequests() { return requests.load(std::memory_order_relaxed); }

void requestInterrupt() {
    requests.fetch_add(1, std::memory_order_relaxed);
    interrupted.store(true, std::memory_order_relaxed);
}

void clearInterrupt() { interrupted.store(false, std::memory_order_relaxed); }

} // namespace platform
