#include "emulator/os/usbip.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::usbip {

namespace {

constexpr const char* kController = "/sys/devices/platform/vhci_hcd.0/";
constexpr std::uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr std::size_t kHeader = 48;
constexpr int kFullSpeed = 2; // enum usb_device_speed

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

bool writeAttribute(const std::string& name, const std::string& value, std::string& error) {
    const int fd = ::open((std::string(kController) + name).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(kController) + name + ": " + std::strerror(errno) +
                (errno == ENOENT ? " (is vhci-hcd loaded?)" : "");
        return false;
    }
    const bool ok = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    if (!ok) error = std::string(kController) + name + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

} // namespace

bool Port::attach(int port, std::uint32_t devid, std::string& error) {
    detach();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    // The kernel takes its end by its number in this process and keeps it.
    const bool ok = writeAttribute("attach",
                                   std::to_string(port) + " " + std::to_string(pair[1]) + " " +
                                       std::to_string(devid) + " " + std::to_string(kFullSpeed),
                                   error);
    ::close(pair[1]);
    if (!ok) {
        ::close(pair[0]);
        return false;
    }
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fd_ = pair[0];
    port_ = port;
    pending_.clear();
    return true;
}

void Port::detach() {
    if (fd_ < 0) return;
    // What was answered reaches the host first: a device acknowledges a
    // transfer (the report that restarts it, say) before it leaves the bus,
    // and vhci-hcd fails the transfers it has not read when the port goes.
    for (int waited = 0; waited < 500; ++waited) {
        int unread = 0;
        if (::ioctl(fd_, SIOCOUTQ, &unread) != 0 || unread == 0) break;
        ::usleep(1000);
    }
    std::string ignored;
    writeAttribute("detach", std::to_string(port_), ignored);
    ::close(fd_);
    fd_ = -1;
}

bool Port::next(Request& r) {
    if (fd_ < 0) return false;
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.insert(pending_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // The kernel ended the connection (the port was detached).
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        break;
    }
    if (pending_.size() < kHeader) return false;
    const std::uint8_t* h = pending_.data();
    r = {};
    r.seqnum = be32(h + 4);
    r.in = be32(h + 12) == 1;
    r.endpoint = be32(h + 16);
    std::size_t size = kHeader;
    if (be32(h) == kCmdUnlink) {
        r.unlink = true;
        r.target = be32(h + 20);
    } else if (be32(h) == kCmdSubmit) {
        r.length = be32(h + 24);
        r.packets = be32(h + 32);
        std::memcpy(r.setup, h + 40, 8);
        if (!r.in) size += r.length;
        // Isochronous descriptors, which no endpoint of this device has.
        if (r.packets != 0 && r.packets != 0xFFFFFFFFu) size += std::size_t{r.packets} * 16;
        if (pending_.size() < size) return false;
        if (!r.in) r.data.assign(pending_.begin() + kHeader, pending_.begin() + kHeader + r.length);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
    return true;
}

void Port::complete(const Request& r, int status, std::uint32_t actual, const std::uint8_t* data) {
    std::vector<std::uint8_t> out(kHeader, 0);
    put32(out, 0, kRetSubmit);
    put32(out, 4, r.seqnum);
    put32(out, 20, static_cast<std::uint32_t>(status));
    put32(out, 24, actual);
    put32(out, 32, r.packets);
    if (r.in && data != nullptr) out.insert(out.end(), data, data + actual);
    send(out);
}

void Port::unlinked(const Request& r, bool wasPending) {
    std::vector<std::uint8_t> out(kHeader, 0);
    put32(out, 0, kRetUnlink);
    put32(out, 4, r.seqnum);
    put32(out, 20, wasPending ? static_cast<std::uint32_t>(-ECONNRESET) : 0);
    send(out);
}

void Port::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return; // gone: the next read sees it
        }
    }
}

void Port::waitForRequests(const std::vector<Port*>& ports, int ms) {
    std::vector<pollfd> fds;
    for (const Port* p : ports)
        if (p->fd_ >= 0) fds.push_back({p->fd_, POLLIN, 0});
    if (fds.empty()) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        return;
    }
    ::poll(fds.data(), fds.size(), ms);
}

} // namespace platform::usbip
