#include "tools/trailer_builder.h"

#include "isp/bytes.h"

#include <cstring>

namespace pack {

namespace {

void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes,
            const image::Key& key) {
    const std::size_t at = out.size();
    out.insert(out.end(), bytes.begin(), bytes.end());
    image::descramble(out.data() + at, bytes.size(), key);
}

} // namespace

std::vector<std::uint8_t> buildTrailer(const TrailerContent& content) {
    const image::Key& key = content.imageKey;
    std::vector<std::uint8_t> out;
    out.reserve(content.externalImage.size() + content.internalImage.size() +
                image::kFixedTrailerSize);
    append(out, content.externalImage, key);
    append(out, content.internalImage, key);

    std::vector<std::uint8_t> externalInfo(image::kImageInfoSize, 0);
    isp::putLe32(externalInfo.data(), content.externalAddress);
    isp::putLe32(externalInfo.data() + 4, static_cast<std::uint32_t>(content.externalImage.size()));
    std::vector<std::uint8_t> internalInfo(image::kImageInfoSize, 0);
    isp::putLe32(internalInfo.data() + 4, static_cast<std::uint32_t>(content.internalImage.size()));
    append(out, externalInfo, key);
    append(out, internalInfo, key);

    std::vector<std::uint8_t> block(image::kBlockSize, 0);
    std::memcpy(block.data(), &content.info, image::kRecordSize);
    image::descramble(block.data(), image::kScrambledBlockBytes, key);
    const image::Key& inA = content.keySlot == KeySlot::A ? key : content.decoy;
    const image::Key& inB = content.keySlot == KeySlot::B ? key : content.decoy;
    for (int i = 0; i < 4; ++i) {
        block[image::kCandidateAOffset + i] = inA[i] ^ image::kKeyMask[i];
        block[image::kCandidateBOffset + i] = inB[i] ^ image::kKeyMask[i];
        block[image::kMarkerOffset + i] = image::kMarker[i] ^ key[i];
    }
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

void setHexField(char* field, std::size_t capacity, std::string_view hexDigits) {
    if (hexDigits.size() >= 2 && hexDigits[0] == '0' &&
        (hexDigits[1] == 'x' || hexDigits[1] == 'X'))
        hexDigits.remove_prefix(2);
    if (hexDigits.empty()) throw std::invalid_argument("empty hexadecimal value");
    if (hexDigits.size() > capacity)
        throw std::invalid_argument("more than " + std::to_string(capacity) +
                                    " hexadecimal digits");
    for (char c : hexDigits) {
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit)
            throw std::invalid_argument("'" + std::string(hexDigits) + "' is not hexadecimal");
    }
    std::memset(field, 0, capacity);
    std::memcpy(field, hexDigits.data(), hexDigits.size());
}

void setTextField(std::uint16_t (&field)[64], std::u16string_view text) {
    // One unit stays free for the terminating NUL.
    if (text.size() > 63)
        throw std::invalid_argument("longer than 63 UTF-16 code units (" +
                                    std::to_string(text.size()) + ")");
    if (text.find(u'\0') != std::u16string_view::npos)
        throw std::invalid_argument("contains a NUL character");
    std::memset(field, 0, sizeof field);
    for (std::size_t i = 0; i < text.size(); ++i)
        field[i] = text[i];
}

} // namespace pack
