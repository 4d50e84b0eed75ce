// What the executable carries to the adapter and how it is written there:
// the update images in word-padded buffers, the version record, and the
// version comparison of "/p".
#pragma once

#include "image/program.h"

#include <cstdint>
#include <string>
#include <vector>

namespace steps {

// The version text holds at most this many bytes.
inline constexpr std::uint32_t kMaxVersionBytes = 128;

// The images an update writes, read from the trailer into word-padded
// buffers.
struct UpdateImages {
    bool ready = false;
    std::vector<std::uint8_t> internal;
    std::vector<std::uint8_t> external;
};

// Reads and checks the images the update will write. False when the
// trailer's sizes do not fit in the file or the read fails.
bool prepareUpdateImages(const image::ProgramData& p, UpdateImages& images);

// Last address (inclusive) of `bytes` bytes from `start`, extended to the end
// of the 4-byte word holding the last byte.
std::uint32_t wordEnd(std::uint32_t start, std::uint32_t bytes);

// A buffer of `bytes` bytes with room for that extension; the extra bytes are
// 0xFF, the value of erased flash, so programming them changes nothing.
std::vector<std::uint8_t> wordPaddedBuffer(std::uint32_t bytes);

// The new version record: a 32-bit little-endian text length, then the text
// in the ANSI code page (at most 128 bytes), then 0xFF up to the word end.
std::vector<std::uint8_t> versionRecord(const std::u16string& version);

// Upper-cases ASCII letters only, as the version comparison does.
std::u16string upperAscii(std::u16string text);

// The version text as the version record holds it once written: converted to
// the ANSI code page, cut to 128 bytes and read back. A version that the code
// page cannot hold whole, or a longer one, comes back changed.
std::u16string storedVersionText(const std::u16string& version);

// True when the executable's version, in the form the record would hold it,
// is not newer than the adapter's and the adapter has a version at all: the
// update is then skipped. (Compared as written, a version the record cannot
// hold unchanged would never compare equal and every "/p" would update again.)
bool updateNotNewer(const std::u16string& exeVersion, const std::u16string& chipVersion);

// The C runtime's decimal rule: blanks, an optional sign, digits up to the
// first other character; 0 when there are none.
std::int32_t decimalValue(const std::u16string& text);

// A failure text with a range, such as "Erase AP failed! %08X-%08X".
std::u16string addressRange(const char* format, std::uint32_t start, std::uint32_t end);

} // namespace steps
