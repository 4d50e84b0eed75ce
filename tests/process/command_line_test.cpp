// The console front end of the Linux updater, run as a process.
#include "process.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

// The Linux usage names the program as it was started.
std::string usage(const std::string& name) {
    return "Brisklink firmware update tool. Copyright (C) 2026 Brisklink. All rights reserved.\n"
           "\nUsage: " +
           name +
           " [/c] [/e] [/p] [/f] [/s | /b] [/h]\n"
           "    /c    Show loader/firmware version of the chip.\n"
           "    /e    Show firmware version of the EXE file.\n"
           "    /p    Start firmware update.\n"
           "    /f    Force firmware update (without version check).\n"
           "    /s    Silent mode.\n"
           "    /b    Background mode.\n"
           "    /h    Show help.\n\n"
           "The exit code ($? in a shell) is 0 for success, 1 for error.\n"
           "\nSeveral adapters:\n"
           "    /l    List the adapters on the bus (LOCATION, mode, VID:PID, serial number).\n"
           "    /port:LOCATION    Work on the adapter at LOCATION only; given more than once,\n"
           "                      on those adapters at once, as /a does.\n"
           "    /serial:SN    The same, by the adapter's USB serial number.\n"
           "    /a    Work on every adapter on the bus at once.\n"
           "    /n:COUNT    With /a: wait up to 30 s for COUNT adapters; each one missing\n"
           "                counts as failed. With /w: stop after COUNT results.\n"
           "    /w    Watch: work on each adapter as it is plugged in, until Ctrl-C.\n"
           "    /j    Write JSON lines for scripts instead of text.\n"
           "    /log:FILE    Append one JSON line per adapter's result to FILE.\n"
           "    /save:FILE    Save the adapter's firmware to FILE (Intel HEX) first;\n"
           "                  with /p or /f the update starts only once it is saved.\n"
           "    /range:FIRST-LAST    With /save: save these addresses (and the version\n"
           "                         record) instead of the application area.\n"
           "    /erase:all    With /p or /f: erase the whole application area, not only\n"
           "                  the image's pages (after a rollback or a smaller image).\n"
           "    /station:NAME    Name this station in every record (default: the host name).\n"
           "    /tag:KEY=VALUE    Add a tag to every record (work order, operator, lot).\n"
           "    /metrics:FILE    Keep the station's state in FILE for node_exporter's\n"
           "                     textfile collector (a .prom file in its directory).\n"
           "    /syslog[:SOCKET]    Send each result to the system log (default /dev/log).\n";
}
const std::string kUsage = usage("packed");
const std::string kBareUsage = usage("IAP");

const std::string kInvalid = "\nImage format invalid!\n\n";

class Updater : public ::testing::Test {
  protected:
    ProcessResult iap(const std::vector<std::string>& args, const std::string& exe = "") {
        std::vector<std::string> argv = {exe.empty() ? packed_.string() : exe};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    void SetUp() override { packed_ = packUpdater(dir_, BRISKLINK_IAP, "1.2.3"); }

    TempDir dir_;
    std::filesystem::path packed_;
};

TEST_F(Updater, HelpAndAnyUnknownArgumentPrintTheUsage) {
    for (const std::string arg : {"/h", "/H", "-h", "/?", "/ee", "-e", "/e ", "x", "/n:0"}) {
        const auto r = iap({arg});
        EXPECT_EQ(r.exitCode, 1) << arg;
        EXPECT_EQ(r.out, kUsage) << arg;
    }
    // Known switches that do not go together: one line that names them.
    const auto r = iap({"/n:8"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "\n/n:COUNT is for /a or /w.\n\n");
}

TEST_F(Updater, OneUnknownArgumentCancelsEveryAction) {
    auto r = iap({"/e", "/x"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kUsage);
    // Not even the image is looked at.
    r = iap({"/e", "/h"}, BRISKLINK_IAP);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kBareUsage);
}

TEST_F(Updater, SilentSuppressesTheUsageInEitherOrder) {
    for (const auto& args : {std::vector<std::string>{"/s", "/h"}, {"/h", "/s"}, {"/S", "/x"}}) {
        const auto r = iap(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Updater, ExeVersionIsPrintedInAnyCaseAndEvenWhenSilent) {
    for (const auto& args :
         {std::vector<std::string>{"/e"}, {"/E"}, {"/e", "/s"}, {"/s", "/e"}, {"/e", "/e", "/b"}}) {
        const auto r = iap(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "EXE F/W version: 1.2.3\n\n");
    }
}

TEST_F(Updater, BackgroundAndSilentAloneRunNothing) {
    for (const auto& args : {std::vector<std::string>{"/b"}, {"/s"}, {"/B", "/s"}}) {
        const auto r = iap(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Updater, WithoutArgumentsItPrintsTheUsageAndExitsZero) {
    for (const std::string exe : {"", BRISKLINK_IAP}) { // packed, then bare
        const auto r = iap({}, exe);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, exe.empty() ? kUsage : kBareUsage);
    }
}

TEST_F(Updater, AnExecutableWithoutTrailerIsAnInvalidImage) {
    auto r = iap({"/e"}, BRISKLINK_IAP);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kInvalid);
    r = iap({"/b"}, BRISKLINK_IAP);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kInvalid);
    r = iap({"/s", "/e"}, BRISKLINK_IAP);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    r = iap({"/h"}, BRISKLINK_IAP);
    EXPECT_EQ(r.out, kBareUsage);
}

TEST_F(Updater, WithoutAnAdapterTheSearchGivesUpAfterSixtyAttempts) {
    // This build has no adapter to find: the version line, then the paced
    // search of about 30 s, then the failure.
    const auto r = iap({"/c", "/e"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "EXE F/W version: 1.2.3\n\nConnecting AP" + std::string(60, '.') +
                         "\nConnect AP Fail!\n\n");
}

TEST_F(Updater, BytesAppendedAfterTheTrailerAreTolerated) {
    appendFile(packed_, randomBytes(64 * 1024, 11));
    const auto r = iap({"/e"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "EXE F/W version: 1.2.3\n\n");
}

TEST(UpdaterText, PercentAndNonAsciiVersionsArePrintedLiterally) {
    TempDir dir;
    for (const std::string version : {"100% %s %n %d", "Größe-版本-😀", ""}) {
        const auto packed = packUpdater(dir, BRISKLINK_IAP, version);
        const auto r = run({packed.string(), "/e"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "EXE F/W version: " + version + "\n\n");
    }
}

TEST(UpdaterExports, EveryOperationIsADynamicSymbol) {
    const auto r = run({"nm", "-D", "--defined-only", BRISKLINK_IAP});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : kExportedNames) {
        EXPECT_NE(r.out.find(std::string(" T ") + name + "\n"), std::string::npos) << name;
    }
    // Internal functions stay private.
    EXPECT_EQ(r.out.find("consoleMain"), std::string::npos);
}

} // namespace
