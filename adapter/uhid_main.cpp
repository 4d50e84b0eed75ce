// brisklink-uhid: the simulated adapter presented to the Linux kernel as a
// real HID device through /dev/uhid, so that the updater meets it through
// hidraw (or Wine's HID stack over hidraw). Output reports go to the
// adapter, GET_REPORT requests take its status reply, its interrupt queue
// goes out as input reports, and when it leaves the bus (a restart, a fault)
// the device is destroyed and created again under the identity it comes
// back with. Same adapter options and faults as brisklink-emu.
#include "adapter/adapter_options.h"
#include "isp/crc.h"
#include "platform/clock.h"

#include <linux/uhid.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <unistd.h>
#include <utility>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int) { stopRequested = true; }

// A vendor-defined top-level collection, usage page FF00 + selector, with
// input and output reports of `reportLength` - 1 bytes and no report IDs.
// With `size` above its own length, Usage Page items after the collection
// (which change no report) fill it to that size, as a device with a large
// descriptor would. (The kernel refuses long items.)
std::vector<std::uint8_t> descriptor(std::uint8_t selector, std::uint16_t reportLength,
                                     std::size_t size) {
    const auto n = static_cast<std::uint8_t>(reportLength - 1);
    std::vector<std::uint8_t> d = {0x06, selector, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                   0x26, 0xFF,     0x00, 0x75, 0x08, 0x95, n,    0x09, 0x01,
                                   0x81, 0x02,     0x95, n,    0x09, 0x01, 0x91, 0x02, 0xC0};
    if (size > d.size() + 1 && (size - d.size()) % 2 == 1) d.insert(d.end(), {0x06, 0x01, 0x00});
    while (d.size() + 2 <= size)
        d.insert(d.end(), {0x05, 0x01});
    return d;
}

class Device {
  public:
    Device(adapter::AdapterConfig config, std::size_t index, bool verbose, bool logReports,
           bool statusEcho, std::size_t descriptorSize)
        : adapter_(std::move(config)), index_(index), verbose_(verbose), logReports_(logReports),
          statusEcho_(statusEcho), descriptorSize_(descriptorSize) {}
    ~Device() { destroy(); }

    adapter::SimulatedAdapter& adapter() { return adapter_; }
    int fd() const { return fd_; }

    // On the bus as the adapter is now: created, destroyed, or created again
    // under its other identity.
    bool sync(std::int64_t now) {
        const bool present = adapter_.present(now);
        const std::uint64_t generation = adapter_.generation(now);
        if (fd_ >= 0 && (!present || generation != generation_)) destroy();
        if (fd_ < 0 && present) {
            if (!create(adapter_.identity(now))) return false;
            generation_ = generation;
        }
        return true;
    }

    // Every event the kernel has queued: its queue is short.
    void handle(std::int64_t now) {
        uhid_event ev{};
        while (fd_ >= 0 && ::read(fd_, &ev, sizeof ev) > 0)
            handleEvent(ev, now);
    }

  private:
    void handleEvent(const uhid_event& ev, std::int64_t now) {
        if (ev.type == UHID_OUTPUT) {
            if (logReports_) logReport(ev.u.output.data, ev.u.output.size);
            adapter_.receive(ev.u.output.data, ev.u.output.size, now);
        } else if (ev.type == UHID_GET_REPORT) {
            // The reply reaches the caller from its first byte, as a USB
            // device's does: the report-ID byte 0, then the report.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            adapter::Report r{};
            const bool have =
                statusEcho_ ? std::exchange(held_, false) : adapter_.takeStatus(now, r);
            if (statusEcho_) r = heldReport_;
            if (have) {
                const std::uint16_t length = adapter_.reportLength();
                r[0] = 0;
                reply.u.get_report_reply.size = length;
                std::memcpy(reply.u.get_report_reply.data, r.data(), length);
            } else {
                reply.u.get_report_reply.err = EIO;
            }
            send(reply);
        }
    }

    // One line per output report as it arrived: its length, report-ID byte,
    // command bytes and whether its frame CRC (bytes 3-4 over bytes 1-64,
    // plain or with the command key) holds. Reports sent after the
    // authentication are scrambled; their CRC is the adapter's to check.
    void logReport(const std::uint8_t* data, std::size_t size) {
        ++reports_;
        std::string crc = "short";
        if (size == 65) {
            std::uint8_t frame[65];
            std::memcpy(frame, data, 65);
            const std::uint16_t stored = static_cast<std::uint16_t>(frame[3] | frame[4] << 8);
            frame[3] = frame[4] = 0;
            const std::uint16_t plain = isp::crc16(0, frame + 1, 64);
            const auto& key = adapter_.config().commandKey;
            const std::uint16_t keyed = isp::crc16(plain, key.data(), static_cast<int>(key.size()));
            crc = data[1] == 0xFF   ? "none (a ready check carries filler only)"
                  : stored == plain ? "valid (plain)"
                  : stored == keyed ? "valid (keyed)"
                                    : "scrambled (checked by the adapter)";
        }
        std::printf("report %zu: %zu bytes, id %02X, command %02X %02X, frame CRC %s\n", reports_,
                    size, size > 0 ? data[0] : 0, size > 1 ? data[1] : 0, size > 2 ? data[2] : 0,
                    crc.c_str());
        std::fflush(stdout);
    }

