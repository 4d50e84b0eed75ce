// The Windows updater under Wine: the same console behaviour, CRLF line ends
// on a pipe, and the exported names in its export table.
#include "isp/bytes.h"
#include "process.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

const std::string kExe = std::string(BRISKLINK_WINDOWS_BIN) + "/IAP.exe";

class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kExe)) GTEST_SKIP() << "no Windows build at " << kExe;
        if (!haveCommand("wine")) GTEST_SKIP() << "wine is not installed";
    }
    static ProcessResult wine(const std::filesystem::path& exe,
                              const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"wine", exe.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    TempDir dir_;
};

TEST_F(Windows, UsageHasWindowsLineEnds) {
    const auto r = wine(kExe, {"/h"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.rfind("Brisklink firmware update tool.", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\r\nUsage: IAP.exe [/c] [/e] [/p] [/f] [/s | /b] [/h]\r\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("    /h    Show help.\r\n\r\nUse %errorlevel% to get the error code. 0 "
                         "for success, 1 for error.\r\n"),
              std::string::npos);
}

TEST_F(Windows, PackedExecutablePrintsItsVersion) {
    const auto packed = packUpdater(dir_, kExe, "W-1.0 Größe", {}, "IAP.exe");
    auto r = wine(packed, {"/e"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "EXE F/W version: W-1.0 Größe\r\n\r\n");
    appendFile(packed, randomBytes(64 * 1024, 3));
    r = wine(packed, {"/E", "/s"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "EXE F/W version: W-1.0 Größe\r\n\r\n");
    r = wine(packed, {"/b"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    // Under a path longer than MAX_PATH the updater still reads its trailer.
    auto deep = dir_.path();
    for (int i = 0; i < 3; ++i)
        deep /= std::string(100, 'd');
    std::filesystem::create_directories(deep);
    std::filesystem::copy_file(packed, deep / "IAP.exe");
    r = wine(deep / "IAP.exe", {"/e"});
    EXPECT_EQ(r.out, "EXE F/W version: W-1.0 Größe\r\n\r\n") << r.err;
}

TEST_F(Windows, BareExecutableIsAnInvalidImage) {
    const auto r = wine(kExe, {"/e"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "\r\nImage format invalid!\r\n\r\n");
}

TEST_F(Windows, WithoutAnAdapterTheSearchGivesUp) {
    // The real HID backend under Wine finds no adapter.
    const auto packed = packUpdater(dir_, kExe, "1.0", {}, "IAP.exe");
    const auto r = wine(packed, {"/c"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Connecting AP" + std::string(60, '.') + "\r\nConnect AP Fail!\r\n\r\n");
}

TEST_F(Windows, OperationsAreExportedByName) {
    const auto r = run({"x86_64-w64-mingw32-objdump", "-p", kExe});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : kExportedNames) {
        EXPECT_NE(r.out.find(std::string(" ") + name + "\n"), std::string::npos) << name;
    }
}

// Explorer's properties: the version resource of each Windows executable
// carries the project's version, product name, description and copyright.
TEST(WindowsRelease, ExecutablesCarryTheProjectVersion) {
    const std::string bin = BRISKLINK_WINDOWS_BIN;
    if (!std::filesystem::exists(bin + "/brisklink-pack.exe")) GTEST_SKIP() << "no Windows build";
    auto utf16 = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            out += c;
            out += '\0';
        }
        return out;
    };
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(BRISKLINK_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    for (const char* name : {"IAP.exe", "IAP-emu.exe", "brisklink-pack.exe"}) {
        SCOPED_TRACE(name);
        const auto bytes = readFile(bin + "/" + name);
        const std::string file(bytes.begin(), bytes.end());
        // VS_FIXEDFILEINFO: its signature, then file version high and low.
        const std::size_t fixed = file.find(std::string("\xBD\x04\xEF\xFE", 4));
        ASSERT_NE(fixed, std::string::npos);
        const std::uint32_t high = isp::le32(bytes.data() + fixed + 8);
        const std::uint32_t low = isp::le32(bytes.data() + fixed + 12);
        EXPECT_EQ(high, (major << 16) | minor);
        EXPECT_EQ(low, patch << 16);
        for (const std::string& text :
             {std::string("ProductName"), std::string("Brisklink firmware update tool"),
              std::string("FileDescription"), std::string("LegalCopyright"),
              std::string(BRISKLINK_VERSION)})
            EXPECT_NE(file.find(utf16(text)), std::string::npos) << text;
        // The manifest: no elevation, Windows 10/11, long paths, any architecture.
        for (const char* text :
             {"level=\"asInvoker\"", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a", "<longPathAware"})
            EXPECT_NE(file.find(text), std::string::npos) << text;
        EXPECT_EQ(file.find("processorArchitecture=\"amd64\""), std::string::npos);
    }
}

} // namespace
