// CRC-16 with polynomial 0x1021, MSB first, no reflection, no final XOR; with
// seed 0 it is CRC-16/XMODEM. Shared by the link and the simulated adapter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace isp {

std::uint16_t crc16(std::uint16_t seed, const std::uint8_t* bytes, int count);

// The digest the adapter computes after an update: the CRC-16/XMODEM of an
// area of `areaBytes` that holds `image` from its start and erased bytes
// (0xFF) after it.
std::uint16_t areaDigest(const std::uint8_t* image, std::size_t imageBytes, std::size_t areaBytes);

} // namespace isp
