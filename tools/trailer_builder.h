// Builds the trailer that turns an updater executable into a self-contained
// updater: images, image-info blocks and the program-information block, all
// scrambled under one image key.
#pragma once

#include "brisklink/isp.h"
#include "image/trailer.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pack {

enum class KeySlot { A, B };

struct TrailerContent {
    ProgramInfo info{};
    std::vector<std::uint8_t> internalImage;
    std::vector<std::uint8_t> externalImage;
    std::uint32_t externalAddress = 0;
    image::Key imageKey{};
    // Which candidate word carries the key; the other holds `decoy`.
    KeySlot keySlot = KeySlot::B;
    image::Key decoy{};
};

// The bytes to append to an updater executable.
std::vector<std::uint8_t> buildTrailer(const TrailerContent& content);

// Record field helpers; each throws std::invalid_argument with a plain reason
// when the value does not fit its field.
void setHexField(char* field, std::size_t capacity, std::string_view hexDigits);
void setTextField(std::uint16_t (&field)[64], std::u16string_view text);

} // namespace pack
