// The device link against simulated adapters on an in-process bus, in
// virtual time.
#include "brisklink/isp.h"
#include "emulator/simulated_bus.h"
#include "isp/session.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using adapter::AdapterConfig;
using adapter::Command;
using adapter::Mode;

class Link : public ::testing::Test {
  protected:
    Link() : bus_(clock_, &clock_) { platform::setClock(&clock_); }
    ~Link() override { platform::setClock(nullptr); }
    static AdapterConfig loader() {
        AdapterConfig c;
        c.startMode = Mode::Loader;
        c.commandKey.assign(64, 0); // what the tool folds in before it is given a key
        return c;
    }
    int connectLoader() { return session_.isConnectedToDevice(0x3F27, 0x1005, 0x00); }

    // Sends a command the way the command set frames it.
    std::string command(std::uint8_t code, std::uint8_t option, std::uint32_t p0 = 0,
                        std::uint32_t p1 = 0, bool poll = true) {
        if (!session_.readyCheck()) return "<not ready>";
        auto& r = session_.state.outReport;
        r[0] = 0;
        r[1] = code;
        r[2] = option;
        for (std::size_t i = 3; i < r.size(); ++i)
            r[i] = session_.filler();
        for (int i = 0; i < 4; ++i) {
            r[5 + i] = static_cast<std::uint8_t>(p0 >> (8 * i));
            r[9 + i] = static_cast<std::uint8_t>(p1 >> (8 * i));
        }
        session_.frameCrc(r);
        session_.scramble(r.data() + 1, 64);
        if (!session_.writeCommand()) return "<write failed>";
        if (!poll) return "<sent>";
        if (!session_.pollReply(2)) return "<no reply>";
        return session_.replyText();
    }

    std::string logText() const {
        const auto& log = session_.state.libraryLog;
        return std::string(log.begin(), log.end());
    }

    platform::VirtualClock clock_;
    adapter::SimulatedBus bus_;
    isp::Session session_{&bus_};
};

TEST(Crc, CheckValueAndSeedOverNothing) {
    const char* digits = "123456789";
    EXPECT_EQ(isp::crc16(0, reinterpret_cast<const std::uint8_t*>(digits), 9), 0x31C3);
    EXPECT_EQ(isp::crc16(0xBEEF, nullptr, 0), 0xBEEF);
    EXPECT_EQ(isp::crc16(0xBEEF, nullptr, -3), 0xBEEF);
}

TEST(Crc, FrameCrcFoldsTheKeyInWhenEnabled) {
    isp::Session session_;
    isp::Report r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint8_t>(i * 3);
    session_.frameCrc(r);
    const std::uint16_t keyed = static_cast<std::uint16_t>(r[3] | r[4] << 8);
    isp::Report plain = r;
    plain[3] = plain[4] = 0;
    std::uint16_t expected = isp::crc16(0, plain.data() + 1, 64);
    const std::uint8_t zeros[64] = {};
    expected = isp::crc16(expected, zeros, 64);
    EXPECT_EQ(keyed, expected);
    session_.enableCommandKey(0);
    session_.frameCrc(r);
    EXPECT_EQ(static_cast<std::uint16_t>(r[3] | r[4] << 8), isp::crc16(0, plain.data() + 1, 64));
}

TEST(Scrambling, PlainPhaseLeavesBytesAndRollingKeyRunsOn) {
    isp::Session session_;
    std::uint8_t bytes[64];
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    std::uint8_t copy[64];
    std::memcpy(copy, bytes, 64);
    session_.scramble(copy, 64);
    EXPECT_EQ(std::memcmp(copy, bytes, 64), 0);

    auto& s = session_.state;
    s.rollingKey = {1, 2, 3, 4};
    s.rollingEnabled = 1;
    s.rollSeedA = 0x1234;
    s.rollSeedB = 0xABCD;
    std::uint8_t first[64], second[64];
    std::memcpy(first, bytes, 64);
    std::memcpy(second, bytes, 64);
    session_.scramble(first, 64);
    session_.scramble(second, 64);
    EXPECT_NE(std::memcmp(first, second, 64), 0);
    EXPECT_EQ(first[0], 0 ^ 1);
    EXPECT_EQ(first[3], 3 ^ 4);
}

TEST_F(Link, DiscoveryMatchesTheLowByteOfTheSelectorAndSkips64ByteReports) {
    AdapterConfig small = loader();
    small.reportLength = 64;
    bus_.add(small);
    AdapterConfig good = loader();
    good.loader.usageSelector = 0x34;
    bus_.add(good);
    bus_.add(good);
    EXPECT_EQ(session_.isConnectedToDevice(0x3F27, 0x1005, 0x1234), 1);
    EXPECT_EQ(session_.state.devicePath, "sim:1"); // the first match wins
    EXPECT_EQ(session_.state.matchUsagePage, 0xFF34);
    EXPECT_EQ(session_.isConnectedToDevice(0x3F27, 0x1005, 0x35), 0);
    EXPECT_EQ(session_.isConnectedToDevice(0x13F27, 0x1005, 0x34), 0); // a wider ID never matches
    EXPECT_EQ(session_.isConnectedToDevice(0x3F27, 0x1004, 0x34), 0);  // the application identity
}

TEST_F(Link, PendingInstallationAndCloseTwice) {
    bus_.add(loader());
    bus_.setInstallPending(true);
    EXPECT_EQ(connectLoader(), 0);
    bus_.setInstallPending(false);
    EXPECT_EQ(connectLoader(), 1);
    session_.close();
    session_.close();
    EXPECT_EQ(session_.state.writeHandle, isp::kNotOpen);
    EXPECT_EQ(ISP_SetupSerialPortConnection(), 0);
    // A command after the close finds the adapter again through its ready check.
    EXPECT_EQ(command(0x01, 0x03, 0x1800, 0x1FFF), "F"); // the version record is not blank
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "O");
}

