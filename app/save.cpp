// "/save:FILE": what the adapter holds, read back through the loader's read
// command after a complete connection, written as Intel HEX.
#include "app/console.h"
#include "app/progress.h"

#include "image/intel_hex.h"
#include "isp/bytes.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace app {

namespace {

// Reads per call: small enough for the progress line and Ctrl-C to follow
// (a second at full speed), large enough that what each call costs beside
// its data (the rediscovery of every ready check, a bus enumeration, then
// the ready check and the status reply) stays near 2% of the link's time.
constexpr std::uint32_t kChunkBytes = 64 * 1024;
// The version record: its 32-bit length and at most 128 bytes of text.
constexpr std::uint32_t kRecordBytes = 4 + 128;

std::string range(std::uint32_t first, std::uint32_t last) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X-0x%08X", first, last);
    return text;
}

struct Region {
    std::uint32_t address;
    std::uint32_t size;
};

// The application area, the external image's range and the version record;
// with "/range:", that range and the record.
std::vector<Region> regionsOf(const steps::Run& run, const ConsoleSettings& settings) {
    const steps::AdapterState& s = run.state;
    std::vector<Region> regions;
    if (settings.saveRange) {
        const auto [first, last] = *settings.saveRange;
        // A range of the whole 32-bit space is one byte more than 32 bits
        // count: its last byte is left out.
        regions.push_back({first, last - first + (last - first < 0xFFFFFFFFu ? 1u : 0u)});
    } else {
        if (s.chipFlashSize > s.apStartAddress)
            regions.push_back({s.apStartAddress, s.chipFlashSize - s.apStartAddress});
        const std::uint32_t externalSize = run.program.externalImageSize();
        if (externalSize != 0)
            regions.push_back({run.program.externalImageAddress(), externalSize});
    }
    regions.push_back({s.versionRecordAddress, kRecordBytes});
    return regions;
}

// Reads the regions into `segments` a chunk at a time, counting in `done`;
// 1 with the reason in `failure`.
int readRegions(steps::Run& run, const std::vector<Region>& regions,
                std::vector<image::Segment>& segments, std::atomic<std::uint64_t>& done,
                std::string& failure) {
    for (const Region& r : regions) {
        image::Segment segment{r.address, std::vector<std::uint8_t>(r.size), {}};
        for (std::uint32_t at = 0; at < r.size; at += kChunkBytes) {
            const std::uint32_t count = std::min(kChunkBytes, r.size - at);
            const std::uint32_t first = r.address + at, last = first + count - 1;
            if (run.session.stop().requested()) {
                failure = "Interrupted.";
                return 1;
            }
            // A one-byte range is refused by the command: read two, the one
            // before it (or after it, at address 0).
            std::uint8_t pair[2];
            const bool single = count == 1;
            const bool before = first > 0;
            if (run.session.readData(single && before ? first - 1 : first,
                                     single && !before ? last + 1 : last,
                                     single ? pair : segment.bytes.data() + at) != 0) {
                failure = "Reading " + range(first, last) + " failed.";
                return 1;
            }
            if (single) segment.bytes[at] = pair[before ? 1 : 0];
            done += count;
        }
        segments.push_back(std::move(segment));
    }
    return 0;
}

// The application area without its erased tail (a range asked for stays
// whole); the version record as long as it says (its length alone when
// erased or unreadable). Returns the version as the line shows it.
std::u16string trim(std::vector<image::Segment>& segments, bool whole) {
    image::Segment& application = segments.front();
    while (!whole && !application.bytes.empty() && application.bytes.back() == 0xFF)
        application.bytes.pop_back();
    image::Segment& record = segments.back();
    const std::uint8_t* r = record.bytes.data();
    const std::uint32_t length = isp::le32(r);
    std::u16string version = u"erased";
    if (length <= 128)
        version = platform::shown(platform::fromAnsiCodePage(
            std::string_view(reinterpret_cast<const char*>(r + 4), length)));
    record.bytes.resize(length <= 128 ? 4 + length : 4);
    return version;
}

// "Saved 0x00002000-0x0000BFFF (40960 bytes) and the version record (2.1.0)
// to FILE."
std::u16string savedLine(const std::vector<image::Segment>& segments, const std::u16string& version,
                         const std::string& path) {
    std::string saved;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        const image::Segment& segment = segments[i];
        if (segment.bytes.empty()) continue;
        if (!saved.empty()) saved += ", ";
        saved += range(segment.address, static_cast<std::uint32_t>(segment.end() - 1)) + " (" +
                 std::to_string(segment.bytes.size()) + " bytes)";
    }
    return platform::utf8ToUtf16("Saved " + saved + (saved.empty() ? "" : " and ") +
                                 "the version record (") +
           version + platform::utf8ToUtf16(") to " + path + ".\n");
}

} // namespace

bool saveAdapter(steps::Run& run, const ConsoleSettings& settings, const std::string& path) {
    auto failed = [&](const std::string& why) {
        const std::u16string line = platform::utf8ToUtf16("Save Failed! " + why + "\n");
        printMessage(settings, line);
        if (settings.report != nullptr) {
            settings.report->failedStep = line.substr(0, line.size() - 1);
            settings.report->failedAt = steps::Step::Save;
        }
        return false;
    };
    const std::vector<Region> regions = regionsOf(run, settings);
    std::uint64_t total = 0;
    for (const Region& r : regions)
        total += r.size;
    printMessage(settings, platform::utf8ToUtf16("Saving to " + path + "...\n"));
    std::atomic<std::uint64_t> done{0};
    std::vector<image::Segment> segments;
    std::string failure;
    auto readAll = [&] { return readRegions(run, regions, segments, done, failure); };
    const int result = settings.silentMode || settings.lines != nullptr
                           ? readAll()
                           : withProgress(
                                 "Saving", total, [&] { return done.load(); }, readAll);
    if (result != 0) return failed(failure);
    const std::u16string version = trim(segments, settings.saveRange.has_value());
    std::string reason;
    if (!platform::writeFileWhole(path, image::writeIntelHex(segments), reason))
        return failed(path + " cannot be written (" + reason + ").");
    printMessage(settings, savedLine(segments, version, path));
    return true;
}

} // namespace app
