// The console front end as a whole (switches, connection, update) against the
// simulated adapter in virtual time, so that every pause, time-out and attempt
// count runs exactly and at once.
#include "app/console.h"
#include "app/progress.h"
#include "brisklink/isp.h"
#include "emulator/simulated_bus.h"
#include "image/trailer.h"
#include "isp/crc.h"
#include "isp/session.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "steps/images.h"
#include "tools/trailer_builder.h"

#include "tests/support/memory.h"
#include "tests/support/random_bytes.h"
#include "tests/support/sample_trailer.h"

#include "tests/support/transcripts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {

using testing_support::randomBytes;

using adapter::AdapterConfig;
using adapter::LoaderKind;
using adapter::Mode;

const std::vector<std::uint8_t> kKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                        0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// The digest the adapter computes over its application area (0x2000-0x7FFF)
// once `image` is programmed at its start.
std::uint16_t appAreaDigest(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> area(0x6000, 0xFF);
    std::copy(image.begin(), image.begin() + std::min<std::size_t>(image.size(), area.size()),
              area.begin());
    return isp::crc16(0, area.data(), static_cast<int>(area.size()));
}

const std::string kConnected = "Connecting AP-->OK\n"
                               "Connecting IAP.-->OK\n"
                               "Connected\n"
                               "Loader F/W version: IAP V105\n"
                               "Chip F/W version: 1.0.0\n"
                               "EXE F/W version: 2.1.0\n";

const std::string& kIapUpdate = testing_support::kIapUpdateTranscript;

class Console : public ::testing::Test {
  protected:
    Console() : bus_(clock_, &clock_) {
        platform::setClock(&clock_);
        platform::hid::setBus(&bus_);
        // A system enumeration takes a while; back-to-back attempts rely on it.
        bus_.setEnumerateMilliseconds(20);
        path_ = std::filesystem::temp_directory_path() /
                ("brisklink-console-" + std::to_string(::getpid()) + ".bin");
        content_ = testing_support::sampleTrailer(kKey);
        setDigest();
    }
    ~Console() override {
        platform::clearInterrupt();
        session_.reset();
        image::setProgramPath({});
        platform::hid::setBus(nullptr);
        platform::setClock(nullptr);
        std::filesystem::remove(path_);
    }

    void setDigest() {
        const std::uint16_t digest = appAreaDigest(content_.internalImage);
        content_.info.digest[0] = static_cast<std::uint8_t>(digest & 0xFF);
        content_.info.digest[1] = static_cast<std::uint8_t>(digest >> 8);
        content_.info.digestCheckEnabled = 1;
    }

    adapter::SimulatedAdapter& add(AdapterConfig config = {}) {
        if (config.commandKey.empty()) config.commandKey = kKey;
        return bus_.add(config);
    }

    // Packs the updater file, then runs the program's entry point with `args`.
    struct Result {
        int exitCode;
        std::string out;
    };
    Result run(std::vector<std::string> args, std::size_t cutFromFront = 0) {
        std::vector<std::uint8_t> file = randomBytes(4096, 9);
        const auto trailer = pack::buildTrailer(content_);
        file.insert(file.end(), trailer.begin(), trailer.end());
        file.erase(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cutFromFront));
        std::ofstream(path_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
        image::setProgramPath(path_.string());

        args.insert(args.begin(), "IAP");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        ::testing::internal::CaptureStdout();
        const int code = app::appMain(static_cast<int>(argv.size()), argv.data(), *session_);
        return {code, ::testing::internal::GetCapturedStdout()};
    }

    // Lets the adapter finish whatever restart it is in.
    Mode settledMode(adapter::SimulatedAdapter& a) {
        clock_.advance(5000);
        return a.mode(clock_.nowMs());
    }

    ::testing::AssertionResult flashHolds(adapter::SimulatedAdapter& a, std::uint32_t address,
                                          const std::vector<std::uint8_t>& bytes) {
        return testing_support::holds(a.internalFlash(), address, bytes);
    }

