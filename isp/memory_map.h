// The adapter's memory as the release is made for it: the defaults that the
// simulated adapter serves, the packer places firmware files by and `show`
// checks a digest against. The updater itself reads the real values from
// the adapter (information items 1, 6 and 8).
#pragma once

#include <cstdint>

namespace isp::memory {

inline constexpr std::uint32_t kFlashSize = 0x80000;           // 512 KiB internal flash
inline constexpr std::uint32_t kApplicationStart = 0x2000;     // after the loader
inline constexpr std::uint32_t kVersionRecordAddress = 0x1800; // below the application
inline constexpr std::uint32_t kExternalBase = 0x90000000;     // the external flash's window
inline constexpr std::uint32_t kExternalSize = 0x100000;       // 1 MiB
// The updater asks for the digest of the application area up to here
// (inclusive): the area's start is read as 16 bits.
inline constexpr std::uint32_t kDigestAreaEnd = 0x7FFF;

} // namespace isp::memory
