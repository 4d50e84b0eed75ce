// Whole updates with the real binaries: brisklink-emu on a free port, an
// updater packed by brisklink-pack, run as a process (IAP-emu natively,
// IAP-emu.exe under Wine). Standard output is compared with the transcript;
// only the count of waiting dots, which depends on timing, may vary where the
// transcript says <dots>. The emulator's memory is checked afterwards.
#include "image/intel_hex.h"
#include "isp/bytes.h"
#include "isp/crc.h"
#include "process.h"
#include "tests/support/memory.h"

#include "tests/support/transcripts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <map>
#include <thread>

namespace {

using namespace testing_support;

const std::string kAp = kEmuAp;
const std::string kIap = kEmuIap;
const std::string kKeyHex = kEmuKeyHex;

const std::string kConnect = "Connecting AP<dots>-->OK\n"
                             "Connecting IAP<dots>-->OK\n"
                             "Connected\n"
                             "Loader F/W version: IAP V105\n";

const std::string& kIapUpdate = testing_support::kIapUpdateTranscript;

std::string versions(const std::string& chip, const std::string& exe) {
    return "Chip F/W version: " + chip + "\nEXE F/W version: " + exe + "\n";
}

// Byte-for-byte, except that <dots> stands for any number of '.'.
::testing::AssertionResult matchesTranscript(const std::string& actual,
                                             const std::string& expected) {
    const std::string marker = "<dots>";
    std::size_t at = 0, from = 0;
    for (;;) {
        const std::size_t next = expected.find(marker, from);
        const std::string piece = expected.substr(from, next - from);
        if (actual.compare(at, piece.size(), piece) != 0) break;
        at += piece.size();
        if (next == std::string::npos) {
            if (at == actual.size()) return ::testing::AssertionSuccess();
            break;
        }
        while (at < actual.size() && actual[at] == '.')
            ++at;
        from = next + marker.size();
    }
    return ::testing::AssertionFailure() << "output differs at byte " << at << ":\n"
                                         << actual << "\nexpected:\n"
                                         << expected;
}

class UpdateRun : public ::testing::Test {
  protected:
    UpdateRun(std::string updater, bool wine) : updater_(std::move(updater)), wine_(wine) {}

    void SetUp() override {
        internal_ = randomBytes(10000, 21);
        external_ = randomBytes(3000, 22);
    }

    std::filesystem::path pack(const std::string& version) {
        return packForEmulator(dir_, updater_, version, internal_, external_,
                               wine_ ? "IAP-emu.exe" : "IAP-emu");
    }

