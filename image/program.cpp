#include "image/program.h"

#include "image/trailer.h"
#include "isp/bytes.h"

namespace image {

namespace {

std::uint32_t word(const std::array<std::uint8_t, 16>& block, std::size_t index) {
    return isp::le32(block.data() + index * 4);
}

} // namespace

std::uint32_t ProgramData::internalImageSize() const { return word(internalImageInfo, 1); }
std::uint32_t ProgramData::externalImageAddress() const { return word(externalImageInfo, 0); }
std::uint32_t ProgramData::externalImageSize() const { return word(externalImageInfo, 1); }

bool loadProgram(ProgramData& p) { return loadProgram(p, programPath()); }

bool loadProgram(ProgramData& p, const std::string& path) {
    p.path = path;
    p.position = {};
    if (findProgramInfo(path, p.position, &p.info) == 0) return false;
    p.apVendorId = parseHexField(p.info.apVendorId, sizeof p.info.apVendorId);
    p.apProductId = parseHexField(p.info.apProductId, sizeof p.info.apProductId);
    p.apUsageSelector = parseHexField(p.info.apUsageSelector, sizeof p.info.apUsageSelector);
    p.iapVendorId = parseHexField(p.info.iapVendorId, sizeof p.info.iapVendorId);
    p.iapProductId = parseHexField(p.info.iapProductId, sizeof p.info.iapProductId);
    p.iapUsageSelector = parseHexField(p.info.iapUsageSelector, sizeof p.info.iapUsageSelector);
    // The record was found a moment ago; a file that no longer holds its
    // image-info blocks is as invalid as one without a record.
    return readImageInfo(path, p.position, p.internalImageInfo.data(),
                         p.externalImageInfo.data()) != 0;
}

std::u16string recordText(const std::uint16_t (&field)[64]) {
    std::u16string text;
    for (std::uint16_t unit : field) {
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return text;
}

} // namespace image
