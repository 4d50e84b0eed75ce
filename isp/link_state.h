// The process-wide state of the device link. One instance lives for the whole
// process; tests may put it back to its start values with resetLinkState().
#pragma once

#include <array>
#include <cstdint>

namespace isp {

inline constexpr std::size_t kCommandKeyCapacity = 64;

struct LinkState {
    // Command key store: folded into every keyed frame CRC, never sent.
    std::array<std::uint8_t, kCommandKeyCapacity> commandKey{};
    std::uint16_t commandKeyLength = kCommandKeyCapacity;
    std::int32_t commandKeyEnabled = 1;
};

LinkState& linkState();
void resetLinkState();

} // namespace isp
