// The command key store: the secret that the frame CRC folds in. The key comes
// from the trailer's record and never travels over the wire.
#include "isp/session.h"

#include <algorithm>
#include <cstring>

namespace isp {

int Session::setCommandKey(const std::uint8_t* key, int length) {
    // Only the low 16 bits count; more than the store holds is cut to its size
    // rather than written past it.
    const auto requested = static_cast<std::uint16_t>(static_cast<unsigned>(length) & 0xFFFFu);
    const auto count =
        static_cast<std::uint16_t>(std::min<std::size_t>(requested, kCommandKeyCapacity));
    if (key == nullptr && count != 0) return 0;
    if (count != 0) std::memcpy(state.commandKey.data(), key, count);
    state.commandKeyLength = count;
    return 0;
}

int Session::enableCommandKey(int enable) {
    state.commandKeyEnabled = enable;
    return 0;
}

} // namespace isp
