// The window's update worker in virtual time: connected by the connection
// worker, its transfer workers run at once on the test's thread, and every
// change to the window is recorded.
#include "brisklink/isp.h"
#include "dialog/view.h"
#include "emulator/simulated_bus.h"
#include "image/program.h"
#include "image/trailer.h"
#include "isp/session.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "tools/trailer_builder.h"

#include "tests/support/memory.h"
#include "tests/support/random_bytes.h"
#include "tests/support/recording_view.h"
#include "tests/support/sample_trailer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using adapter::AdapterConfig;
using adapter::LoaderKind;
using adapter::Mode;
using testing_support::randomBytes;
using testing_support::RecordingView;

const std::vector<std::uint8_t> kKey = {0x5A, 0x69, 0x78, 0x87, 0x96, 0xA5, 0xB4, 0xC3};

// Runs each body at once: the transfer has ended when it is first polled.
class InlineThreads : public platform::Threads {
  public:
    struct Done : platform::Worker {
        int code;
        explicit Done(int c) : code(c) {}
        int exitCode() override { return code; }
        void join() override {}
    };
    // A pass that never ends on its own: it runs only when joined, that is
    // after the poll limit ran out and the pass was told to stop.
    struct Hung : platform::Worker {
        std::function<int()> body;
        int code = platform::kStillActive;
        int exitCode() override { return code; }
        void join() override {
            if (body) code = body();
            body = nullptr;
        }
    };
    std::unique_ptr<platform::Worker> start(std::function<int()> body) override {
        if (hang) {
            auto worker = std::make_unique<Hung>();
            worker->body = std::move(body);
            return worker;
        }
        return std::make_unique<Done>(body());
    }
    bool hang = false;
};

class DialogUpdate : public ::testing::Test {
  protected:
    DialogUpdate() : bus_(clock_, &clock_) {
        platform::setClock(&clock_);
        platform::hid::setBus(&bus_);
        platform::setThreads(&threads_);
        bus_.setEnumerateMilliseconds(20);
        path_ = std::filesystem::temp_directory_path() /
                ("brisklink-dialog-" + std::to_string(::getpid()) + ".bin");
        content_ = testing_support::sampleTrailer(kKey);
    }
    ~DialogUpdate() override {
        run_.reset();
        session_.reset();
        image::setProgramPath({});
        platform::setThreads(nullptr);
        platform::hid::setBus(nullptr);
        platform::setClock(nullptr);
        std::filesystem::remove(path_);
    }

    adapter::SimulatedAdapter& add(AdapterConfig c = {}) {
        c.commandKey = kKey;
        return bus_.add(c);
    }

    // Packs the trailer, loads it as the window does, connects.
    void connect() {
        const auto trailer = pack::buildTrailer(content_);
        std::ofstream(path_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(trailer.data()),
                   static_cast<std::streamsize>(trailer.size()));
        image::setProgramPath(path_.string());
        ASSERT_TRUE(steps::loadRelease(*session_, program_));
        RecordingView connecting;
        dialog::connectionWorker(connecting, *run_, connecting.states);
        ASSERT_EQ(connecting.states.dialog, dialog::kConnected)
            << connecting.text(dialog::kResultLabel);
    }

    // The update, its virtual duration kept.
    void update() {
        view_.states.dialog = dialog::kUpdating;
        const auto start = clock_.nowMs();
        EXPECT_EQ(dialog::updateWorker(view_, *run_, view_.states), 0);
        updateMs_ = clock_.nowMs() - start;
        EXPECT_EQ(view_.states.dialog, dialog::kIdle);
        EXPECT_EQ(view_.events.front(), "disable program");
        // The result first, then the button, its focus and the state in one
        // step: no click or close comes between them.
        EXPECT_EQ(std::vector<std::string>(view_.events.end() - 2, view_.events.end()),
                  (std::vector<std::string>{"enable connect", "focus connect"}));
        if (view_.text(dialog::kResultLabel) == "Operation successful.") {
            EXPECT_EQ(*(view_.events.end() - 3), "result Operation successful.");
        }
    }

    ::testing::AssertionResult flashHolds(adapter::SimulatedAdapter& a, std::uint32_t at,
                                          const std::vector<std::uint8_t>& bytes) {
        return testing_support::holds(a.internalFlash(), at, bytes);
    }

    // A new link and adapter record, as a new window would have: on the
    // process's bus, which some cases replace.
    void newSession() {
        run_.reset();
        session_ = std::make_unique<isp::Session>();
        run_ = std::unique_ptr<steps::Run>(new steps::Run{*session_, program_});
    }

