#include "platform/linux/signals.h"

#include <csignal>

namespace platform::signals {

namespace {

std::atomic<bool>* stopFlag = nullptr;
std::atomic<bool>* userFlag = nullptr;

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onStop(int) { stopFlag->store(true); }
extern "C" void onUser(int) { userFlag->store(true); }

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigaction(signal, &action, nullptr);
}

} // namespace

void install(std::atomic<bool>* stop, std::atomic<bool>* user) {
    stopFlag = stop;
    handle(SIGINT, onStop);
    handle(SIGTERM, onStop);
    std::signal(SIGPIPE, SIG_IGN);
    if (user != nullptr) {
        userFlag = user;
        handle(SIGUSR1, onUser);
    }
}

} // namespace platform::signals
