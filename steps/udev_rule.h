// The udev rule that lets a user open the adapter's hidraw node in both its
// identities (application and loader). It matches the HID device's kernel
// name (bus:vendor:product.instance) so it holds for any HID transport.
// Two forms: the uaccess tag gives the user logged in at the machine's seat
// access; a group (with mode 0660) gives every member of it access, for
// machines nobody sits at (ssh, build servers, production stations).
// udev takes '#' as a comment only at the start of a line: a comment after
// a rule would make udev drop the whole rule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace steps {

// A group name udev can take between quotes: letters, digits, '_', '-'
// and '.', not starting with '-'.
inline bool validGroupName(const std::string& group) {
    if (group.empty() || group.size() > 32 || group[0] == '-') return false;
    for (char c : group)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

// `group` empty: the uaccess form. Otherwise a name that validGroupName takes.
inline std::string udevRule(std::uint32_t apVendorId, std::uint32_t apProductId,
                            std::uint32_t iapVendorId, std::uint32_t iapProductId,
                            const std::string& group = {}) {
    const std::string access =
        group.empty() ? "TAG+=\"uaccess\"" : "GROUP=\"" + group + "\", MODE=\"0660\"";
    std::string rule;
    const auto line = [&](std::uint32_t vendor, std::uint32_t product, const char* role) {
        char match[64];
        std::snprintf(match, sizeof match, "KERNELS==\"*:%04X:%04X.*\"",
                      static_cast<unsigned>(vendor & 0xFFFF),
                      static_cast<unsigned>(product & 0xFFFF));
        rule +=
            std::string("# ") + role + "\nSUBSYSTEM==\"hidraw\", " + match + ", " + access + "\n";
    };
    if (apVendorId != 0 && apProductId != 0) line(apVendorId, apProductId, "Brisklink application");
    line(iapVendorId, iapProductId, "Brisklink loader");
    return rule;
}

} // namespace steps
