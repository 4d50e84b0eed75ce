#include "isp/crc.h"

#include <algorithm>
#include <array>
#include <vector>

namespace isp {

namespace {

constexpr std::array<std::uint16_t, 256> makeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr auto kTable = makeTable();

} // namespace

std::uint16_t crc16(std::uint16_t seed, const std::uint8_t* bytes, int count) {
    std::uint16_t crc = seed;
    for (int i = 0; i < count; ++i)
        crc = static_cast<std::uint16_t>(kTable[((crc >> 8) ^ bytes[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

std::uint16_t areaDigest(const std::uint8_t* image, std::size_t imageBytes, std::size_t areaBytes) {
    std::vector<std::uint8_t> area(areaBytes, 0xFF);
    std::copy_n(image, std::min(imageBytes, areaBytes), area.begin());
    return crc16(0, area.data(), static_cast<int>(area.size()));
}

} // namespace isp
