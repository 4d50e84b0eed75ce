// The trailer appended to the updater executable: its layout, the scrambling
// rule and the search for the program-information block.
#pragma once

#include "brisklink/isp.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace image {

inline constexpr std::size_t kRecordSize = 628;
inline constexpr std::size_t kBlockSize = 648;
inline constexpr std::size_t kImageInfoSize = 16;
// Program-information block plus the two image-info blocks.
inline constexpr std::size_t kFixedTrailerSize = kBlockSize + 2 * kImageInfoSize;
// Offsets inside the program-information block.
inline constexpr std::size_t kCandidateAOffset = 628;
inline constexpr std::size_t kCandidateBOffset = 632;
inline constexpr std::size_t kMarkerOffset = 644;
// The record and the reserved bytes run under one descrambling index.
inline constexpr std::size_t kScrambledBlockBytes = 644;

using Key = std::array<std::uint8_t, 4>;

inline constexpr Key kKeyMask{'K', 'm', 'W', 'd'};
inline constexpr Key kMarker{'Q', 'V', 'T', 'R'};

static_assert(sizeof(ProgramInfo) == kRecordSize);
static_assert(offsetof(ProgramInfo, apVendorId) == 0);
static_assert(offsetof(ProgramInfo, apProductId) == 8);
static_assert(offsetof(ProgramInfo, apUsageSelector) == 16);
static_assert(offsetof(ProgramInfo, iapVendorId) == 20);
static_assert(offsetof(ProgramInfo, iapProductId) == 28);
static_assert(offsetof(ProgramInfo, iapUsageSelector) == 36);
static_assert(offsetof(ProgramInfo, firmwareVersion) == 40);
static_assert(offsetof(ProgramInfo, windowTitle) == 168);
static_assert(offsetof(ProgramInfo, headline) == 296);
static_assert(offsetof(ProgramInfo, notice) == 424);
static_assert(offsetof(ProgramInfo, digest) == 552);
static_assert(offsetof(ProgramInfo, commandKey) == 554);
static_assert(offsetof(ProgramInfo, commandKeyLength) == 618);
static_assert(offsetof(ProgramInfo, commandKeyEnabled) == 620);
static_assert(offsetof(ProgramInfo, digestCheckEnabled) == 624);

// byte i ^= key[i % 4] ^ (i % 256); its own inverse, so it also scrambles.
void descramble(std::uint8_t* data, std::size_t count, const Key& key);

// Reads a hexadecimal identity field: at most `length` characters, most
// significant digit first, stopping at the first non-digit.
std::uint32_t parseHexField(const char* field, std::size_t length);

// Where the last search found the trailer. `valid` is false until a search
// succeeds; the readers refuse to run without it.
struct TrailerPosition {
    std::uint32_t trailerOffset = 0; // bytes after the trailer's end
    Key imageKey{};
    bool valid = false;
};

// The three trailer operations on a given file. Each opens the file, reads
// what it needs and closes it again; each returns 1 for success, 0 otherwise
// and never reads outside the file.
int findProgramInfo(const std::string& path, TrailerPosition& position, ProgramInfo* info);
int readImageInfo(const std::string& path, const TrailerPosition& position,
                  std::uint8_t* internalInfo, std::uint8_t* externalInfo);
int readImages(const std::string& path, const TrailerPosition& position, std::uint32_t internalSize,
               std::uint32_t externalSize, std::uint8_t* internalImage,
               std::uint8_t* externalImage);
// True when images of these sizes fit in the file before the trailer, so that a
// caller may allocate buffers for them.
bool imagesFit(const std::string& path, const TrailerPosition& position, std::uint32_t internalSize,
               std::uint32_t externalSize);

// The process-wide position that the exported operations use.
TrailerPosition& processTrailer();

// The file the exported operations read: the running executable, unless an
// in-process test pointed them at a packed file of its own.
std::string programPath();
void setProgramPath(std::string path);

} // namespace image
