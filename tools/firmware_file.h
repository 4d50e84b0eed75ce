// Firmware files that carry addresses (Intel HEX, S-records, ELF) read into
// segments, and segments laid out as the trailer's images: the internal image
// from the application start, the external image from its lowest address,
// gaps filled with erased flash (0xFF).
#pragma once

#include "isp/memory_map.h"

#include "image/intel_hex.h"
#include "tools/firmware_form.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pack {

using image::FormatError;
using image::hexAddress;
using image::RecordLines;
using image::Segment;

// S1/S2/S3 data records in address order; S0, S5/S6 (checked against the
// count of data records) and S7/S8/S9 taken too. The file must end with a
// termination or a count record: one without either is cut short.
std::vector<Segment> readSRecord(const std::vector<std::uint8_t>& text);

// The loadable contents of a 32- or 64-bit little-endian ELF file: each
// PT_LOAD segment's file bytes at its physical (load) address, named by the
// sections it holds. Throws FormatError for a file that is not such an ELF,
// whose headers point outside it, or that loads nothing.
std::vector<Segment> readElf(const std::vector<std::uint8_t>& bytes);

// The segments of a file of one of those forms (null for a raw binary,
// which carries no addresses, and for text that is none of them).
std::optional<std::vector<Segment>> readAddressed(FirmwareForm form,
                                                  const std::vector<std::uint8_t>& bytes);

// Where firmware may go: the internal flash's application area
// [appStart, flashEnd) and the external region [externalStart, externalEnd).
struct Regions {
    std::uint32_t appStart = isp::memory::kApplicationStart;
    std::uint64_t flashEnd = isp::memory::kFlashSize;
    std::uint32_t externalStart = isp::memory::kExternalBase;
    std::uint64_t externalEnd = 0x90100000;
    // Named in a refusal of data there (a saved copy's version record).
    std::uint32_t versionAddress = 0x1800;
};

// The image of the segments that lie in one region: from `from` (or from
// the lowest segment when not given) to the end of the highest, gaps 0xFF.
struct Placed {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

// Splits `segments` into the internal and the external image. With
// `internal` or `external` false that image must have no segment. Throws
// FormatError with the addresses named for a segment outside both regions
// (or in the one not wanted), and for an internal image that does not start
// at the application start.
void placeSegments(const std::vector<Segment>& segments, const Regions& regions, bool internal,
                   bool external, Placed& internalImage, Placed& externalImage);

} // namespace pack
