// brisklink-pack's reading side: what a packed updater's trailer carries.
#pragma once

#include "brisklink/isp.h"
#include "image/trailer.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

namespace pack {

// The trailer of the packed updater at `path`, read as the updater reads
// it; false (with the reason on `err`) when there is none.
bool readTrailer(const std::string& path, image::TrailerPosition& position, ProgramInfo& info,
                 std::array<std::uint8_t, 16>& internalInfo,
                 std::array<std::uint8_t, 16>& externalInfo, std::ostream& err);

// `brisklink-pack show`: the trailer as text or JSON on `out`; the exit code.
// With `check`, also the updater's own reading of its images: exit code 1,
// with the reason on `err`, when the updater would refuse this trailer or
// its signature is not intact (or, with `caFile`, its signer does not chain
// to that CA).
int showTrailer(const std::string& path, bool json, std::ostream& out, std::ostream& err,
                bool check = false, const std::string& caFile = {});

} // namespace pack