    platform::VirtualClock clock_;
    adapter::SimulatedBus bus_;
    std::unique_ptr<isp::Session> session_ = std::make_unique<isp::Session>();
    image::ProgramData program_;
    std::unique_ptr<steps::Run> run_ =
        std::unique_ptr<steps::Run>(new steps::Run{*session_, program_});
    InlineThreads threads_;
    std::filesystem::path path_;
    pack::TrailerContent content_;
    RecordingView view_;
    std::int64_t updateMs_ = 0;
};

TEST_F(DialogUpdate, AnIapLoaderIsErasedByPagesProgrammedVerifiedAndRestarted) {
    auto& a = add();
    // With the digest check asked for: the adapter digests its application
    // area; a digest that does not match is the adapter's concern, and the
    // update goes on.
    content_.info.digestCheckEnabled = 1;
    content_.info.digest[0] = 0x34;
    content_.info.digest[1] = 0x12;
    connect();
    update();
    EXPECT_EQ(
        view_.results(),
        (std::vector<std::string>{"Erasing external....", "Programming external....",
                                  "Verifing external....", "Eraseing internal....",
                                  "Programming internal....", "Verifing....", "Digest Check....",
                                  "Reset to AP...", "Operation Success", "Operation successful."}));
    ASSERT_TRUE(a.lastDigest().has_value());
    EXPECT_FALSE(a.lastDigestMatched()) << "the adapter\'s digest matched";
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
    EXPECT_TRUE(testing_support::holds(a.externalFlash(), 0, content_.externalImage, 0x90000000));
    EXPECT_EQ(a.versionRecord(), "2.1.0");
    // The transfers end exactly at the image's last byte.
    EXPECT_EQ(std::count(a.commandLog().begin(), a.commandLog().end(), "mass-erase"), 0);
    clock_.advance(5000);
    EXPECT_EQ(a.mode(clock_.nowMs()), Mode::Application);
}

TEST_F(DialogUpdate, AnIspLoaderIsMassErasedResetAndReconnected) {
    AdapterConfig c;
    c.loaderKind = LoaderKind::ISP;
    auto& a = add(c);
    content_.externalImage.clear();
    connect();
    update();
    EXPECT_EQ(view_.results(), (std::vector<std::string>{
                                   "Eraseing internal....", "Reset....", "Connecting....",
                                   "Programming internal....", "Verifing....", "Reset to AP...",
                                   "Operation Success", "Operation successful."}));
    EXPECT_EQ(std::count(a.commandLog().begin(), a.commandLog().end(), "auth"), 2);
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
    EXPECT_EQ(a.versionRecord(), "2.1.0");
}

TEST_F(DialogUpdate, AnImageLargerThanTheFlashIsRefusedBeforeAnyErase) {
    auto& a = add();
    content_.internalImage = randomBytes(512 * 1024 + 1, 13);
    connect();
    const auto external = a.externalFlash();
    update();
    EXPECT_EQ(view_.events[1], "box Image Size Error: Image size is large the chip size!");
    EXPECT_EQ(view_.text(dialog::kStatusLabel), "Not Connected");
    EXPECT_EQ(view_.text(dialog::kResultLabel), "NA");
    EXPECT_EQ(a.externalFlash(), external);
    EXPECT_EQ(std::count_if(a.commandLog().begin(), a.commandLog().end(),
                            [](const std::string& l) { return l.rfind("page-erase", 0) == 0; }),
              0);
    EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
}

