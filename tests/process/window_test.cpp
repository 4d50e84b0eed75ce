// The window end to end: IAP-emu.exe started without arguments under Wine on
// a virtual X display against brisklink-emu, worked as a person would: the
// probe (a Windows program) reads the window's controls and says where they
// are, the clicks and keys go through the X server (xdotool), and the
// emulator's memory is checked afterwards. Screenshots go to the build
// directory.
#include "isp/bytes.h"
#include "process.h"
#include "tests/support/memory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace testing_support;

const std::string kTitle = "Brisklink Firmware Update";

// One control as the probe reads it.
struct Control {
    int id = 0;
    std::string kind;
    int x = 0, y = 0, width = 0, height = 0;
    unsigned long style = 0;
    bool enabled = false;
    std::string text;
};

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        exe_ = std::string(BRISKLINK_WINDOWS_BIN) + "/IAP-emu.exe";
        probe_ = std::string(BRISKLINK_WINDOWS_BIN) + "/brisklink-window-probe.exe";
        if (!std::filesystem::exists(exe_) || !std::filesystem::exists(probe_))
            GTEST_SKIP() << "no Windows build";
        for (const char* tool : {"wine", "Xvfb", "xdotool", "import"})
            if (!haveCommand(tool)) GTEST_SKIP() << tool << " is not installed";
        display_ = ":" + std::to_string(50 + ::getpid() % 200);
        setenv("DISPLAY", display_.c_str(), 1);
        xvfb_ = std::make_unique<Background>(std::vector<std::string>{
            "Xvfb", display_, "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        for (int i = 0; i < 100 && run({"xdotool", "getdisplaygeometry"}).exitCode != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    void TearDown() override {
        if (xvfb_) xvfb_->stop(SIGTERM);
    }

    // The probe's output goes through a file: when the probe is the first
    // Wine program, the Wine services it starts keep its standard output
    // open, and a pipe would never end.
    ProcessResult probe(std::vector<std::string> args) {
        const std::string out = (dir_ / "probe.out").string();
        args.insert(args.begin(),
                    {"sh", "-c", "exec wine \"$0\" \"$@\" >" + out + " 2>/dev/null", probe_});
        ProcessResult r = run(args);
        const auto bytes = readFile(out);
        r.out.assign(bytes.begin(), bytes.end());
        return r;
    }
    // The window's controls in template order; empty when it is not shown
    // within `seconds` (Wine's first window in a new prefix takes a while).
    std::vector<Control> controls(int seconds = 2) {
        const auto r = probe({"controls", kTitle, std::to_string(seconds)});
        std::vector<Control> out;
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream in(line);
            Control c;
            int enabled = 0;
            if (!(in >> c.id >> c.kind >> c.x >> c.y >> c.width >> c.height >> std::hex >>
                  c.style >> std::dec >> enabled))
                continue; // the client size
            c.enabled = enabled != 0;
            std::getline(in, c.text);
            if (!c.text.empty()) c.text.erase(0, 1);
            out.push_back(c);
        }
        return out;
    }
    std::map<int, Control> byId(const std::vector<Control>& list) {
        std::map<int, Control> out;
        for (const Control& c : list)
            out[c.id] = c;
        return out;
    }
    bool waitText(int id, const std::string& text, int seconds) {
        return probe({"wait", kTitle, std::to_string(id), text, std::to_string(seconds)})
                   .exitCode == 0;
    }
    // A real click through the X server in the middle of control `id`.
    void click(int id) {
        const auto where = probe({"centre", kTitle, std::to_string(id)});
        ASSERT_EQ(where.exitCode, 0);
        std::istringstream in(where.out);
        std::string x, y;
        in >> x >> y;
        EXPECT_EQ(run({"xdotool", "mousemove", x, y, "click", "1"}).exitCode, 0);
    }
    std::string window() {
        const auto r = run({"xdotool", "search", "--onlyvisible", "--name", kTitle});
        return r.out.substr(0, r.out.find('\n'));
    }
    void key(const std::string& name) {
        EXPECT_EQ(run({"xdotool", "key", "--window", window(), name}).exitCode, 0);
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
    // How dark control `id` is drawn on the screen (0 black to 1 white):
    // what the user sees, not what the control holds.
    double brightness(int id) {
        const auto where = probe({"centre", kTitle, std::to_string(id)});
        const Control c = byId(controls())[id];
        std::istringstream in(where.out);
        int x = 0, y = 0;
        in >> x >> y;
        const std::string shot = (dir_ / "label.png").string();
        run({"import", "-window", "root", "-crop",
             std::to_string(c.width) + "x" + std::to_string(c.height) + "+" +
                 std::to_string(x - c.width / 2) + "+" + std::to_string(y - c.height / 2),
             shot});
        return std::stod(
            run({"convert", shot, "-colorspace", "Gray", "-format", "%[fx:mean]", "info:"}).out);
    }
    void screenshot(const std::string& name) {
        run({"import", "-window", "root", "-crop", "380x240+0+0",
             std::string(BRISKLINK_BUILD_DIR) + "/window-" + name + ".png"});
    }
    std::filesystem::path pack(std::size_t imageBytes) {
        writeFile(dir_ / "internal.bin", randomBytes(imageBytes, 31));
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

    std::string exe_, probe_, display_;
    std::unique_ptr<Background> xvfb_;
    TempDir dir_;
};

// Template 102 in dialog units: id, class, x, y, width, height, text.
struct Expected {
    int id;
    const char* kind;
    int x, y, width, height;
    const char* text;
};
const Expected kTemplate[] = {
    {1000, "Edit", 7, 22, 144, 31, "Plug the adapter in, press Connect, then Program."},
    {1002, "Static", 7, 7, 192, 8, "Update the Brisklink adapter to firmware 2.1.0"},
    {1003, "Button", 156, 59, 43, 32, "Program"},
    {1004, "Static", 36, 84, 106, 8, "Not Connected"},
    {1005, "Static", 8, 84, 26, 8, "Status: "},
    {1006, "Static", 8, 94, 26, 8, "Result: "},
    {1007, "Static", 35, 94, 164, 8, "NA"},
    {1010, "Button", 156, 21, 43, 32, "Connect"},
    {-1, "Static", 7, 60, 43, 8, "New Version:"},
    {1008, "Static", 62, 60, 88, 8, "2.1.0"},
    {-1, "Static", 7, 72, 54, 8, "Current Version:"},
    {1009, "Static", 62, 72, 88, 8, "Not Read"},
    {1011, "msctls_progress32", 7, 105, 192, 14, ""},
};

// The controls where template 102 puts them, with the record's texts. The
// dialog units are turned into pixels with the font's base units, taken from
// the progress bar.
void expectTemplateLayout(const std::vector<Control>& shown) {
    const int baseX = (shown.back().width * 4 + 96) / 192,
              baseY = (shown.back().height * 8 + 7) / 14;
    const auto px = [](int units, int base, int per) { return (units * base + per / 2) / per; };
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const Control& c = shown[i];
        const Expected& e = kTemplate[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.kind, e.kind);
        EXPECT_EQ(c.text, e.text);
        EXPECT_NEAR(c.x, px(e.x, baseX, 4), 1);
        EXPECT_NEAR(c.y, px(e.y, baseY, 8), 1);
        EXPECT_NEAR(c.width, px(e.width, baseX, 4), 1);
        EXPECT_NEAR(c.height, px(e.height, baseY, 8), 1);
        EXPECT_EQ(c.enabled, e.id != 1003);
    }
}

