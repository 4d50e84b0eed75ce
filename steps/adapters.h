// The adapters on the bus, by location: listed without a report sent to
// any, and the one a run picks when it is not told which.
#pragma once

#include "steps/run.h"

#include <string>
#include <vector>

namespace steps {

struct FoundAdapter {
    std::string location;
    bool loader = false; // in its loader; otherwise running its application
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    // Its USB serial number, printable ASCII only; empty when it has none.
    std::string serial;
};

// Every adapter with one of the release's two identities (usage page and
// 65-byte reports included), in the bus's order, each location once.
std::vector<FoundAdapter> listAdapters(platform::hid::Bus& bus, const image::ProgramData& p);

// "LOCATION  application  VVVV:PPPP  SERIAL" ("-" without a serial).
std::string adapterLine(const FoundAdapter& adapter);
// "VVVV:PPPP".
std::string identityText(const FoundAdapter& adapter);

// After a search that found nothing: what it saw, in one line. The reason
// the bus cannot be reached, or the HID devices with the adapter's vendor ID
// and why each was not taken (identity, usage page, report length), or that
// the bus has none of that vendor. Empty when the adapter is there.
std::string searchReport(platform::hid::Bus& bus, const image::ProgramData& p);

// Picks the adapter the run works on when none was chosen, as the search
// would: the first running its application, else the first in its loader,
// and follows its location. False when there is none on the bus yet.
bool pickAdapter(Run& run);

} // namespace steps
