// The adapter's HID report descriptor, as brisklink-uhid and brisklink-usbip
// present it to the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace adapter {

// A vendor-defined top-level collection, usage page FF00 + selector, with
// input and output reports of `reportLength` - 1 bytes and no report IDs.
// With `size` above its own length, Usage Page items after the collection
// (which change no report) fill it to that size, as a device with a large
// descriptor would. (The kernel refuses long items.)
inline std::vector<std::uint8_t> reportDescriptor(std::uint8_t selector, std::uint16_t reportLength,
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

} // namespace adapter
