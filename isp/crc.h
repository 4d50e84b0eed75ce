// CRC-16 with polynomial 0x1021, MSB first, no reflection, no final XOR; with
// seed 0 it is CRC-16/XMODEM. Shared by the link and the simulated adapter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace isp {

std::uint16_t crc16(std::uint16_t seed, const std::uint8_t* bytes, int count);

} // namespace isp