    std::vector<std::string> emulatorArgs(std::vector<std::string> extra) const {
        std::vector<std::string> args = {"--ap",          kAp,     "--iap",      kIap,
                                         "--command-key", kKeyHex, "--dump-dir", dumpDir()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    ProcessResult updater(const std::filesystem::path& exe, const std::vector<std::string>& args) {
        std::vector<std::string> argv;
        if (wine_) argv.push_back("wine");
        argv.push_back(exe.string());
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }

    // The transcript in the line ends the updater writes to a pipe.
    std::string lineEnds(const std::string& text) const {
        if (!wine_) return text;
        std::string out;
        for (char c : text) {
            if (c == '\n') out += '\r';
            out += c;
        }
        return out;
    }

    void expectRun(const std::filesystem::path& exe, const std::vector<std::string>& args,
                   const std::string& transcript, int exitCode) {
        const auto r = updater(exe, args);
        EXPECT_TRUE(matchesTranscript(r.out, lineEnds(transcript)));
        EXPECT_EQ(r.exitCode, exitCode) << r.err;
    }

    std::string dumpDir() const { return (dir_ / "dump").string(); }

    // After the emulator stopped: both images and the version record in place.
    void expectProgrammed(const std::string& version) {
        const auto flash = readFile(dir_ / "dump" / "flash.bin");
        const auto external = readFile(dir_ / "dump" / "external.bin");
        ASSERT_GE(flash.size(), 0x2000 + internal_.size());
        EXPECT_TRUE(testing_support::holds(flash, 0x2000, internal_));
        ASSERT_GE(external.size(), external_.size());
        EXPECT_TRUE(testing_support::holds(external, 0, external_));
        EXPECT_EQ(versionRecord(flash), version);
    }

    static std::string versionRecord(const std::vector<std::uint8_t>& flash) {
        const std::uint32_t length = isp::le32(flash.data() + 0x1800);
        if (length > 128) return "<erased>";
        return std::string(flash.begin() + 0x1804, flash.begin() + 0x1804 + length);
    }

    // The shared scenarios, run natively and under Wine.
    void wholeUpdateThroughAnIapLoader() {
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--verbose"}));
        ASSERT_NE(emu.port(), 0);
        expectRun(exe, {"/c"}, kConnect + versions("1.0.0", "2.1.0"), 0);
        expectRun(exe, {"/p"}, kConnect + versions("1.0.0", "2.1.0") + kIapUpdate, 0);
        expectRun(exe, {"/c"}, kConnect + versions("2.1.0", "2.1.0"), 0);
        // The saved copy holds what was written (on Windows through its own
        // whole-file write), as the umask allows.
        const auto saved = dir_ / "saved.hex";
        const mode_t umask = ::umask(027);
        EXPECT_EQ(updater(exe, {"/s", "/save:" + saved.string()}).exitCode, 0);
        ::umask(umask);
        if (exe.extension() != ".exe") {
            EXPECT_EQ(std::filesystem::status(saved).permissions(), std::filesystem::perms(0640));
        }
        const auto hex = image::readIntelHex(readFile(saved));
        EXPECT_TRUE(hex.size() == 3 && hex[1].bytes == internal_ && hex[2].bytes == external_);
        const std::string log = emu.stopAndReadLog();
        expectProgrammed("2.1.0");
        EXPECT_NE(log.find("digest 0x00002000 +24576 matches"), std::string::npos) << log;
        EXPECT_EQ(log.find("mass-erase"), std::string::npos);
    }

    void skipThenForce() {
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--version", "2.1.0"}));
        ASSERT_NE(emu.port(), 0);
        expectRun(exe, {"/p"},
                  kConnect + versions("2.1.0", "2.1.0") +
                      "F/W version 2.1.0 is newer than the IAP EXE version 2.1.0 (not case "
                      "sensitive).\nSkip firmware update (/f for force update).\n",
                  1);
        expectRun(exe, {"/f"}, kConnect + versions("2.1.0", "2.1.0") + kIapUpdate, 0);
        emu.stop();
        expectProgrammed("2.1.0");
    }

    void failedVerifyThenRerun() {
        const auto exe = pack("2.1.0");
        // Report 100 of a verify pass lies in the internal image (the external
        // one has 58 reports).
        Emulator emu(emulatorArgs({"--fault-fail-verify", "100", "--fault-once"}));
        ASSERT_NE(emu.port(), 0);
        expectRun(exe, {"/f"},
                  kConnect + versions("1.0.0", "2.1.0") +
                      "\nErasing external...\nProgramming external...\nVerifing external...\n"
                      "Eraseing internal...\nProgramming internal...\nVerifing...\n"
                      "AP Verify Failed!Operation Failed.\n\n",
                  1);
        // The adapter waits in its loader with its version record erased; the
        // second run restores everything.
        expectRun(exe, {"/p"}, kConnect + versions("NA", "2.1.0") + kIapUpdate, 0);
        emu.stop();
        expectProgrammed("2.1.0");
    }

    // Ctrl-C (SIGINT, a console control event under Wine) or a termination
    // request in the middle of a pass: the run stops between two reports,
    // ends the adapter's session, says so and exits 1; the next run finds a
    // loader that listens and restores the adapter.
    void interruptedThenRerun(const std::vector<int>& signals) {
        internal_ = randomBytes(200 * 1024, 24); // about 4000 reports a pass
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--pace-us", "200"}));
        ASSERT_NE(emu.port(), 0);
        const std::string lines[] = {"Programming internal...", "Verifing..."};
        for (std::size_t i = 0; i < signals.size(); ++i) {
            const std::string line = lines[i % 2] + (wine_ ? "\r" : "");
            SCOPED_TRACE(line);
            std::vector<std::string> argv;
            if (wine_) argv.push_back("wine");
            argv.insert(argv.end(), {exe.string(), "/f"});
            Background run(argv);
            std::string transcript;
            for (std::string l = run.readLine(); l != line; l = run.readLine()) {
                ASSERT_FALSE(l.empty() && transcript.size() > 200) << transcript;
                transcript += l + "\n";
            }
            std::string rest;
            EXPECT_EQ(run.interrupt(signals[i], rest), 1);
            EXPECT_EQ(rest, lineEnds("Operation Failed.\n\n"));
        }
        expectRun(exe, {"/f"}, kConnect + versions("NA", "2.1.0") + kIapUpdate, 0);
        emu.stop();
        expectProgrammed("2.1.0");
    }

    // A second updater started while the first programs stops at once with
    // exit code 1 and touches nothing; the first finishes its update, and
    // once it has ended the adapter is free again.
    void secondUpdaterStopsWhileTheFirstRuns() {
        internal_ = randomBytes(200 * 1024, 25); // about 8 s at 1 ms a report
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--pace-us", "1000"}));
        ASSERT_NE(emu.port(), 0);
        std::vector<std::string> argv;
        if (wine_) argv.push_back("wine");
        argv.insert(argv.end(), {exe.string(), "/f"});
        Background first(argv);
        std::string transcript;
        const std::string programming = lineEnds("Programming internal...\n");
        while (transcript.find(programming) == std::string::npos) {
            const std::string l = first.readLine();
            ASSERT_FALSE(l.empty() && transcript.size() > 300) << transcript;
            transcript += l + "\n";
        }
        const std::string busy = "\nAnother updater is using the adapter. Run this one again "
                                 "when it has finished.\n\n";
        expectRun(exe, {"/c"}, busy, 1);
        expectRun(exe, {"/p"}, busy, 1);
        // Standard error says what holds the lock (Linux tells it).
        if (!wine_) {
            EXPECT_NE(run({exe.string(), "/c"}).err.find("The adapter's lock is held by process "),
                      std::string::npos);
        }
        for (std::string l = first.readLine(); !l.empty(); l = first.readLine())
            transcript += l + "\n";
        EXPECT_EQ(first.wait(), 0) << transcript;
        EXPECT_NE(transcript.find(lineEnds("Operation Success.\n")), std::string::npos)
            << transcript;
        expectRun(exe, {"/c"}, kConnect + versions("2.1.0", "2.1.0"), 0);
        emu.stop();
        expectProgrammed("2.1.0");
    }

    // On a terminal, standard error shows a progress line for each pass,
    // erase and wait, redrawn in place and erased at its end; standard output
    // is the transcript as always. Silent mode and a redirected standard
    // error show none. Under Wine the terminal is the program's console,
    // which Wine draws with escape sequences of its own.
    void progressOnATerminal() {
        internal_ = randomBytes(100 * 1024, 26); // about 2000 reports a pass
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--pace-us", "500"}));
        ASSERT_NE(emu.port(), 0);
        auto r = runWithTerminalStderr(updaterArgv(exe, {"/f"}));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(
            matchesTranscript(r.out, lineEnds(kConnect + versions("1.0.0", "2.1.0") + kIapUpdate)));
        for (const char* step :
             {"Erasing external [", "Programming external [", "Verifying external [",
              "Erasing internal [", "Programming internal [", "Verifying internal [",
              "Waiting for the adapter ["})
            EXPECT_NE(r.err.find(step), std::string::npos) << step << "\n" << r.err;
        EXPECT_NE(r.err.find("KiB/s"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" left"), std::string::npos);
        if (!wine_) {
            // Nothing but redraws: no line end, and the last thing is an erase.
            EXPECT_EQ(r.err.find('\n'), std::string::npos);
            ASSERT_FALSE(r.err.empty());
            EXPECT_EQ(r.err.back(), '\r');
            EXPECT_EQ(r.err.find_first_not_of(' ', r.err.rfind('\r', r.err.size() - 2) + 1),
                      r.err.size() - 1);
        }
        emu.stop();
        expectProgrammed("2.1.0");
        if (wine_) return; // the switches are the same under Wine
        Emulator again(emulatorArgs({}));
        ASSERT_NE(again.port(), 0);
        r = runWithTerminalStderr(updaterArgv(exe, {"/s", "/f"}));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('['), std::string::npos) << r.err;
        r = run(updaterArgv(exe, {"/f"}), false);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err.find('['), std::string::npos) << r.err;
    }

