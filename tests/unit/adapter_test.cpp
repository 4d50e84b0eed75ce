// The simulated adapter and the emulator's request handling at the edges:
// every report and every request, whatever its addresses and lengths, gets an
// answer or a refusal at once, and a refusal never reads as acceptance.
#include "emulator/emulator_server.h"
#include "emulator/simulated_bus.h"
#include "isp/bytes.h"
#include "isp/crc.h"
#include "platform/emulator/wire.h"

#include "tests/support/random_bytes.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using adapter::AdapterConfig;
using adapter::Mode;
using adapter::Report;
using adapter::SimulatedAdapter;

// A plain (not yet authenticated) command report with a valid CRC for an
// adapter without a command key.
Report frame(std::uint8_t code, std::uint8_t option, std::uint32_t p0 = 0, std::uint32_t p1 = 0) {
    Report r{};
    r[1] = code;
    r[2] = option;
    isp::putLe32(r.data() + 5, p0);
    isp::putLe32(r.data() + 9, p1);
    const std::uint16_t crc = isp::crc16(0, r.data() + 1, 64);
    r[3] = static_cast<std::uint8_t>(crc & 0xFF);
    r[4] = static_cast<std::uint8_t>(crc >> 8);
    return r;
}

class AdapterEdges : public ::testing::Test {
  protected:
    AdapterEdges() : adapter_(loaderConfig()) {}
    static AdapterConfig loaderConfig() {
        AdapterConfig c;
        c.startMode = Mode::Loader;
        return c;
    }
    // Sends one report and returns the text of the status reply ("<none>"
    // when there is none), counting the data reports that came before it.
    std::string send(const Report& r) {
        EXPECT_TRUE(adapter_.receive(r.data(), r.size(), now_));
        dataReports_ = 0;
        Report out;
        while (adapter_.takeData(now_, out))
            ++dataReports_;
        if (!adapter_.takeStatus(now_, out)) return "<none>";
        std::string text;
        for (std::size_t i = 1; i < out.size(); ++i)
            if (out[i] != 0) text.push_back(static_cast<char>(out[i]));
        return text;
    }

    SimulatedAdapter adapter_;
    std::int64_t now_ = 0;
    int dataReports_ = 0;
};

TEST_F(AdapterEdges, RangesThatWrapOrLeaveTheMemoryAreRefusedAndChangeNothing) {
    const auto before = adapter_.internalFlash();
    // The whole 32-bit space: its length does not wrap to an empty range.
    EXPECT_EQ(send(frame(0x01, 0x03, 0, 0xFFFFFFFF)), "F"); // blank check
    EXPECT_EQ(send(frame(0x01, 0x02, 0, 0xFFFFFFFF)), "F"); // read
    EXPECT_EQ(dataReports_, 0);
    EXPECT_EQ(send(frame(0x00, 0x08, 0, 0xFFFFFFFF)), "F"); // page erase
    EXPECT_EQ(send(frame(0x00, 0x08, 0xFFFFF000, 0xFFFFFFFF)), "F");
    EXPECT_EQ(send(frame(0x01, 0x02, 0xFFFFFFC0, 0xFFFFFFFF)), "F");
    EXPECT_EQ(send(frame(0x01, 0x03, 0x7FFC0, 0x8003F)), "F"); // runs past the flash
    EXPECT_EQ(send(frame(0x01, 0x03, 0x5000, 0x4FFF)), "F");   // ends before it starts
    // A transfer report at the very top of the address space: rejected in
    // its acknowledgement.
    EXPECT_EQ(send(frame(0x01, 0x01, 0xFFFFFFF0, 0xFFFFFFFF)), "F");
    EXPECT_EQ(send(frame(0x01, 0x00, 0xFFFFFFFF, 0xFFFFFFFF)), "F");
    EXPECT_EQ(adapter_.internalFlash(), before);

    // A range that exists is served in full.
    EXPECT_EQ(send(frame(0x01, 0x02, 0, 0x7FFFF)), "O");
    EXPECT_EQ(dataReports_, 0x80000 / 64);
    EXPECT_EQ(send(frame(0x01, 0x03, 0x40000, 0x7FFFF)), "O");
}

