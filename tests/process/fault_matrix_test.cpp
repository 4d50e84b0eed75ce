// Interrupted and disturbed updates, one per fault: "/p" of IAP-emu against
// brisklink-emu with the fault (it fires once), for an "IAP" and an "ISP"
// loader. Each run must end with its expected exit code and last message,
// and "Operation Success." only over an adapter that holds both images and
// the new version record. Then the emulator heals and a second "/p" (or its
// skip, when the first run got through) must leave the adapter running the
// new firmware: "/c" shows its version and the flash holds the images.
//
// Each row writes one JSON line to BRISKLINK_FAULT_MATRIX_DIR, from which
// scripts/fault_matrix_table.py makes docs/reliability.md.
#include "isp/bytes.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using namespace testing_support;

struct Row {
    std::string fault;
    std::string phase;
    std::vector<std::string> args;
    int exitCode;
    std::string message; // the last message line (see lastMessage)
    std::vector<std::string> loaders = {"iap", "isp"};
};

const std::string kSuccess = "Operation Success.";

// 2048 bytes outside (40 reports of 52 bytes), 4096 inside (79 reports).
constexpr std::uint32_t kExt = 0x90000000, kInt = 0x2000;
std::string at(const char* command, std::uint32_t base, int report) {
    char text[48];
    std::snprintf(text, sizeof text, "%s:0x%X", command, base + 52u * report);
    return text;
}

// Each command's reply withheld, late, and later than its limit.
void replyRows(std::vector<Row>& r) {
    // Each command kind: its phase, what a withheld reply ends with, how
    // late a reply must come to miss the tool's limit (the limit plus 3 s),
    // and what that ends with.
    struct Kind {
        const char* command;
        const char* phase;
        int noReplyExit;
        std::string noReplyMessage;
        int beyondMs;
        int beyondExit;
        std::string beyondMessage;
        std::vector<std::string> loaders = {"iap", "isp"};
    };
    const std::string info0 = "ISP_GetInformation 0\t-->Fail";
    const std::string eraseExternal = "Erase external failed! 90000000-900007FF";
    const std::vector<Kind> kinds = {
        {"ready", "loader connection", 1, "Connect IAP Fail!", 34000, 1, "Connect IAP Fail!"},
        {"auth", "loader connection", 1, info0, 34000, 1, info0},
        {"info", "loader connection", 0, kSuccess, 5000, 0, kSuccess},
        {"read", "version record read", 1, "Connecting IAP-->OK", 5000, 1, "Connecting IAP-->OK"},
        {"reset", "application to loader", 0, kSuccess, 5000, 0, kSuccess},
        {"page-erase", "external erase", 1, eraseExternal, 64000, 1, eraseExternal},
        {"mass-erase",
         "internal erase",
         1,
         "Mass Erase failed!",
         5000,
         1,
         "Mass Erase failed!",
         {"isp"}},
        {"program", "external program, first report", 1, "Program External Failed!", 9000, 0,
         kSuccess},
        {"verify", "external verify, first report", 1, "External Verify Failed!", 9000, 0,
         kSuccess},
        // A digest reply that comes after its limit is taken for the version
        // record's: the update fails, safely.
        {"digest", "digest check", 0, kSuccess, 5000, 1, "Program Version Failed!"},
    };
    for (const auto& k : kinds)
        r.push_back({"no reply",
                     k.phase,
                     {"--fault-no-reply", k.command},
                     k.noReplyExit,
                     k.noReplyMessage,
                     k.loaders});
    for (const auto& k : kinds)
        r.push_back({"reply 1 s late",
                     k.phase,
                     {"--fault-late-reply", std::string(k.command) + ":1000"},
                     0,
                     kSuccess,
                     k.loaders});
    for (const auto& k : kinds)
        r.push_back(
            {"reply after its time-out",
             k.phase,
             {"--fault-late-reply", std::string(k.command) + ":" + std::to_string(k.beyondMs)},
             k.beyondExit,
             k.beyondMessage,
             k.loaders});
}

// Each pass disturbed at its first, middle and last report.
void passRows(std::vector<Row>& r) {
    struct Pass {
        const char* command;
        const char* name;
        std::uint32_t base;
        int reports;
        std::string message;
    };
    const std::vector<Pass> passes = {
        {"program", "external program", kExt, 40, "Program External Failed!"},
        {"verify", "external verify", kExt, 40, "External Verify Failed!"},
        {"program", "internal program", kInt, 79, "Program Failed!"},
        {"verify", "internal verify", kInt, 79, "AP Verify Failed!"},
        {"program", "version record program", 0x1800, 1, "Program Version Failed!"},
        {"verify", "version record verify", 0x1800, 1, "Version Verify Failed!"},
    };
    for (const auto& p : passes) {
        std::vector<std::pair<const char*, int>> points = {{"first report", 0}};
        if (p.reports > 1) {
            points.push_back({"middle report", p.reports / 2});
            points.push_back({"last report", p.reports - 1});
        }
        for (const auto& [where, index] : points) {
            const std::string phase =
                std::string(p.name) + (p.reports > 1 ? std::string(", ") + where : "");
            r.push_back({"report rejected",
                         phase,
                         {"--fault-fail-at", at(p.command, p.base, index)},
                         1,
                         p.message});
            r.push_back({"cable pulled",
                         phase,
                         {"--fault-vanish-at", at(p.command, p.base, index)},
                         1,
                         p.message});
        }
    }
}

