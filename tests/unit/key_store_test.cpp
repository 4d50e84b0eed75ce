// The command key store: each test on a session of its own, and the exported
// operations on the default session.
#include "brisklink/isp.h"
#include "isp/session.h"

#include <gtest/gtest.h>

#include <array>

namespace {

class CommandKeyStore : public ::testing::Test {
  protected:
    isp::Session session_;
    const isp::LinkState& state_ = session_.state;
};

TEST_F(CommandKeyStore, StartsKeyedWithSixtyFourZeroBytes) {
    EXPECT_EQ(state_.commandKeyLength, 64);
    EXPECT_EQ(state_.commandKeyEnabled, 1);
    EXPECT_EQ(state_.commandKey, (std::array<std::uint8_t, 64>{}));
}

TEST_F(CommandKeyStore, LengthUsesItsLowSixteenBitsAndIsCutToTheStore) {
    std::array<std::uint8_t, 80> key{};
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(session_.setCommandKey(key.data(), 0x10010), 0);
    EXPECT_EQ(state_.commandKeyLength, 16);
    EXPECT_EQ(state_.commandKey[15], 16);
    EXPECT_EQ(state_.commandKey[16], 0);

    EXPECT_EQ(session_.setCommandKey(key.data(), 80), 0);
    EXPECT_EQ(state_.commandKeyLength, 64);
    EXPECT_EQ(state_.commandKey[63], 64);
}

TEST_F(CommandKeyStore, ALaterKeyReplacesOnlyItsOwnBytes) {
    const std::array<std::uint8_t, 8> first{1, 2, 3, 4, 5, 6, 7, 8};
    const std::array<std::uint8_t, 3> second{9, 9, 9};
    session_.setCommandKey(first.data(), 8);
    session_.setCommandKey(second.data(), 3);
    EXPECT_EQ(state_.commandKeyLength, 3);
    EXPECT_EQ(state_.commandKey[2], 9);
    EXPECT_EQ(state_.commandKey[3], 4);
    // A null key changes nothing instead of crashing.
    EXPECT_EQ(session_.setCommandKey(nullptr, 5), 0);
    EXPECT_EQ(state_.commandKeyLength, 3);
    EXPECT_EQ(session_.enableCommandKey(0), 0);
    EXPECT_EQ(state_.commandKeyEnabled, 0);
}

TEST_F(CommandKeyStore, TheExportsKeepTheDefaultSessionsKey) {
    const auto& s = isp::defaultSession().state;
    const std::array<std::uint8_t, 4> key{7, 7, 7, 7};
    EXPECT_EQ(CRYPT_SetCommandKey(key.data(), 4), 0);
    EXPECT_EQ(CRYPT_EnableCommandKey(0), 0);
    EXPECT_EQ(s.commandKeyLength, 4);
    EXPECT_EQ(s.commandKey[3], 7);
    EXPECT_EQ(s.commandKeyEnabled, 0);
    // Left as the process starts, for whatever runs next.
    const std::array<std::uint8_t, 64> zeros{};
    CRYPT_SetCommandKey(zeros.data(), 64);
    CRYPT_EnableCommandKey(1);
}

} // namespace
