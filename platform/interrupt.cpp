#include "platform/interrupt.h"

#include "platform/stop.h"

#include <atomic>

namespace platform {

StopSignal& processStop() {
    // Constant-initialised: a handler may raise it before main.
    static constinit StopSignal process;
    return process;
}

namespace {
std::atomic<bool> hangupReopens{false};
std::atomic<int> hangupCount{0};
} // namespace

void setHangupReopens(bool reopens) { hangupReopens = reopens; }

int hangups() { return hangupCount.load(std::memory_order_relaxed); }

// What the system's hangup handler does: lock-free.
void hangup() {
    if (hangupReopens.load(std::memory_order_relaxed))
        hangupCount.fetch_add(1, std::memory_order_relaxed);
    else
        requestInterrupt();
}

bool interruptRequested() { return processStop().requested(); }

int interruptRequests() { return processStop().requests(); }

void requestInterrupt() { processStop().request(); }

void clearInterrupt() { processStop().clear(); }

} // namespace platform