TEST_F(DialogUpdate, AFailedPassIsReportedWhenItEndsAndASecondUpdateRestores) {
    AdapterConfig c;
    c.faults.failVerifyReports = {100};
    c.faults.once = true;
    auto& a = add(c);
    connect();
    update();
    EXPECT_EQ(view_.text(dialog::kResultLabel), "AP Verify Failed!");
    // Not after the 4000 polls (40 s) of the poll limit: the pass had ended.
    EXPECT_LT(updateMs_, 20'000);
    view_.events.clear();
    clock_.advance(5000);
    connect();
    update();
    EXPECT_EQ(view_.text(dialog::kResultLabel), "Operation successful.");
    EXPECT_TRUE(flashHolds(a, 0x2000, content_.internalImage));
}

TEST_F(DialogUpdate, APassStillRunningAtItsLimitIsStoppedBeforeTheFailureSteps) {
    auto& a = add();
    content_.externalImage.clear();
    connect();
    threads_.hang = true;
    update();
    EXPECT_EQ(view_.text(dialog::kResultLabel), "Program Failed!");
    // The 4000 polls of 10 ms ran out, then the pass stopped before its
    // first report and ended; only then was the loader reset.
    EXPECT_GE(updateMs_, 40'000);
    EXPECT_EQ(std::count_if(a.commandLog().begin(), a.commandLog().end(),
                            [](const std::string& l) { return l.rfind("program", 0) == 0; }),
              0);
    EXPECT_EQ(a.commandLog().back(), "reset to loader");
    EXPECT_FALSE((*session_).stop().requested()) << "the pass's stop outlived it";
}

TEST_F(DialogUpdate, AnIspLoaderThatNeverComesBackIsNoSuccess) {
    AdapterConfig c;
    c.loaderKind = LoaderKind::ISP;
    c.startMode = Mode::Loader;
    add(c);
    connect();
    bus_.adapter(0).config().faults.neverReturn = true;
    update();
    EXPECT_EQ(view_.text(dialog::kResultLabel), "Connect IAP Fail!");
    const auto results = view_.results();
    EXPECT_EQ(std::find(results.begin(), results.end(), "Operation successful."), results.end());
}

} // namespace

namespace {

TEST_F(DialogUpdate, EachFailedStepShowsItsMessageAndNoSuccess) {
    using adapter::Command;
    struct Case {
        void (*inject)(adapter::Faults&);
        bool external;
        std::string message;
        LoaderKind loader = LoaderKind::IAP;
        bool afterMassErase = false; // injected once the mass erase has run
    };
    const std::vector<Case> cases = {
        {[](adapter::Faults& f) { f.statusText[Command::PageErase] = "F"; }, true,
         "Erase external failed! 90000000-90000BB7"},
        {[](adapter::Faults& f) { f.failProgramReports = {1}; }, true, "Program External Failed!"},
        {[](adapter::Faults& f) { f.failVerifyReports = {1}; }, true, "External Verify Failed!"},
        {[](adapter::Faults& f) { f.statusText[Command::PageErase] = "F"; }, false,
         "Erase Ver failed! 0x00001800-0x00001808"},
        {[](adapter::Faults& f) { f.failAt[Command::PageErase] = {0x2000}; }, false,
         "Erase AP failed! 00002000-0000470F"},
        {[](adapter::Faults& f) { f.statusText[Command::MassErase] = "F"; }, false,
         "Mass Erase failed!", LoaderKind::ISP},
        {[](adapter::Faults& f) {
             f.noReply = {Command::Ready};
             f.once = true;
         },
         false, "Reset Failed!", LoaderKind::ISP, true},
        {[](adapter::Faults& f) { f.failProgramReports = {100}; }, true, "Program Failed!"},
        {[](adapter::Faults& f) { f.failVerifyReports = {100}; }, true, "AP Verify Failed!"},
        {[](adapter::Faults& f) { f.failAt[Command::Program] = {0x1800}; }, false,
         "Program Version Failed!"},
        {[](adapter::Faults& f) { f.failAt[Command::Verify] = {0x1800}; }, false,
         "Version Verify Failed!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        newSession();
        adapter::SimulatedBus bus(clock_, &clock_);
        bus.setEnumerateMilliseconds(20);
        platform::hid::setBus(&bus);
        AdapterConfig config;
        config.commandKey = kKey;
        config.loaderKind = c.loader;
        auto& a = bus.add(config);
        content_ = testing_support::sampleTrailer(kKey);
        if (!c.external) content_.externalImage.clear();
        connect();
        bool injected = false;
        if (c.afterMassErase)
            bus.setWriteHook([&](std::size_t) {
                if (!injected && !a.commandLog().empty() && a.commandLog().back() == "mass-erase") {
                    c.inject(a.config().faults);
                    injected = true;
                }
            });
        else
            c.inject(a.config().faults);
        view_.events.clear();
        update();
        EXPECT_EQ(view_.text(dialog::kResultLabel), c.message);
        clock_.advance(5000);
        EXPECT_EQ(a.mode(clock_.nowMs()), Mode::Loader);
        EXPECT_FALSE(a.keyedPhase()) << "left in the session this run opened";
    }
    platform::hid::setBus(&bus_);
}

TEST_F(DialogUpdate, AnAdapterThatDoesNotReturnToItsApplicationStillEndsInSuccess) {
    AdapterConfig c;
    c.faults.returnInLoader = true;
    add(c);
    connect();
    update();
    auto results = view_.results();
    EXPECT_EQ(std::vector<std::string>(results.end() - 3, results.end()),
              (std::vector<std::string>{"Reset to AP...", "[ERROR] Can't Reset to AP...",
                                        "Operation successful."}));

    // Never back at all: 120 attempts a second apart, then the same.
    view_.events.clear();
    clock_.advance(5000);
    connect();
    bus_.adapter(0).config().faults = {};
    bus_.adapter(0).config().faults.neverReturn = true;
    update();
    results = view_.results();
    EXPECT_EQ(std::vector<std::string>(results.end() - 2, results.end()),
              (std::vector<std::string>{"[ERROR] Can't Reset to AP...", "Operation successful."}));
    EXPECT_GE(updateMs_, 120'000);
}

} // namespace