    // Four adapters at once: listed by location; all updated in one run,
    // each line with its adapter's location, a fault on adapter 3 failing
    // only that one; a rerun restoring it and finding the others current;
    // one chosen by its port; the lines for scripts, one JSON object each.
    void fleet() {
        const auto exe = pack("2.1.0");
        Emulator emu(emulatorArgs({"--adapters", "4", "--fault-adapter", "3", "--fault-fail-verify",
                                   "100", "--fault-once"}));
        ASSERT_NE(emu.port(), 0);
        std::string listed;
        for (int k = 1; k <= 4; ++k)
            listed += "emu-" + std::to_string(k) + "  application  1D50:6190  brisklink-" +
                      std::to_string(k) + "\n";
        expectRun(exe, {"/l"}, listed, 0);

        auto r = updater(exe, {"/a", "/p"});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_NE(r.out.find(lineEnds("[emu-3] AP Verify Failed!Operation Failed.\n")),
                  std::string::npos)
            << r.out;
        for (const char* k : {"1", "2", "4"})
            EXPECT_NE(r.out.find(lineEnds("[emu-" + std::string(k) + "] Operation Success.\n")),
                      std::string::npos);
        EXPECT_TRUE(
            r.out.ends_with(lineEnds("4 adapters: 3 updated, 0 already current, 1 failed\n")));
        for (std::size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1)
            EXPECT_TRUE(r.out.compare(at, 5, "[emu-") == 0 || r.out.compare(at, 2, "4 ") == 0)
                << r.out.substr(at, 40);

        // The failed one restarted into its loader: back on the bus soon.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        r = updater(exe, {"/a", "/p"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(
            r.out.ends_with(lineEnds("4 adapters: 1 updated, 3 already current, 0 failed\n")))
            << r.out;

        // Another release on adapter 2 only, chosen by its serial number.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto newer = pack("2.2.0");
        expectRun(newer, {"/serial:brisklink-2", "/p"},
                  kConnect + versions("2.1.0", "2.2.0") + kIapUpdate, 0);
        r = updater(exe, {"/a", "/j", "/c"});
        EXPECT_EQ(r.exitCode, 0);
        int results = 0;
        for (std::size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1) {
            const auto line = nlohmann::json::parse(r.out.substr(at, r.out.find('\n', at) - at));
            EXPECT_TRUE(line.contains("event") && line.contains("location")) << line;
            if (line["event"] != "result") continue;
            EXPECT_EQ(line["serial"], "brisklink-" + line["location"].get<std::string>().substr(4));
            ++results;
            EXPECT_EQ(line["ok"], true);
            EXPECT_EQ(line["version"], line["location"] == "emu-2" ? "2.2.0" : "2.1.0");
        }
        EXPECT_EQ(results, 4) << r.out;
        emu.stop();
        for (int k = 1; k <= 4; ++k) {
            const auto flash =
                readFile(dir_ / "dump" / ("adapter-" + std::to_string(k)) / "flash.bin");
            ASSERT_GE(flash.size(), 0x2000 + internal_.size());
            EXPECT_TRUE(testing_support::holds(flash, 0x2000, internal_)) << k;
            EXPECT_EQ(versionRecord(flash), k == 2 ? "2.2.0" : "2.1.0") << k;
        }
    }

    std::vector<std::string> updaterArgv(const std::filesystem::path& exe,
                                         const std::vector<std::string>& args) const {
        std::vector<std::string> argv;
        if (wine_) argv.push_back("wine");
        argv.push_back(exe.string());
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    TempDir dir_;
    std::string updater_;
    bool wine_;
    std::vector<std::uint8_t> internal_;
    std::vector<std::uint8_t> external_;
};

class Update : public UpdateRun {
  protected:
    Update() : UpdateRun(BRISKLINK_IAP_EMU, false) {}
};

TEST_F(Update, WholeUpdateThroughAnIapLoader) { wholeUpdateThroughAnIapLoader(); }

TEST_F(Update, PSkipsAVersionThatIsNotNewerAndFForcesIt) { skipThenForce(); }

TEST_F(Update, AFailedVerifyFailsTheUpdateAndARerunRestores) { failedVerifyThenRerun(); }

TEST_F(Update, FourAdaptersListedUpdatedAtOnceAndChosenByPort) { fleet(); }

// Every line as JSON (one that is not fails the test), results by location.
struct JsonRun {
    std::vector<nlohmann::json> events;
    std::map<std::string, nlohmann::json> results;
    explicit JsonRun(const std::string& out) {
        for (std::size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
            const std::string line = out.substr(at, out.find('\n', at) - at);
            try {
                events.push_back(nlohmann::json::parse(line));
            } catch (const std::exception&) {
                ADD_FAILURE() << "not JSON: " << line;
                continue;
            }
            if (events.back()["event"] == "result")
                results[events.back()["location"]] = events.back();
        }
    }
    const nlohmann::json& first() const { return events.front(); }
    const nlohmann::json& last() const { return events.back(); }
};

// Eight adapters: one restarting, a failed verify, a held lock, a location
// and an adapter not there: every one counted, each result true.
TEST_F(Update, EveryAdapterOfABatchIsCountedAndEachResultIsTrue) {
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs(
        {"--adapters", "8", "--fault-adapter", "3", "--fault-fail-verify", "100", "--fault-once"}));
    ASSERT_NE(emu.port(), 0);
    expectRun(exe, {"/port:emu-1", "/c"}, kConnect + versions("1.0.0", "2.1.0"), 0);
    auto r = updater(exe, {"/a", "/j", "/p"});
    EXPECT_EQ(r.exitCode, 1);
    JsonRun json(r.out);
    ASSERT_EQ(json.results.size(), 8u) << r.out;
    for (const auto& [location, result] : json.results) {
        const bool faulty = location == "emu-3";
        EXPECT_EQ(result["ok"], !faulty) << result;
        EXPECT_EQ(result["status"], faulty ? "failed" : "updated") << result;
        // The failed one's record was erased: read again, it holds none.
        EXPECT_EQ(result["version"], faulty ? nlohmann::json() : nlohmann::json("2.1.0"));
        EXPECT_EQ(result.value("step", ""), faulty ? "verify_internal" : "");
        EXPECT_EQ(result.value("failure", ""), faulty ? "AP Verify Failed!" : "");
    }
    EXPECT_EQ(json.last()["event"], "summary");
    EXPECT_EQ(json.last()["text"], "8 adapters: 7 updated, 0 already current, 1 failed");
    EXPECT_EQ(json.last()["updated"], 7);
    EXPECT_EQ(json.last()["failed"], 1);

