// Memory comparisons that say where they differ: "at 0x2040: 0x3A, expected
// 0xFF" instead of "false".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace testing_support {

// `memory` from `at` holds `expected` (`base` is the address of memory[0]).
template <typename Memory, typename Bytes>
::testing::AssertionResult holds(const Memory& memory, std::size_t at, const Bytes& expected,
                                 std::uint64_t base = 0) {
    const auto begin = std::begin(expected), end = std::end(expected);
    const auto size = static_cast<std::size_t>(std::distance(begin, end));
    if (at + size > std::size(memory))
        return ::testing::AssertionFailure()
               << size << " bytes at " << at << " run past the memory's " << std::size(memory);
    std::size_t i = 0;
    for (auto it = begin; it != end; ++it, ++i) {
        const auto got = static_cast<unsigned>(memory[at + i]);
        if (got == static_cast<unsigned>(*it)) continue;
        char text[96];
        std::snprintf(text, sizeof text, "at 0x%llX: 0x%02X, expected 0x%02X",
                      static_cast<unsigned long long>(base + at + i), got,
                      static_cast<unsigned>(*it));
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

} // namespace testing_support
