#include "isp/probe.h"

#include "isp/protocol.h"

namespace isp {

namespace hid = platform::hid;

Probe probeDevice(hid::Bus& bus, const std::string& path, std::uint32_t vendorId,
                  std::uint32_t productId, std::uint32_t usageSelector, bool keepOpen,
                  const std::function<bool()>& beforeReports) {
    Probe p;
    if (!bus.identity(path, p.identity)) {
        const hid::Handle h = bus.open(path, hid::OpenMode::Info);
        if (h == hid::kInvalidHandle) return p;
        const bool known = bus.attributes(h, p.identity);
        bus.close(h);
        if (!known) {
            p.verdict = Verdict::NoIdentity;
            return p;
        }
    }
    if (p.identity.vendorId != vendorId || p.identity.productId != productId) {
        p.verdict = Verdict::OtherIdentity;
        return p;
    }
    if (beforeReports && !beforeReports()) {
        p.verdict = Verdict::Stopped;
        return p;
    }
    const hid::Handle h = bus.open(path, hid::OpenMode::Info);
    if (h == hid::kInvalidHandle) {
        p.verdict = Verdict::CannotOpenForReports;
        return p;
    }
    const bool described = bus.capabilities(h, p.caps);
    if (!described)
        p.verdict = Verdict::NoReports;
    else if (p.caps.usagePage != kVendorUsagePageBase + (usageSelector & 0xFF))
        p.verdict = Verdict::OtherUsagePage;
    else if (p.caps.inputReportLength != kReportSize || p.caps.outputReportLength != kReportSize)
        p.verdict = Verdict::OtherReportLength;
    else
        p.verdict = Verdict::Adapter;
    if (p.verdict == Verdict::Adapter && keepOpen)
        p.handle = h;
    else
        bus.close(h);
    return p;
}

} // namespace isp
