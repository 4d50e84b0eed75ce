#include "emulator/simulated_bus.h"

#include <cstring>
#include <thread>

namespace adapter {

namespace hid = platform::hid;

SimulatedBus::SimulatedBus(platform::Clock& clock, platform::VirtualClock* virtualClock)
    : clock_(clock), virtual_(virtualClock) {}

SimulatedAdapter& SimulatedBus::add(AdapterConfig config) {
    std::lock_guard lock(mutex_);
    adapters_.push_back(std::make_unique<SimulatedAdapter>(std::move(config)));
    return *adapters_.back();
}

std::vector<std::string> SimulatedBus::enumerate() {
    if (enumerateMs_ > 0) {
        if (virtual_) {
            std::lock_guard lock(mutex_);
            virtual_->advance(enumerateMs_);
        } else {
            // Outside the lock: other clients' operations go on meanwhile.
            clock_.sleepMs(enumerateMs_);
        }
    }
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    const std::int64_t t = now();
    for (std::size_t i = 0; i < adapters_.size(); ++i)
        if (adapters_[i]->present(t)) paths.push_back("sim:" + std::to_string(i));
    return paths;
}

bool SimulatedBus::adapterAt(const std::string& path, std::size_t& index) const {
    if (path.rfind("sim:", 0) != 0) return false;
    const std::string digits = path.substr(4);
    if (digits.empty() || digits.size() > 4 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    index = std::stoul(digits);
    return index < adapters_.size();
}

std::string SimulatedBus::serial(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::size_t index = 0;
    return adapterAt(path, index) ? adapters_[index]->config().serial : std::string();
}

hid::Handle SimulatedBus::open(const std::string& path, hid::OpenMode) {
    std::lock_guard lock(mutex_);
    std::size_t index = 0;
    const std::int64_t t = now();
    if (!adapterAt(path, index) || !adapters_[index]->present(t)) return hid::kInvalidHandle;
    const hid::Handle h = nextHandle_++;
    handles_[h] = {index, adapters_[index]->generation(t)};
    return h;
}

SimulatedAdapter* SimulatedBus::live(hid::Handle h, std::int64_t t) {
    const auto it = handles_.find(h);
    if (it == handles_.end()) return nullptr;
    SimulatedAdapter* a = adapters_[it->second.adapter].get();
    if (!a->present(t) || a->generation(t) != it->second.generation) return nullptr;
    return a;
}

bool SimulatedBus::attributes(hid::Handle h, hid::Attributes& out) {
    std::lock_guard lock(mutex_);
    const std::int64_t t = now();
    SimulatedAdapter* a = live(h, t);
    if (!a) return false;
    const Identity id = a->identity(t);
    out = {id.vendorId, id.productId};
    return true;
}

bool SimulatedBus::capabilities(hid::Handle h, hid::Capabilities& out) {
    std::lock_guard lock(mutex_);
    const std::int64_t t = now();
    SimulatedAdapter* a = live(h, t);
    if (!a) return false;
    const Identity id = a->identity(t);
    out.usagePage = static_cast<std::uint16_t>(isp::kVendorUsagePageBase + id.usageSelector);
    out.inputReportLength = a->reportLength();
    out.outputReportLength = a->reportLength();
    return true;
}

void SimulatedBus::pace(hid::Handle h,
                        std::map<std::size_t, std::chrono::steady_clock::time_point>& slots) {
    if (paceUs_ <= 0) return;
    if (virtual_) {
        paceCarryUs_ += paceUs_;
        virtual_->advance(paceCarryUs_ / 1000);
        paceCarryUs_ %= 1000;
        return;
    }
    // One report per slot of its adapter's endpoint, as on a USB link:
    // slot(n) = max(arrival, slot(n - 1) + pace). A side that keeps up gets
    // exactly one report per pace, a late one loses only its own lateness,
    // and adapters do not wait for each other.
    std::size_t index = 0;
    {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(h);
        if (it != handles_.end()) index = it->second.adapter;
    }
    std::unique_lock slotLock(slotMutex_);
    const auto now = std::chrono::steady_clock::now();
    auto& last = slots[index];
    last = std::max(now, last + std::chrono::microseconds(paceUs_));
    const auto slot = last;
    slotLock.unlock();
    std::this_thread::sleep_until(slot);
}

bool SimulatedBus::write(hid::Handle h, const std::uint8_t* report, std::size_t length) {
    pace(h, lastSlot_);
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        const std::int64_t t = now();
        SimulatedAdapter* a = live(h, t);
        if (!a || report == nullptr) return false;
        if (!a->receive(report, length, t)) return false;
        count = ++writes_;
    }
    if (writeHook_) writeHook_(count);
    return true;
}

hid::ReadResult SimulatedBus::getInputReport(hid::Handle h, std::uint8_t* report,
                                             std::size_t length) {
    std::lock_guard lock(mutex_);
    if (virtual_) virtual_->advance(1);
    const std::int64_t t = now();
    SimulatedAdapter* a = live(h, t);
    // Unplugged or restarted under another identity: this handle is dead.
    if (!a) return hid::ReadResult::Gone;
    Report r;
    if (report == nullptr || length < 1 || !a->takeStatus(t, r)) return hid::ReadResult::Failed;
    std::memcpy(report, r.data(), std::min(length, r.size()));
    report[0] = 0;
    return hid::ReadResult::Ok;
}

hid::ReadResult SimulatedBus::readReport(hid::Handle h, std::uint8_t* report, std::size_t length,
                                         int timeoutMs) {
    const std::int64_t deadline = now() + timeoutMs;
    for (bool taken = false;;) {
        {
            std::lock_guard lock(mutex_);
            const std::int64_t t = now();
            SimulatedAdapter* a = live(h, t);
            if (!a) return hid::ReadResult::Gone;
            if (report == nullptr || length < 1) return hid::ReadResult::Failed;
            Report r;
            if (a->takeData(t, r)) {
                std::memcpy(report, r.data(), std::min(length, r.size()));
                report[0] = 0;
                taken = true;
            } else if (t >= deadline) {
                return hid::ReadResult::TimedOut;
            }
        }
        // A data report comes through the interrupt IN endpoint, one per
        // slot as a written one goes out.
        if (taken) {
            pace(h, lastInSlot_);
            return hid::ReadResult::Ok;
        }
        if (virtual_)
            virtual_->advance(1);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SimulatedBus::close(hid::Handle h) {
    std::lock_guard lock(mutex_);
    handles_.erase(h);
}

} // namespace adapter
