// The program information that both front ends load once at start: the
// record, the parsed USB identities and the two image-info blocks.
#pragma once

#include "brisklink/isp.h"
#include "image/trailer.h"

#include <array>
#include <cstdint>
#include <string>

namespace image {

struct ProgramData {
    ProgramInfo info{};
    std::uint32_t apVendorId = 0;
    std::uint32_t apProductId = 0;
    std::uint32_t apUsageSelector = 0;
    std::uint32_t iapVendorId = 0;
    std::uint32_t iapProductId = 0;
    std::uint32_t iapUsageSelector = 0;
    std::array<std::uint8_t, 16> internalImageInfo{};
    std::array<std::uint8_t, 16> externalImageInfo{};

    // The file the record came from and where its trailer lies in it: the
    // images are read from there.
    std::string path;
    TrailerPosition position{};
    std::uint32_t internalImageSize() const;
    std::uint32_t externalImageAddress() const;
    std::uint32_t externalImageSize() const;
};

// The loading sequence: find and descramble the record, parse the identities
// and read the image-info blocks into `p`. False when the executable carries
// no valid trailer. The record's command key is for the caller to hand to the
// session that talks to the adapter.
bool loadProgram(ProgramData& p, const std::string& path);
// The same for this executable (programPath()).
bool loadProgram(ProgramData& p);

// A UTF-16 text field of the record up to its first NUL (at most 64 units).
std::u16string recordText(const std::uint16_t (&field)[64]);

} // namespace image
