// The one-updater lock on Linux, in two parts that must both be taken:
//
// - A Unix socket bound to the lock's name in the kernel's abstract
//   namespace: no file stands behind it, so nobody can plant or redirect it,
//   and the kernel frees it with its holder. Its holder answers every
//   connection with a greeting, so that a second updater can name it
//   (peer credentials) and tell it from a squatter. Abstract names are per
//   network namespace, though.
// - An exclusive flock on a file of that name in /run/lock, the machine's
//   directory for lock files: a process in another network namespace (unshare
//   -n, a service with PrivateNetwork=yes) still sees it. The file is opened
//   read-only, never written, never followed through a link and refused
//   unless it is a regular file; the flock goes with its holder.
#include "platform/lock.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kLockDirectory = "/run/lock";
constexpr char kGreeting[] = "brisklink-updater\n";

// "process P (command) of user U" from /proc, where this user may see it.
std::string processText(long pid, long uid) {
    std::string command;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, command);
    if (uid < 0) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("Uid:", 0) == 0) uid = std::strtol(line.c_str() + 4, nullptr, 10);
    }
    std::string text = "process " + std::to_string(pid);
    if (!command.empty()) text += " (" + command + ")";
    if (uid >= 0) text += " of user " + std::to_string(uid);
    return text;
}

// What holds the socket: an updater answers with its greeting; anything
// else bound to the name is not one.
std::string socketHolder(const sockaddr_un& address, socklen_t length) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    const std::string holder = "a process that is not an updater";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return holder + " (it holds the name but takes no connection; the system does not "
                        "tell which process it is)";
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0;
    char greeting[sizeof kGreeting] = {};
    std::size_t got = 0;
    pollfd wait{fd, POLLIN, 0};
    while (got < sizeof kGreeting - 1 && ::poll(&wait, 1, 2000) == 1) {
        const ssize_t n = ::read(fd, greeting + got, sizeof kGreeting - 1 - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (std::strcmp(greeting, kGreeting) == 0 && known) return processText(peer.pid, peer.uid);
    return holder + (known ? " (" + processText(peer.pid, peer.uid) + ")" : std::string());
}

// The process holding an flock on the file `fd` is open on, from
// /proc/locks, where this process's view of the machine shows it.
std::string fileHolder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("FLOCK") == std::string::npos || line.find(id) == std::string::npos) continue;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        const std::size_t at = line.find("WRITE");
        if (at == std::string::npos) continue;
        const long pid = std::strtol(line.c_str() + at + 5, nullptr, 10);
        if (pid > 0) return processText(pid, -1);
    }
    return {};
}

// Opens the lock file without following a link and without changing it:
// an existing one as it is, a missing one created empty and readable by
// every user (who need only read it to lock it).
int openLockFile(const std::string& path, std::string& why) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = ::open(path.c_str(), kFlags);
        if (fd < 0 && errno == ENOENT) fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0444);
        if (fd < 0 && errno != EEXIST && errno != ENOENT) break;
    }
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = path + " is not a regular file: something else was put in its place";
        return -1;
    }
    return fd;
}

} // namespace

LockResult MachineLock::tryAcquire(const std::string& name, std::string* detail) {
    if (held()) return LockResult::Held;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string key = lockFileName(name);
    // sun_path[0] stays 0: the abstract namespace.
    const std::size_t used = std::min(key.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, key.data(), used);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (detail) *detail = std::strerror(errno);
        return LockResult::Unavailable;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE) {
            if (detail) *detail = std::strerror(error);
            return LockResult::Unavailable;
        }
        if (detail) *detail = socketHolder(address, length);
        return LockResult::Busy;
    }

    // Without the lock directory (a system without /run/lock) the socket
    // alone guards the adapter, as it did in every network namespace.
    struct stat dir {};
    if (::lstat(kLockDirectory, &dir) == 0 && S_ISDIR(dir.st_mode)) {
        std::string why;
        const int file = openLockFile(std::string(kLockDirectory) + "/" + key, why);
        if (file < 0) {
            ::close(fd);
            if (detail) *detail = why;
            return LockResult::Unavailable;
        }
        if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (detail)
                *detail = error == EWOULDBLOCK ? fileHolder(file) : std::string(strerror(error));
            ::close(file);
            ::close(fd);
            if (error != EWOULDBLOCK) return LockResult::Unavailable;
            if (detail && detail->empty()) *detail = "an updater the system does not name";
            return LockResult::Busy;
        }
        file_ = file;
    }
    handle_ = fd;
    // Every probe is answered, however many come: the greeting says that an
    // updater holds the name, the kernel says which.
    answering_ = std::thread([fd] {
        for (;;) {
            const int peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            (void)!::send(peer, kGreeting, sizeof kGreeting - 1, MSG_NOSIGNAL);
            ::close(peer);
        }
    });
    return LockResult::Held;
}

void MachineLock::release() {
    if (!held()) return;
    // Wakes the answering thread out of accept().
    ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
    if (answering_.joinable()) answering_.join();
    ::close(static_cast<int>(handle_));
    handle_ = kNone;
    if (file_ != kNone) ::close(static_cast<int>(file_));
    file_ = kNone;
}

} // namespace platform
