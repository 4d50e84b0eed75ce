#include "platform/linux/hid_descriptor.h"

#include <algorithm>
#include <map>

namespace platform::hid {

namespace {

// Item tags with their type bits (the prefix byte without its size bits).
enum : std::uint8_t {
    kInput = 0x80,
    kOutput = 0x90,
    kFeature = 0xB0,
    kCollection = 0xA0,
    kEndCollection = 0xC0,
    kUsagePage = 0x04,
    kReportSize = 0x74,
    kReportId = 0x84,
    kReportCount = 0x94,
    kPush = 0xA4,
    kPop = 0xB4,
    kUsage = 0x08,
    kLongItem = 0xFE,
};

constexpr std::uint8_t kApplicationCollection = 0x01;
// With its report-ID byte a report's length must fit 16 bits, as Windows
// gives it: 65534 data bytes at most (one more would wrap the length to 0).
// Also keeps the bit sums well inside 64 bits.
constexpr std::uint64_t kMostReportBits = 8u * 65534u;
constexpr std::size_t kMostPushes = 32;

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

struct Parser {
    ReportDescriptor out;
    Globals globals;
    std::vector<Globals> pushed;
    std::uint32_t usage = 0;
    bool haveUsage = false;
    int depth = 0;
    // Bits of each report (by ID; 0 without IDs) in the open top-level
    // collection, per kind: input, output, feature.
    std::map<std::uint32_t, std::uint64_t> bits[3];
    // A report item seen before any report ID.
    bool unnumbered = false;

    bool fail(std::size_t at, const std::string& what) {
        out.error = what + " at byte " + std::to_string(at);
        return false;
    }

    static std::uint16_t byteLength(const std::map<std::uint32_t, std::uint64_t>& reports) {
        std::uint64_t most = 0;
        for (const auto& [id, n] : reports)
            most = std::max(most, n);
        // Windows counts the report-ID byte whether or not IDs are used.
        return most == 0 ? 0 : static_cast<std::uint16_t>((most + 7) / 8 + 1);
    }

    bool main(std::size_t at, std::uint8_t tag, std::uint32_t value) {
        switch (tag) {
        case kCollection:
            if (depth == 0) {
                if (value != kApplicationCollection)
                    return fail(at, "top-level collection that is not an application collection");
                TopLevelCollection c;
                // A usage of four bytes carries its own page in the upper half.
                c.usagePage =
                    static_cast<std::uint16_t>(usage > 0xFFFF ? usage >> 16 : globals.usagePage);
                c.usage = static_cast<std::uint16_t>(usage & 0xFFFF);
                out.collections.push_back(c);
                for (auto& kind : bits)
                    kind.clear();
            }
            ++depth;
            break;
        case kEndCollection:
            if (depth == 0) return fail(at, "end of a collection that was never opened");
            if (--depth == 0) {
                TopLevelCollection& c = out.collections.back();
                c.inputReportLength = byteLength(bits[0]);
                c.outputReportLength = byteLength(bits[1]);
                c.featureReportLength = byteLength(bits[2]);
            }
            break;
        case kInput:
        case kOutput:
        case kFeature: {
            if (depth == 0) return fail(at, "report item outside any collection");
            const int kind = tag == kInput ? 0 : (tag == kOutput ? 1 : 2);
            if (globals.reportId == 0) unnumbered = true;
            std::uint64_t& n = bits[kind][globals.reportId];
            n += static_cast<std::uint64_t>(globals.reportSize) * globals.reportCount;
            if (n > kMostReportBits) return fail(at, "report of 65535 bytes or more");
            break;
        }
        default:
            break; // reserved main items carry nothing the link needs
        }
        haveUsage = false;
        usage = 0;
        return true;
    }

    bool global(std::size_t at, std::uint8_t tag, std::uint32_t value) {
        switch (tag) {
        case kUsagePage:
            globals.usagePage = value;
            break;
        case kReportSize:
            if (value > kMostReportBits) return fail(at, "report size too large");
            globals.reportSize = value;
            break;
        case kReportCount:
            if (value > kMostReportBits) return fail(at, "report count too large");
            globals.reportCount = value;
            break;
        case kReportId:
            if (value == 0 || value > 255) return fail(at, "report ID outside 1 to 255");
            globals.reportId = value;
            out.usesReportIds = true;
            break;
        case kPush:
            if (pushed.size() == kMostPushes) return fail(at, "too many pushes");
            pushed.push_back(globals);
            break;
        case kPop:
            if (pushed.empty()) return fail(at, "pop without a push");
            globals = pushed.back();
            pushed.pop_back();
            break;
        default:
            break;
        }
        return true;
    }

    bool run(const std::uint8_t* bytes, std::size_t length) {
        std::size_t at = 0;
        while (at < length) {
            const std::uint8_t prefix = bytes[at];
            if (prefix == kLongItem) {
                // Long items (no standard tags use them) are skipped whole.
                if (length - at < 3) return fail(at, "truncated long item");
                const std::size_t size = bytes[at + 1];
                if (length - at - 3 < size) return fail(at, "truncated long item");
                at += 3 + size;
                continue;
            }
            const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
            if (length - at - 1 < size) return fail(at, "truncated item");
            std::uint32_t value = 0;
            for (std::size_t i = 0; i < size; ++i)
                value |= static_cast<std::uint32_t>(bytes[at + 1 + i]) << (8 * i);
            const std::uint8_t tag = prefix & 0xFC;
            bool ok = true;
            switch ((prefix >> 2) & 3) {
            case 0:
                ok = main(at, tag, value);
                break;
            case 1:
                ok = global(at, tag, value);
                break;
            case 2:
                if (tag == kUsage && !haveUsage) {
                    usage = value;
                    haveUsage = true;
                }
                break;
            default:
                ok = fail(at, "reserved item type");
                break;
            }
            if (!ok) return false;
            at += 1 + size;
        }
        if (depth != 0) return fail(at, "collection not closed");
        if (out.collections.empty()) return fail(at, "no top-level collection");
        // Windows refuses such a device; so does the link, so that both
        // systems see the same adapters.
        if (out.usesReportIds && unnumbered)
            return fail(at, "reports both with and without report IDs");
        return true;
    }
};

} // namespace

ReportDescriptor parseReportDescriptor(const std::uint8_t* bytes, std::size_t length) {
    Parser parser;
    if (bytes == nullptr) length = 0;
    if (!parser.run(bytes, length)) parser.out.collections.clear();
    return parser.out;
}

} // namespace platform::hid
