// Linux backend of the operating-system layer.
#include "platform/interrupt.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

bool standardErrorIsTerminal() { return isatty(2) == 1; }

bool hasWindow() { return false; }

// A Linux terminal has no window of its own to hide.
void hideConsoleWindow() {}

std::string toAnsiCodePage(std::u16string_view text) {
    return utf16ToUtf8(text.substr(0, text.find(u'\0')));
}

std::u16string fromAnsiCodePage(std::string_view text) {
    return utf8ToUtf16(text.substr(0, text.find('\0')));
}

// An flock on a file in the machine's lock directory: the kernel drops it
// with the last descriptor, so a killed updater leaves no stale lock. The
// file itself stays; only the flock on it counts.
LockResult MachineLock::tryAcquire(const std::string& name) {
    if (held()) return LockResult::Held;
    for (const char* dir : {"/run/lock", "/tmp"}) {
        const std::string path = std::string(dir) + "/" + lockFileName(name) + ".lock";
        // Writable for every user, so that one user's file does not lock
        // another out; read-only when another user made it (flock works on
        // any descriptor). Never through a link someone planted.
        const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | flags, 0666);
        if (fd >= 0) fchmod(fd, 0666);
        if (fd < 0 && errno != ENOENT) fd = ::open(path.c_str(), O_RDONLY | flags);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            continue;
        }
        int rc;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            handle_ = fd;
            return LockResult::Held;
        }
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        if (busy) return LockResult::Busy;
    }
    return LockResult::Unavailable;
}

void MachineLock::release() {
    if (!held()) return;
    ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

} // namespace platform