void eventRows(std::vector<Row>& r) {
    // Reports counted from the start of the run: the connection's commands,
    // then the external erase at report 18, the version record's erase at 102
    // and the application area's at 104 (an "IAP" loader erases by pages).
    r.push_back({"cable pulled",
                 "loader connection, after 5 reports",
                 {"--fault-vanish-after", "5"},
                 1,
                 "ISP_GetInformation 0\t-->Fail"});
    r.push_back({"cable pulled",
                 "version record read, after 15 reports",
                 {"--fault-vanish-after", "15"},
                 1,
                 "Connecting IAP-->OK"});
    r.push_back({"cable pulled",
                 "external erase, after 18 reports",
                 {"--fault-vanish-after", "18"},
                 1,
                 "Erase external failed! 90000000-900007FF"});
    r.push_back({"cable pulled",
                 "version record erase, after 102 reports",
                 {"--fault-vanish-after", "102"},
                 1,
                 "Erase Ver failed! 0x00001800-0x00001808",
                 {"iap"}});
    r.push_back({"cable pulled",
                 "internal erase, after 104 reports",
                 {"--fault-vanish-after", "104"},
                 1,
                 "Erase AP failed! 00002000-00002FFF",
                 {"iap"}});
    r.push_back({"power lost",
                 "external erase",
                 {"--fault-power-loss", "page-erase"},
                 1,
                 "Erase external failed! 90000000-900007FF"});
    r.push_back({"power lost",
                 "internal erase (mass erase)",
                 {"--fault-power-loss", "mass-erase"},
                 1,
                 "Mass Erase failed!",
                 {"isp"}});
    r.push_back({"never comes back after a reset",
                 "application to loader",
                 {"--fault-never-return"},
                 1,
                 "Connect IAP Fail!"});
    const std::string lostReturn = "[ERROR] Can't Reset to AP... " + kSuccess;
    r.push_back({"never comes back after a reset",
                 "restart into the new firmware",
                 {"--fault-never-return-at", "2"},
                 0,
                 lostReturn,
                 {"iap"}});
    r.push_back({"never comes back after a reset",
                 "restart after the mass erase",
                 {"--fault-never-return-at", "2"},
                 1,
                 "Connect IAP Fail!",
                 {"isp"}});
    r.push_back({"never comes back after a reset",
                 "restart into the new firmware",
                 {"--fault-never-return-at", "3"},
                 0,
                 lostReturn,
                 {"isp"}});
    r.push_back({"comes back in its loader",
                 "restart into the new firmware",
                 {"--fault-return-in-loader"},
                 0,
                 lostReturn});
    r.push_back({"a second identical adapter", "whole update", {"--adapters", "2"}, 0, kSuccess});
    r.push_back({"64-byte reports",
                 "application connection",
                 {"--report-length", "64"},
                 1,
                 "Connect AP Fail!"});
}

std::vector<Row> rows() {
    std::vector<Row> r;
    replyRows(r);
    passRows(r);
    eventRows(r);
    return r;
}

struct Case {
    std::size_t index;
    std::string loader;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.index << " " << c.loader; }

std::vector<Case> cases() {
    std::vector<Case> out;
    const auto all = rows();
    for (std::size_t i = 0; i < all.size(); ++i)
        for (const auto& loader : all[i].loaders)
            out.push_back({i, loader});
    return out;
}

