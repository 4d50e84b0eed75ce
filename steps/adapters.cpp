#include "steps/adapters.h"

#include "isp/session.h"

#include <cstdio>

namespace steps {

namespace hid = platform::hid;

namespace {

// Whether the device at `path` is the adapter with this identity: asked of
// the system where it tells without opening, otherwise opened for its
// attributes; then its usage page and report lengths.
bool isAdapter(hid::Bus& bus, const std::string& path, std::uint32_t vendorId,
               std::uint32_t productId, std::uint32_t usageSelector) {
    hid::Attributes id;
    if (!bus.identity(path, id)) {
        const hid::Handle h = bus.open(path, hid::OpenMode::Info);
        if (h == hid::kInvalidHandle) return false;
        const bool known = bus.attributes(h, id);
        bus.close(h);
        if (!known) return false;
    }
    if (id.vendorId != vendorId || id.productId != productId) return false;
    const hid::Handle h = bus.open(path, hid::OpenMode::Info);
    if (h == hid::kInvalidHandle) return false;
    hid::Capabilities caps;
    const bool described = bus.capabilities(h, caps);
    bus.close(h);
    return described && caps.usagePage == isp::kVendorUsagePageBase + (usageSelector & 0xFF) &&
           caps.inputReportLength == isp::kReportSize &&
           caps.outputReportLength == isp::kReportSize;
}

} // namespace

std::vector<FoundAdapter> listAdapters(hid::Bus& bus, const image::ProgramData& p) {
    std::vector<FoundAdapter> found;
    for (const std::string& path : bus.enumerate()) {
        FoundAdapter a;
        if (p.apVendorId != 0 && p.apProductId != 0 &&
            isAdapter(bus, path, p.apVendorId, p.apProductId, p.apUsageSelector)) {
            a = {bus.location(path), false, static_cast<std::uint16_t>(p.apVendorId),
                 static_cast<std::uint16_t>(p.apProductId)};
        } else if (isAdapter(bus, path, p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
            a = {bus.location(path), true, static_cast<std::uint16_t>(p.iapVendorId),
                 static_cast<std::uint16_t>(p.iapProductId)};
        } else {
            continue;
        }
        bool seen = false;
        for (const FoundAdapter& f : found)
            seen = seen || f.location == a.location;
        if (!seen) found.push_back(a);
    }
    return found;
}

std::string adapterLine(const FoundAdapter& adapter) {
    char id[16];
    std::snprintf(id, sizeof id, "%04X:%04X", adapter.vendorId, adapter.productId);
    return adapter.location + "  " + (adapter.loader ? "loader" : "application") + "  " + id;
}

bool pickAdapter(Run& run) {
    const std::vector<FoundAdapter> all = listAdapters(run.session.bus(), run.program);
    if (all.empty()) return false;
    const FoundAdapter* pick = &all.front();
    for (const FoundAdapter& a : all)
        if (!a.loader) {
            pick = &a;
            break;
        }
    run.session.follow(pick->location);
    return true;
}

} // namespace steps
