// The termination signals of the simulated adapter's programs (Linux only):
// a handler that only raises a flag the main loop polls.
#pragma once

#include <atomic>

namespace platform::signals {

// SIGINT and SIGTERM set `*stop`; SIGUSR1 sets `*user` and SIGUSR2 sets
// `*user2` when they are given; SIGPIPE is ignored, so a peer that went away
// is a failed write.
void install(std::atomic<bool>* stop, std::atomic<bool>* user = nullptr,
             std::atomic<bool>* user2 = nullptr);

} // namespace platform::signals
