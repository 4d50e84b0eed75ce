// brisklink-usbip: the simulated adapter as a full-speed USB HID device on a
// port of the kernel's USB/IP virtual host controller (vhci-hcd), so that
// the kernel's USB stack enumerates it, binds usbhid and gives it a hidraw
// node: the updater then meets it as it meets a real adapter, control and
// interrupt transfers included. A restart detaches it and attaches it again
// on the same port under its other identity; a vanish fault detaches it
// mid-transfer, as a pulled cable does. Same adapter options and faults as
// brisklink-emu and brisklink-uhid. Needs root (the controller's sysfs).
#include "emulator/adapter_options.h"
#include "emulator/os/signals.h"
#include "emulator/os/uhid.h"
#include "emulator/os/usbip.h"
#include "emulator/report_descriptor.h"
#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>

namespace {

using platform::usbip::Request;

std::atomic<bool> stopRequested{false};

constexpr std::uint8_t kInterruptEndpoint = 1; // 0x81 IN and 0x01 OUT
constexpr int kStall = -EPIPE;

void put16(std::vector<std::uint8_t>& d, std::uint16_t v) {
    d.push_back(static_cast<std::uint8_t>(v));
    d.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A string descriptor: UTF-16LE of ASCII text.
std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (const char c : text)
        put16(d, static_cast<std::uint8_t>(c));
    return d;
}

class UsbAdapter {
  public:
    UsbAdapter(adapter::AdapterConfig config, std::size_t index, bool verbose, bool statusEcho)
        : adapter_(std::move(config)), index_(index), verbose_(verbose), statusEcho_(statusEcho),
          serial_(adapter_.config().serial), reportLength_(adapter_.reportLength()) {}

    adapter::SimulatedAdapter& adapter() { return adapter_; }
    platform::usbip::Port& port() { return port_; }

    // On its port as the adapter is now: attached, detached, or attached
    // again under its other identity.
    bool sync(std::int64_t now) {
        const bool present = adapter_.present(now);
        const std::uint64_t generation = adapter_.generation(now);
        if (port_.attached() && (!present || generation != generation_)) detach();
        if (!port_.attached() && present && !attachFailed_) {
            identity_ = adapter_.identity(now);
            std::string error;
            const auto devid = static_cast<std::uint32_t>((1u << 16) | (index_ + 2));
            if (!port_.attach(static_cast<int>(index_), devid, error)) {
                std::cerr << "brisklink-usbip: adapter " << index_ + 1 << ": " << error << "\n";
                attachFailed_ = true;
                return false;
            }
            generation_ = generation;
            say("on port " + std::to_string(index_) + " as " + identityText());
        }
        return true;
    }

    void handle(std::int64_t now) {
        Request r;
        while (port_.next(r)) {
            if (r.unlink) {
                const auto it = std::find_if(
                    in_.begin(), in_.end(), [&](const Request& q) { return q.seqnum == r.target; });
                port_.unlinked(r, it != in_.end());
                if (it != in_.end()) in_.erase(it);
            } else if (r.endpoint == 0) {
                control(r, now);
            } else if (r.endpoint == kInterruptEndpoint && r.in) {
                in_.push_back(r); // answered when the adapter has a report
            } else if (r.endpoint == kInterruptEndpoint) {
                ++counts_.out;
                receive(r.data, now);
                port_.complete(r, 0, static_cast<std::uint32_t>(r.data.size()));
            } else {
                port_.complete(r, kStall, 0);
            }
        }
        if (!port_.attached()) in_.clear();
    }

    // The adapter's interrupt queue, into the IN transfers the host keeps
    // pending; and its command log.
    void flush(std::int64_t now) {
        // Wine 8 answers GET_REPORT itself with the last report of the
        // interrupt pipe; with --status-echo each status reply goes there
        // too (and a GET_REPORT that does arrive gets it once).
        adapter::Report report{};
        while (statusEcho_ && adapter_.takeStatus(now, report)) {
            held_ = report;
            echoed_.push_back(report);
        }
        for (;;) {
            if (in_.empty()) break;
            if (!echoed_.empty()) {
                report = echoed_.front();
                echoed_.pop_front();
            } else if (!adapter_.takeData(now, report)) {
                break;
            }
            const Request r = in_.front();
            in_.pop_front();
            const auto size = std::min<std::uint32_t>(r.length, payload());
            port_.complete(r, 0, size, report.data() + 1);
            ++counts_.in;
        }
        const auto& log = adapter_.commandLog();
        for (; verbose_ && logged_ < log.size(); ++logged_)
            std::cout << "adapter " << index_ + 1 << ": " << log[logged_] << std::endl;
    }

