// The process-wide state of the device link. One instance lives for the whole
// process; tests may put it back to its start values with resetLinkState().
#pragma once

#include "platform/hid.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace isp {

inline constexpr std::size_t kCommandKeyCapacity = 64;
inline constexpr std::size_t kReportSize = 65;

// The adapter's loader identity and the vendor-defined usage page base.
inline constexpr std::int32_t kDefaultVendorId = 0x3F27;
inline constexpr std::int32_t kDefaultLoaderProductId = 0x1005;
inline constexpr std::int32_t kVendorUsagePageBase = 0xFF00;

using Report = std::array<std::uint8_t, kReportSize>;

// A value that another thread reads or sets while a transfer runs (the
// window's update worker polls the progress and may stop the pass): atomic,
// yet copied with the rest of the state when tests put it back.
struct SharedValue {
    std::atomic<std::int32_t> value{0};
    SharedValue() = default;
    SharedValue(const SharedValue& other) : value(other.value.load()) {}
    SharedValue& operator=(const SharedValue& other) {
        value.store(other.value.load());
        return *this;
    }
};

// A handle that is not open: at start, after a close and after the link
// dropped. Unlike kInvalidHandle (an open that failed during discovery), a
// write on it takes the link-drop path, so the next command rediscovers.
inline constexpr platform::hid::Handle kNotOpen = -2;

struct LinkState {
    // Command key store: folded into every keyed frame CRC, never sent.
    std::array<std::uint8_t, kCommandKeyCapacity> commandKey{};
    std::uint16_t commandKeyLength = kCommandKeyCapacity;
    std::int32_t commandKeyEnabled = 1;

    // Discovery and the open device.
    std::int32_t matchVendorId = kDefaultVendorId;
    std::int32_t matchProductId = kDefaultLoaderProductId;
    std::int32_t matchUsagePage = kVendorUsagePageBase;
    platform::hid::Handle infoHandle = kNotOpen;
    platform::hid::Handle writeHandle = kNotOpen;
    platform::hid::Handle readHandle = kNotOpen;
    platform::hid::Capabilities deviceCaps{};
    std::string devicePath;
    std::int32_t skipRediscovery = 0;

    // Framing and scrambling.
    Report outReport{};
    Report inReport{};
    std::int32_t scramblingEnabled = 1;
    std::array<std::uint8_t, 4> rollingKey{};
    std::int32_t rollingEnabled = 0;
    std::uint16_t rollSeedA = 0;
    std::uint16_t rollSeedB = 0;
    // An authentication that got no answer: the adapter may still have
    // taken it and be in its session, rolling this key along with every
    // report it receives. The reset commands then also send a reset under
    // it, so the adapter is not left in a session that no later run can
    // open.
    std::int32_t unansweredSession = 0;
    std::array<std::uint8_t, 4> sessionKey{};
    std::uint16_t sessionSeedA = 0;
    std::uint16_t sessionSeedB = 0;

    // Percentage of the running or last program/verify pass, written after
    // every report.
    SharedValue transferProgress;
    // Non-zero: the running pass stops before its next report.
    SharedValue stopTransfer;
    std::int32_t appAreaStart = 0x0C00;
    std::int32_t appAreaEnd = 0x7FFF;
    std::u16string libraryLog;
};

LinkState& linkState();
void resetLinkState();

} // namespace isp
