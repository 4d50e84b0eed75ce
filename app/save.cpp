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

} // namespace

bool saveAdapter(steps::Run& run, const ConsoleSettings& settings, const std::string& path) {
    const steps::AdapterState& s = run.state;
    auto failed = [&](const std::string& why) {
        const std::u16string line = platform::utf8ToUtf16("Save Failed! " + why + "\n");
        printMessage(settings, line);
        if (settings.report != nullptr) {
            settings.report->failedStep = line.substr(0, line.size() - 1);
            settings.report->failedAt = steps::Step::Save;
        }
        return false;
    };
    std::vector<Region> regions;
    if (s.chipFlashSize > s.apStartAddress)
        regions.push_back({s.apStartAddress, s.chipFlashSize - s.apStartAddress});
    const std::uint32_t externalSize = run.program.externalImageSize();
    if (externalSize != 0) regions.push_back({run.program.externalImageAddress(), externalSize});
    regions.push_back({s.versionRecordAddress, kRecordBytes});

    std::uint64_t total = 0;
    for (const Region& r : regions)
        total += r.size;
    printMessage(settings, platform::utf8ToUtf16("Saving to " + path + "...\n"));
    std::atomic<std::uint64_t> done{0};
    std::vector<image::Segment> segments;
    std::string failure;
    auto readAll = [&] {
        for (const Region& r : regions) {
            image::Segment segment{r.address, std::vector<std::uint8_t>(r.size), {}};
            for (std::uint32_t at = 0; at < r.size; at += kChunkBytes) {
                const std::uint32_t count = std::min(kChunkBytes, r.size - at);
                const std::uint32_t first = r.address + at, last = first + count - 1;
                if (run.session.stop().requested()) {
                    failure = "Interrupted.";
                    return 1;
                }
                // A one-byte range is refused by the command: read two.
                std::uint8_t pair[2];
                const bool single = count == 1;
                if (run.session.readData(single ? first - 1 : first, last,
                                         single ? pair : segment.bytes.data() + at) != 0) {
                    failure = "Reading " + range(first, last) + " failed.";
                    return 1;
                }
                if (single) segment.bytes[at] = pair[1];
                done += count;
            }
            segments.push_back(std::move(segment));
        }
        return 0;
    };
    const int result = settings.silentMode || settings.lines != nullptr
                           ? readAll()
                           : withProgress(
                                 "Saving", total, [&] { return done.load(); }, readAll);
    if (result != 0) return failed(failure);

    // The application area without its erased tail; the version record as
    // long as it says (its length alone when erased or unreadable).
    image::Segment& application = segments.front();
    while (!application.bytes.empty() && application.bytes.back() == 0xFF)
        application.bytes.pop_back();
    image::Segment& record = segments.back();
    const std::uint8_t* r = record.bytes.data();
    const std::uint32_t length = isp::le32(r);
    record.bytes.resize(length <= 128 ? 4 + length : 4);
    // Said as the record's bytes are, each a character of its code page
    // (Latin-1 here), and never a line break.
    std::u16string version = u"erased";
    if (length <= 128) {
        version.assign(r + 4, r + 4 + length);
        for (char16_t& c : version)
            if (c < 0x20 || c == 0x7F) c = u'?';
    }

    std::string reason;
    if (!platform::writeFileWhole(path, image::writeIntelHex(segments), reason))
        return failed(path + " cannot be written (" + reason + ").");
    std::string saved;
    for (const image::Segment& segment : segments) {
        if (&segment == &record || segment.bytes.empty()) continue;
        saved += range(segment.address, static_cast<std::uint32_t>(segment.end() - 1)) + " (" +
                 std::to_string(segment.bytes.size()) + " bytes), ";
    }
    printMessage(settings,
                 platform::utf8ToUtf16(
                     "Saved " +
                     saved.substr(0, saved.size() - std::min<std::size_t>(saved.size(), 2)) +
                     (saved.empty() ? "" : " and ") + "the version record (") +
                     version + platform::utf8ToUtf16(") to " + path + ".\n"));
    return true;
}

} // namespace app
