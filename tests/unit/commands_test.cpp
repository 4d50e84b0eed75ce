// The command set against the simulated adapter, in virtual time.
#include "brisklink/isp.h"
#include "emulator/simulated_bus.h"
#include "isp/session.h"
#include "platform/clock.h"
#include "tests/support/memory.h"

#include "tests/support/random_bytes.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using testing_support::randomBytes;

using adapter::AdapterConfig;
using adapter::Command;
using adapter::Mode;

const std::vector<std::uint8_t> kKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

class Commands : public ::testing::Test {
  protected:
    Commands() : bus_(clock_, &clock_) {
        platform::setClock(&clock_);
        // The filler bytes come from the process-wide generator: start it from
        // the same place whatever ran before in this process.
        session_.setCommandKey(kKey.data(), static_cast<int>(kKey.size()));
    }
    ~Commands() override { platform::setClock(nullptr); }
    adapter::SimulatedAdapter& addLoader(AdapterConfig c = {}) {
        c.startMode = Mode::Loader;
        if (c.commandKey.empty()) c.commandKey = kKey;
        return bus_.add(c);
    }
    void connect() { ASSERT_EQ(session_.isConnectedToDevice(0x3F27, 0x1005, 0), 1); }
    // As ISP_GetInformation reads an item: item 6 names the application area.
    std::string info(int kind) {
        std::uint16_t text[32];
        int bytes = -1;
        if (session_.getInformationStoringArea(kind, text, &bytes) != 0) return "<failed>";
        std::string s;
        for (int i = 0; i < bytes / 2; ++i)
            s.push_back(static_cast<char>(text[i]));
        return s;
    }

    std::string logText() const {
        const auto& log = session_.state.libraryLog;
        return std::string(log.begin(), log.end());
    }

    platform::VirtualClock clock_;
    adapter::SimulatedBus bus_;
    isp::Session session_{&bus_};
};

TEST_F(Commands, AWholeSessionLeavesTheImageInFlashAndTheApplicationRunning) {
    auto& a = addLoader();
    connect();
    ASSERT_EQ(session_.sendAuthentication(), 1);
    EXPECT_TRUE(a.keyedPhase()) << "not in a keyed session";
    EXPECT_EQ(info(0), "QV32F3285");
    EXPECT_EQ(info(4), "IAP V105");
    EXPECT_EQ(info(1), "00524288");
    EXPECT_EQ(info(6), "00008192");
    EXPECT_EQ(session_.state.appAreaStart, 0x2000);
    EXPECT_EQ(info(8), "00006144");

    const auto image = randomBytes(100 * 1024, 1);
    const std::uint32_t start = 0x2000, end = start + static_cast<std::uint32_t>(image.size()) - 1;
    ASSERT_EQ(session_.erasePage(start, end), 0);
    EXPECT_EQ(logText().substr(logText().rfind("Erase ")),
              "Erase 0x00002000~0x0001AFFF success (100 KB)");
    ASSERT_EQ(session_.writeProgram(start, end, 1, image.data()), 0);
    EXPECT_EQ(session_.transProgress(), 100);
    ASSERT_EQ(session_.writeProgram(start, end, 0, image.data()), 0);
    std::vector<std::uint8_t> back(image.size());
    ASSERT_EQ(session_.readData(start, end, back.data()), 0);
    EXPECT_EQ(back, image);

    std::uint8_t parameters[52] = {};
    const std::uint16_t expected = a.digestOf(0x2000, 0x8000 - 0x2000);
    parameters[0] = static_cast<std::uint8_t>(expected & 0xFF);
    parameters[1] = static_cast<std::uint8_t>(expected >> 8);
    std::uint16_t value = 0;
    EXPECT_EQ(session_.crcCheck(&value, parameters), 1);
    EXPECT_EQ(value, expected);
    EXPECT_TRUE(a.lastDigestMatched()) << "the adapter computed another digest";

    ASSERT_EQ(session_.execute(), 0);
    EXPECT_EQ(session_.state.rollingEnabled, 0);
    clock_.advance(1000);
    EXPECT_EQ(a.mode(clock_.nowMs()), Mode::Application);
    EXPECT_TRUE(testing_support::holds(a.internalFlash(), start, image));
    EXPECT_EQ(session_.isConnectedToDevice(0x3F27, 0x1004, 1), 1);
    // A pass that cannot start shows 0, not the last pass's 100.
    session_.close();
    EXPECT_EQ(session_.isConnectedToDevice(0x1234, 0x5678, 0), 0);
    EXPECT_EQ(session_.writeProgram(start, end, 0, image.data()), 1);
    EXPECT_EQ(session_.transProgress(), 0);
}

