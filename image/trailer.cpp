#include "image/trailer.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace image {

void descramble(std::uint8_t* data, std::size_t count, const Key& key) {
    for (std::size_t i = 0; i < count; ++i)
        data[i] ^= static_cast<std::uint8_t>(key[i % 4] ^ (i % 256));
}

std::uint32_t parseHexField(const char* field, std::size_t length) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = field[i];
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else
            break;
        value = (value << 4) | digit;
    }
    return value;
}

namespace {

// The marker test on the 20 bytes at block offsets 628..647. Candidate B is
// tried first, so it supplies the key when both would pass.
bool keyFromTail(const std::uint8_t* tail, Key& key) {
    const std::uint8_t* candidateA = tail + (kCandidateAOffset - kCandidateAOffset);
    const std::uint8_t* candidateB = tail + (kCandidateBOffset - kCandidateAOffset);
    const std::uint8_t* marker = tail + (kMarkerOffset - kCandidateAOffset);
    Key a{}, b{};
    for (int i = 0; i < 4; ++i) {
        a[i] = candidateA[i] ^ kKeyMask[i];
        b[i] = candidateB[i] ^ kKeyMask[i];
    }
    auto passes = [&](const Key& k) {
        for (int i = 0; i < 4; ++i)
            if ((marker[i] ^ k[i]) != kMarker[i]) return false;
        return true;
    };
    if (passes(b)) {
        key = b;
        return true;
    }
    if (passes(a)) {
        key = a;
        return true;
    }
    return false;
}

constexpr std::size_t kTailBytes = kBlockSize - kCandidateAOffset; // 20
constexpr std::int64_t kPositionsPerRead = 64 * 1024;

} // namespace

int findProgramInfo(const std::string& path, TrailerPosition& position, ProgramInfo* info) {
    if (info == nullptr || path.empty()) return 0;
    platform::InputFile file(path);
    if (!file.isOpen()) return 0;
    const std::int64_t size = file.size();

    // Block start positions are tried from the kept offset towards the start of
    // the file, one byte at a time; the last one tried starts at offset 1. The
    // file is opened once and read in windows instead of once per position.
    std::int64_t high = size - static_cast<std::int64_t>(position.trailerOffset) -
                        static_cast<std::int64_t>(kBlockSize);
    std::vector<std::uint8_t> window;
    Key key{};
    std::int64_t found = -1;
    while (high >= 1 && found < 0) {
        const std::int64_t low = std::max<std::int64_t>(1, high - kPositionsPerRead + 1);
        const std::size_t length = static_cast<std::size_t>(high - low) + kTailBytes;
        window.resize(length);
        if (!file.readAt(low + static_cast<std::int64_t>(kCandidateAOffset), window.data(), length))
            break;
        for (std::int64_t p = high; p >= low; --p) {
            if (keyFromTail(window.data() + (p - low), key)) {
                found = p;
                break;
            }
        }
        high = low - 1;
    }

    std::array<std::uint8_t, kBlockSize> block{};
    if (found < 0 || !file.readAt(found, block.data(), block.size())) {
        // Nothing usable: the next call searches again from the end of the file.
        position = TrailerPosition{};
        return 0;
    }
    position.trailerOffset =
        static_cast<std::uint32_t>(size - found - static_cast<std::int64_t>(kBlockSize));
    position.imageKey = key;
    position.valid = true;
    descramble(block.data(), kScrambledBlockBytes, key);
    std::memcpy(info, block.data(), kRecordSize);
    return 1;
}

namespace {

// File offset where the trailer ends, or -1 when the file does not hold the
// fixed part of the trailer found before.
std::int64_t trailerEnd(platform::InputFile& file, const TrailerPosition& position) {
    if (!position.valid || !file.isOpen()) return -1;
    const std::int64_t size = file.size();
    const std::int64_t end = size - static_cast<std::int64_t>(position.trailerOffset);
    if (size < 0 || end < static_cast<std::int64_t>(kFixedTrailerSize)) return -1;
    return end;
}

bool fits(std::int64_t end, std::uint32_t internalSize, std::uint32_t externalSize) {
    return static_cast<std::int64_t>(kFixedTrailerSize) + internalSize + externalSize <= end;
}

} // namespace

int readImageInfo(const std::string& path, const TrailerPosition& position,
                  std::uint8_t* internalInfo, std::uint8_t* externalInfo) {
    if (internalInfo == nullptr || externalInfo == nullptr) return 0;
    platform::InputFile file(path);
    const std::int64_t end = trailerEnd(file, position);
    if (end < 0) return 0;
    std::array<std::uint8_t, 2 * kImageInfoSize> both{};
    if (!file.readAt(end - static_cast<std::int64_t>(kFixedTrailerSize), both.data(), both.size()))
        return 0;
    // External block first in the file, internal block after it.
    descramble(both.data() + kImageInfoSize, kImageInfoSize, position.imageKey);
    descramble(both.data(), kImageInfoSize, position.imageKey);
    std::memcpy(internalInfo, both.data() + kImageInfoSize, kImageInfoSize);
    std::memcpy(externalInfo, both.data(), kImageInfoSize);
    return 1;
}

int readImages(const std::string& path, const TrailerPosition& position, std::uint32_t internalSize,
               std::uint32_t externalSize, std::uint8_t* internalImage,
               std::uint8_t* externalImage) {
    if ((internalSize != 0 && internalImage == nullptr) ||
        (externalSize != 0 && externalImage == nullptr))
        return 0;
    platform::InputFile file(path);
    const std::int64_t end = trailerEnd(file, position);
    if (end < 0 || !fits(end, internalSize, externalSize)) return 0;
    const std::int64_t internalAt =
        end - static_cast<std::int64_t>(kFixedTrailerSize) - internalSize;
    if (internalSize != 0) {
        if (!file.readAt(internalAt, internalImage, internalSize)) return 0;
        descramble(internalImage, internalSize, position.imageKey);
    }
    if (externalSize != 0) {
        if (!file.readAt(internalAt - externalSize, externalImage, externalSize)) return 0;
        descramble(externalImage, externalSize, position.imageKey);
    }
    return 1;
}

bool imagesFit(const std::string& path, const TrailerPosition& position, std::uint32_t internalSize,
               std::uint32_t externalSize) {
    platform::InputFile file(path);
    const std::int64_t end = trailerEnd(file, position);
    return end >= 0 && fits(end, internalSize, externalSize);
}

TrailerPosition& processTrailer() {
    static TrailerPosition position;
    return position;
}

namespace {
std::string& pathOverride() {
    static std::string path;
    return path;
}
} // namespace

std::string programPath() {
    return pathOverride().empty() ? platform::executablePath() : pathOverride();
}

void setProgramPath(std::string path) { pathOverride() = std::move(path); }

} // namespace image
