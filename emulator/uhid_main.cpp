// brisklink-uhid: the simulated adapter presented to the Linux kernel as a
// real HID device through /dev/uhid, so that the updater meets it through
// hidraw (or Wine's HID stack over hidraw). Output reports go to the
// adapter, GET_REPORT requests take its status reply, its interrupt queue
// goes out as input reports, and when it leaves the bus (a restart, a fault)
// the device is destroyed and created again under the identity it comes
// back with. Same adapter options and faults as brisklink-emu.
#include "emulator/adapter_options.h"
#include "emulator/os/signals.h"
#include "emulator/os/uhid.h"
#include "emulator/report_descriptor.h"
#include "isp/crc.h"
#include "platform/clock.h"

#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

namespace {

std::atomic<bool> stopRequested{false};

class Device {
  public:
    Device(adapter::AdapterConfig config, std::size_t index, bool verbose, bool logReports,
           bool statusEcho, std::size_t descriptorSize)
        : adapter_(std::move(config)), index_(index), verbose_(verbose), logReports_(logReports),
          statusEcho_(statusEcho), descriptorSize_(descriptorSize) {}
    ~Device() { destroy(); }

    adapter::SimulatedAdapter& adapter() { return adapter_; }
    platform::uhid::Device& device() { return device_; }

    // On the bus as the adapter is now: created, destroyed, or created again
    // under its other identity.
    bool sync(std::int64_t now) {
        const bool present = adapter_.present(now);
        const std::uint64_t generation = adapter_.generation(now);
        if (device_.created() && (!present || generation != generation_)) destroy();
        if (!device_.created() && present) {
            if (!create(adapter_.identity(now))) return false;
            generation_ = generation;
        }
        return true;
    }

    // Every event the kernel has queued: its queue is short.
    void handle(std::int64_t now) {
        platform::uhid::Event ev;
        while (device_.next(ev))
            handleEvent(ev, now);
    }

  private:
    void handleEvent(const platform::uhid::Event& ev, std::int64_t now) {
        if (ev.kind == platform::uhid::Event::Kind::Output) {
            if (logReports_) logReport(ev.data.data(), ev.data.size());
            adapter_.receive(ev.data.data(), ev.data.size(), now);
            return;
        }
        // The reply reaches the caller from its first byte, as a USB
        // device's does: the report-ID byte 0, then the report.
        adapter::Report r{};
        const bool have = statusEcho_ ? std::exchange(held_, false) : adapter_.takeStatus(now, r);
        if (statusEcho_) r = heldReport_;
        r[0] = 0;
        device_.replyGetReport(ev.id, have ? r.data() : nullptr, adapter_.reportLength());
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
        while (statusEcho_ && device_.created() && adapter_.takeStatus(now, heldReport_)) {
            held_ = true;
            sendInput(heldReport_);
        }
        while (device_.created() && adapter_.takeData(now, r))
            sendInput(r);
        const auto& log = adapter_.commandLog();
        for (; verbose_ && logged_ < log.size(); ++logged_)
            std::cout << "adapter " << index_ + 1 << ": " << log[logged_] << std::endl;
    }

  private:
    void sendInput(const adapter::Report& r) {
        device_.sendInput(r.data() + 1, adapter_.reportLength() - 1u);
    }

    bool create(const adapter::Identity& id) {
        const auto d =
            adapter::reportDescriptor(id.usageSelector, adapter_.reportLength(), descriptorSize_);
        // The physical path is the adapter's location: the same through its
        // restarts, another for each adapter.
        if (!device_.create("Brisklink adapter", "brisklink-uhid/" + std::to_string(index_ + 1),
                            adapter_.config().serial, d, id.vendorId, id.productId))
            return false;
        if (verbose_)
            std::printf("brisklink-uhid: adapter %zu on the bus as %04X:%04X\n", index_ + 1,
                        id.vendorId, id.productId);
        std::fflush(stdout);
        return true;
    }

    void destroy() {
        if (!device_.created()) return;
        device_.destroy();
        if (verbose_)
            std::cout << "brisklink-uhid: adapter " << index_ + 1 << " left the bus" << std::endl;
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
    platform::uhid::Device device_;
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

    platform::signals::install(&stopRequested);
    // uhid keeps only a short queue of output reports and drops the rest
    // without telling the writer: the bridge must run as soon as one comes.
    std::string refused;
    if (!platform::uhid::raisePriority(refused) && options.verbose)
        std::cout << "brisklink-uhid: no real-time priority (" << refused << ")" << std::endl;

    std::vector<std::unique_ptr<Device>> devices;
    const auto configs = adapter::adapterConfigs(options, config);
    for (std::size_t k = 0; k < configs.size(); ++k)
        devices.push_back(std::make_unique<Device>(configs[k], k, options.verbose, logReports,
                                                   statusEcho, descriptorSize));

    platform::Clock& clock = platform::clock();
    std::cout << "brisklink-uhid: running" << std::endl;
    while (!stopRequested) {
        const std::int64_t now = clock.nowMs();
        std::vector<platform::uhid::Device*> kernelDevices;
        for (auto& d : devices) {
            if (!d->sync(now)) return 1;
            d->flush(now);
            kernelDevices.push_back(&d->device());
        }
        platform::uhid::Device::waitForRequests(kernelDevices, 1);
        const std::int64_t at = clock.nowMs();
        for (auto& d : devices)
            d->handle(at);
    }
    if (!options.dumpDir.empty()) {
        std::vector<const adapter::SimulatedAdapter*> all;
        for (auto& d : devices)
            all.push_back(&d->adapter());
        adapter::writeDumps(options.dumpDir, all);
    }
    devices.clear();
    std::cout << "brisklink-uhid: stopped" << std::endl;
    return 0;
}
