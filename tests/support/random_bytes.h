// Reproducible pseudo-random test data, shared by every test program.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace testing_support {

inline std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

} // namespace testing_support
