// Linux backend of the operating-system layer.
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace platform {

namespace {
std::vector<std::u16string> arguments;

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}
} // namespace

bool initProcess(int argc, char** argv) {
    arguments.clear();
    for (int i = 1; i < argc; ++i)
        arguments.push_back(utf8ToUtf16(argv[i]));
    return true;
}

std::vector<std::u16string> commandLineArguments() { return arguments; }

std::string executablePath() {
    // The kernel's link to the running file opens whatever the length of the
    // real path (a path longer than PATH_MAX cannot be opened by name), and
    // even when the file has been renamed since the start.
    return "/proc/self/exe";
}

namespace {
extern "C" void onInterrupt(int) { requestInterrupt(); }
} // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    // Restarted calls: a signal must not fail a transfer on the bus half-way.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    // `IAP /f | head` must not end the update when the reader goes away.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void writeStandardOutput(std::u16string_view text) { writeAll(1, utf16ToUtf8(text)); }

void writeStandardError(std::u16string_view text) { writeAll(2, utf16ToUtf8(text)); }

bool hasWindow() { return false; }

// A Linux terminal has no window of its own to hide.
void hideConsoleWindow() {}

std::string toAnsiCodePage(std::u16string_view text) {
    return utf16ToUtf8(text.substr(0, text.find(u'\0')));
}

std::u16string fromAnsiCodePage(std::string_view text) {
    return utf8ToUtf16(text.substr(0, text.find('\0')));
}

} // namespace platform