    // Emu-2's lock held by an updater (stopped on its way), emu-9 absent.
    Background holder({exe.string(), "/port:emu-2", "/c"});
    ASSERT_TRUE(holder.waitForLine("Connecting AP", 10'000)) << "never logged \"Connecting AP\"";
    holder.signal(SIGSTOP);
    r = updater(exe, {"/port:emu-2", "/port:emu-4", "/port:emu-9", "/c"});
    holder.signal(SIGCONT);
    EXPECT_EQ(r.exitCode, 1);
    for (const char* line :
         {"[emu-2] Another updater is using the adapter. Run this one again when it has "
          "finished.\n",
          "[emu-4] Chip F/W version: 2.1.0\n", "[emu-9] No adapter at this location.\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_THAT(r.out, ::testing::EndsWith("3 adapters: 1 read, 2 failed\n")) << r.out;
    EXPECT_NE(r.err.find("[emu-2] The adapter's lock is held by "), std::string::npos) << r.err;
    holder.wait();

    // A station that expects nine: the eight there are run, the one
    // missing fails the batch. The adapters just restarted are all counted.
    r = updater(exe, {"/a", "/p", "/n:9"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.out,
                ::testing::EndsWith(
                    "9 adapters expected, 8 present: 1 updated, 7 already current, 1 failed\n"))
        << r.out;
    emu.stop();
    for (int k = 1; k <= 8; ++k) {
        const auto flash = readFile(dir_ / "dump" / ("adapter-" + std::to_string(k)) / "flash.bin");
        EXPECT_EQ(versionRecord(flash), "2.1.0") << k;
    }
}

// Two updaters append to one journal at once; each result is one whole line
// with what a station needs to know. A journal that cannot be opened stops
// the run before any adapter is touched.
TEST_F(Update, EveryResultIsJournaledWholeEvenByTwoUpdatersAtOnce) {
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--adapters", "3", "--serial-base", "SN", "--fault-adapter", "3",
                               "--fault-fail-verify", "100"}));
    ASSERT_NE(emu.port(), 0);
    const std::string journal = (dir_ / "journal.jsonl").string();
    EXPECT_EQ(
        updater(exe, {"/port:emu-1", "/c", "/log:" + (dir_ / "no/such/dir/j").string()}).exitCode,
        1);
    Background one({exe.string(), "/port:emu-1", "/f", "/log:" + journal});
    Background two({exe.string(), "/port:emu-2", "/p", "/log:" + journal});
    EXPECT_EQ(one.wait(), 0);
    EXPECT_EQ(two.wait(), 0);
    EXPECT_EQ(updater(exe, {"/port:emu-3", "/f", "/log:" + journal}).exitCode, 1);
    EXPECT_EQ(updater(exe, {"/serial:SN-2", "/c", "/log:" + journal}).exitCode, 0);
    const auto bytes = readFile(journal);
    JsonRun lines(std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(lines.events.size(), 4u);
    std::map<std::string, int> seen;
    for (const auto& l : lines.events) {
        const std::string key = l["serial"].get<std::string>() + l["mode"].get<std::string>();
        ++seen[key];
        EXPECT_EQ(l["sha256"]["internal"].get<std::string>().size(), 64u);
        EXPECT_EQ(l["firmware"], "2.1.0");
        EXPECT_EQ(l["loader"], "IAP V105");
        EXPECT_THAT(l["time"].get<std::string>(), ::testing::EndsWith("Z"));
        if (key == "SN-3/f") {
            EXPECT_EQ(l["status"], "failed");
            EXPECT_EQ(l["step"], "verify_internal");
            EXPECT_EQ(l["failure"], "AP Verify Failed!");
            EXPECT_EQ(l["before"], "1.0.0");
            EXPECT_EQ(l["after"], nullptr);
        } else {
            EXPECT_EQ(l["status"], key == "SN-2/c" ? "read" : "updated") << l;
            EXPECT_EQ(l["before"], key == "SN-2/c" ? "2.1.0" : "1.0.0");
            EXPECT_EQ(l["after"], "2.1.0");
        }
    }
    EXPECT_EQ(seen.size(), 4u);
}

// A station plugs eight adapters one after another into a running watch;
// the first is unplugged while it is programmed, counts failed, and is
// updated when it is plugged in again. Each result is in the journal.
TEST_F(Update, AWatchUpdatesEachAdapterAsItIsPluggedIn) {
    internal_ = randomBytes(100 * 1024, 27);
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--adapters", "8", "--unplugged", "1,2,3,4,5,6,7,8", "--serial-base",
                               "SN", "--pace-us", "300"}),
                 true);
    ASSERT_NE(emu.port(), 0);
    const std::string journal = (dir_ / "station.jsonl").string();
    // Under timeout: a watch that never ends fails the test instead of holding it.
    Background watch({"timeout", "120", exe.string(), "/w", "/n:9", "/p", "/log:" + journal});
    std::string out;
    auto readUntil = [&](const std::string& start) {
        for (std::string l = watch.readLine(); !l.empty(); l = watch.readLine()) {
            out += l + "\n";
            if (l.rfind(start, 0) == 0) return true;
        }
        return false;
    };
    emu.command("plug 1");
    ASSERT_TRUE(readUntil("[emu-1] Programming internal...")) << out;
    emu.command("unplug 1");
    for (int k = 2; k <= 8; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        emu.command("plug " + std::to_string(k));
    }
    ASSERT_TRUE(readUntil("[emu-1] 1.0.0 -> - failed in ")) << out;
    emu.command("plug 1");
    readUntil("\x01");
    EXPECT_EQ(watch.wait(), 1);
    EXPECT_THAT(out,
                ::testing::EndsWith("9 adapters expected, 9 present: 8 updated, 0 already current, "
                                    "1 failed\n"))
        << out;
    const auto bytes = readFile(journal);
    JsonRun lines(std::string(bytes.begin(), bytes.end()));
    std::map<std::string, int> updated;
    for (const auto& l : lines.events)
        updated[l["serial"].get<std::string>()] += l["status"] == "updated";
    EXPECT_EQ(lines.events.size(), 9u);
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(updated["SN-" + std::to_string(k)], 1) << k;
    emu.stop();
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(
            versionRecord(readFile(dir_ / "dump" / ("adapter-" + std::to_string(k)) / "flash.bin")),
            "2.1.0")
            << k;
}