TEST_F(Commands, TransferPassAcknowledgesEverySixtiethReportAndTheLast) {
    auto& a = addLoader();
    connect();
    ASSERT_EQ(session_.erasePage(0x4000, 0x7FFF), 0);
    const auto data = randomBytes(3121, 2);
    const std::size_t before = bus_.writes();
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4000 + 3120, 1, data.data()), 0);
    EXPECT_EQ(bus_.writes() - before, 1u + 61u); // the ready check, then 61 reports
    EXPECT_EQ(a.internalFlash()[0x4000 + 3120], data[3120]);

    // A rejected report fails the pass, yet every later report is still sent.
    a.config().faults.failVerifyReports = {2};
    const std::size_t again = bus_.writes();
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4000 + 3120, 0, data.data()), 1);
    EXPECT_EQ(bus_.writes() - again, 62u);
    a.config().faults.failVerifyReports.clear();
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4000 + 3120, 0, data.data()), 0);

    // Programming cells that are not erased fails like real flash does.
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4003, 1, randomBytes(4, 3).data()), 1);
}

TEST_F(Commands, AMissingAcknowledgementFailsThePass) {
    AdapterConfig c;
    c.faults.noReply.insert(Command::Program);
    addLoader(c);
    connect();
    ASSERT_EQ(session_.erasePage(0x4000, 0x7FFF), 0);
    const auto data = randomBytes(4000, 4);
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4000 + 3999, 1, data.data()), 1);
    EXPECT_EQ(logText(), "HidD_GetInputReport error");
    // A pass that stopped early leaves the percentage it reached: 60 of 77
    // reports were sent when the first acknowledgement did not come.
    EXPECT_EQ(session_.transProgress(), 78);
    // A short pass without its final acknowledgement logs nothing.
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.writeProgram(0x5000, 0x5003, 1, data.data()), 1);
    EXPECT_EQ(logText(), "");
}

TEST_F(Commands, ReadBackAndItsLogLines) {
    auto& a = addLoader();
    connect();
    session_.appendLog("earlier text");
    std::uint8_t four[4];
    ASSERT_EQ(session_.readData(0x1000, 0x1003, four), 0);
    EXPECT_EQ(logText(), "Read 0x00001000~0x00001003\r\nRead 0x00001000~0x00001003 success (0 KB)");
    EXPECT_TRUE(testing_support::holds(a.internalFlash(), 0x1000,
                                       std::vector<std::uint8_t>(four, four + 4)));
    std::vector<std::uint8_t> sixtyFive(65);
    ASSERT_EQ(session_.readData(0x1000, 0x1040, sixtyFive.data()), 0);
    EXPECT_TRUE(testing_support::holds(a.internalFlash(), 0x1000, sixtyFive));
    // A read the adapter cannot serve: no data report comes within 5 s.
    EXPECT_EQ(session_.readData(0x7FFFFF00, 0x7FFFFF10, sixtyFive.data()), 1);
    EXPECT_EQ(logText(), "Read 0x7FFFFF00~0x7FFFFF10");
}

TEST_F(Commands, EraseLogLinesAndTimeOuts) {
    AdapterConfig c;
    c.faults.lateReplyMs[Command::PageErase] = 50'000;
    c.faults.noReply.insert(Command::MassErase);
    c.faults.once = true;
    addLoader(c);
    connect();
    const auto before = clock_.nowMs();
    EXPECT_EQ(session_.erasePage(0x1000 + 0x1000, 0x13FF + 0x1000), 0);
    EXPECT_GE(clock_.nowMs() - before, 50'000);
    EXPECT_EQ(logText(), "Erase 0x00002000~0x000023FF success (1 KB)");
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.eraseMass(), 1);
    EXPECT_EQ(logText(), "HidD_GetInputReport error");
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.eraseMass(), 0);
    EXPECT_EQ(logText(), "MassErase 0x00000C00~0x00007FFF success (29 KB)");
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.blankCheck(0x1000, 0x17FF), 1); // the loader's own code
    EXPECT_EQ(logText(), "Blank 0x00001000~0x000017FF failed");
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.blankCheck(0x4000, 0x47FF), 0);
    EXPECT_EQ(logText(), "Blank 0x00004000~0x000047FF success (2 KB)");
}

