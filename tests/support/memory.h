// Memory comparisons that say where they differ ("at 0x2040: 0x3A, expected
// 0xFF") instead of "false"; `base` is the address of memory[0].
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

namespace testing_support {

template <typename Memory, typename Bytes>
::testing::AssertionResult holds(const Memory& memory, std::size_t at, const Bytes& expected,
                                 unsigned long long base = 0) {
    if (at + std::size(expected) > std::size(memory))
        return ::testing::AssertionFailure() << "the bytes run past the memory's end";
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const unsigned got = memory[at + i], want = expected[i];
        if (got == want) continue;
        char text[64];
        std::snprintf(text, sizeof text, "at 0x%llX: 0x%02X, expected 0x%02X", base + at + i, got,
                      want);
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

} // namespace testing_support