// An adapter's own texts are outside text: its version record and serial
// number reach the terminal escaped, one line each, in a single run, a batch,
// its JSON lines and a watch's result line, while JSON keeps them exact.
TEST_F(Update, AnAdaptersTextsAreShownEscapedAndKeptExactInJson) {
    const auto exe = pack("2.1.0");
    const std::string hostile = "1.0\x1B]0;pwn\x07\x1B[31mRED\nNEWLINE\xFF";
    const std::string escaped = "1.0\\x1B]0;pwn\\x07\\x1B[31mRED\\x0ANEWLINE\xEF\xBF\xBD";
    Emulator emu(emulatorArgs({"--adapters", "2", "--version", hostile, "--serial-base",
                               "SN\xC2\x9B"
                               "2J"}));
    ASSERT_NE(emu.port(), 0);
    auto clean = [](const std::string& out) { return out.find_first_of("\x1B\x07") == out.npos; };
    auto r = run(updaterArgv(exe, {"/port:emu-1", "/c"}));
    EXPECT_NE(r.out.find("\nChip F/W version: " + escaped + "\n"), std::string::npos) << r.out;
    r = run(updaterArgv(exe, {"/a", "/c"}));
    EXPECT_NE(r.out.find("\n[emu-1] Chip F/W version: " + escaped + "\n"), std::string::npos);
    EXPECT_TRUE(clean(r.out)) << r.out;
    EXPECT_NE(run(updaterArgv(exe, {"/l"})).out.find("SN\\x9B2J-1"), std::string::npos);
    const JsonRun json(run(updaterArgv(exe, {"/j", "/a", "/c"})).out);
    int versionLines = 0;
    for (const auto& e : json.events) {
        versionLines += e.value("text", "").rfind("Chip F/W version: " + escaped, 0) == 0;
        if (e["event"] != "result") continue;
        EXPECT_EQ(e["version"], "1.0\x1B]0;pwn\x07\x1B[31mRED\nNEWLINE\xEF\xBF\xBD");
        EXPECT_EQ(e["serial"].get<std::string>().substr(0, 6), "SN\xC2\x9B"
                                                               "2J");
    }
    EXPECT_EQ(versionLines, 2);
    Background watch({"timeout", "60", exe.string(), "/w", "/n:1", "/p"});
    std::string out;
    for (std::string l = watch.readLine(); !l.empty(); l = watch.readLine())
        out += l + "\n";
    EXPECT_EQ(watch.wait(), 0) << out;
    EXPECT_NE(out.find("[emu-1] " + escaped + " -> 2.1.0 updated"), std::string::npos) << out;
    EXPECT_NE(out.find("(serial SN\\x9B2J-1)"), std::string::npos) << out;
    EXPECT_TRUE(clean(out)) << out;
}