TEST_F(Link, ReadyCheckAcceptsOnlyFOrO) {
    AdapterConfig c = loader();
    bus_.add(c);
    ASSERT_EQ(connectLoader(), 1);
    EXPECT_EQ(session_.readyCheck(), 1);
    for (const auto& [text, accepted] : std::vector<std::pair<std::string, int>>{
             {"F", 1}, {"FO", 0}, {"o", 0}, {"", 0}, {"OK", 0}}) {
        session_.state.libraryLog.clear();
        bus_.adapter(0).config().faults.statusText[Command::Ready] = text;
        EXPECT_EQ(session_.readyCheck(), accepted) << text;
        EXPECT_EQ(logText(), accepted ? "" : "Device not ready") << text;
    }
}

TEST_F(Link, ReplyTimeOutsRunInVirtualTime) {
    AdapterConfig c = loader();
    c.faults.noReply.insert(Command::Ready);
    bus_.add(c);
    ASSERT_EQ(connectLoader(), 1);
    const auto before = clock_.nowMs();
    EXPECT_EQ(session_.readyCheck(), 0);
    const auto waited = clock_.nowMs() - before;
    EXPECT_GT(waited, 30'000);
    EXPECT_LE(waited, 32'000);
    EXPECT_EQ(logText(), "HidD_GetInputReport error");
}

TEST_F(Link, LateReplyWithinTheLimitIsTaken) {
    AdapterConfig c = loader();
    c.faults.lateReplyMs[Command::BlankCheck] = 1500;
    bus_.add(c);
    ASSERT_EQ(connectLoader(), 1);
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "O");
}

TEST_F(Link, AFailedWriteDropsTheLinkAndTheAdapterIsFoundAgain) {
    AdapterConfig c = loader();
    c.faults.vanishAfterWrites = 1;
    c.faults.vanishForMs = 1000;
    c.faults.once = true;
    bus_.add(c);
    ASSERT_EQ(connectLoader(), 1);
    EXPECT_EQ(session_.readyCheck(), 1);
    EXPECT_EQ(session_.readyCheck(), 0); // the adapter left the bus: the write failed
    EXPECT_EQ(session_.state.writeHandle, isp::kNotOpen);
    EXPECT_EQ(session_.state.devicePath, "");
    EXPECT_EQ(logText(), "") << "nothing is logged for a failed write";
    clock_.advance(1500);
    EXPECT_EQ(session_.readyCheck(), 1);
}

TEST_F(Link, TheAdapterRefusesAWrongCommandKey) {
    AdapterConfig c = loader();
    c.commandKey = {0xDE, 0xAD, 0xBE, 0xEF};
    bus_.add(c);
    ASSERT_EQ(connectLoader(), 1);
    // A refusal is "E", never "F", which the ready check would take as ready.
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "E"); // 64 zero bytes folded in
    const std::uint8_t wrong[] = {0xDE, 0xAD, 0xBE, 0xEE};
    session_.setCommandKey(wrong, 4);
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "E");
    const std::uint8_t right[] = {0xDE, 0xAD, 0xBE, 0xEF};
    session_.setCommandKey(right, 4);
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "O");
    session_.enableCommandKey(0);
    EXPECT_EQ(command(0x01, 0x03, 0x4000, 0x47FF), "E");
}

TEST_F(Link, UserDataGoesOneReportAfterAnotherAndNeverPastTheBuffer) {
    AdapterConfig c = loader();
    c.commandKey = {};
    bus_.add(c);
    session_.setCommandKey(nullptr, 0);
    ASSERT_EQ(connectLoader(), 1);
    ASSERT_EQ(command(0x50, 2, 0x11111111, 0x22222222, false), "<sent>");
    std::vector<std::uint8_t> buffer(100, 0xEE);
    EXPECT_EQ(session_.getUserData(buffer.data(), 100), 128);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 0x11);
    EXPECT_EQ(buffer[64], 2); // the second report follows the first
    EXPECT_EQ(buffer[65], 0x11);
    EXPECT_EQ(session_.getUserResult(2), 1);

    // One report only: the second read gives up after 5 s.
    ASSERT_EQ(command(0x50, 1, 0, 0, false), "<sent>");
    const auto before = clock_.nowMs();
    EXPECT_EQ(session_.getUserData(buffer.data(), 100), 64);
    EXPECT_GE(clock_.nowMs() - before, 5000);
    EXPECT_EQ(session_.getUserData(buffer.data(), 0), 0);
    EXPECT_EQ(session_.getUserData(nullptr, 10), 0);
    EXPECT_EQ(session_.getUserResult(2), 1); // the status of the echo
    EXPECT_EQ(session_.getUserResult(0), 0); // nothing more comes
    EXPECT_EQ(session_.getUserResult(-1), 0);
}

TEST_F(Link, LibraryLogIsReadableThroughTheLibrary) {
    session_.appendLog("Device not ready");
    std::uint16_t buffer[8];
    EXPECT_EQ(session_.getLibraryLog(buffer, 8), 16);
    EXPECT_EQ(buffer[0], 'D');
    EXPECT_EQ(buffer[7], 0); // cut to fit, terminated
    EXPECT_EQ(session_.getLibraryLog(nullptr, 0), 16);
}

} // namespace
