// The command key store: the secret that the frame CRC folds in. The key comes
// from the trailer's record and never travels over the wire.
#include "isp/isp.h"
#include "isp/link_state.h"

#include <algorithm>
#include <cstring>

extern "C" BRISKLINK_API int CRYPT_SetCommandKey(const uint8_t* key, int length) {
    auto& s = isp::linkState();
    // Only the low 16 bits count; more than the store holds is cut to its size
    // rather than written past it.
    const auto requested = static_cast<std::uint16_t>(static_cast<unsigned>(length) & 0xFFFFu);
    const auto count =
        static_cast<std::uint16_t>(std::min<std::size_t>(requested, isp::kCommandKeyCapacity));
    if (key == nullptr && count != 0) return 0;
    if (count != 0) std::memcpy(s.commandKey.data(), key, count);
    s.commandKeyLength = count;
    return 0;
}

extern "C" BRISKLINK_API int CRYPT_EnableCommandKey(int enable) {
    isp::linkState().commandKeyEnabled = enable;
    return 0;
}
