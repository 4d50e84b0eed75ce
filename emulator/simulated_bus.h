// A HID bus holding simulated adapters. In tests it runs on a virtual clock:
// every input-report request costs one simulated millisecond, so polling
// loops reach their time-outs at once. The emulator runs it on the real clock.
#pragma once

#include "emulator/adapter.h"
#include "platform/clock.h"
#include "platform/emulator/wire.h"
#include "platform/hid.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace adapter {

class SimulatedBus : public platform::hid::Bus {
  public:
    // With a virtual clock the bus advances it; otherwise it waits in real time.
    explicit SimulatedBus(platform::Clock& clock, platform::VirtualClock* virtualClock = nullptr);

    SimulatedAdapter& add(AdapterConfig config);
    SimulatedAdapter& adapter(std::size_t index) { return *adapters_.at(index); }
    std::size_t size() const { return adapters_.size(); }
    // Time each written report takes, like a full-speed link at 1000.
    void setPaceMicroseconds(std::int64_t us) { paceUs_ = us; }
    // Time one enumeration of the bus takes (a system enumeration is never
    // instant; back-to-back discovery loops rely on that).
    void setEnumerateMilliseconds(std::int64_t ms) { enumerateMs_ = ms; }
    void setInstallPending(bool pending) { installPending_ = pending; }
    // A node that is on the bus but that this user may not open.
    void addDenied(platform::hid::DeniedDevice device) { denied_.push_back(std::move(device)); }
    std::size_t writes() const { return writes_; }
    // Called after each report that reached an adapter, with the count so far
    // (tests act at a chosen report, as a user pressing Ctrl-C would).
    void setWriteHook(std::function<void(std::size_t)> hook) { writeHook_ = std::move(hook); }
    std::mutex& mutex() { return mutex_; }

    std::vector<std::string> enumerate() override;
    platform::hid::Handle open(const std::string& path, platform::hid::OpenMode mode) override;
    bool attributes(platform::hid::Handle h, platform::hid::Attributes& out) override;
    bool capabilities(platform::hid::Handle h, platform::hid::Capabilities& out) override;
    bool installPending() override { return installPending_; }
    bool write(platform::hid::Handle h, const std::uint8_t* report, std::size_t length) override;
    platform::hid::ReadResult getInputReport(platform::hid::Handle h, std::uint8_t* report,
                                             std::size_t length) override;
    platform::hid::ReadResult readReport(platform::hid::Handle h, std::uint8_t* report,
                                         std::size_t length, int timeoutMs) override;
    void close(platform::hid::Handle h) override;
    std::vector<platform::hid::DeniedDevice> deniedDevices() override { return denied_; }
    std::string location(const std::string& path) override {
        return platform::wire::simulatedLocation(path);
    }
    std::string serial(const std::string& path) override;

  private:
    // The adapter a path ("sim:N") names; false when it names none.
    bool adapterAt(const std::string& path, std::size_t& index) const;
    struct OpenHandle {
        std::size_t adapter;
        std::uint64_t generation;
    };
    SimulatedAdapter* live(platform::hid::Handle h, std::int64_t now);
    std::int64_t now() { return clock_.nowMs(); }

    platform::Clock& clock_;
    platform::VirtualClock* virtual_;
    std::vector<std::unique_ptr<SimulatedAdapter>> adapters_;
    std::map<platform::hid::Handle, OpenHandle> handles_;
    platform::hid::Handle nextHandle_ = 100;
    std::int64_t paceUs_ = 0;
    std::int64_t enumerateMs_ = 0;
    // The last report's slot on each adapter's endpoint.
    // The last slot of each adapter's OUT and IN endpoint.
    std::map<std::size_t, std::chrono::steady_clock::time_point> lastSlot_, lastInSlot_;
    std::mutex slotMutex_;
    std::int64_t paceCarryUs_ = 0;
    // Waits for the next slot of `h`'s adapter in `slots` (see write()).
    void pace(platform::hid::Handle h,
              std::map<std::size_t, std::chrono::steady_clock::time_point>& slots);
    bool installPending_ = false;
    std::size_t writes_ = 0;
    std::function<void(std::size_t)> writeHook_;
    std::vector<platform::hid::DeniedDevice> denied_;
    std::mutex mutex_;
};

} // namespace adapter
