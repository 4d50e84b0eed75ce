// Report descriptors as devices send them, read into what the Windows
// capabilities give; malformed and truncated ones are refused without a
// read past their end (the sanitizer build checks the reads).
#include "platform/linux/hid_descriptor.h"

#include "platform/hid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using platform::hid::parseReportDescriptor;
using Bytes = std::vector<std::uint8_t>;

platform::hid::ReportDescriptor parse(const Bytes& b) {
    return parseReportDescriptor(b.data(), b.size());
}

// The adapter's: vendor page FF00, 64-byte input and output, no report IDs.
const Bytes kAdapter = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                        0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                        0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};

// The standard boot keyboard (HID 1.11, appendix B.1).
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

TEST(ReportDescriptor, DevicesAreDescribedAsWindowsDescribesThem) {
    auto d = parse(kAdapter);
    ASSERT_EQ(d.error, "");
    ASSERT_EQ(d.collections.size(), 1u);
    EXPECT_EQ(d.collections[0].usagePage, 0xFF00);
    EXPECT_EQ(d.collections[0].usage, 1);
    EXPECT_EQ(d.collections[0].inputReportLength, 65);
    EXPECT_EQ(d.collections[0].outputReportLength, 65);
    EXPECT_FALSE(d.usesReportIds);

    d = parse(kKeyboard);
    ASSERT_EQ(d.error, "");
    EXPECT_EQ(d.collections[0].usagePage, 1);
    EXPECT_EQ(d.collections[0].usage, 6);
    EXPECT_EQ(d.collections[0].inputReportLength, 9);  // 8 bytes and the ID byte
    EXPECT_EQ(d.collections[0].outputReportLength, 2); // 5 LED bits padded to a byte

    // A keyboard and a consumer control behind report IDs: two top-level
    // collections; within one, the longest of its reports counts.
    d = parse({0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81,
               0x02, 0x85, 0x03, 0x95, 0x20, 0x81, 0x02, 0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1,
               0x01, 0x85, 0x02, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xB1, 0x02, 0xC0});
    ASSERT_EQ(d.error, "");
    ASSERT_EQ(d.collections.size(), 2u);
    EXPECT_TRUE(d.usesReportIds);
    EXPECT_EQ(d.collections[0].inputReportLength, 33);
    EXPECT_EQ(d.collections[1].usagePage, 0x0C);
    EXPECT_EQ(d.collections[1].inputReportLength, 3);
    EXPECT_EQ(d.collections[1].featureReportLength, 3);
    EXPECT_EQ(d.collections[1].outputReportLength, 0);
}

TEST(ReportDescriptor, LongItemsPushPopNestedCollectionsAndExtendedUsages) {
    // A long item, a pushed report size restored by pop, a physical
    // collection inside the application one, and a four-byte usage that
    // names its own page.
    const Bytes d = {0x0B, 0x01, 0x00, 0xA0, 0xFF, 0xA1, 0x01, 0xFE, 0x03,
                     0x10, 0xAA, 0xBB, 0xCC, 0x75, 0x08, 0xA4, 0x75, 0x20,
                     0xB4, 0xA1, 0x00, 0x95, 0x10, 0x81, 0x02, 0xC0, 0xC0};
    const auto r = parse(d);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.collections[0].usagePage, 0xFFA0);
    EXPECT_EQ(r.collections[0].usage, 1);
    EXPECT_EQ(r.collections[0].inputReportLength, 17);
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefusedWithTheirFault) {
    struct Case {
        Bytes bytes;
        const char* fault;
    };
    const Case cases[] = {
        {{}, "no top-level collection"},
        {{0x06, 0x00}, "truncated item at byte 0"},
        {{0xA1, 0x01, 0xFE, 0x05, 0x00, 0x01}, "truncated long item at byte 2"},
        {{0xA1, 0x01, 0xFE}, "truncated long item at byte 2"},
        {{0xC0}, "end of a collection that was never opened at byte 0"},
        {{0xA1, 0x01, 0x81, 0x02}, "collection not closed at byte 4"},
        {{0xB4}, "pop without a push at byte 0"},
        {{0xA1, 0x01, 0x85, 0x00, 0xC0}, "report ID outside 1 to 255 at byte 2"},
        {{0x75, 0x08, 0x95, 0x40, 0x81, 0x02}, "report item outside any collection at byte 4"},
        {{0xA1, 0x02, 0xC0}, "top-level collection that is not an application collection"},
        {{0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0}, "report size too large at byte 2"},
        {{0xA1, 0x01, 0x0C, 0xC0}, "reserved item type at byte 2"},
        // 65535 data bytes and the ID byte would wrap the 16-bit length to 0.
        {{0xA1, 0x01, 0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0}, "report of 65535 bytes"},
        {{0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0xC0},
         "reports both with and without report IDs"},
    };
    for (const Case& c : cases) {
        const auto r = parse(c.bytes);
        EXPECT_EQ(r.error.rfind(c.fault, 0), 0u) << r.error;
        EXPECT_TRUE(r.collections.empty());
    }
    // Every cut of a good descriptor is either whole or refused.
    for (std::size_t n = 0; n < kKeyboard.size(); ++n) {
        const Bytes cut(kKeyboard.begin(), kKeyboard.begin() + static_cast<long>(n));
        EXPECT_NE(parse(cut).error, "") << n;
    }
    EXPECT_EQ(parseReportDescriptor(nullptr, 10).error, "no top-level collection at byte 0");
}

// Two sessions open, read and close nodes from their own threads; the bus's
// per-handle records must stay whole (the sanitizer build saw a torn map):
// every open gives a handle, no read of /dev/null gives a report, and every
// close gives the descriptor back.
TEST(HidrawBus, TwoSessionsOpenReadAndCloseAtOnce) {
    namespace hid = platform::hid;
    namespace fs = std::filesystem;
    auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    std::atomic<int> wrong{0};
    auto session = [&wrong] {
        std::uint8_t report[65];
        for (int i = 0; i < 3000; ++i) { // /dev/null stands in for a node: it polls ready
            const auto h = hid::systemBus().open("/dev/null", {});
            wrong +=
                h == hid::kInvalidHandle ||
                hid::systemBus().readReport(h, report, sizeof report, 0) == hid::ReadResult::Ok;
            hid::systemBus().close(h);
        }
    };
    std::thread other(session);
    session();
    other.join();
    EXPECT_EQ(wrong, 0) << "an open failed or /dev/null gave a report";
    EXPECT_EQ(descriptors(), before) << "a closed handle kept its descriptor";
}

} // namespace