    std::size_t logCount(adapter::SimulatedAdapter& a, const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& line : a.commandLog())
            n += line.rfind(prefix, 0) == 0;
        return n;
    }

    // A record of 0 or 1 text bytes reads back as that text, and such an
    // adapter can still be updated.
    void shortRecordIsReadAndUpdated(const std::string& version) {
        AdapterConfig c;
        c.version = version;
        auto& a = add(c);
        const auto r = run({"/c"});
        EXPECT_NE(r.out.find("Chip F/W version: " + version + "\nEXE F/W"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.exitCode, 0);
        clock_.advance(5000);
        const auto p = run({"/p"});
        EXPECT_EQ(p.exitCode, 0) << p.out;
        EXPECT_EQ(a.versionRecord(), "2.1.0");
    }

    // The fault fires once: the update fails with `tail`, leaves the adapter
    // in its loader, and the next run restores it completely.
    void failsOnceThenRestores(void (*inject)(adapter::Faults&), const std::string& tail) {
        AdapterConfig config;
        inject(config.faults);
        config.faults.once = true;
        auto& a = add(config);
        auto r = run({"/f"});
        EXPECT_NE(r.out.find(tail), std::string::npos) << r.out;
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(settledMode(a), Mode::Loader);
        r = run({"/f"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
        EXPECT_EQ(a.versionRecord(), "2.1.0");
        EXPECT_EQ(settledMode(a), Mode::Application);
    }

    // A new link, as a new process would have: on the process's bus, which
    // some cases replace.
    void newSession() { session_ = std::make_unique<isp::Session>(); }

    platform::VirtualClock clock_;
    adapter::SimulatedBus bus_;
    std::unique_ptr<isp::Session> session_ = std::make_unique<isp::Session>();
    std::filesystem::path path_;
    pack::TrailerContent content_;
};

TEST_F(Console, UpdateThroughAnIapLoaderProgramsBothImagesAndTheVersion) {
    auto& a = add();
    const auto r = run({"/p"});
    EXPECT_EQ(r.out, kConnected + kIapUpdate);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
    EXPECT_TRUE(testing_support::holds(a.externalFlash(), 0, content_.externalImage, 0x90000000));
    EXPECT_EQ(a.versionRecord(), "2.1.0");
    EXPECT_TRUE(a.lastDigestMatched()) << "the adapter computed another digest";
    EXPECT_EQ(settledMode(a), Mode::Application);
    // Two page erases (old record, application area) and no mass erase.
    EXPECT_EQ(logCount(a, "mass-erase"), 0u);
    // The old "1.0.0" record spans 0x1800-0x1808.
    EXPECT_EQ(logCount(a, "page-erase 0x00001800~0x00001808"), 1u);
    EXPECT_EQ(logCount(a, "page-erase 0x00002000~0x0000470F"), 1u);

    // A record whose digest is not the adapter's: the same transcript and
    // exit code, and the mismatch said on standard error.
    content_.info.digest[0] ^= 0xFF;
    ::testing::internal::CaptureStderr();
    const auto mismatched = run({"/f"});
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("reports a digest mismatch"),
              std::string::npos);
    EXPECT_NE(mismatched.out.find("\nDigest Check...\nReset to AP...\nOperation Success.\n"),
              std::string::npos);
    EXPECT_EQ(mismatched.exitCode, 0);
    EXPECT_FALSE(a.lastDigestMatched()) << "the adapter\'s digest matched";
    setDigest();

    // The next connection shows the new version; /c alone never compares.
    const auto again = run({"/c"});
    EXPECT_NE(again.out.find("Chip F/W version: 2.1.0\nEXE F/W version: 2.1.0\n"),
              std::string::npos);
    EXPECT_EQ(again.out.find("Skip"), std::string::npos);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(settledMode(a), Mode::Application);
}

TEST_F(Console, UpdateThroughAnIspLoaderErasesAllRestartsAndAuthenticatesAgain) {
    AdapterConfig c;
    c.loaderKind = LoaderKind::ISP;
    auto& a = add(c);
    const auto r = run({"/f"});
    std::string expected = kConnected;
    expected.replace(expected.find("IAP V105"), 3, "ISP");
    expected += "\nErasing external...\nProgramming external...\nVerifing external...\n"
                "Eraseing internal...\nReset...\nConnecting...\nProgramming internal...\n"
                "Verifing...\nDigest Check...\nReset to AP...\nOperation Success.\n\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(logCount(a, "mass-erase"), 1u);
    EXPECT_EQ(logCount(a, "auth"), 2u);
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
    EXPECT_EQ(a.versionRecord(), "2.1.0");
    EXPECT_EQ(settledMode(a), Mode::Application);
}

TEST_F(Console, AnIspLoaderThatNeverComesBackFailsTheUpdate) {
    AdapterConfig c;
    c.loaderKind = LoaderKind::ISP;
    c.startMode = Mode::Loader;
    c.faults.neverReturn = true;
    add(c);
    const auto r = run({"/f"});
    EXPECT_NE(r.out.find("Reset...\nConnecting...\nConnect IAP Fail!\nOperation Failed.\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Programming internal"), std::string::npos);
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Console, AnAdapterAlreadyInItsLoaderIsTakenAsItIs) {
    AdapterConfig c;
    c.startMode = Mode::Loader;
    auto& a = add(c);
    const auto r = run({"/c"});
    // No restart into the loader, so no wait for it either.
    EXPECT_EQ(r.out.rfind("Connecting AP-->OK\nConnecting IAP-->OK\nConnected\n", 0), 0u) << r.out;
    EXPECT_EQ(r.exitCode, 0);
    const auto& log = a.commandLog();
    const auto auth = std::find(log.begin(), log.end(), "auth");
    ASSERT_NE(auth, log.end());
    EXPECT_EQ(std::count_if(log.begin(), auth,
                            [](const std::string& line) { return line.rfind("reset", 0) == 0; }),
              0);
    // /c ends by sending it to its application.
    EXPECT_EQ(settledMode(a), Mode::Application);
}

TEST_F(Console, VersionComparisonDecidesWhetherPSkips) {
    AdapterConfig c;
    c.version = "2.1.0";
    auto& a = add(c);
    auto r = run({"/p"});
    EXPECT_EQ(r.out, "Connecting AP-->OK\nConnecting IAP.-->OK\nConnected\n"
                     "Loader F/W version: IAP V105\nChip F/W version: 2.1.0\n"
                     "EXE F/W version: 2.1.0\n"
                     "F/W version 2.1.0 is newer than the IAP EXE version 2.1.0 (not case "
                     "sensitive).\nSkip firmware update (/f for force update).\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(logCount(a, "page-erase"), 0u);
    EXPECT_EQ(settledMode(a), Mode::Application);

    // /f after /p on the same line decides: no comparison, the update runs.
    r = run({"/p", "/F"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Operation Success."), std::string::npos);
}

TEST_F(Console, ComparisonIsByUpperCasedCodeUnits) {
    using steps::updateNotNewer;
    EXPECT_TRUE(updateNotNewer(u"v2.1.0", u"V2.1.0"));
    EXPECT_TRUE(updateNotNewer(u"V1.10", u"V1.9")); // '1' sorts before '9'
    EXPECT_FALSE(updateNotNewer(u"V2.0", u"V1.9"));
    EXPECT_FALSE(updateNotNewer(u"V2.0", u"nA")); // no version on the adapter
    EXPECT_TRUE(updateNotNewer(u"V1", u"V1.0"));  // a prefix is smaller
    EXPECT_FALSE(updateNotNewer(u"V1", u""));     // an empty version is older than any
    EXPECT_EQ(steps::decimalValue(u"  -42abc"), -42);
    EXPECT_EQ(steps::decimalValue(u"00524288"), 524288);
    EXPECT_EQ(steps::decimalValue(u"x1"), 0);
    EXPECT_EQ(steps::decimalValue(u"99999999999"), 2147483647);
}

TEST_F(Console, AnErasedVersionRecordLetsPUpdateAndIsErasedInFull) {
    AdapterConfig c;
    c.version.reset();
    auto& a = add(c);
    const auto r = run({"/p"});
    EXPECT_NE(r.out.find("Chip F/W version: NA\n"), std::string::npos);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(logCount(a, "page-erase 0x00001800~0x00001883"), 1u);
    EXPECT_EQ(a.versionRecord(), "2.1.0");
}

TEST_F(Console, AnEmptyVersionRecordIsAnEmptyVersion) { shortRecordIsReadAndUpdated(""); }

TEST_F(Console, AOneByteVersionRecordIsRead) { shortRecordIsReadAndUpdated("1"); }

TEST_F(Console, AnAdapterThatNeverAppearsFailsAfterSixtyPacedAttempts) {
    const auto r = run({"/p"});
    EXPECT_EQ(r.out, "Connecting AP" + std::string(60, '.') + "\nConnect AP Fail!\n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_GE(clock_.nowMs(), 60 * 500);
}

TEST_F(Console, WithoutAnApplicationIdentityTheSearchStartsInTheLoader) {
    std::memset(content_.info.apVendorId, 0, sizeof content_.info.apVendorId);
    AdapterConfig c;
    c.startMode = Mode::Loader;
    auto& a = add(c);
    const auto r = run({"/f"});
    EXPECT_EQ(r.out.rfind("Connecting IAP-->OK\nConnected\n", 0), 0u) << r.out;
    // No return check either: success right after the pause.
    EXPECT_NE(r.out.find("Reset to AP...\nOperation Success.\n\n"), std::string::npos);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
}

TEST_F(Console, AnImageLargerThanTheFlashIsRefusedBeforeAnyErase) {
    auto& a = add();
    const auto flash = a.internalFlash();
    const auto external = a.externalFlash();
    // One byte more than the flash, with an external image that fits: the
    // external region is not rewritten for a release this adapter cannot take.
    content_.internalImage = randomBytes(512 * 1024 + 1, 3);
    const auto r = run({"/f"});
    EXPECT_EQ(r.out, kConnected + "\nNot Connected\nOperation Failed.\n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(a.internalFlash(), flash);
    EXPECT_EQ(a.externalFlash(), external);
    EXPECT_EQ(logCount(a, "page-erase"), 0u);
    EXPECT_EQ(logCount(a, "program"), 0u);
    EXPECT_EQ(settledMode(a), Mode::Loader);
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
}

TEST_F(Console, ATrailerWhoseImagesDoNotFitLeavesTheAdapterUntouched) {
    auto& a = add();
    // The trailer promises more image bytes than the file holds: refused
    // before the adapter is looked for, so its session never starts.
    const auto r = run({"/f"}, 6000);
    EXPECT_EQ(r.out, "\nImage format invalid!\n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(bus_.writes(), 0u);
    EXPECT_EQ(settledMode(a), Mode::Application);
    // The same trailer is still fine for what needs no images.
    EXPECT_EQ(run({"/e"}, 6000).exitCode, 0);
}

TEST_F(Console, AnInterruptedRunEndsTheSessionAndASecondRunRestores) {
    // Points of an IAP update, by report: the connection before and after
    // the authentication, the external erase, program and verify, the
    // internal erase, program and verify, the digest check, the version
    // record, the wait for the restarted adapter; of an ISP update: the
    // reconnection after its reset and the program pass after it.
    struct Point {
        LoaderKind kind;
        std::size_t atWrite;
    };
    std::vector<Point> points;
    for (std::size_t w : {2, 12, 19, 50, 100, 140, 250, 440, 533, 537})
        points.push_back({LoaderKind::IAP, w});
    for (std::size_t w : {142, 170})
        points.push_back({LoaderKind::ISP, w});
    for (const Point& point : points) {
        SCOPED_TRACE(point.atWrite);
        newSession();
        platform::clearInterrupt();
        adapter::SimulatedBus bus(clock_, &clock_);
        bus.setEnumerateMilliseconds(20);
        platform::hid::setBus(&bus);
        AdapterConfig c;
        c.loaderKind = point.kind;
        c.commandKey = kKey;
        auto& a = bus.add(c);
        bus.setWriteHook([&](std::size_t n) {
            if (n == point.atWrite) platform::requestInterrupt();
        });
        ::testing::internal::CaptureStderr();
        auto r = run({"/f"});
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("The update was interrupted; "),
                  std::string::npos);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.out, ::testing::EndsWith("Operation Failed.\n\n")) << r.out;
        EXPECT_EQ(r.out.find("Success"), std::string::npos);
        EXPECT_EQ(r.out.find("Failed!"), std::string::npos) << r.out; // no step failed
        settledMode(a);
        EXPECT_FALSE(a.keyedPhase()) << r.out;

        bus.setWriteHook({});
        platform::clearInterrupt();
        r = run({"/f"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
        EXPECT_EQ(a.versionRecord(), "2.1.0");
        EXPECT_EQ(settledMode(a), Mode::Application);
        platform::hid::setBus(&bus_);
    }
}

TEST_F(Console, AnInterruptCutsAReplyWaitShortAndTheSessionStillEnds) {
    // A ready check that is never answered (its limit is 30 s) ends at once.
    // An erase that answers after 20 s: the run still ends the adapter's
    // session, once the erase is done. One that answers after 50 s, with a
    // second Ctrl-C while the closing reset waits: the run ends at once and
    // leaves the adapter in its session.
    struct Case {
        adapter::Command command;
        std::int64_t lateMs; // 0: never answered
        int interrupts;
        std::int64_t endsWithinMs;
        bool keyedAfter;
    };
    using adapter::Command;
    for (const Case& c :
         {Case{Command::Ready, 0, 1, 1000, false}, Case{Command::PageErase, 20000, 1, 21000, false},
          Case{Command::PageErase, 50000, 2, 1000, true}}) {
        SCOPED_TRACE(adapter::commandName(c.command));
        newSession();
        platform::clearInterrupt();
        AdapterConfig config;
        config.commandKey = kKey;
        if (c.lateMs == 0)
            config.faults.noReply.insert(c.command);
        else
            config.faults.lateReplyMs[c.command] = c.lateMs;
        config.faults.once = true;
        adapter::SimulatedBus bus(clock_, &clock_);
        platform::hid::setBus(&bus);
        auto& a = bus.add(config);
        std::int64_t interruptedAt = -1;
        int raised = 0;
        bus.setWriteHook([&](std::size_t) {
            const bool due = c.command == Command::Ready || logCount(a, "page-erase") > 0;
            if (due && raised < c.interrupts) {
                if (raised++ == 0) interruptedAt = clock_.nowMs();
                platform::requestInterrupt();
            }
        });
        const auto r = run({"/f"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_LE(clock_.nowMs() - interruptedAt, c.endsWithinMs) << r.out;
        EXPECT_THAT(r.out, ::testing::EndsWith("Operation Failed.\n\n")) << r.out;
        EXPECT_EQ(a.keyedPhase(), c.keyedAfter);
        platform::clearInterrupt();
        platform::hid::setBus(&bus_);
    }
}

TEST_F(Console, AFailedSearchSaysWhatItSawOnStandardError) {
    // Nothing of the adapter's vendor; then the adapter with another usage
    // page, and a device of the vendor with a third product ID.
    // A batch or a listing that finds none says the same.
    auto search = [&](std::vector<std::string> args = {"/c"},
                      const std::string& out =
                          "Connecting AP" + std::string(60, '.') + "\nConnect AP Fail!\n\n") {
        ::testing::internal::CaptureStderr();
        const auto r = run(args);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.exitCode, 1);
        return ::testing::internal::GetCapturedStderr();
    };
    const std::string nothing = "The search saw: no HID device of vendor 3F27 is on the bus\n";
    EXPECT_EQ(search(), nothing);
    EXPECT_EQ(search({"/a", "/c"}, "0 adapters: 0 read, 0 failed\n"), nothing);
    EXPECT_EQ(search({"/l"}, "No adapter is on the bus.\n"), nothing);
    AdapterConfig wrongPage, otherProduct;
    wrongPage.application.usageSelector = 3;
    otherProduct.application.productId = 0x1010;
    add(wrongPage);
    add(otherProduct);
    EXPECT_EQ(search(), "The search saw: devices of vendor 3F27 not taken: 3F27:1004 at emu-1: "
                        "usage page FF03, not FF01 (selector 01); 3F27:1010 at emu-2: product "
                        "1010 is neither the application's (1004) nor the loader's (1005)\n");
}

TEST_F(Console, ALoaderHeldByAnotherSessionIsReportedOnStandardError) {
    AdapterConfig c;
    c.startMode = Mode::Loader;
    auto& a = add(c);
    // An earlier process authenticated and ended without a reset.
    {
        isp::Session earlier;
        earlier.setCommandKey(kKey.data(), static_cast<int>(kKey.size()));
        ASSERT_EQ(earlier.isConnectedToDevice(0x3F27, 0x1005, 0), 1);
        ASSERT_EQ(earlier.sendAuthentication(), 1);
    }

    ::testing::internal::CaptureStderr();
    const auto r = run({"/c"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    std::string failures;
    for (int i = 0; i < 20; ++i)
        failures += "ISP_GetInformation 0\t-->Fail\n";
    EXPECT_EQ(r.out,
              "Connecting AP-->OK\nConnecting IAP-->OK\n" + failures + "EXE F/W version: 2.1.0\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(err.find("Unplug the adapter, plug it in again"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_TRUE(a.keyedPhase()) << "not in a keyed session";
    // As the hint says: unplugged and plugged in again, it answers.
    a.replug(clock_.nowMs());
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
    EXPECT_EQ(run({"/c"}).exitCode, 0);

    // Another command key, on a loader that would answer commands before a
    // session: nothing is sent before the authentication, so the wrong key
    // shows only after it, and the adapter stays in that session.
    AdapterConfig other;
    other.startMode = Mode::Loader;
    other.commandKey = std::vector<std::uint8_t>(16, 0x5A);
    other.plainCommands = true;
    platform::hid::setBus(nullptr);
    adapter::SimulatedBus bus(clock_, &clock_);
    platform::hid::setBus(&bus);
    auto& b = bus.add(other);
    newSession();
    ::testing::internal::CaptureStderr();
    const auto refused = run({"/c"});
    const std::string wrong = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused.out,
              "Connecting AP-->OK\nConnecting IAP-->OK\n" + failures + "EXE F/W version: 2.1.0\n");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(wrong.find("command key is not the adapter's"), std::string::npos) << wrong;
    EXPECT_NE(wrong.find("stays in the session"), std::string::npos) << wrong;
    EXPECT_TRUE(b.keyedPhase()) << "not in a keyed session";
    platform::hid::setBus(&bus_);
}

TEST_F(Console, AnAdapterThisUserMayNotOpenIsNamedOnceWithItsUdevRule) {
    bus_.addDenied({"/dev/hidraw7", {0x3F27, 0x1005}});
    bus_.addDenied({"/dev/hidraw2", {0x1234, 0x5678}}); // someone else's device
    ::testing::internal::CaptureStderr();
    const auto r = run({"/c"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    // Standard output is the transcript of an absent adapter.
    EXPECT_EQ(r.out, "Connecting AP" + std::string(60, '.') + "\nConnect AP Fail!\n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(err.find("/dev/hidraw7 is the adapter, but this user may not open it."), 0u) << err;
    EXPECT_NE(err.find("SUBSYSTEM==\"hidraw\", KERNELS==\"*:3F27:1004.*\", TAG+=\"uaccess\""),
              std::string::npos);
    EXPECT_NE(err.find("KERNELS==\"*:3F27:1005.*\""), std::string::npos);
    EXPECT_EQ(err.find("hidraw2"), std::string::npos);
    EXPECT_EQ(err.find("/dev/hidraw7", 1), std::string::npos) << "said twice";

    // Silent mode says nothing.
    ::testing::internal::CaptureStderr();
    run({"/c", "/s"});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A hidraw enumeration takes a few milliseconds: the back-to-back loops
// still wait the second an adapter needs to come back after its restart.
TEST_F(Console, FastEnumerationsStillWaitForAnAdapterThatTakesASecondToComeBack) {
    bus_.setEnumerateMilliseconds(0);
    for (LoaderKind kind : {LoaderKind::ISP, LoaderKind::IAP}) {
        SCOPED_TRACE(kind == LoaderKind::ISP ? "ISP" : "IAP");
        adapter::SimulatedBus bus(clock_, &clock_);
        platform::hid::setBus(&bus);
        newSession();
        AdapterConfig c;
        c.loaderKind = kind;
        c.commandKey = kKey;
        c.reenumerateMs = 1000;
        auto& a = bus.add(c);
        const auto r = run({"/f"});
        EXPECT_EQ(r.out.find("Fail"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("[ERROR]"), std::string::npos) << r.out;
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(settledMode(a), Mode::Application);
        EXPECT_EQ(a.versionRecord(), "2.1.0");
    }
    platform::hid::setBus(&bus_);
}

TEST_F(Console, AVersionTheRecordCannotHoldWholeComparesAsStored) {
    // 42 three-byte characters and "ab" fill the 128 bytes; the rest is cut.
    std::u16string version(42, u'\u20AC');
    version += u"ab";
    version += std::u16string(5, u'\u20AC');
    pack::setTextField(content_.info.firmwareVersion, version);
    auto& a = add();
    auto r = run({"/f"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_EQ(a.versionRecord()->size(), 128u);
    r = run({"/p"});
    EXPECT_NE(r.out.find("Skip firmware update"), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(steps::storedVersionText(version), version.substr(0, 44));
}

TEST_F(Console, WordEndsOfImagesAndRecords) {
    EXPECT_EQ(steps::wordEnd(0x2000, 10), 0x200Bu);
    EXPECT_EQ(steps::wordEnd(0x1800, 4 + 5), 0x180Bu);
    EXPECT_EQ(steps::wordEnd(0x2001, 4), 0x2007u);
    const auto record = steps::versionRecord(std::u16string(200, u'x'));
    EXPECT_EQ(record[0], 128);
    EXPECT_EQ(record[4 + 127], 'x');
    EXPECT_EQ(record[4 + 128], 0xFF);

    // A 10-byte image is erased over its bytes and written to its word end.
    content_.internalImage = randomBytes(10, 5);
    content_.externalImage.clear();
    content_.info.digestCheckEnabled = 0;
    auto& a = add();
    const auto r = run({"/f"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out.find("Digest Check"), std::string::npos);
    EXPECT_EQ(logCount(a, "page-erase 0x00002000~0x00002009"), 1u);
    EXPECT_EQ(logCount(a, "program 0x00002000 (pass start)"), 1u);
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
    EXPECT_EQ(a.internalFlash()[0x200A], 0xFF); // the padding leaves flash erased
}

TEST_F(Console, AFailedVerifyEndsTheUpdateAndASecondRunRestores) {
    failsOnceThenRestores([](adapter::Faults& f) { f.failVerifyReports = {100}; },
                          "Verifing...\nAP Verify Failed!Operation Failed.\n\n");
}

TEST_F(Console, AFailedProgramPassEndsTheUpdateAndASecondRunRestores) {
    failsOnceThenRestores([](adapter::Faults& f) { f.failProgramReports = {100}; },
                          "Programming internal...\nProgram Failed!\nOperation Failed.\n\n");
}

// The loader takes the authentication and answers after the 30 s limit:
// the run fails, and its closing reset still ends the loader's session.
TEST_F(Console, AnAuthenticationAnsweredTooLateFailsAndASecondRunRestores) {
    failsOnceThenRestores(
        [](adapter::Faults& f) { f.lateReplyMs[adapter::Command::Auth] = 31'000; },
        "ISP_GetInformation 0\t-->Fail\nEXE F/W version: 2.1.0\n");
}

TEST_F(Console, AFailedExternalEraseNamesItsRange) {
    failsOnceThenRestores(
        [](adapter::Faults& f) { f.statusText[adapter::Command::PageErase] = "F"; },
        "Erasing external...\nErase external failed! 90000000-90000BB7Operation Failed.\n\n");
}

TEST_F(Console, AnAdapterThatRestartsIntoItsLoaderGetsTheErrorLineButTheUpdateStands) {
    AdapterConfig c;
    c.faults.returnInLoader = true;
    auto& a = add(c);
    const auto r = run({"/f"});
    EXPECT_NE(r.out.find("Reset to AP...\n[ERROR] Can't Reset to AP...\nOperation Success.\n\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(a.versionRecord(), "2.1.0");
    // A script is told it failed, with the line that says why, also with /s.
    clock_.advance(5000);
    const auto json = run({"/j", "/s", "/f"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_NE(json.out.find(
                  "{\"event\":\"result\",\"location\":\"emu-1\",\"serial\":null,"
                  "\"ok\":false,"
                  "\"status\":\"failed\",\"message\":\"[ERROR] Can't Reset to AP...\","
                  "\"step\":\"return_check\",\"failure\":\"[ERROR] Can't Reset to AP...\","
                  "\"version\":\"2.1.0\",\"digest\":{\"expected\":\"BCE0\",\"adapter\":\"BCE0\","
                  "\"match\":true},\"station\":"),
              std::string::npos)
        << json.out;
}

// "/c /p" where the cable is pulled in the second connection: the version
// the first one read still leads to the skip line, but a script is told
// the adapter failed, not that it is current.
TEST_F(Console, AVersionFromAConnectionThatFailedIsNeverCurrent) {
    AdapterConfig c;
    c.version = "2.1.0";
    c.commandKey = kKey;
    add(c);
    ASSERT_EQ(run({"/c"}).exitCode, 0);
    adapter::SimulatedBus bus(clock_, &clock_);
    platform::hid::setBus(&bus);
    c.faults.vanishAfterWrites = static_cast<int>(bus_.writes()) + 5;
    c.faults.once = true;
    bus.add(c);
    newSession();
    ::testing::internal::CaptureStderr();
    const auto r = run({"/j", "/c", "/p"});
    // A pulled cable is no wrong key.
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("key"), std::string::npos);
    platform::hid::setBus(&bus_);
    EXPECT_NE(r.out.find("Skip firmware update"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"ok\":false,\"status\":\"failed\""), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Console, SilentModePrintsNothingAndKeepsTheResult) {
    auto& a = add();
    const auto r = run({"/s", "/p"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(a.versionRecord(), "2.1.0");
    // /c and then the update: two connections, the exit code of the update.
    const auto both = run({"/c", "/p", "/e"});
    EXPECT_EQ(both.out.rfind("EXE F/W version: 2.1.0\n\nConnecting AP", 0), 0u);
    EXPECT_NE(both.out.find("Skip firmware update"), std::string::npos);
    EXPECT_EQ(both.exitCode, 1);
}

} // namespace

namespace {

TEST(ProgressLine, ShowsStepBarShareBytesRateAndTimeLeftWithinTheWidth) {
    EXPECT_EQ(app::renderProgress("Programming internal", 128 * 1024, 256 * 1024, 4000),
              "Programming internal [###    ]   50%  128.0/256.0 KiB  32.0 KiB/s  0:04 left");
    EXPECT_EQ(app::renderProgress("Verifying", 1000, 1000, 2000),
              "Verifying [######################]  100%  1000/1000 B  500 B/s  0:00 left");
    // No rate before half a second has passed or a byte is done.
    EXPECT_EQ(app::renderProgress("Verifying", 0, 3 << 20, 100).substr(9),
              " [                      ]    0%  0.0/3.0 MiB  --/s  -:-- left");
    // The bar keeps its width through a pass, whatever the rate says.
    EXPECT_EQ(app::renderProgress("Verifying", 0, 3 << 20, 100).find(']'),
              app::renderProgress("Verifying", 2 << 20, 3 << 20, 61'000).find(']'));
    // More done than the total (a last report padded to a word) counts as all.
    EXPECT_NE(app::renderProgress("Verifying", 5000, 1000, 2000).find("100%"), std::string::npos);
    // A narrow terminal loses the bar first, then the end of the line.
    const std::string narrow = app::renderProgress("Programming internal", 1, 2, 1000, 40);
    EXPECT_EQ(narrow.size(), 39u);
    EXPECT_EQ(narrow.find('['), std::string::npos);
    for (int width : {20, 60, 80, 200})
        EXPECT_LE(app::renderProgress("Programming external", 77, 100, 9000, width).size(),
                  static_cast<std::size_t>(width - 1));
}

TEST(ProgressLine, AStepWithoutAMeasureShowsABlockMovingAndTheTimeSoFar) {
    const std::string first = app::renderProgress("Erasing internal", 0, 0, 0);
    const std::string later = app::renderProgress("Erasing internal", 0, 0, 61'400);
    EXPECT_EQ(first, "Erasing internal [<=>                           ]  0:00");
    EXPECT_NE(later.find("<=>"), std::string::npos);
    EXPECT_NE(later.find("<=>"), first.find("<=>"));
    EXPECT_EQ(later.substr(later.size() - 6), "  1:01");
}

} // namespace