// A shorter image after a longer one: the image's pages alone leave the
// longer one's tail, so the adapter's digest over its area differs (said in
// the result, and counted; the update stands); /erase:all leaves nothing of
// it, and the digest matches.
TEST_F(Update, EraseAllLeavesNothingOfALongerFirmwareAndTheDigestSaysSo) {
    internal_ = randomBytes(20000, 31);
    const auto longer =
        packForEmulator(dir_, BRISKLINK_IAP_EMU, "2.0.0", internal_, external_, "long");
    internal_ = randomBytes(10000, 32);
    const auto shorter =
        packForEmulator(dir_, BRISKLINK_IAP_EMU, "2.1.0", internal_, external_, "short");
    Emulator emu(emulatorArgs({}));
    ASSERT_NE(emu.port(), 0);
    ASSERT_EQ(updater(longer, {"/f"}).exitCode, 0);
    auto update = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"/f", "/j"});
        const JsonRun json(updater(shorter, args).out);
        EXPECT_EQ(json.results.size(), 1u);
        return json.results.empty() ? nlohmann::json() : json.results.begin()->second;
    };
    auto saved = [&] {
        const auto path = dir_ / "saved.hex";
        EXPECT_EQ(updater(shorter, {"/s", "/save:" + path.string()}).exitCode, 0);
        const auto hex = image::readIntelHex(readFile(path));
        return hex.size() >= 2 ? hex[1].bytes : std::vector<std::uint8_t>();
    };
    auto result = update({});
    EXPECT_EQ(result["status"], "updated");
    EXPECT_EQ(result["digest"]["match"], false) << result;
    EXPECT_EQ(result["digest"]["expected"].get<std::string>().size(), 4u);
    EXPECT_NE(result["digest"]["adapter"], result["digest"]["expected"]);
    auto flash = saved();
    ASSERT_EQ(flash.size(), 20000u);
    EXPECT_TRUE(std::equal(internal_.begin(), internal_.end(), flash.begin()));
    result = update({"/erase:all"});
    EXPECT_EQ(result["status"], "updated");
    EXPECT_EQ(result["digest"]["match"], true) << result;
    EXPECT_EQ(result["digest"]["adapter"], result["digest"]["expected"]);
    EXPECT_EQ(saved(), internal_);
    // A range alone, whole (its erased bytes too).
    const auto path = dir_ / "range.hex";
    ASSERT_EQ(updater(shorter, {"/save:" + path.string(), "/range:0x4700-0x480F"}).exitCode, 0);
    const auto range = image::readIntelHex(readFile(path));
    ASSERT_EQ(range.size(), 2u);
    EXPECT_EQ(range[1].address, 0x4700u);
    EXPECT_TRUE(std::equal(internal_.begin() + 0x2700, internal_.end(), range[1].bytes.begin()));
    EXPECT_EQ(range[1].bytes.size(), 0x110u);
    EXPECT_EQ(range[1].bytes.back(), 0xFF);
    EXPECT_EQ(updater(shorter, {"/c", "/erase:all"}).out, "\n/erase:all is for /p or /f.\n\n");
}

// In "/j" mode every path writes JSON lines only, starting with "start".
TEST_F(Update, EveryLineOfAJsonRunIsJson) {
    const auto exe = pack("2.1.0");
    auto events = [&](const std::filesystem::path& updater, const std::vector<std::string>& args) {
        const auto r = run(updaterArgv(updater, args));
        JsonRun json(r.out);
        EXPECT_EQ(r.exitCode, 1) << r.out;
        EXPECT_GE(json.events.size(), 2u) << r.out;
        EXPECT_EQ(json.first()["event"], "start") << r.out;
        return json;
    };
    ::setenv("BRISKLINK_EMULATOR", "127.0.0.1:1", 1); // nobody there
    EXPECT_EQ(events(exe, {"/j", "/l"}).last()["message"], "No adapter is on the bus.");
    Emulator emu(emulatorArgs({"--adapters", "2"}));
    ASSERT_NE(emu.port(), 0);
    auto json = events(exe, {"/j", "/port:nowhere", "/c"});
    EXPECT_EQ(json.last()["event"], "error");
    EXPECT_EQ(json.last()["location"], "nowhere");
    json = events(BRISKLINK_IAP_EMU, {"/j", "/p"});
    EXPECT_EQ(json.first()["firmware"], nullptr);
    EXPECT_EQ(json.last()["message"], "Image format invalid!");
    json = events(exe, {"/j", "/e", "/x"});
    EXPECT_NE(json.last()["message"].get<std::string>().find("Usage: "), std::string::npos);
    json = JsonRun(run(updaterArgv(exe, {"/j", "/e", "/s", "/l"})).out);
    ASSERT_EQ(json.events.size(), 4u);
    EXPECT_EQ(json.first()["schema"], 4);
    EXPECT_EQ(json.events[1]["version"], "2.1.0");
    EXPECT_EQ(json.last()["event"], "found");
}

// Two adapters: the one picked never comes back from its restart while the
// other runs its application. The return check follows the picked one, so
// the other's answer is never taken for its return.
TEST_F(Update, TheReturnCheckFollowsThePickedAdapterNotItsNeighbour) {
    const auto exe = pack("2.1.0");
    Emulator emu(
        emulatorArgs({"--adapters", "2", "--fault-adapter", "1", "--fault-never-return-at", "2"}));
    ASSERT_NE(emu.port(), 0);
    const auto r = updater(exe, {"/f"});
    EXPECT_NE(r.out.find("[ERROR] Can't Reset to AP...\n"), std::string::npos) << r.out;
    emu.stop();
    const auto other = readFile(dir_ / "dump" / "adapter-2" / "flash.bin");
    ASSERT_GE(other.size(), 0x2000u);
    EXPECT_EQ(versionRecord(other), "1.0.0");

    // In a batch, an adapter that comes back in its loader is no update.
    Emulator batch(
        emulatorArgs({"--adapters", "2", "--fault-adapter", "1", "--fault-return-in-loader"}));
    ASSERT_NE(batch.port(), 0);
    const auto all = updater(exe, {"/a", "/f"});
    EXPECT_EQ(all.exitCode, 1);
    EXPECT_NE(all.out.find("[emu-1] [ERROR] Can't Reset to AP...\n"), std::string::npos) << all.out;
    EXPECT_THAT(all.out,
                ::testing::EndsWith("2 adapters: 1 updated, 0 already current, 1 failed\n"));
}

