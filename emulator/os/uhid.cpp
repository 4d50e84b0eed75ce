#include "emulator/os/uhid.h"

#include <linux/uhid.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

namespace platform::uhid {

bool Device::create(const std::string& name, const std::string& phys, const std::string& uniq,
                    const std::vector<std::uint8_t>& descriptor, std::uint16_t vendorId,
                    std::uint16_t productId) {
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        std::fprintf(stderr, "brisklink-uhid: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return false;
    }
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "%s", name.c_str());
    std::snprintf(reinterpret_cast<char*>(c.phys), sizeof c.phys, "%s", phys.c_str());
    std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "%s", uniq.c_str());
    const std::size_t size = std::min(descriptor.size(), sizeof c.rd_data);
    std::memcpy(c.rd_data, descriptor.data(), size);
    c.rd_size = static_cast<std::uint16_t>(size);
    c.bus = 0x03; // USB
    c.vendor = vendorId;
    c.product = productId;
    if (send(&ev)) return true;
    ::close(fd_);
    fd_ = -1;
    return false;
}

void Device::destroy() {
    if (fd_ < 0) return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    send(&ev);
    ::close(fd_);
    fd_ = -1;
}

bool Device::next(Event& event) {
    uhid_event ev{};
    while (fd_ >= 0 && ::read(fd_, &ev, sizeof ev) > 0) {
        if (ev.type == UHID_OUTPUT) {
            event.kind = Event::Kind::Output;
            event.data.assign(ev.u.output.data, ev.u.output.data + ev.u.output.size);
            return true;
        }
        if (ev.type == UHID_GET_REPORT) {
            event.kind = Event::Kind::GetReport;
            event.id = ev.u.get_report.id;
            return true;
        }
    }
    return false;
}

void Device::replyGetReport(std::uint32_t id, const std::uint8_t* data, std::size_t size) {
    uhid_event reply{};
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = id;
    if (data != nullptr) {
        size = std::min(size, sizeof reply.u.get_report_reply.data);
        reply.u.get_report_reply.size = static_cast<std::uint16_t>(size);
        std::memcpy(reply.u.get_report_reply.data, data, size);
    } else {
        reply.u.get_report_reply.err = EIO;
    }
    send(&reply);
}

void Device::sendInput(const std::uint8_t* data, std::size_t size) {
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    size = std::min(size, sizeof ev.u.input2.data);
    ev.u.input2.size = static_cast<std::uint16_t>(size);
    std::memcpy(ev.u.input2.data, data, size);
    send(&ev);
}

bool Device::send(const void* event) {
    return ::write(fd_, event, sizeof(uhid_event)) == static_cast<ssize_t>(sizeof(uhid_event));
}

void Device::waitForRequests(const std::vector<Device*>& devices, int ms) {
    std::vector<pollfd> fds;
    for (const Device* d : devices)
        if (d->fd_ >= 0) fds.push_back({d->fd_, POLLIN, 0});
    ::poll(fds.data(), fds.size(), ms);
}

bool raisePriority(std::string& error) {
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) == 0) return true;
    error = std::strerror(errno);
    return false;
}

} // namespace platform::uhid
