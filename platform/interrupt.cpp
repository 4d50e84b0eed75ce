#include "platform/interrupt.h"

#include "platform/stop.h"

namespace platform {

StopSignal& processStop() {
    // Constant-initialised: a handler may raise it before main.
    static constinit StopSignal process;
    return process;
}

bool interruptRequested() { return processStop().requested(); }

int interruptRequests() { return processStop().requests(); }

void requestInterrupt() { processStop().request(); }

void clearInterrupt() { processStop().clear(); }

} // namespace platform