    // What the kernel's USB stack sent and took.
    std::string summary() const {
        return std::to_string(counts_.out) + " interrupt OUT reports, " +
               std::to_string(counts_.getReport) + " GET_REPORT requests, " +
               std::to_string(counts_.in) + " interrupt IN reports";
    }

    void detach() {
        if (!port_.attached()) return;
        port_.detach();
        in_.clear();
        say("left the bus");
    }

  private:
    // The bytes of a report after its ID byte: one packet.
    std::uint32_t payload() const { return reportLength_ - 1u; }

    std::string identityText() const {
        char text[16];
        std::snprintf(text, sizeof text, "%04X:%04X", identity_.vendorId, identity_.productId);
        return text;
    }

    void say(const std::string& what) {
        if (!verbose_) return;
        std::cout << "brisklink-usbip: adapter " << index_ + 1 << " " << what << std::endl;
    }

    // An output report as it came (SET_REPORT or the interrupt OUT pipe),
    // without the report-ID byte that usbhid leaves out.
    void receive(const std::vector<std::uint8_t>& data, std::int64_t now) {
        std::vector<std::uint8_t> report(1, 0);
        report.insert(report.end(), data.begin(), data.end());
        adapter_.receive(report.data(), report.size(), now);
    }

    std::vector<std::uint8_t> deviceDescriptor() const {
        std::vector<std::uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
        put16(d, identity_.vendorId);
        put16(d, identity_.productId);
        put16(d, 0x0105);
        d.insert(d.end(), {1, 2, static_cast<std::uint8_t>(serial().empty() ? 0 : 3), 1});
        return d;
    }

    std::vector<std::uint8_t> hidDescriptor() const {
        std::vector<std::uint8_t> d = {9, 0x21, 0x11, 0x01, 0, 1, 0x22};
        put16(d, static_cast<std::uint16_t>(reportDescriptor().size()));
        return d;
    }

    // Configuration, interface (HID, two endpoints), HID, interrupt IN and
    // OUT endpoints of one packet each, polled every millisecond.
    std::vector<std::uint8_t> configuration() const {
        std::vector<std::uint8_t> d = {9, 2, 41, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 3, 0, 0, 0};
        const auto hid = hidDescriptor();
        d.insert(d.end(), hid.begin(), hid.end());
        for (const std::uint8_t address : {std::uint8_t{0x81}, std::uint8_t{0x01}}) {
            d.insert(d.end(), {7, 5, address, 0x03});
            put16(d, static_cast<std::uint16_t>(payload()));
            d.push_back(1);
        }
        return d;
    }

    std::vector<std::uint8_t> reportDescriptor() const {
        return adapter::reportDescriptor(identity_.usageSelector, reportLength_, 0);
    }

    const std::string& serial() const { return serial_; }

    // Standard and HID class requests on endpoint 0.
    void control(const Request& r, std::int64_t now) {
        const std::uint8_t type = r.setup[0], request = r.setup[1];
        const std::uint16_t value = static_cast<std::uint16_t>(r.setup[2] | r.setup[3] << 8);
        std::vector<std::uint8_t> reply;
        bool ok = true;
        if (type == 0x80 && request == 6) { // GET_DESCRIPTOR, device
            const int index = value & 0xFF;
            switch (value >> 8) {
            case 1:
                reply = deviceDescriptor();
                break;
            case 2:
                reply = configuration();
                break;
            case 3:
                if (index == 0)
                    reply = {4, 3, 0x09, 0x04}; // English (US)
                else if (index == 1)
                    reply = stringDescriptor("Brisklink");
                else if (index == 2)
                    reply = stringDescriptor("Brisklink USB programmer adapter");
                else if (index == 3 && !serial().empty())
                    reply = stringDescriptor(serial());
                else
                    ok = false;
                break;
            default: // device qualifier, BOS...: a full-speed device has none
                ok = false;
            }
        } else if (type == 0x81 && request == 6) { // GET_DESCRIPTOR, interface
            if (value >> 8 == 0x22)
                reply = reportDescriptor();
            else if (value >> 8 == 0x21)
                reply = hidDescriptor();
            else
                ok = false;
        } else if (type == 0xA1 && request == 0x01 && value >> 8 == 1) { // GET_REPORT, input
            adapter::Report status{};
            // No status ready: a stall, which usbhid gives the caller as an
            // error, and the next GET_REPORT asks again.
            ++counts_.getReport;
            ok = statusEcho_ ? held_.has_value() : adapter_.takeStatus(now, status);
            if (statusEcho_ && ok) status = *std::exchange(held_, std::nullopt);
            if (ok) reply.assign(status.begin() + 1, status.begin() + 1 + payload());
        } else if (type == 0x21 && request == 0x09) { // SET_REPORT
            receive(r.data, now);
        } else if ((type & 0x80) != 0 && request == 0) { // GET_STATUS
            reply = {0, 0};
        } else if (type == 0x80 && request == 8) { // GET_CONFIGURATION
            reply = {1};
        } else if (type == 0xA1 && (request == 0x02 || request == 0x03)) { // GET_IDLE, _PROTOCOL
            reply = {static_cast<std::uint8_t>(request == 0x03 ? 1 : 0)};
        } else if ((type & 0x80) != 0) {
            ok = false;
        }
        // Everything else without a data stage (SET_ADDRESS, SET_CONFIGURATION,
        // SET_INTERFACE, CLEAR_FEATURE, SET_IDLE, SET_PROTOCOL) is taken.
        if (!ok) return port_.complete(r, kStall, 0);
        if (!r.in) return port_.complete(r, 0, static_cast<std::uint32_t>(r.data.size()));
        reply.resize(std::min<std::size_t>(reply.size(), r.length));
        port_.complete(r, 0, static_cast<std::uint32_t>(reply.size()), reply.data());
    }