TEST_F(Update, WholeUpdateThroughAnIspLoader) {
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--loader", "isp", "--verbose"}));
    ASSERT_NE(emu.port(), 0);
    std::string connect = kConnect;
    connect.replace(connect.find("IAP V105"), 3, "ISP");
    expectRun(exe, {"/p"},
              connect + versions("1.0.0", "2.1.0") +
                  "\nErasing external...\nProgramming external...\nVerifing external...\n"
                  "Eraseing internal...\nReset...\nConnecting...\nProgramming internal...\n"
                  "Verifing...\nDigest Check...\nReset to AP...\nOperation Success.\n\n",
              0);
    const std::string log = emu.stopAndReadLog();
    expectProgrammed("2.1.0");
    EXPECT_NE(log.find("mass-erase"), std::string::npos);
    std::size_t authentications = 0;
    for (std::size_t at = log.find(": auth"); at != std::string::npos;
         at = log.find(": auth", at + 1))
        ++authentications;
    EXPECT_EQ(authentications, 2u) << log; // the connection's and the one after the restart
}

// Enumerations as fast as hidraw's and an adapter that takes a second to
// come back after each restart: the reconnection and the return check wait.
TEST_F(Update, FastEnumerationsStillWaitForAnAdapterThatTakesASecond) {
    const auto exe = pack("2.1.0");
    Emulator emu(
        emulatorArgs({"--loader", "isp", "--enumerate-ms", "0", "--reenumerate-ms", "1000"}));
    ASSERT_NE(emu.port(), 0);
    const auto r = updater(exe, {"/f"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out.find("Fail"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[ERROR]"), std::string::npos) << r.out;
    emu.stop();
    expectProgrammed("2.1.0");
}

TEST_F(Update, AnErasedVersionRecordDoesNotStopP) {
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--no-version"}));
    ASSERT_NE(emu.port(), 0);
    expectRun(exe, {"/p"}, kConnect + versions("NA", "2.1.0") + kIapUpdate, 0);
    emu.stop();
    expectProgrammed("2.1.0");
}

TEST_F(Update, AnImageLargerThanTheFlashIsRefusedBeforeAnyErase) {
    internal_ = randomBytes(20 * 1024, 23);
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--flash-size", "0x4000"}));
    ASSERT_NE(emu.port(), 0);
    expectRun(exe, {"/f"},
              kConnect + versions("1.0.0", "2.1.0") + "\nNot Connected\nOperation Failed.\n\n", 1);
    emu.stop();
    // The old firmware's record is untouched, and so is the external region.
    EXPECT_EQ(versionRecord(readFile(dir_ / "dump" / "flash.bin")), "1.0.0");
    const auto external = readFile(dir_ / "dump" / "external.bin");
    EXPECT_TRUE(std::all_of(external.begin(), external.end(), [](auto b) { return b == 0xFF; }));
}

TEST_F(Update, AnAdapterThatNeverAppearsEndsTheSearch) {
    const auto exe = pack("2.1.0");
    // An adapter of another make is on the bus; ours never answers. The
    // 30 s search runs twenty times fast, on the emulator's clock.
    Emulator emu({"--ap", "1D50:7000:01", "--iap", "1D50:7001:02", "--time-scale", "20"});
    ASSERT_NE(emu.port(), 0);
    setenv("BRISKLINK_EMULATOR_TIME_SCALE", "20", 1);
    expectRun(exe, {"/c"}, "Connecting AP" + std::string(60, '.') + "\nConnect AP Fail!\n\n", 1);
    unsetenv("BRISKLINK_EMULATOR_TIME_SCALE");
    // An address that cannot be right is refused at once, with its form.
    setenv("BRISKLINK_EMULATOR", "localhost", 1);
    const auto r = run({exe.string(), "/c"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("\"localhost\" is not HOST:PORT"), std::string::npos) << r.err;
}

TEST_F(Update, AnAdapterThatRestartsIntoItsLoaderIsReportedAndARerunIsClean) {
    const auto exe = pack("2.1.0");
    Emulator emu(emulatorArgs({"--fault-return-in-loader", "--fault-once"}));
    ASSERT_NE(emu.port(), 0);
    std::string transcript = kConnect + versions("1.0.0", "2.1.0") + kIapUpdate;
    transcript.insert(transcript.find("Operation Success."), "[ERROR] Can't Reset to AP...\n");
    expectRun(exe, {"/p"}, transcript, 0);
    expectRun(exe, {"/f"}, kConnect + versions("2.1.0", "2.1.0") + kIapUpdate, 0);
    emu.stop();
    expectProgrammed("2.1.0");
}

// A saved copy is the way back. "/save:" writes what the adapter holds as
// Intel HEX, or nothing when a read fails (the adapter goes on as after
// "/c"); "/p /save:" saves before it updates; the copy packed again with
// --firmware and --version-from puts the adapter back as it was.
TEST_F(Update, ASavedCopyPackedAgainRollsTheAdapterBack) {
    const auto v2 = pack("2.1.0");
    Emulator emu(emulatorArgs({"--fault-fail-at", "read:0x12000", "--fault-once"}));
    ASSERT_NE(emu.port(), 0);
    ASSERT_EQ(updater(v2, {"/f"}).exitCode, 0);
    const std::string saved = (dir_ / "saved.hex").string();
    auto r = updater(v2, {"/save:" + saved});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("Saving to " + saved +
                         "...\nSave Failed! Reading "
                         "0x00012000-0x00021FFF failed.\nOperation Failed.\n"),
              std::string::npos)
        << r.out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_NE(entry.path().filename().string().rfind("saved.hex", 0), 0u) << entry.path();
    expectRun(v2, {"/c"}, kConnect + versions("2.1.0", "2.1.0"), 0);

    r = updater(v2, {"/save:" + saved});
    EXPECT_NE(r.out.find("Saved 0x00002000-0x0000470F (10000 bytes), 0x90000000-0x90000BB7 "
                         "(3000 bytes) and the version record (2.1.0) to " +
                         saved + ".\nEXE F/W version: 2.1.0\n"),
              std::string::npos)
        << r.out;
    ASSERT_TRUE(emu.heal()) << "the emulator did not heal";
    const auto flashAtSave = readFile(dir_ / "dump" / "flash.bin");
    const auto hex = image::readIntelHex(readFile(saved));
    ASSERT_EQ(hex.size(), 3u);
    EXPECT_EQ(hex[0].address, 0x1800u);
    EXPECT_EQ(std::string(hex[0].bytes.begin(), hex[0].bytes.end()), std::string("\5\0\0\0"
                                                                                 "2.1.0",
                                                                                 9));
    EXPECT_EQ(hex[1].bytes, internal_);
    EXPECT_EQ(hex[2].bytes, external_);

    internal_ = randomBytes(10000, 31);
    const auto v3 = pack("3.0.0");
    r = updater(v3, {"/p", "/save:" + (dir_ / "before-3.hex").string()});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_LT(r.out.find("Saved "), r.out.find("Eraseing internal..."));
    EXPECT_EQ(readFile(dir_ / "before-3.hex"), readFile(saved));

    const auto back = dir_ / "back";
    ASSERT_EQ(run({BRISKLINK_PACK, "build", "--updater", BRISKLINK_IAP_EMU, "--firmware", saved,
                   "--version-from", saved, "--ap", kAp, "--iap", kIap, "--command-key", kKeyHex,
                   "--digest", "auto", "-o", back.string()})
                  .exitCode,
              0);
    expectRun(back, {"/f"}, kConnect + versions("3.0.0", "2.1.0") + kIapUpdate, 0);
    emu.stop();
    EXPECT_EQ(readFile(dir_ / "dump" / "flash.bin"), flashAtSave);
    const auto external = readFile(dir_ / "dump" / "external.bin");
    EXPECT_TRUE(testing_support::holds(external, 0, external_));
}

TEST_F(Update, ASecondUpdaterStopsWhileTheFirstRuns) { secondUpdaterStopsWhileTheFirstRuns(); }

TEST_F(Update, AnInterruptedUpdateEndsTheSessionAndARerunRestores) {
    interruptedThenRerun({SIGINT, SIGTERM});
}

TEST_F(Update, ATerminalShowsAProgressLineAndTheTranscriptStaysAsItIs) { progressOnATerminal(); }

// A reader that goes away (`IAP /f | head`) does not end the update half-way;
// with the standard descriptors closed, no file or connection of the updater
// takes their numbers (its text would go to the adapter).
TEST_F(Update, AClosedStandardOutputDoesNotStopTheUpdate) {
    const auto exe = pack("2.1.0");
    for (const char* script :
         {"set -o pipefail; \"$0\" /f | head -n 8 >/dev/null", "exec \"$0\" /f <&- >&- 2>&-"}) {
        Emulator emu(emulatorArgs({}));
        ASSERT_NE(emu.port(), 0);
        const auto r = run({"bash", "-c", script, exe.string()});
        EXPECT_EQ(r.exitCode, 0) << script << r.err;
        emu.stop();
        expectProgrammed("2.1.0");
    }
}

// The trailer is read through the kernel's link to the running file, so an
// updater deeper than PATH_MAX still finds it.
TEST_F(Update, AnUpdaterBeyondPathMaxReadsItsTrailer) {
    const auto exe = pack("2.1.0");
    const std::string name(200, 'd');
    std::string script = "cd \"$1\" && for i in $(seq 25); do mkdir " + name + " && cd " + name +
                         "; done && cp \"$0\" ./IAP && [ ${#PWD} -gt 4096 ] && ./IAP /e";
    const auto r = run({"bash", "-c", script, exe.string(), dir_.path().string()});
    EXPECT_EQ(r.out, "EXE F/W version: 2.1.0\n\n") << r.err;
    EXPECT_EQ(r.exitCode, 0);
    // Removing a tree that deep takes relative steps as well.
    run({"bash", "-c", "cd \"$0\" && rm -rf " + name, dir_.path().string()});
}

class WindowsUpdate : public UpdateRun {
  protected:
    WindowsUpdate() : UpdateRun(std::string(BRISKLINK_WINDOWS_BIN) + "/IAP-emu.exe", true) {}
    void SetUp() override {
        if (!std::filesystem::exists(updater_)) GTEST_SKIP() << "no Windows build";
        if (!haveCommand("wine")) GTEST_SKIP() << "wine is not installed";
        UpdateRun::SetUp();
    }
};

TEST_F(WindowsUpdate, WholeUpdateThroughAnIapLoader) { wholeUpdateThroughAnIapLoader(); }

TEST_F(WindowsUpdate, PSkipsAVersionThatIsNotNewerAndFForcesIt) { skipThenForce(); }

TEST_F(WindowsUpdate, AFailedVerifyFailsTheUpdateAndARerunRestores) { failedVerifyThenRerun(); }

TEST_F(WindowsUpdate, FourAdaptersListedUpdatedAtOnceAndChosenByPort) { fleet(); }

TEST_F(WindowsUpdate, CtrlCEndsTheSessionAndARerunRestores) { interruptedThenRerun({SIGINT}); }

TEST_F(WindowsUpdate, TheConsoleShowsAProgressLineAndTheTranscriptStaysAsItIs) {
    progressOnATerminal();
}

TEST_F(WindowsUpdate, ASecondUpdaterStopsWhileTheFirstRuns) {
    secondUpdaterStopsWhileTheFirstRuns();
}

// A version with a character the ANSI code page lacks is stored changed; "/p"
// compares the form the record holds, so it does not update again and again.
TEST_F(WindowsUpdate, AVersionTheCodePageCannotHoldIsComparedAsStored) {
    const auto exe = pack("2.1.0-\u03B2");
    Emulator emu(emulatorArgs({}));
    ASSERT_NE(emu.port(), 0);
    EXPECT_EQ(updater(exe, {"/f"}).exitCode, 0);
    const auto r = updater(exe, {"/p"});
    EXPECT_NE(r.out.find("Skip firmware update"), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 1);
    emu.stop();
    const std::string stored = versionRecord(readFile(dir_ / "dump" / "flash.bin"));
    EXPECT_EQ(stored.substr(0, 6), "2.1.0-");
}

} // namespace
