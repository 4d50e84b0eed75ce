#include "steps/adapters.h"

#include "isp/probe.h"
#include "isp/session.h"
#include "platform/text.h"

#include <cstdio>

namespace steps {

namespace hid = platform::hid;

namespace {

constexpr const char* kOtherIdentity = "another identity";

// Why the device at `path` is not the adapter with this identity, in a few
// words; empty when it is (the discovery's own probe). `id` gets the
// identity found.
std::string whyNot(hid::Bus& bus, const std::string& path, std::uint32_t vendorId,
                   std::uint32_t productId, std::uint32_t usageSelector, hid::Attributes& id) {
    const isp::Probe p = isp::probeDevice(bus, path, vendorId, productId, usageSelector);
    id = p.identity;
    const unsigned page = isp::kVendorUsagePageBase + (usageSelector & 0xFF);
    char text[96] = "";
    switch (p.verdict) {
    case isp::Verdict::Adapter:
        return {};
    case isp::Verdict::OtherIdentity:
        return kOtherIdentity;
    case isp::Verdict::NoIdentity:
        return "does not tell its identity";
    case isp::Verdict::CannotOpen:
    case isp::Verdict::CannotOpenForReports:
    case isp::Verdict::Stopped:
        return "cannot be opened";
    case isp::Verdict::NoReports:
        return "does not describe its reports";
    case isp::Verdict::OtherUsagePage:
        std::snprintf(text, sizeof text, "usage page %04X, not %04X (selector %02X)",
                      p.caps.usagePage, page, usageSelector & 0xFF);
        break;
    case isp::Verdict::OtherReportLength:
        std::snprintf(text, sizeof text, "reports of %u/%u bytes, not %u", p.caps.inputReportLength,
                      p.caps.outputReportLength, static_cast<unsigned>(isp::kReportSize));
        break;
    }
    return text;
}

bool isAdapter(hid::Bus& bus, const std::string& path, std::uint32_t vendorId,
               std::uint32_t productId, std::uint32_t usageSelector) {
    hid::Attributes id;
    return whyNot(bus, path, vendorId, productId, usageSelector, id).empty();
}

// A device's serial number as it gave it, cut to 64 characters (a serial
// number needs no more); it is shown through platform::shown.
std::string serialText(const std::string& text) {
    std::u16string units = platform::utf8ToUtf16(text);
    if (units.size() > 64) units.resize(units[63] >= 0xD800 && units[63] <= 0xDBFF ? 63 : 64);
    return platform::utf16ToUtf8(units);
}

std::string hex4(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

} // namespace

std::vector<FoundAdapter> listAdapters(hid::Bus& bus, const image::ProgramData& p) {
    std::vector<FoundAdapter> found;
    for (const std::string& path : bus.enumerate()) {
        FoundAdapter a;
        if (p.apVendorId != 0 && p.apProductId != 0 &&
            isAdapter(bus, path, p.apVendorId, p.apProductId, p.apUsageSelector)) {
            a = {bus.location(path),
                 false,
                 static_cast<std::uint16_t>(p.apVendorId),
                 static_cast<std::uint16_t>(p.apProductId),
                 {}};
        } else if (isAdapter(bus, path, p.iapVendorId, p.iapProductId, p.iapUsageSelector)) {
            a = {bus.location(path),
                 true,
                 static_cast<std::uint16_t>(p.iapVendorId),
                 static_cast<std::uint16_t>(p.iapProductId),
                 {}};
        } else {
            continue;
        }
        a.serial = serialText(bus.serial(path));
        bool seen = false;
        for (const FoundAdapter& f : found)
            seen = seen || f.location == a.location;
        if (!seen) found.push_back(a);
    }
    return found;
}

std::string identityText(const FoundAdapter& adapter) {
    char id[16];
    std::snprintf(id, sizeof id, "%04X:%04X", adapter.vendorId, adapter.productId);
    return id;
}

std::string adapterLine(const FoundAdapter& adapter) {
    return adapter.location + "  " + (adapter.loader ? "loader" : "application") + "  " +
           identityText(adapter) + "  " +
           (adapter.serial.empty() ? "-" : platform::shown(adapter.serial));
}

std::string searchReport(hid::Bus& bus, const image::ProgramData& p) {
    if (std::string why = bus.unreachable(); !why.empty()) return why;
    std::string seen;
    for (const std::string& path : bus.enumerate()) {
        hid::Attributes id;
        std::string why = whyNot(bus, path, p.apVendorId, p.apProductId, p.apUsageSelector, id);
        if (id.vendorId != p.apVendorId && id.vendorId != p.iapVendorId) continue;
        if (id.productId == p.iapProductId)
            why = whyNot(bus, path, p.iapVendorId, p.iapProductId, p.iapUsageSelector, id);
        // The adapter itself: the search failed for another reason, which
        // is said where it is known.
        if (why.empty()) return {};
        if (why == kOtherIdentity)
            why = "product " + hex4(id.productId) + " is neither the application's (" +
                  hex4(p.apProductId) + ") nor the loader's (" + hex4(p.iapProductId) + ")";
        seen += (seen.empty() ? "" : "; ") + hex4(id.vendorId) + ":" + hex4(id.productId) + " at " +
                bus.location(path) + ": " + why;
    }
    if (seen.empty()) return "no HID device of vendor " + hex4(p.apVendorId) + " is on the bus";
    return "devices of vendor " + hex4(p.apVendorId) + " not taken: " + seen;
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
