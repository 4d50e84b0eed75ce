// The Windows updater under Wine: the same console behaviour, CRLF line ends
// on a pipe, and the exported names in its export table.
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

} // namespace
