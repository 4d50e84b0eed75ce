// The command key store through its exported operations.
#include "brisklink/isp.h"
#include "isp/session.h"

#include <gtest/gtest.h>

#include <array>

namespace {

TEST(CommandKeyStore, StartsKeyedWithSixtyFourZeroBytes) {
    const auto& s = isp::defaultSession().state;
    EXPECT_EQ(s.commandKeyLength, 64);
    EXPECT_EQ(s.commandKeyEnabled, 1);
    EXPECT_EQ(s.commandKey, (std::array<std::uint8_t, 64>{}));
}

TEST(CommandKeyStore, LengthUsesItsLowSixteenBitsAndIsCutToTheStore) {
    std::array<std::uint8_t, 80> key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(CRYPT_SetCommandKey(key.data(), 0x10010), 0);
    EXPECT_EQ(isp::defaultSession().state.commandKeyLength, 16);
    EXPECT_EQ(isp::defaultSession().state.commandKey[15], 16);
    EXPECT_EQ(isp::defaultSession().state.commandKey[16], 0);

    EXPECT_EQ(CRYPT_SetCommandKey(key.data(), 80), 0);
    EXPECT_EQ(isp::defaultSession().state.commandKeyLength, 64);
    EXPECT_EQ(isp::defaultSession().state.commandKey[63], 64);
}

TEST(CommandKeyStore, ALaterKeyReplacesOnlyItsOwnBytes) {
    const std::array<std::uint8_t, 8> first{1, 2, 3, 4, 5, 6, 7, 8};
    const std::array<std::uint8_t, 3> second{9, 9, 9};
    CRYPT_SetCommandKey(first.data(), 8);
    CRYPT_SetCommandKey(second.data(), 3);
    const auto& s = isp::defaultSession().state;
    EXPECT_EQ(s.commandKeyLength, 3);
    EXPECT_EQ(s.commandKey[2], 9);
    EXPECT_EQ(s.commandKey[3], 4);
    // A null key changes nothing instead of crashing.
    EXPECT_EQ(CRYPT_SetCommandKey(nullptr, 5), 0);
    EXPECT_EQ(s.commandKeyLength, 3);
    EXPECT_EQ(CRYPT_EnableCommandKey(0), 0);
    EXPECT_EQ(s.commandKeyEnabled, 0);
}

} // namespace
