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
//   read-only, never written, never followed through a link and used only
//   when it is a regular file with no other name; the flock goes with its
//   holder. The directory is every user's, so another user may have put
//   something in the file's place first: then the socket alone guards the
//   adapter (and the run says so), as it does on a system without the
//   directory, so that nothing planted there keeps an updater off.
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

// Process `pid` as /proc names it, where this user may see it; `uid` -1
// when not known yet.
LockHolder processHolder(long pid, long uid, bool updater) {
    LockHolder holder;
    holder.updater = updater;
    holder.process = pid;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, holder.command);
    if (uid < 0) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("Uid:", 0) == 0) uid = std::strtol(line.c_str() + 4, nullptr, 10);
    }
    if (uid >= 0) holder.user = std::to_string(uid);
    return holder;
}

// What holds the socket: an updater answers with its greeting; anything
// else bound to the name is not one.
LockHolder socketHolder(const sockaddr_un& address, socklen_t length) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        // It holds the name but takes no connection: the system does not
        // tell which process it is.
        ::close(fd);
        return {};
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
    const bool updater = std::strcmp(greeting, kGreeting) == 0;
    return known ? processHolder(peer.pid, peer.uid, updater) : LockHolder{};
}

// True when process `pid` is in this process's network namespace, where an
// updater would have held the socket too; false when it is not or the
// system does not tell.
bool sameNetwork(long pid) {
    char own[64] = {}, theirs[64] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
    return ::readlink("/proc/self/ns/net", own, sizeof own - 1) > 0 &&
           ::readlink(link.c_str(), theirs, sizeof theirs - 1) > 0 && std::strcmp(own, theirs) == 0;
}

// The process holding an flock on the file `fd` is open on, and whether
// exclusively, from /proc/locks, where this process's view of the machine
// shows it; 0 when it does not.
long flockHolder(int fd, bool& exclusive) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("FLOCK") == std::string::npos || line.find(id) == std::string::npos) continue;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        exclusive = line.find("WRITE") != std::string::npos;
        const std::size_t at = line.find(exclusive ? "WRITE" : "READ");
        if (at == std::string::npos) continue;
        const long pid = std::strtol(line.c_str() + at + (exclusive ? 5 : 4), nullptr, 10);
        if (pid > 0) return pid;
    }
    return 0;
}

// What holds the lock file. An updater holds it exclusively, and holds the
// socket too in its network namespace: a shared lock, or one from this
// namespace (whose socket was free), is no updater's. One the system does
// not name may be an updater in another namespace.
LockHolder fileHolder(int fd) {
    bool exclusive = false;
    const long pid = flockHolder(fd, exclusive);
    if (pid > 0) return processHolder(pid, -1, exclusive && !sameNetwork(pid));
    LockHolder unnamed;
    unnamed.updater = true;
    return unnamed;
}

// Opens the lock file without following a link and without changing it:
// an existing one as it is, a missing one created empty and readable by
// every user (who need only read it to lock it). Another user may have put
// something in its place first (a file only they may read, a link, a
// FIFO), or this user may not write the directory: none of that may keep an
// updater off its adapter, so the socket alone guards it then, and
// `notice` says why. -1 then.
int openLockFile(const std::string& path, std::string& notice) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    bool creating = false;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        creating = false;
        fd = ::open(path.c_str(), kFlags);
        if (fd < 0 && errno == ENOENT) {
            creating = true;
            fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0444);
        }
        if (fd < 0 && errno != EEXIST && errno != ENOENT) break;
    }
    const std::string alone = "; the socket alone keeps other updaters off the adapter, except "
                              "those in another network namespace";
    std::string why = std::strerror(errno);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) return fd;
    if (fd >= 0) {
        why = "not a file of its own: something else was put in its place";
        ::close(fd);
    }
    if (creating) {
        notice = std::string("The lock directory ") + kLockDirectory +
                 " cannot be written by this user (" + why + ")" + alone + ".";
        return -1;
    }
    struct stat planted {};
    const std::string owner = ::lstat(path.c_str(), &planted) == 0
                                  ? " belongs to user " + std::to_string(planted.st_uid) + " and"
                                  : std::string();
    notice = "The lock file " + path + owner + " cannot be used by this user (" + why + ")" +
             alone + ". Its owner or root may remove it: rm " + path;
    return -1;
}

} // namespace

LockResult MachineLock::tryAcquire(const std::string& name, LockReport* report) {
    if (held()) return LockResult::Held;
    LockReport ignored;
    LockReport& out = report != nullptr ? *report : ignored;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string key = lockFileName(name);
    // sun_path[0] stays 0: the abstract namespace.
    const std::size_t used = std::min(key.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, key.data(), used);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + used);
    const std::string path = std::string(kLockDirectory) + "/" + key;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out.reason = std::strerror(errno);
        return LockResult::Unavailable;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE) {
            out.reason = std::strerror(error);
            return LockResult::Unavailable;
        }
        out.holder = socketHolder(address, length);
        // An updater that is stopped (or too busy) to greet still holds the
        // lock file too, exclusively; a process that only took the name
        // does not.
        if (!out.holder.updater && out.holder.process > 0) {
            const int file =
                ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            bool exclusive = false;
            out.holder.updater =
                file >= 0 && flockHolder(file, exclusive) == out.holder.process && exclusive;
            if (file >= 0) ::close(file);
        }
        return LockResult::Busy;
    }

    // Without the lock directory (a system without /run/lock) the socket
    // alone guards the adapter, as it did in every network namespace.
    struct stat dir {};
    if (::lstat(kLockDirectory, &dir) == 0 && S_ISDIR(dir.st_mode)) {
        const int file = openLockFile(path, out.notice);
        if (file >= 0 && ::flock(file, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EWOULDBLOCK) out.holder = fileHolder(file);
            ::close(file);
            ::close(fd);
            if (error == EWOULDBLOCK) return LockResult::Busy;
            out.reason = std::strerror(error);
            return LockResult::Unavailable;
        }
        if (file >= 0) file_ = file;
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
