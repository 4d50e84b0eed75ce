// The link mask of the authentication exchange, known to the tool and to the
// adapter's loader. The tool never holds the mask as one constant: it derives
// each byte at every exchange through a fresh random permutation from these
// index bytes (see linkMask() in the link).
#pragma once

#include <array>
#include <cstdint>

namespace isp {

inline constexpr std::array<std::uint8_t, 8> kLinkMaskIndex{0x6B, 0xD2, 0x19, 0xA4,
                                                            0x3E, 0xF7, 0x80, 0x5C};

} // namespace isp