// The last line that says how the run went: the "EXE F/W version" line and
// the closing "Operation Failed." are left out, a search line stands without
// its dots, and an error line just before "Operation Success." goes with it.
std::string lastMessage(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < out.size()) {
        std::size_t end = out.find('\n', from);
        if (end == std::string::npos) end = out.size();
        lines.push_back(out.substr(from, end - from));
        from = end + 1;
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::string line = *it;
        const std::string failed = "Operation Failed.";
        if (line.size() >= failed.size() &&
            line.compare(line.size() - failed.size(), failed.size(), failed) == 0)
            line.erase(line.size() - failed.size());
        if (line.empty() || line.rfind("EXE F/W version: ", 0) == 0) continue;
        for (const std::string search : {"Connecting AP", "Connecting IAP"}) {
            if (line.rfind(search, 0) != 0) continue;
            std::size_t dots = search.size();
            while (dots < line.size() && line[dots] == '.')
                ++dots;
            const std::string rest = line.substr(dots);
            line = rest.empty() || rest == "-->OK" ? search + rest : rest;
            break;
        }
        if (line == kSuccess && it + 1 != lines.rend() && (it + 1)->rfind("[ERROR]", 0) == 0)
            return *(it + 1) + " " + line;
        return line;
    }
    return "";
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        internal_ = randomBytes(4096, 31);
        external_ = randomBytes(2048, 32);
        // The emulator and the updater run their clocks 20 times fast, so the
        // 30 s and 60 s time-outs pass in a few seconds.
        setenv("BRISKLINK_EMULATOR_TIME_SCALE", "20", 1);
    }

    // Both images and the version record "2.1.0" in the emulator's dump.
    bool programmed() const {
        const auto flash = readFile(dir_ / "dump" / "flash.bin");
        const auto external = readFile(dir_ / "dump" / "external.bin");
        if (flash.size() < 0x2000 + internal_.size() || external.size() < external_.size())
            return false;
        const std::uint32_t length = isp::le32(flash.data() + 0x1800);
        return std::equal(internal_.begin(), internal_.end(), flash.begin() + 0x2000) &&
               std::equal(external_.begin(), external_.end(), external.begin()) && length == 5 &&
               std::string(flash.begin() + 0x1804, flash.begin() + 0x1809) == "2.1.0";
    }

    TempDir dir_;
    std::vector<std::uint8_t> internal_, external_;
};

TEST_P(FaultMatrix, EndsRightAndARerunRestores) {
    const Row row = rows()[GetParam().index];
    const std::string loader = GetParam().loader;
    const auto exe = packForEmulator(dir_, BRISKLINK_IAP_EMU, "2.1.0", internal_, external_, "IAP");
    std::vector<std::string> args = {"--ap",           kEmuAp,
                                     "--iap",          kEmuIap,
                                     "--command-key",  kEmuKeyHex,
                                     "--loader",       loader,
                                     "--time-scale",   "20",
                                     "--enumerate-ms", "0",
                                     "--dump-dir",     (dir_ / "dump").string(),
                                     "--fault-once"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Emulator emu(args);
    ASSERT_NE(emu.port(), 0);

    const auto first = run({exe.string(), "/p"});
    const std::string message = lastMessage(first.out);
    EXPECT_EQ(first.exitCode, row.exitCode) << first.out;
    EXPECT_EQ(message, row.message) << first.out;
    const bool success = first.out.find(kSuccess + "\n") != std::string::npos;
    EXPECT_EQ(success, first.exitCode == 0) << first.out;
    ASSERT_TRUE(emu.heal()) << "the emulator did not heal";
    if (success) {
        EXPECT_TRUE(programmed()) << "success claimed over an adapter that was not programmed";
    }

    // The fault healed: "/p" updates, or skips when the first run got as
    // far as the version record (the flash is checked below), and the
    // adapter then runs the new firmware.
    const auto second = run({exe.string(), "/p"});
    const bool updated = second.exitCode == 0 && second.out.find(kSuccess) != std::string::npos;
    const bool skipped =
        second.exitCode == 1 && second.out.find("Skip firmware update") != std::string::npos;
    EXPECT_TRUE(updated || skipped) << second.out;
    // Time for a restarted adapter to come back on the bus.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto check = run({exe.string(), "/c"});
    const bool running =
        check.exitCode == 0 && check.out.find("Chip F/W version: 2.1.0\n") != std::string::npos;
    EXPECT_TRUE(running) << check.out;
    EXPECT_EQ(emu.stop(), 0);
    const bool restored = (updated || skipped) && running && programmed();
    EXPECT_TRUE(restored);

    const std::string directory = BRISKLINK_FAULT_MATRIX_DIR;
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/" + std::to_string(GetParam().index) + "-" + loader + ".json")
        << "{\"order\": " << GetParam().index << ", \"fault\": " << json(row.fault)
        << ", \"phase\": " << json(row.phase) << ", \"loader\": " << json(loader)
        << ", \"options\": " << json([&] {
               std::string joined;
               for (const auto& a : row.args)
                   joined += (joined.empty() ? "" : " ") + a;
               return joined;
           }())
        << ", \"message\": " << json(message) << ", \"exit\": " << first.exitCode
        << ", \"restored\": " << (restored ? "true" : "false") << "}\n";
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    const Row row = rows()[info.param.index];
    std::string name;
    bool upper = true;
    for (const char c : row.fault + " " + row.phase + " " + info.param.loader) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return std::to_string(info.param.index) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(Runs, FaultMatrix, ::testing::ValuesIn(cases()), caseName);

} // namespace
