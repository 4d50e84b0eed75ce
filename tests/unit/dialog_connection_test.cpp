// The dialog's connection worker against simulated adapters in virtual time,
// through a view that records every change the worker makes to the window.
#include "brisklink/isp.h"
#include "dialog/view.h"
#include "dialog/window.h"
#include "emulator/simulated_bus.h"
#include "image/program.h"
#include "isp/session.h"
#include "platform/clock.h"
#include "platform/text.h"

#include "tests/support/recording_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using adapter::AdapterConfig;
using adapter::Mode;
using testing_support::RecordingView;

// A bus on which the adapter turns up only at a chosen enumeration.
class LateBus : public adapter::SimulatedBus {
  public:
    using SimulatedBus::SimulatedBus;
    std::vector<std::string> enumerate() override {
        if (++enumerations_ == arriveAt && size() == 0) add(arriving);
        return SimulatedBus::enumerate();
    }
    int arriveAt = -1;
    AdapterConfig arriving;

  private:
    int enumerations_ = 0;
};

class DialogConnection : public ::testing::Test {
  protected:
    DialogConnection() : bus_(clock_, &clock_) {
        platform::setClock(&clock_);
        platform::hid::setBus(&bus_);
        bus_.setEnumerateMilliseconds(20);
        image::ProgramData& p = program_;
        p.apVendorId = 0x3F27;
        p.apProductId = 0x1004;
        p.apUsageSelector = 1;
        p.iapVendorId = 0x3F27;
        p.iapProductId = 0x1005;
        p.iapUsageSelector = 0;
        view_.states.dialog = dialog::kConnecting;
    }
    ~DialogConnection() override {
        session_.reset();
        platform::hid::setBus(nullptr);
        platform::setClock(nullptr);
    }

    adapter::SimulatedAdapter& add(AdapterConfig c = {}) {
        c.commandKey.assign(64, 0); // the key the link folds in before it is given one
        return bus_.add(c);
    }

    // The events from the first one that starts with `from`.
    std::vector<std::string> eventsFrom(const std::string& from) {
        auto it = std::find_if(view_.events.begin(), view_.events.end(),
                               [&](const std::string& e) { return e.rfind(from, 0) == 0; });
        return {it, view_.events.end()};
    }

    platform::VirtualClock clock_;
    LateBus bus_;
    std::unique_ptr<isp::Session> session_ = std::make_unique<isp::Session>();
    image::ProgramData program_;
    steps::Run run_{*session_, program_};
    RecordingView view_;
};

TEST_F(DialogConnection, TheApplicationIsSentIntoItsLoaderAndReadThrough) {
    auto& a = add();
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    // One AP attempt; the loader needs a few attempts while it re-enumerates.
    const std::vector<std::string> start = {"disable connect", "status Not Connected",
                                            "result NA",       "result Connecting AP.",
                                            "progress 0",      "result Connecting IAP."};
    ASSERT_GE(view_.events.size(), start.size());
    EXPECT_EQ(std::vector<std::string>(view_.events.begin(), view_.events.begin() + 6), start);
    EXPECT_EQ(eventsFrom("version "),
              (std::vector<std::string>{"version 1.0.0", "result Connected",
                                        "status USB, QV32F3285, IAP V105", "enable program",
                                        "focus program"}));
    EXPECT_EQ(view_.states.dialog, dialog::kConnected);
    const steps::AdapterState& s = run_.state;
    EXPECT_EQ(s.iapLoader, 1);
    EXPECT_EQ(s.chipFlashSize, 512u * 1024);
    EXPECT_EQ(s.apStartAddress, 0x2000u);
    EXPECT_EQ(s.versionEnd, 0x1800u + 3 + 5);
    EXPECT_TRUE(a.keyedPhase()) << "not in a keyed session";
}

TEST_F(DialogConnection, ALoaderIsTakenAsItIsAndZeroIdentitiesSkipTheApPhase) {
    AdapterConfig c;
    c.startMode = Mode::Loader;
    c.version = "1"; // a one-byte record reads as it is
    auto& a = add(c);
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    EXPECT_EQ(view_.text(dialog::kCurrentVersion), "1");
    EXPECT_EQ(std::count(a.commandLog().begin(), a.commandLog().end(), "reset to application"), 0);

    // Out of the session, as the update or the closing window would do.
    (*session_).resetToIap(1);
    (*session_).close();
    clock_.advance(1000);
    program_.apProductId = 0;
    view_.events.clear();
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    EXPECT_TRUE(eventsFrom("result Connecting AP").empty());
    EXPECT_EQ(view_.events[3], "progress 0");
    EXPECT_EQ(view_.events[4], "result Connecting IAP.");
    EXPECT_EQ(view_.states.dialog, dialog::kConnected);
}

TEST_F(DialogConnection, NoAdapterFailsAfter240CyclingAttempts) {
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    // Attempt k shows k mod 4 dots (1 to 4) and then the bar at
    // 4 * floor(100k / 240) mod 100.
    const auto ap = eventsFrom("result Connecting AP");
    ASSERT_EQ(ap.size(), 2u * 240 + 4);
    EXPECT_EQ(ap[0], "result Connecting AP.");
    EXPECT_EQ(ap[1], "progress 0");
    EXPECT_EQ(ap[6], "result Connecting AP....");
    EXPECT_EQ(ap[7], "progress 4"); // k = 4: floor(400 / 240) = 1
    EXPECT_EQ(ap[8], "result Connecting AP.");
    EXPECT_EQ(ap[2 * 29 + 1], "progress 48"); // k = 30: 4 * 12
    EXPECT_EQ(ap[2 * 119 + 1], "progress 0"); // k = 120: 4 * 50 mod 100
    EXPECT_EQ(ap[2 * 239 + 1], "progress 0"); // k = 240: 400 mod 100
    EXPECT_EQ(std::vector<std::string>(ap.end() - 4, ap.end()),
              (std::vector<std::string>{"progress 0", "result Connect AP Fail!", "enable connect",
                                        "focus connect"}));
    EXPECT_GE(clock_.nowMs(), 240 * 500);
    EXPECT_EQ(view_.states.dialog, dialog::kIdle);
}