TEST_F(Commands, AuthenticationPhases) {
    auto& a = addLoader();
    connect();
    ASSERT_EQ(session_.sendAuthentication(), 1);
    const std::size_t writes = bus_.writes();
    EXPECT_EQ(session_.sendAuthentication(), 1);
    EXPECT_EQ(bus_.writes(), writes); // nothing sent in the keyed phase
    // Many commands later the key streams are still in step.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(session_.blankCheck(0x4000, 0x40FF), 0);
    ASSERT_EQ(session_.resetToIap(1), 0);
    EXPECT_EQ(session_.state.rollingEnabled, 0);
    EXPECT_EQ(session_.state.rollingKey, (std::array<std::uint8_t, 4>{}));
    clock_.advance(600);
    connect();
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
    EXPECT_EQ(session_.sendAuthentication(), 1);
    EXPECT_EQ(session_.blankCheck(0x4000, 0x40FF), 0);
}

TEST_F(Commands, AnAdapterWithAnotherKeyRefusesEveryCommand) {
    AdapterConfig c;
    c.commandKey = {1, 2, 3};
    addLoader(c);
    connect();
    EXPECT_EQ(session_.sendAuthentication(), 1); // carries no CRC
    EXPECT_EQ(session_.eraseMass(), 1);
    EXPECT_NE(logText().find("MassErase 0x00000C00~0x00007FFF failed"), std::string::npos);
    EXPECT_EQ(session_.erasePage(0x4000, 0x47FF), 1);
    EXPECT_EQ(info(0), "<failed>");
    std::uint8_t b[64];
    EXPECT_EQ(session_.readData(0x4000, 0x403F, b), 1);
}

TEST_F(Commands, ResultsForMissingAdapterAndBadArguments) {
    EXPECT_EQ(session_.execute(), 16);
    EXPECT_EQ(session_.reset(), 16);
    EXPECT_EQ(session_.resetToIap(1), 16);
    EXPECT_EQ(session_.exit(), 16);
    EXPECT_EQ(session_.eraseMass(), 1);
    EXPECT_EQ(session_.sendAuthentication(), 0);
    addLoader();
    connect();
    std::uint8_t data[8] = {};
    const std::size_t writes = bus_.writes();
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4007, 1, nullptr), 18);
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4000, 1, data), 18);
    EXPECT_EQ(session_.writeProgram(0x4001, 0x4000, 1, data), 18);
    EXPECT_EQ(session_.writeProgram(0x4000, 0x4007, 2, data), 0);
    EXPECT_EQ(session_.readData(0x4000, 0x4007, nullptr), 18);
    EXPECT_EQ(session_.readData(0x4000, 0x4000, data), 18);
    std::uint8_t block[62] = {0x4F};
    EXPECT_EQ(session_.sendUserCmd(block), 0);
    EXPECT_EQ(session_.sendUserCmd(nullptr), 0);
    EXPECT_EQ(session_.crcCheck(nullptr, nullptr), 0);
    EXPECT_EQ(bus_.writes(), writes);
    block[0] = 0x51;
    EXPECT_EQ(session_.sendUserCmd(block), 1);
    EXPECT_EQ(session_.getUserResult(2), 1);
    for (int kind : {7, -1, 9, 100}) {
        std::uint16_t text[4] = {0xAAAA, 0xAAAA};
        int bytes = -1;
        EXPECT_EQ(session_.getInformation(kind, text, &bytes), 0);
        EXPECT_EQ(bytes, 0);
        EXPECT_EQ(text[0], 0);
    }
    EXPECT_EQ(session_.getInformation(0, nullptr, nullptr), 1);
    EXPECT_EQ(info(5), "N/A");
    EXPECT_EQ(info(2), "00000256");
    EXPECT_EQ(info(3), "00000032");
}

TEST_F(Commands, ResetClosesTheLinkAndTheApplicationTakesAnUnkeyedReset) {
    AdapterConfig c;
    c.startMode = Mode::Application;
    c.commandKey = kKey;
    auto& a = bus_.add(c);
    ASSERT_EQ(session_.isConnectedToDevice(0x3F27, 0x1004, 1), 1);
    EXPECT_EQ(session_.resetToIap(0), 0);
    clock_.advance(600);
    EXPECT_EQ(a.mode(clock_.nowMs()), Mode::Loader);
    connect();
    EXPECT_EQ(session_.reset(), 0);
    EXPECT_EQ(session_.state.writeHandle, isp::kNotOpen);
}

