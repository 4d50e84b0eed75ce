// A USB identity as the tools take it on their command lines: "VID:PID[:SEL]"
// in hexadecimal (the packer's --ap/--iap, the emulator's, udev-rule's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace isp {

struct UsbIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t usageSelector = 0;
};

// Vendor and product of 1 to 4 hexadecimal digits, the usage selector of 1
// or 2 (0 when not given), each with an optional "0x"; nothing else. Without
// a value, `why` (when given) says what is wrong.
std::optional<UsbIdentity> parseIdentity(std::string_view text, std::string* why = nullptr);

} // namespace isp
