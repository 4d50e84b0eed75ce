// The trailer the in-process tests pack: the simulated adapter's default
// identities, version 2.1.0, `commandKey`, a 10000-byte internal and a
// 3000-byte external image at 0x90000000.
#pragma once

#include "tests/support/random_bytes.h"
#include "tools/trailer_builder.h"

#include <algorithm>

namespace testing_support {

inline pack::TrailerContent sampleTrailer(const std::vector<std::uint8_t>& commandKey) {
    pack::TrailerContent content;
    content.imageKey = {0x21, 0x43, 0x65, 0x87};
    pack::setHexField(content.info.apVendorId, 8, "3F27");
    pack::setHexField(content.info.apProductId, 8, "1004");
    pack::setHexField(content.info.apUsageSelector, 4, "01");
    pack::setHexField(content.info.iapVendorId, 8, "3F27");
    pack::setHexField(content.info.iapProductId, 8, "1005");
    pack::setHexField(content.info.iapUsageSelector, 4, "00");
    pack::setTextField(content.info.firmwareVersion, u"2.1.0");
    std::copy(commandKey.begin(), commandKey.end(), content.info.commandKey);
    content.info.commandKeyLength = static_cast<std::uint16_t>(commandKey.size());
    content.info.commandKeyEnabled = 1;
    content.internalImage = randomBytes(10000, 1);
    content.externalImage = randomBytes(3000, 2);
    content.externalAddress = 0x90000000;
    return content;
}

} // namespace testing_support