TEST_F(Commands, ADiscoveryThatFindsNothingLeavesTheHandlesSoTheNextCommandFindsTheAdapter) {
    AdapterConfig c;
    c.faults.returnInLoader = true; // an execute brings it back in its loader
    addLoader(c);
    connect();
    // Execute: the discovery right after it finds nothing (the adapter is
    // re-enumerating). The first command then fails on the old handles and
    // drops the link; the second one discovers the adapter again.
    ASSERT_EQ(session_.execute(), 0);
    clock_.advance(1000);
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.blankCheck(0x4000, 0x47FF), 1);
    EXPECT_EQ(logText(), "");
    EXPECT_EQ(session_.blankCheck(0x4000, 0x47FF), 0);

    // Exit, then a close by the caller: the same way back.
    ASSERT_EQ(session_.exit(), 0);
    session_.close();
    EXPECT_EQ(session_.blankCheck(0x4000, 0x47FF), 1);
    EXPECT_EQ(session_.blankCheck(0x4000, 0x47FF), 0);
    EXPECT_EQ(info(0), "QV32F3285");
    EXPECT_EQ(logText().find("WriteHandle error"), std::string::npos);
}

TEST_F(Commands, TheMassEraseLineCountsItsSizeWithSignedBounds) {
    AdapterConfig c;
    c.appStart = 0xC000; // above the application area's end, 0x7FFF
    addLoader(c);
    connect();
    EXPECT_EQ(info(6), "00049152");
    session_.state.libraryLog.clear();
    ASSERT_EQ(session_.eraseMass(), 0);
    EXPECT_EQ(logText(), "MassErase 0x0000C000~0x00007FFF success (-16 KB)");
    // A page erase of the whole address space is 4 GiB, not 0.
    session_.state.libraryLog.clear();
    EXPECT_EQ(session_.erasePage(0, 0xFFFFFFFF), 1);
    EXPECT_EQ(logText(), "Erase 0x00000000~0xFFFFFFFF failed");
}

TEST_F(Commands, AnAuthenticationTheAdapterRefusesIsNotTakenAsAccepted) {
    AdapterConfig c;
    c.commandKey = kKey;
    auto& a = bus_.add(c); // running its application, which has no loader session
    ASSERT_EQ(session_.isConnectedToDevice(0x3F27, 0x1004, 1), 1);
    EXPECT_EQ(session_.sendAuthentication(), 0);
    EXPECT_EQ(session_.state.rollingEnabled, 0);
    EXPECT_NE(logText().find("Device not ready"), std::string::npos);
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
}

TEST_F(Commands, ALoaderStillInAnotherProcesssSessionIsNotReady) {
    auto& a = addLoader();
    connect();
    ASSERT_EQ(session_.sendAuthentication(), 1);
    session_.close();
    // A new process: plain link state, while the loader keeps its rolling key.
    isp::Session next(&bus_);
    next.setCommandKey(kKey.data(), static_cast<int>(kKey.size()));
    ASSERT_EQ(next.isConnectedToDevice(0x3F27, 0x1005, 0), 1);
    EXPECT_EQ(next.readyCheck(), 0);
    EXPECT_EQ(next.sendAuthentication(), 0);
    std::uint16_t text[32];
    int bytes = -1;
    EXPECT_EQ(next.getInformation(0, text, &bytes), 1);
    EXPECT_TRUE(a.keyedPhase()) << "not in a keyed session";
}

} // namespace

// The loader takes the authentication but its answer comes after the 30 s
// limit: the tool cannot read it any more, yet the reset that ends the run
// must still end the session, or no later run could open one.
TEST_F(Commands, AResetEndsASessionWhoseAuthenticationWasAnsweredTooLate) {
    AdapterConfig c;
    c.faults.lateReplyMs[Command::Auth] = 31'000;
    c.faults.once = true;
    auto& a = addLoader(c);
    connect();
    EXPECT_EQ(session_.sendAuthentication(), 0);
    EXPECT_TRUE(a.keyedPhase()) << "not in a keyed session";
    // The session's key stream and the link's differ: every command fails.
    for (int attempt = 0; attempt < 20; ++attempt)
        EXPECT_EQ(info(0), "<failed>");
    session_.resetToIap(1);
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
    session_.close();
    clock_.advance(600);
    connect();
    ASSERT_EQ(session_.sendAuthentication(), 1);
    EXPECT_EQ(info(4), "IAP V105");
}
