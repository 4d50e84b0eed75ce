// The udev rule that lets the logged-in user open the adapter's hidraw node
// in both its identities (application and loader). It matches the HID
// device's kernel name (bus:vendor:product.instance) so it holds for any
// HID transport; the uaccess tag gives the seat's user access.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace app {

inline std::string udevRule(std::uint32_t apVendorId, std::uint32_t apProductId,
                            std::uint32_t iapVendorId, std::uint32_t iapProductId) {
    std::string rule;
    const auto line = [&rule](std::uint32_t vendor, std::uint32_t product, const char* role) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "SUBSYSTEM==\"hidraw\", KERNELS==\"*:%04X:%04X.*\", TAG+=\"uaccess\"  # %s\n",
                      static_cast<unsigned>(vendor & 0xFFFF),
                      static_cast<unsigned>(product & 0xFFFF), role);
        rule += text;
    };
    if (apVendorId != 0 && apProductId != 0) line(apVendorId, apProductId, "Brisklink application");
    line(iapVendorId, iapProductId, "Brisklink loader");
    return rule;
}

} // namespace app
