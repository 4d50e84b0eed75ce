// Whether a HID device is the adapter with a given identity: the one test
// under the session's discovery and the steps' listing, so that "/l" never
// lists a device that the connection will not open.
#pragma once

#include "platform/hid.h"

#include <cstdint>
#include <functional>
#include <string>

namespace isp {

enum class Verdict {
    Adapter,
    // The identity: another one, none told, or the device not opened for it.
    OtherIdentity,
    NoIdentity,
    CannotOpen,
    // Stopped before its reports were looked at (`beforeReports` said no).
    Stopped,
    // Its reports: not opened for them, not described, or not the adapter's.
    CannotOpenForReports,
    NoReports,
    OtherUsagePage,
    OtherReportLength,
};

struct Probe {
    Verdict verdict = Verdict::CannotOpen;
    platform::hid::Attributes identity{};
    platform::hid::Capabilities caps{};
    // With Verdict::Adapter and `keepOpen`: the device opened for
    // information, the caller's to close.
    platform::hid::Handle handle = platform::hid::kInvalidHandle;
};

// The identity is the system's where it tells without opening the device,
// else the device is opened (without access) for its attributes; then, once
// `beforeReports` (when given) allows, it is opened for its report
// descriptor: usage page kVendorUsagePageBase + `usageSelector`, 65-byte
// input and output reports.
Probe probeDevice(platform::hid::Bus& bus, const std::string& path, std::uint32_t vendorId,
                  std::uint32_t productId, std::uint32_t usageSelector, bool keepOpen = false,
                  const std::function<bool()>& beforeReports = {});

} // namespace isp
