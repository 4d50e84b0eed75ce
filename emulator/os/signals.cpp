#include "emulator/os/signals.h"

#include <csignal>

namespace platform::signals {

namespace {

std::atomic<bool>* stopFlag = nullptr;
std::atomic<bool>* userFlag = nullptr;
std::atomic<bool>* user2Flag = nullptr;

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onStop(int) { stopFlag->store(true); }
extern "C" void onUser(int) { userFlag->store(true); }
extern "C" void onUser2(int) { user2Flag->store(true); }

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigaction(signal, &action, nullptr);
}

} // namespace

void install(std::atomic<bool>* stop, std::atomic<bool>* user, std::atomic<bool>* user2) {
    stopFlag = stop;
    handle(SIGINT, onStop);
    handle(SIGTERM, onStop);
    std::signal(SIGPIPE, SIG_IGN);
    if (user != nullptr) {
        userFlag = user;
        handle(SIGUSR1, onUser);
    }
    if (user2 != nullptr) {
        user2Flag = user2;
        handle(SIGUSR2, onUser2);
    }
}

} // namespace platform::signals