TEST_F(DialogConnection, AnAnswerOnTheLastAttemptCounts) {
    bus_.arriveAt = 2 * 240 - 1; // the AP discovery of attempt 240
    bus_.arriving.commandKey.assign(64, 0);
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    EXPECT_EQ(std::count(view_.events.begin(), view_.events.end(), "result Connecting AP...."), 60);
    EXPECT_EQ(view_.text(dialog::kResultLabel), "Connected");
    EXPECT_EQ(view_.states.dialog, dialog::kConnected);
}

TEST_F(DialogConnection, ALoaderThatNeverComesBackAndAFailedReadEndTheConnection) {
    AdapterConfig c;
    c.faults.neverReturn = true;
    add(c);
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    EXPECT_EQ(
        eventsFrom("result Connect IAP Fail!"),
        (std::vector<std::string>{"result Connect IAP Fail!", "enable connect", "focus connect"}));
    EXPECT_EQ(view_.states.dialog, dialog::kIdle);
}

TEST_F(DialogConnection, AFailedInformationReadTakesTheFailureExitSilently) {
    AdapterConfig c;
    c.startMode = Mode::Loader;
    c.faults.statusText[adapter::Command::Info] = "F";
    auto& a = add(c);
    EXPECT_EQ(dialog::connectionWorker(view_, run_, view_.states), 0);
    // The result line keeps the last search text; the loader was restarted.
    EXPECT_EQ(view_.text(dialog::kResultLabel), "Connecting IAP.");
    EXPECT_EQ(view_.text(dialog::kStatusLabel), "Not Connected");
    EXPECT_EQ(view_.texts.count(dialog::kCurrentVersion), 0u);
    EXPECT_EQ(a.commandLog().back(), "reset to loader");
    EXPECT_EQ(view_.states.dialog, dialog::kIdle);
    EXPECT_EQ(view_.events.back(), "focus connect");
}

} // namespace

namespace {

// The window's key and button handling, with workers that are only counted.
class CountingThreads : public platform::Threads {
  public:
    struct Idle : platform::Worker {
        int exitCode() override { return platform::kStillActive; }
        void join() override {}
    };
    std::unique_ptr<platform::Worker> start(std::function<int()>) override {
        ++started;
        return std::make_unique<Idle>();
    }
    int started = 0;
};

struct TestWindow : dialog::CBrisklinkDlg {
    using CBrisklinkDlg::CBrisklinkDlg;
    using CBrisklinkDlg::OnBnClickedConnect;
    using CBrisklinkDlg::OnBnClickedProgram;
    using CBrisklinkDlg::OnClose;
    bool key(std::uintptr_t code) {
        return PreTranslateMessage({nullptr, platform::ui::kKeyDown, code, 0});
    }
};

// A close while a worker holds the link sends nothing; once the workers
// are done, it sends an adapter left in its loader back to its application.
TEST_F(DialogConnection, ACloseWhileAWorkerRunsIsRefusedAndLaterResetsTheLoader) {
    AdapterConfig c;
    c.startMode = Mode::Loader;
    auto& a = add(c);
    TestWindow window(*session_, program_);
    for (int state : {dialog::kConnecting, dialog::kUpdating}) {
        window.states().dialog = state;
        window.OnClose();
        EXPECT_EQ(bus_.writes(), 0u) << state;
    }
    window.states().dialog = dialog::kConnected;
    window.OnClose();
    EXPECT_GT(bus_.writes(), 0u);
    clock_.advance(5000);
    EXPECT_EQ(a.mode(clock_.nowMs()), Mode::Application);
}

TEST(DialogKeys, ReturnStartsTheStepOfTheStateAndEscapeIsSwallowed) {
    CountingThreads threads;
    platform::setThreads(&threads);
    struct Case {
        int state;
        int startsWorker;
        int stateAfter;
    };
    for (const Case c : {Case{dialog::kIdle, 1, dialog::kConnecting},
                         Case{dialog::kConnected, 1, dialog::kUpdating},
                         Case{dialog::kUpdating, 0, dialog::kUpdating},
                         Case{dialog::kConnecting, 0, dialog::kConnecting}}) {
        SCOPED_TRACE(c.state);
        isp::Session session;
        image::ProgramData program;
        TestWindow window(session, program);
        window.states().dialog = c.state;
        threads.started = 0;
        EXPECT_TRUE(window.key(platform::ui::kEscapeKey));
        EXPECT_EQ(threads.started, 0);
        EXPECT_TRUE(window.key(platform::ui::kReturnKey));
        EXPECT_EQ(threads.started, c.startsWorker);
        EXPECT_EQ(window.states().dialog, c.stateAfter);
        // A second press while the step runs starts nothing.
        EXPECT_TRUE(window.key(platform::ui::kReturnKey));
        window.OnBnClickedConnect();
        window.OnBnClickedProgram();
        EXPECT_EQ(threads.started, c.startsWorker);
        EXPECT_FALSE(window.key(0x41));
    }
    platform::setThreads(nullptr);
}

} // namespace