  public:
    // The adapter's interrupt queue, as input reports without the ID byte.
    void flush(std::int64_t now) {
        adapter::Report r{};
        // Wine 8 answers GET_REPORT itself with the last report of the
        // interrupt pipe; with --status-echo each status reply also goes
        // there, so that a Windows updater under Wine sees it.
        while (statusEcho_ && fd_ >= 0 && adapter_.takeStatus(now, heldReport_)) {
            held_ = true;
            sendInput(heldReport_);
        }
        while (fd_ >= 0 && adapter_.takeData(now, r))
            sendInput(r);
        const auto& log = adapter_.commandLog();
        for (; verbose_ && logged_ < log.size(); ++logged_)
            std::cout << "adapter " << index_ << ": " << log[logged_] << std::endl;
    }

  private:
    void sendInput(const adapter::Report& r) {
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        ev.u.input2.size = static_cast<std::uint16_t>(adapter_.reportLength() - 1);
        std::memcpy(ev.u.input2.data, r.data() + 1, ev.u.input2.size);
        send(ev);
    }

    bool create(const adapter::Identity& id) {
        fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) {
            std::cerr << "brisklink-uhid: cannot open /dev/uhid: " << std::strerror(errno) << "\n";
            return false;
        }
        uhid_event ev{};
        ev.type = UHID_CREATE2;
        auto& c = ev.u.create2;
        std::snprintf(reinterpret_cast<char*>(c.name), sizeof c.name, "Brisklink adapter");
        std::snprintf(reinterpret_cast<char*>(c.uniq), sizeof c.uniq, "brisklink-%zu", index_);
        const auto d = descriptor(id.usageSelector, adapter_.reportLength(), descriptorSize_);
        std::memcpy(c.rd_data, d.data(), d.size());
        c.rd_size = static_cast<std::uint16_t>(d.size());
        c.bus = 0x03; // USB
        c.vendor = id.vendorId;
        c.product = id.productId;
        if (!send(ev)) {
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        if (verbose_)
            std::printf("brisklink-uhid: adapter %zu on the bus as %04X:%04X\n", index_,
                        id.vendorId, id.productId);
        std::fflush(stdout);
        return true;
    }

    void destroy() {
        if (fd_ < 0) return;
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        send(ev);
        ::close(fd_);
        fd_ = -1;
        if (verbose_)
            std::cout << "brisklink-uhid: adapter " << index_ << " left the bus" << std::endl;
    }

    bool send(const uhid_event& ev) {
        return ::write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
    }

    adapter::SimulatedAdapter adapter_;
    std::size_t index_;
    bool verbose_;
    bool logReports_;
    bool statusEcho_;
    std::size_t descriptorSize_;
    bool held_ = false; // the last status reply echoed, for a GET_REPORT that does arrive
    adapter::Report heldReport_{};
    std::size_t reports_ = 0;
    int fd_ = -1;
    std::uint64_t generation_ = 0;
    std::size_t logged_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Presents a simulated Brisklink adapter to the kernel through /dev/uhid."};
    adapter::AdapterOptions options;
    adapter::addAdapterOptions(cli, options);
    bool logReports = false;
    cli.add_flag("--log-reports", logReports, "One line per output report, with its frame check");
    bool statusEcho = false;
    cli.add_flag("--status-echo", statusEcho,
                 "Also send each status reply as an input report (for Wine 8, which answers "
                 "GET_REPORT with the last input report)");
    std::size_t descriptorSize = 0;
    cli.add_option("--descriptor-size", descriptorSize,
                   "Report descriptor padded to this many bytes (at most 4096)")
        ->check(CLI::Range(0, 4096));
    adapter::AdapterConfig config;
    if (const int code =
            adapter::parseCommandLine(cli, argc, argv, options, config, "brisklink-uhid");
        code >= 0)
        return code;

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // uhid keeps only a short queue of output reports and drops the rest
    // without telling the writer: the bridge must run as soon as one comes.
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0 && options.verbose)
        std::cout << "brisklink-uhid: no real-time priority (" << std::strerror(errno) << ")"
                  << std::endl;

    std::vector<std::unique_ptr<Device>> devices;
    devices.push_back(std::make_unique<Device>(config, 0, options.verbose, logReports, statusEcho,
                                               descriptorSize));
    if (options.secondDevice)
        devices.push_back(std::make_unique<Device>(config, 1, options.verbose, logReports,
                                                   statusEcho, descriptorSize));

    platform::Clock& clock = platform::clock();
    std::cout << "brisklink-uhid: running" << std::endl;
    while (!stopRequested) {
        const std::int64_t now = clock.nowMs();
        std::vector<pollfd> fds;
        for (auto& d : devices) {
            if (!d->sync(now)) return 1;
            d->flush(now);
            if (d->fd() >= 0) fds.push_back({d->fd(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 1) <= 0) continue;
        const std::int64_t at = clock.nowMs();
        for (auto& d : devices)
            for (const pollfd& p : fds)
                if (p.fd == d->fd() && (p.revents & POLLIN)) d->handle(at);
    }
    for (auto& d : devices) {
        if (!options.dumpDir.empty() && d.get() == devices.front().get())
            adapter::writeDump(options.dumpDir, d->adapter());
    }
    devices.clear();
    std::cout << "brisklink-uhid: stopped" << std::endl;
    return 0;
}
