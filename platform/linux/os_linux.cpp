// Linux backend of the operating-system layer.
#include "platform/interrupt.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {
std::vector<std::u16string> arguments;
std::string startedAs;

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
    // Descriptors 0 to 2 closed by the caller (`IAP /c >&-`) would go to the
    // next file the process opens: the console's text would then be written
    // into an adapter's node or the emulator's connection. /dev/null takes
    // their places first.
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            ::close(null);
        }
    }
    arguments.clear();
    if (argc > 0 && argv[0] != nullptr) {
        startedAs = argv[0];
        startedAs.erase(0, startedAs.rfind('/') + 1);
    }
    for (int i = 1; i < argc; ++i)
        arguments.push_back(utf8ToUtf16(argv[i]));
    return true;
}

std::vector<std::u16string> commandLineArguments() { return arguments; }

std::string programName() { return startedAs; }

std::string executablePath() {
    // The kernel's link to the running file opens whatever the length of the
    // real path (a path longer than PATH_MAX cannot be opened by name), and
    // even when the file has been renamed since the start.
    return "/proc/self/exe";
}

namespace {
extern "C" void onInterrupt(int sig) {
    if (sig == SIGHUP)
        hangup();
    else
        requestInterrupt();
}
} // namespace

void installInterruptHandlers(InterruptMode) {
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
bool standardOutputIsTerminal() { return isatty(1) == 1; }

bool terminalSize(int& columns, int& rows) {
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

bool enableTerminalSequences() { return isatty(2) == 1; }

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

SystemLog::~SystemLog() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool SystemLog::open(const std::string& socketPath, std::string& reason) {
    path_ = socketPath.empty() ? "/dev/log" : socketPath;
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        reason = path_ + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        reason = path_ + " is not a socket";
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        reason = path_ + ": the path is too long for a socket";
        return false;
    }
    std::memcpy(address.sun_path, path_.data(), path_.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        reason = path_ + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool SystemLog::send(bool error, const std::string& utf8Message, std::string& reason) {
    if (handle_ < 0) {
        reason = "not open";
        return false;
    }
    // The local syslog form: <PRI>TIMESTAMP TAG[PID]: MESSAGE, facility user.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char head[64];
    const std::size_t dated = std::strftime(head, sizeof head, "%b %e %H:%M:%S", &local);
    // Appended piece by piece: GCC 12 at -O3 takes "<" + std::string(...)
    // for overlapping copies.
    std::string datagram = "<";
    datagram.append(std::to_string(8 + (error ? 3 : 6)))
        .append(">")
        .append(head, dated)
        .append(" brisklink[")
        .append(std::to_string(::getpid()));
    datagram.append("]: ").append(utf8Message);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::send(static_cast<int>(handle_), datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0)
            return true;
        reason = path_ + ": " + std::strerror(errno);
        // A syslog daemon that restarted made its socket anew.
        if (errno != ECONNREFUSED && errno != ENOTCONN) return false;
        ::close(static_cast<int>(handle_));
        handle_ = -1;
        std::string again;
        if (!open(path_, again)) return false;
    }
    return false;
}

bool hasWindow() { return false; }

// A Linux terminal has no window of its own to hide.
void leaveConsoleWindow() {}

// A Linux session's end is a SIGHUP or SIGTERM, which the handlers take.
void watchSessionEnd() {}
void markWriting(bool) {}

std::string toAnsiCodePage(std::u16string_view text) {
    return utf16ToUtf8(text.substr(0, text.find(u'\0')));
}

std::u16string fromAnsiCodePage(std::string_view text) {
    return utf8ToUtf16(text.substr(0, text.find('\0')));
}

JournalFile::~JournalFile() { close(); }

void JournalFile::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool JournalFile::open(const std::string& utf8Path, std::string& reason) {
    close();
    path_ = utf8Path;
    // Non-blocking for the open only: a FIFO put in the journal's place must
    // not hold the run.
    const int fd = ::open(
        utf8Path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        reason = "not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    handle_ = fd;
    return true;
}

bool JournalFile::reopen(std::string& reason) { return open(path_, reason); }

bool JournalFile::rotatesBySignal() { return true; }

bool JournalFile::atPath(std::string& reason) const {
    struct stat open {
    }, named{};
    if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &open) != 0) {
        reason = "it is not open";
        return false;
    }
    if (::lstat(path_.c_str(), &named) != 0) {
        reason = std::string("its path names no file (") + std::strerror(errno) + ")";
        return false;
    }
    if (named.st_dev != open.st_dev || named.st_ino != open.st_ino) {
        reason = "its path names another file (moved or replaced)";
        return false;
    }
    return true;
}

namespace {

// Writes all of `line` at the end of `fd`; false with errno's reason.
bool writeWhole(int fd, const std::string& line, std::string& reason) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = n < 0 ? std::strerror(errno) : "nothing more could be written";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fdatasync(fd) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool JournalFile::append(const std::string& line, std::string& reason) {
    const int fd = static_cast<int>(handle_);
    // Other updaters append to the same file (two stations on one share):
    // the lock keeps their lines whole and lets a failed line be cut back
    // without cutting theirs.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    if (!sized) reason = std::strerror(errno);
    const bool ok = sized && writeWhole(fd, line, reason);
    // A line written in part (a full disk, an I/O error) is cut back, so
    // that the file always ends with a whole line.
    if (sized && !ok && ::ftruncate(fd, before.st_size) == 0) ::fdatasync(fd);
    ::flock(fd, LOCK_UN);
    return ok;
}

namespace {

// The process's umask, read without changing it (umask() would, for a
// moment, for every thread).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 022;
}

} // namespace

bool writeFileWhole(const std::string& utf8Path, const std::string& content, std::string& reason) {
    std::string temporary = utf8Path + ".partial-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    // mkostemp makes it 0600; the file gets what a newly created one would.
    bool written = ::fchmod(fd, 0666 & ~currentUmask()) == 0;
    for (std::size_t done = 0; written && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<std::size_t>(n);
    }
    written = written && ::fsync(fd) == 0;
    if (!written) reason = std::strerror(errno);
    if (::close(fd) != 0 && written) {
        written = false;
        reason = std::strerror(errno);
    }
    if (written && ::rename(temporary.c_str(), utf8Path.c_str()) != 0) {
        written = false;
        reason = std::strerror(errno);
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself on the disk, with the folder that holds it.
    const std::size_t slash = utf8Path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : utf8Path.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string utcTimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  (now.tv_nsec / 1000000) % 1000);
    return text;
}

std::string makePrivateDirectory(std::string& reason) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/brisklink-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        reason = std::strerror(errno);
        return {};
    }
    return pattern;
}

TrustVerdict systemSignatureCheck(const std::string&) { return {}; }

int runProgram(const std::vector<std::string>& args, const std::string& input, std::string& reason,
               bool quiet) {
    if (args.empty()) {
        reason = "nothing to run";
        return -1;
    }
    if (input.size() >= 4096) {
        reason = "its input of " + std::to_string(input.size()) +
                 " bytes is more than the 4095 bytes a program is given";
        return -1;
    }
    // The input goes into the pipe before the program starts: it fits in the
    // pipe's buffer, so the write cannot block, and no SIGPIPE can come from a
    // program that ends without reading it.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        reason = std::strerror(errno);
        return -1;
    }
    writeAll(fds[1], input);
    ::close(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (rc != 0) {
        reason = std::strerror(rc);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace platform