    adapter::SimulatedAdapter adapter_;
    std::size_t index_;
    bool verbose_;
    bool statusEcho_;
    std::optional<adapter::Report> held_;
    std::deque<adapter::Report> echoed_;
    struct {
        std::uint64_t out = 0, getReport = 0, in = 0;
    } counts_;
    std::string serial_;
    std::uint16_t reportLength_;
    platform::usbip::Port port_;
    adapter::Identity identity_{};
    std::uint64_t generation_ = 0;
    bool attachFailed_ = false;
    std::deque<Request> in_;
    std::size_t logged_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Presents a simulated Brisklink adapter to the kernel as a USB device through "
                 "USB/IP (vhci-hcd)."};
    adapter::AdapterOptions options;
    adapter::addAdapterOptions(cli, options);
    bool statusEcho = false;
    cli.add_flag("--status-echo", statusEcho,
                 "Also send each status reply as an interrupt IN report (for Wine 8, which "
                 "answers GET_REPORT with the last input report)");
    adapter::AdapterConfig config;
    if (const int code =
            adapter::parseCommandLine(cli, argc, argv, options, config, "brisklink-usbip");
        code >= 0)
        return code;
    platform::signals::install(&stopRequested);
    // A device answers its host at once: the bridge runs as soon as a
    // request comes, as brisklink-uhid does (a bridge waiting for the
    // scheduler would be measured instead of the kernel's USB stack).
    std::string refused;
    if (!platform::uhid::raisePriority(refused) && options.verbose)
        std::cout << "brisklink-usbip: no real-time priority (" << refused << ")" << std::endl;

    std::vector<std::unique_ptr<UsbAdapter>> devices;
    const auto configs = adapter::adapterConfigs(options, config);
    for (std::size_t k = 0; k < configs.size(); ++k)
        devices.push_back(std::make_unique<UsbAdapter>(configs[k], k, options.verbose, statusEcho));

    platform::Clock& clock = platform::clock();
    std::cout << "brisklink-usbip: running" << std::endl;
    int status = 0;
    while (!stopRequested) {
        const std::int64_t now = clock.nowMs();
        std::vector<platform::usbip::Port*> ports;
        for (auto& d : devices) {
            if (!d->sync(now)) status = 1;
            d->flush(now);
            ports.push_back(&d->port());
        }
        if (status != 0) break;
        platform::usbip::Port::waitForRequests(ports, 1);
        const std::int64_t at = clock.nowMs();
        for (auto& d : devices)
            d->handle(at);
    }
    for (std::size_t k = 0; k < devices.size(); ++k) {
        devices[k]->detach();
        if (options.verbose)
            std::cout << "brisklink-usbip: adapter " << k + 1 << ": " << devices[k]->summary()
                      << std::endl;
    }
    if (!options.dumpDir.empty()) {
        std::vector<const adapter::SimulatedAdapter*> all;
        for (auto& d : devices)
            all.push_back(&d->adapter());
        adapter::writeDumps(options.dumpDir, all);
    }
    std::cout << "brisklink-usbip: stopped" << std::endl;
    return status;
}
