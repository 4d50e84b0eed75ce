// The window end to end: IAP-emu.exe started without arguments under Wine on
// a virtual X display, worked with real key presses through the X server
// (xdotool) against brisklink-emu, whose memory is checked afterwards.
// Screenshots of the window go to the build directory.
#include "isp/bytes.h"
#include "process.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace {

using namespace testing_support;

const std::string kTitle = "Brisklink Firmware Update";

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        exe_ = std::string(BRISKLINK_WINDOWS_BIN) + "/IAP-emu.exe";
        if (!std::filesystem::exists(exe_)) GTEST_SKIP() << "no Windows build";
        for (const char* tool : {"wine", "Xvfb", "xdotool", "import"})
            if (!haveCommand(tool)) GTEST_SKIP() << tool << " is not installed";
        display_ = ":" + std::to_string(50 + ::getpid() % 200);
        setenv("DISPLAY", display_.c_str(), 1);
        xvfb_ = std::make_unique<Background>(std::vector<std::string>{
            "Xvfb", display_, "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        ASSERT_TRUE(until([] { return run({"xdotool", "getdisplaygeometry"}).exitCode == 0; }));
    }
    void TearDown() override {
        if (xvfb_) xvfb_->stop(SIGTERM);
    }

    // Polls `done` for up to 120 s (Wine's first window in a new prefix
    // takes a while).
    template <typename F> static bool until(F done) {
        for (int i = 0; i < 1200; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string window() {
        const auto r = run({"xdotool", "search", "--onlyvisible", "--name", kTitle});
        return r.out.substr(0, r.out.find('\n'));
    }
    // Waits for the window, then lets it settle before keys are sent.
    bool windowShown() {
        if (!until([&] { return !window().empty(); })) return false;
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return true;
    }
    // Presses `name` until `line` shows in the emulator's log: a key that
    // reaches a busy machine's window before it takes input is lost, and
    // Return while a step runs does nothing, so pressing again is safe.
    bool pressUntil(const std::string& name, Emulator& emu, const std::string& line) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            key(name);
            if (emu.waitForLine(line, 10'000)) return true;
        }
        return false;
    }
    void key(const std::string& name) {
        EXPECT_EQ(run({"xdotool", "key", "--window", window(), name}).exitCode, 0);
    }
    void screenshot(const std::string& name) {
        run({"import", "-window", "root", "-crop", "380x240+0+0",
             std::string(BRISKLINK_BUILD_DIR) + "/window-" + name + ".png"});
    }
    std::filesystem::path pack() {
        writeFile(dir_ / "internal.bin", randomBytes(20000, 31));
        const auto r = run({BRISKLINK_PACK, "build",
                            "--updater",    exe_,
                            "--internal",   (dir_ / "internal.bin").string(),
                            "--version",    "2.1.0",
                            "--title",      kTitle,
                            "--headline",   "Update the Brisklink adapter to firmware 2.1.0",
                            "--notice",     "Plug the adapter in, press Connect, then Program.",
                            "--ap",         "1D50:6190:01",
                            "--iap",        "1D50:6191:02",
                            "-o",           (dir_ / "IAP-emu.exe").string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return dir_ / "IAP-emu.exe";
    }

    std::string exe_, display_;
    std::unique_ptr<Background> xvfb_;
    TempDir dir_;
};

TEST_F(Window, ConnectAndProgramUpdateTheAdapterAndEscapeNeverCloses) {
    const auto exe = pack();
    Emulator emu({"--ap", "1D50:6190:01", "--iap", "1D50:6191:02", "--verbose", "--dump-dir",
                  (dir_ / "dump").string()});
    ASSERT_NE(emu.port(), 0);
    Background updater({"wine", exe.string()});
    ASSERT_TRUE(windowShown()) << "no window";
    screenshot("start");

    // Return in the idle window connects: the loader is authenticated and
    // its version record read.
    ASSERT_TRUE(pressUntil("Return", emu, "adapter 0: auth"));
    ASSERT_TRUE(emu.waitForLine("adapter 0: read 0x00001804", 60'000));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    screenshot("connected");

    // Return in the connected window programs.
    ASSERT_TRUE(pressUntil("Return", emu, "adapter 0: program 0x00002000"));
    screenshot("updating");
    ASSERT_TRUE(emu.waitForLine("adapter 0: reset to application", 120'000));
    // The 3 s pause, the return check, and the final texts.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    screenshot("finished");

    key("Escape");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(window().empty()) << "Escape closed the window";
    key("alt+F4");
    EXPECT_EQ(updater.wait(), 0);
    emu.stop();
    const auto flash = readFile(dir_ / "dump" / "flash.bin");
    const auto image = readFile(dir_ / "internal.bin");
    ASSERT_GE(flash.size(), 0x2000 + image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x2000));
    EXPECT_EQ(isp::le32(flash.data() + 0x1800), 5u);
}

TEST_F(Window, ClosingResetsAnAdapterLeftInItsLoader) {
    const auto exe = pack();
    Emulator emu({"--ap", "1D50:6190:01", "--iap", "1D50:6191:02", "--verbose"});
    ASSERT_NE(emu.port(), 0);
    Background updater({"wine", exe.string()});
    ASSERT_TRUE(windowShown()) << "no window";
    ASSERT_TRUE(pressUntil("Return", emu, "adapter 0: read 0x00001804"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Connected and never updated: the close sends it back to its
    // application ("Reset device....").
    key("alt+F4");
    ASSERT_TRUE(emu.waitForLine("adapter 0: reset to application", 30'000));
    EXPECT_EQ(updater.wait(), 0);
}

} // namespace