TEST_F(Window, ConnectAndProgramUpdateTheAdapterAndEscapeNeverCloses) {
    const auto exe = pack(100'000);
    // Paced so that the progress bar can be watched moving.
    Emulator emu({"--ap", "1D50:6190:01", "--iap", "1D50:6191:02", "--verbose", "--pace-us", "300",
                  "--dump-dir", (dir_ / "dump").string()});
    ASSERT_NE(emu.port(), 0);
    Background updater({"wine", exe.string()});

    // The window as the template lays it out, with the record's texts.
    const auto shown = controls(120);
    ASSERT_EQ(shown.size(), std::size(kTemplate)) << "no window";
    screenshot("start");
    expectTemplateLayout(shown);
    auto ids = byId(shown);
    EXPECT_EQ(ids[1000].style & 0x0804u, 0x0804u); // multi-line, read-only
    for (int id : {1000, 1003, 1010})
        EXPECT_TRUE(ids[id].style & 0x00010000u) << id << " is no tab stop";

    // A click on Connect: the loader is authenticated and its version read.
    click(1010);
    ASSERT_TRUE(waitText(1007, "Connected", 60)) << "control 1007 never read \"Connected\"";
    ids = byId(controls());
    EXPECT_EQ(ids[1009].text, "1.0.0");
    EXPECT_EQ(ids[1004].text.rfind("USB, ", 0), 0u) << ids[1004].text;
    EXPECT_TRUE(ids[1003].enabled);
    EXPECT_FALSE(ids[1010].enabled);
    screenshot("connected");

    // Return in the connected window programs; the result line and the
    // progress bar are followed to the end.
    Background follow({"wine", probe_, "follow", kTitle, "Operation successful.", "180"});
    ASSERT_TRUE(pressUntil("Return", emu, "adapter 1: program 0x00002000"))
        << "Return never brought \"adapter 1: program 0x00002000\"";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screenshot("updating");
    std::vector<std::string> changes;
    for (std::string line = follow.readLine(); !line.empty(); line = follow.readLine())
        changes.push_back(line);
    EXPECT_EQ(follow.wait(), 0) << "no \"Operation successful.\"";
    screenshot("finished");
    // The bar moves through the program pass, not only at its end.
    const auto programming =
        std::find(changes.begin(), changes.end(), "text Programming internal....");
    ASSERT_NE(programming, changes.end());
    const auto verifying = std::find(programming, changes.end(), "text Verifing....");
    const long moving = std::count_if(programming, verifying, [](const std::string& l) {
        return l.rfind("progress ", 0) == 0 && l != "progress 0" && l != "progress 100";
    });
    EXPECT_GE(moving, 3);
    ids = byId(controls());
    EXPECT_TRUE(ids[1010].enabled);
    EXPECT_FALSE(ids[1003].enabled);

    key("Escape");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(window().empty()) << "Escape closed the window";
    key("alt+F4");
    EXPECT_EQ(updater.wait(), 0);
    emu.stop();
    const auto flash = readFile(dir_ / "dump" / "flash.bin");
    const auto image = readFile(dir_ / "internal.bin");
    ASSERT_GE(flash.size(), 0x2000 + image.size());
    EXPECT_TRUE(testing_support::holds(flash, 0x2000, image));
    EXPECT_EQ(isp::le32(flash.data() + 0x1800), 5u);
}

TEST_F(Window, ClosingResetsAnAdapterLeftInItsLoader) {
    const auto exe = pack(20'000);
    // A version record that would retitle and recolour a terminal shows
    // escaped, on one line.
    Emulator emu({"--ap", "1D50:6190:01", "--iap", "1D50:6191:02", "--verbose", "--version",
                  "1.0\x1B]0;pwn\x07\x1B[31mRED\nNEW"});
    ASSERT_NE(emu.port(), 0);
    Background updater({"wine", exe.string()});
    ASSERT_FALSE(controls(120).empty()) << "no window";
    ASSERT_TRUE(pressUntil("Return", emu, "adapter 1: read 0x00001804"))
        << "Return never brought \"adapter 1: read 0x00001804\"";
    ASSERT_TRUE(waitText(1007, "Connected", 30)) << "control 1007 never read \"Connected\"";
    EXPECT_EQ(byId(controls())[1009].text, "1.0\\x1B]0;pwn\\x07\\x1B[31mRED\\x0ANEW");
    // The window opens in the middle of the 800x600 screen.
    const std::string geometry = run({"xdotool", "getwindowgeometry", window()}).out;
    int x = 0, y = 0, width = 0, height = 0;
    std::sscanf(geometry.c_str() + geometry.find("Position:"), "Position: %d,%d", &x, &y);
    std::sscanf(geometry.c_str() + geometry.find("Geometry:"), "Geometry: %dx%d", &width, &height);
    EXPECT_NEAR(x + width / 2, 400, 20) << x << " " << width;
    EXPECT_NEAR(y + height / 2, 300, 30) << y << " " << height;
    // Connected and never updated: the close sends it back to its
    // application, with "Reset device...." drawn on the screen during the
    // pause (longer than "Connected": more ink, a darker label).
    const double connected = brightness(1007);
    Background shown({"wine", probe_, "wait", kTitle, "1007", "Reset device....", "30"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    key("alt+F4");
    ASSERT_TRUE(emu.waitForLine("adapter 1: reset to application", 30'000))
        << "never logged \"adapter 1: reset to application\"";
    EXPECT_LT(brightness(1007), connected - 0.005) << "\"Reset device....\" was not painted";
    EXPECT_EQ(shown.wait(), 0) << "no \"Reset device....\"";
    EXPECT_EQ(updater.wait(), 0);
}

TEST_F(Window, AClosedSearchEndsAndTheSessionsEndWaitsForAnUpdateOrStopsItSafely) {
    const auto exe = pack(200'000);
    {
        // Nothing on the bus: a close during the search ends it and the
        // window at once, without the refusal an update gets.
        Emulator empty({"--ap", "1D50:7000:01", "--iap", "1D50:7001:02"});
        Background updater({"wine", exe.string()});
        ASSERT_FALSE(controls(120).empty()) << "no window";
        click(1010);
        ASSERT_TRUE(waitText(1007, "Connecting AP..", 30))
            << "control 1007 never read \"Connecting AP..\"";
        key("alt+F4");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(updater.wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    }
    // An update at full-speed pace, long enough to end the session in it.
    Emulator emu({"--ap", "1D50:6190:01", "--iap", "1D50:6191:02", "--verbose", "--pace-us", "1000",
                  "--dump-dir", (dir_ / "dump").string()});
    ASSERT_NE(emu.port(), 0);
    auto connectAndProgram = [&] {
        ASSERT_TRUE(pressUntil("Return", emu, "adapter 1: read 0x00001804"))
            << "Return never brought \"adapter 1: read 0x00001804\"";
        ASSERT_TRUE(waitText(1007, "Connected", 30)) << "control 1007 never read \"Connected\"";
        ASSERT_TRUE(pressUntil("Return", emu, "adapter 1: program 0x00002000"))
            << "Return never brought \"adapter 1: program 0x00002000\"";
    };
    {
        Background updater({"wine", exe.string()});
        ASSERT_FALSE(controls(120).empty()) << "no window";
        connectAndProgram();
        // Logoff during the update: refused, the update goes on to its end.
        run({"wine", "wineboot", "--end-session"});
        EXPECT_TRUE(waitText(1007, "Operation successful.", 120)) << "the update did not finish";
        // Connected and idle: the session's end does what the close box does.
        ASSERT_TRUE(pressUntil("Return", emu, "adapter 1: read 0x00001804"))
            << "Return never brought \"adapter 1: read 0x00001804\"";
        ASSERT_TRUE(waitText(1007, "Connected", 30)) << "control 1007 never read \"Connected\"";
        run({"wine", "wineboot", "--end-session"});
        EXPECT_TRUE(emu.waitForLine("adapter 1: reset to application", 30'000))
            << "never logged \"adapter 1: reset to application\"";
        EXPECT_EQ(updater.wait(), 0);
    }
    {
        // A forced end during the update (wineboot never forces past a
        // refusal, so the probe sends what Windows sends then): the pass
        // stops between two reports and the adapter's session is ended, so
        // that a rerun reaches it.
        Background updater({"wine", exe.string()});
        ASSERT_FALSE(controls(120).empty()) << "no window";
        connectAndProgram();
        probe({"endsession", kTitle});
        EXPECT_TRUE(emu.waitForLine("adapter 1: reset to loader", 30'000))
            << "never logged \"adapter 1: reset to loader\"";
        updater.wait();
    }
    const auto rerun = run({"wine", exe.string(), "/f"});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.out;
    EXPECT_NE(rerun.out.find("Operation Success"), std::string::npos) << rerun.out;
}

TEST_F(Window, AnInvalidTrailerShowsItsMessageAndTheWindowClosesAfterOk) {
    // The updater as built carries no trailer.
    Background updater({"wine", exe_});
    const auto box = probe({"messagebox", "Image Format Invalid", "120"});
    ASSERT_EQ(box.exitCode, 0) << "no message box";
    EXPECT_NE(box.out.find("text Image format invalid!\n"), std::string::npos) << box.out;
    const auto ok = box.out.find("ok ");
    ASSERT_NE(ok, std::string::npos);
    std::istringstream in(box.out.substr(ok + 3));
    std::string x, y;
    in >> x >> y;
    // The window itself never shows: it ends before it would.
    EXPECT_TRUE(run({"xdotool", "search", "--onlyvisible", "--name", "^Brisklink$"}).out.empty());
    EXPECT_EQ(run({"xdotool", "mousemove", x, y, "click", "1"}).exitCode, 0);
    EXPECT_EQ(updater.wait(), 0);
    EXPECT_TRUE(window().empty());
}

} // namespace