TEST_F(AdapterEdges, ADigestPastTheMemoryReadsErasedBytesAndAnswersAtOnce) {
    // Across the end of the flash: the bytes beyond it count as 0xFF.
    std::vector<std::uint8_t> bytes(adapter_.internalFlash().begin() + 0x7F000,
                                    adapter_.internalFlash().end());
    bytes.resize(bytes.size() + 0x2000, 0xFF);
    EXPECT_EQ(adapter_.digestOf(0x7F000, 0x3000),
              isp::crc16(0, bytes.data(), static_cast<int>(bytes.size())));
    const std::vector<std::uint8_t> erased(100000, 0xFF);
    EXPECT_EQ(adapter_.digestOf(0xA0000000, 100000), isp::crc16(0, erased.data(), 100000));

    // An application start above the area's end gives a length of nearly
    // 4 GiB; it is answered with the value of that range, not after a loop.
    Report r = frame(0x02, 0x00, 0x9000, 0xFFFFF000);
    EXPECT_NE(send(r), "<none>");
    EXPECT_EQ(adapter_.lastDigest(), adapter_.digestOf(0x9000, 0xFFFFF000));
}

TEST_F(AdapterEdges, ARefusalIsNeverAnAnswerThatReadsAsAcceptance) {
    EXPECT_EQ(send(frame(0x07, 0x00)), "E"); // no such command
    Report bad = frame(0x01, 0x03, 0x4000, 0x47FF);
    bad[3] ^= 1;
    EXPECT_EQ(send(bad), "E"); // frame CRC wrong

    // An adapter running its application takes only the reset.
    AdapterConfig app;
    SimulatedAdapter application(app);
    const Report info = frame(0x03, 0x00);
    ASSERT_TRUE(application.receive(info.data(), info.size(), 0));
    Report out;
    ASSERT_TRUE(application.takeStatus(0, out));
    EXPECT_EQ(out[1], 'E');
}

TEST(EmulatorRequests, EveryRequestGetsAnAnswerWhateverItHolds) {
    platform::VirtualClock clock;
    adapter::SimulatedBus bus(clock, &clock);
    bus.add({});
    using platform::wire::Op;
    using platform::wire::Writer;
    auto ask = [&](const std::vector<std::uint8_t>& request) {
        const auto response = adapter::answer(bus, request);
        EXPECT_FALSE(response.empty());
        return response;
    };
    EXPECT_EQ(ask({}), std::vector<std::uint8_t>{0});    // nothing at all
    EXPECT_EQ(ask({200}), std::vector<std::uint8_t>{0}); // an unknown operation
    // A read that would hold the connection for weeks is bounded, and one on
    // a handle that was never opened fails at once.
    const auto start = clock.nowMs();
    ask(Writer().u8(static_cast<std::uint8_t>(Op::ReadReport)).i64(100).u16(65).i32(INT_MAX).bytes);
    EXPECT_LE(clock.nowMs() - start, 60'000);
    ask(Writer().u8(static_cast<std::uint8_t>(Op::ReadReport)).i64(-5).u16(0xFFFF).i32(-1).bytes);
    ask(Writer().u8(static_cast<std::uint8_t>(Op::GetInputReport)).i64(1).u16(0xFFFF).bytes);
    ask(Writer()
            .u8(static_cast<std::uint8_t>(Op::Open))
            .u8(99)
            .text("sim:99999999999999999999")
            .bytes);
    ask(Writer().u8(static_cast<std::uint8_t>(Op::Open)).u8(0).text("sim:-1").bytes);
    // A blob that claims more bytes than the frame has.
    ask({static_cast<std::uint8_t>(Op::Write), 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2});

    // Arbitrary frames, every operation with arbitrary fields.
    for (int i = 0; i < 2000; ++i) {
        auto request = testing_support::randomBytes(1 + i % 40, static_cast<unsigned>(i));
        request[0] = static_cast<std::uint8_t>(1 + i % 11);
        ask(request);
    }
}

} // namespace
