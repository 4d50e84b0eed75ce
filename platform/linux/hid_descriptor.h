// A HID report descriptor read the way Windows describes a HID interface:
// per top-level collection its usage page and usage, and the byte lengths
// of its longest input, output and feature reports with the report-ID byte
// counted (so a device without report IDs and 64-byte reports has 65). The
// hidraw backend uses it to give the link what the Windows capabilities give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::hid {

struct TopLevelCollection {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
};

struct ReportDescriptor {
    std::vector<TopLevelCollection> collections;
    bool usesReportIds = false;
    // Empty when the descriptor was read to its end without fault.
    std::string error;
};

// Never reads outside `bytes`; a truncated or malformed descriptor gives an
// error that names the fault and its offset.
ReportDescriptor parseReportDescriptor(const std::uint8_t* bytes, std::size_t length);

} // namespace platform::hid
