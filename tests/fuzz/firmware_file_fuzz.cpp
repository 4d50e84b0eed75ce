// A firmware file reader (Intel HEX, S-record or ELF, as FIRMWARE_FORM
// chooses) on arbitrary bytes: it reads or refuses with FormatError, never
// anything else. What it reads is in address order, not overlapping, inside
// the 32-bit space and no more than the file holds; placed into the adapter's
// regions it gives images or a refusal; written as Intel HEX it reads back
// the same.
#include "tests/fuzz/memory_file.h"
#include "tools/firmware_file.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    std::vector<image::Segment> segments;
    try {
        segments = pack::readAddressed(pack::FirmwareForm(FIRMWARE_FORM), bytes).value();
    } catch (const image::FormatError&) {
        return 0;
    }
    std::uint64_t end = 0, total = 0;
    for (const image::Segment& s : segments) {
        fuzz::require(!s.bytes.empty() && s.address >= end && s.end() <= 0x100000000ull);
        end = s.end();
        total += s.bytes.size();
    }
    fuzz::require(total <= size);
    try {
        pack::Placed internal, external;
        pack::placeSegments(segments, pack::Regions{}, true, true, internal, external);
        fuzz::require(internal.bytes.size() <= 0x7E000 && external.bytes.size() <= 0x100000);
    } catch (const image::FormatError&) {
    }
    const std::string hex = image::writeIntelHex(segments);
    const auto again = image::readIntelHex(std::vector<std::uint8_t>(hex.begin(), hex.end()));
    const auto joined = image::joinSegments(segments);
    fuzz::require(std::equal(again.begin(), again.end(), joined.begin(), joined.end(),
                             [](const image::Segment& a, const image::Segment& b) {
                                 return a.address == b.address && a.bytes == b.bytes;
                             }));
    return 0;
}
