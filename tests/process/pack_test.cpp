// brisklink-pack as its users run it, checked against what the updater reads.
#include "isp/crc.h"
#include "process.h"
#include "tools/trailer_builder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using namespace testing_support;

TEST(Pack, ShowReportsWhatTheTrailerCarriesButNeverTheKey) {
    TempDir dir;
    writeFile(dir / "ext.bin", randomBytes(777, 3));
    const auto packed = packUpdater(dir, BRISKLINK_IAP, "4.5.6",
                                    {"--external", (dir / "ext.bin").string(), "--external-address",
                                     "0x60000000", "--title", "Brisklink Updater", "--headline",
                                     "Update your adapter", "--notice", "Keep it plugged in",
                                     "--command-key", "A1B2C3D4E5F60718293A4B5C6D7E8F90",
                                     "--digest", "BEEF", "--image-key", "01020304"});
    const auto r = run({BRISKLINK_PACK, "show", packed.string(), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ap"]["vendorId"], "1D50");
    EXPECT_EQ(j["ap"]["productId"], "6190");
    EXPECT_EQ(j["ap"]["usageSelector"], "01");
    EXPECT_EQ(j["iap"]["productId"], "6191");
    EXPECT_EQ(j["version"], "4.5.6");
    EXPECT_EQ(j["title"], "Brisklink Updater");
    EXPECT_EQ(j["notice"], "Keep it plugged in");
    EXPECT_EQ(j["internalImageSize"], 3000);
    EXPECT_EQ(j["externalImageSize"], 777);
    EXPECT_EQ(j["externalImageAddress"], "0x60000000");
    EXPECT_EQ(j["digest"], "BEEF");
    EXPECT_EQ(j["digestCheckEnabled"], true);
    EXPECT_EQ(j["commandKeyLength"], 16);
    EXPECT_EQ(j["commandKeyEnabled"], true);
    EXPECT_EQ(r.out.find("A1B2"), std::string::npos);
    EXPECT_EQ(r.out.find("a1b2"), std::string::npos);
    // The images' SHA-256, the same as sha256sum's of the files packed.
    for (const char* image : {"internal", "external"}) {
        const auto file =
            dir / (image == std::string("internal") ? "packed-firmware.bin" : "ext.bin");
        const std::string sum = run({"sha256sum", file.string()}).out.substr(0, 64);
        EXPECT_EQ(j["sha256"][image], sum) << image;
    }

    const auto text = run({BRISKLINK_PACK, "show", packed.string()});
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("Version:          4.5.6\n"), std::string::npos);
    EXPECT_NE(text.out.find("Command key:      16 bytes, enabled\n"), std::string::npos);
    EXPECT_EQ(text.out.find("A1B2"), std::string::npos);
}

TEST(Pack, UdevRuleGivesTheUserBothIdentitiesOfThePackedUpdater) {
    TempDir dir;
    const auto packed = packUpdater(dir, BRISKLINK_IAP, "4.5.6");
    const auto r = run({BRISKLINK_PACK, "udev-rule", packed.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("SUBSYSTEM==\"hidraw\", KERNELS==\"*:1D50:6190.*\", TAG+=\"uaccess\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("KERNELS==\"*:1D50:6191.*\""), std::string::npos) << r.out;
    // udev drops a rule line that carries a comment after it.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.find('#') == std::string::npos || line[0] == '#') << line;
    const auto group = run({BRISKLINK_PACK, "udev-rule", "--group", "plugdev", packed.string()});
    EXPECT_NE(group.out.find("KERNELS==\"*:1D50:6190.*\", GROUP=\"plugdev\", MODE=\"0660\"\n"),
              std::string::npos)
        << group.out;
    EXPECT_EQ(run({BRISKLINK_PACK, "udev-rule", "--group", "a\"b", packed.string()}).exitCode, 1);
    const auto bad = run({BRISKLINK_PACK, "udev-rule", BRISKLINK_IAP});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("no valid updater trailer"), std::string::npos);
    // An updater without firmware yet: the identities as options.
    EXPECT_EQ(run({BRISKLINK_PACK, "udev-rule", "--ap", "1D50:6190", "--iap", "1D50:6191"}).out,
              r.out);
    EXPECT_EQ(run({BRISKLINK_PACK, "udev-rule", "--ap", "1D50:6190"}).exitCode, 2);
}

// The digest the adapter computes over its application area after the
// update, low byte first, as the trailer stores it.
std::string areaDigest(const std::vector<std::uint8_t>& image, std::size_t length) {
    std::vector<std::uint8_t> area(length, 0xFF);
    std::copy_n(image.begin(), std::min(image.size(), length), area.begin());
    const std::uint16_t crc = isp::crc16(0, area.data(), static_cast<int>(length));
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", crc & 0xFF, crc >> 8);
    return text;
}

TEST(Pack, DigestAutoIsTheAdaptersDigestOfTheApplicationArea) {
    TempDir dir;
    const auto image = randomBytes(10000, 9);
    writeFile(dir / "packed-firmware.bin", image); // what packUpdater packs
    // show --check warns (and still exits 0) when the digest is not what
    // --digest auto makes over the usual area.
    auto digestOf = [&](const std::vector<std::string>& options) {
        const auto packed = packUpdater(dir, BRISKLINK_IAP, "1.0", options);
        const auto r = run({BRISKLINK_PACK, "show", "--check", packed.string(), "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const bool usual = options == std::vector<std::string>{"--digest", "auto"};
        EXPECT_EQ(r.err.find("is not the one --digest auto") == std::string::npos, usual) << r.err;
        // The usual area is more than the image: its tail is taken as erased.
        if (usual) {
            EXPECT_NE(r.err.find("0x4710-0x7FFF past the image as erased"), std::string::npos);
        }
        const auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j["digestCheckEnabled"], true);
        return j["digest"].get<std::string>();
    };
    EXPECT_EQ(digestOf({"--digest", "auto"}), areaDigest(image, 0x6000));
    EXPECT_EQ(digestOf({"--digest", "auto", "--app-start", "0x4000"}), areaDigest(image, 0x4000));
    // An area smaller than the image covers its start only.
    EXPECT_EQ(digestOf({"--digest", "auto", "--app-length", "0x100"}), areaDigest(image, 0x100));
    // A digest given by hand stands as given, right or wrong.
    EXPECT_EQ(digestOf({"--digest", "1234"}), "1234");

    // The refused options, the one named first.
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--app-length", "--digest", "1234", "--app-length", "0x100"},
             {"--app-start", "--digest", "auto", "--app-start", "0x9000"},
             {"--app-start", "--digest", "auto", "--app-start", "0x10000", "--app-length", "16"},
             {"--app-length", "--digest", "auto", "--app-length", "0"}}) {
        std::vector<std::string> argv = {BRISKLINK_PACK, "build",
                                         "--updater",    BRISKLINK_IAP,
                                         "--internal",   (dir / "packed-firmware.bin").string(),
                                         "--version",    "1",
                                         "--ap",         "1:2",
                                         "--iap",        "1:3",
                                         "-o",           (dir / "bad").string()};
        argv.insert(argv.end(), bad.begin() + 1, bad.end());
        const auto r = run(argv);
        EXPECT_EQ(r.exitCode, 2) << bad[0];
        EXPECT_NE(r.err.find(bad[0] + ":"), std::string::npos) << r.err;
    }
}

// --check reads the images as the updater does before it touches an
// adapter, and refuses exactly what the updater would refuse.
TEST(Pack, ShowCheckRefusesWhatTheUpdaterWouldRefuse) {
    TempDir dir;
    const auto packed = packUpdater(dir, BRISKLINK_IAP, "1.0");
    auto r = run({BRISKLINK_PACK, "show", "--check", packed.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The same trailer with the file's head cut off, into the images: the
    // sizes it names no longer fit.
    auto bytes = readFile(packed);
    const auto updaterSize = std::filesystem::file_size(BRISKLINK_IAP);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(updaterSize + 100));
    const auto cut = dir / "cut";
    writeFile(cut, bytes);
    r = run({BRISKLINK_PACK, "show", cut.string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("do not fit"), std::string::npos) << r.out;
    for (const bool json : {false, true}) {
        std::vector<std::string> argv = {BRISKLINK_PACK, "show", cut.string(), "--check"};
        if (json) argv.push_back("--json");
        r = run(argv);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("do not fit in the file"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Image format invalid!"), std::string::npos) << r.err;
    }
}

TEST(Pack, ShowRefusesAFileWithoutTrailer) {
    auto r = run({BRISKLINK_PACK, "show", BRISKLINK_IAP});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no valid updater trailer"), std::string::npos);
    r = run({BRISKLINK_PACK, "show", "/nonexistent/file"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

// brisklink-pack build with the usual internal image unless `extra` gives
// its own (given twice, the option would be refused for that alone).
ProcessResult packBuild(const TempDir& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {BRISKLINK_PACK, "build", "--updater",
                                     BRISKLINK_IAP,  "-o",    (dir / "out").string()};
    if (std::find(extra.begin(), extra.end(), "--internal") == extra.end())
        argv.insert(argv.end(), {"--internal", (dir / "fw.bin").string()});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv);
}

const std::vector<std::string> kIds = {"--ap", "1D50:6190", "--iap", "1D50:6191"};

TEST(Pack, BadOptionsAreRefusedByName) {
    TempDir dir;
    writeFile(dir / "fw.bin", randomBytes(64, 1));
    writeFile(dir / "empty.bin", {});
    auto build = [&](const std::vector<std::string>& extra) { return packBuild(dir, extra); };
    const std::vector<std::string>& ids = kIds;
    struct Case {
        std::vector<std::string> args;
        std::string option;
    };
    const std::string tooLong(64, 'v');
    const std::vector<Case> cases = {
        {{"--version", tooLong}, "--version"},
        {{"--version", "1", "--title", tooLong}, "--title"},
        {{"--version", "1", "--command-key", "zz"}, "--command-key"},
        {{"--version", "1", "--command-key", std::string(130, 'A')}, "--command-key"},
        {{"--version", "1", "--digest", "ABC"}, "--digest"},
        {{"--version", "1", "--image-key", "0102"}, "--image-key"},
        {{"--version", "1", "--external", (dir / "fw.bin").string()}, "--external-address"},
        {{"--version", "1", "--external", (dir / "missing").string(), "--external-address", "0"},
         "--external"},
        {{"--version", "1", "--external", (dir / "fw.bin").string(), "--external-address", "0x1G"},
         "--external-address"},
        {{"--version", "1", "--internal", (dir / "missing").string()}, "--internal"},
        {{"--version", "1", "--internal", (dir / "empty.bin").string()}, "--internal"},
        {{"--version", "1", "--external", (dir / "empty.bin").string(), "--external-address",
          "0x90000000"},
         "--external"},
        {{"--version", "1", "--external-address", "0x90000000"}, "--external-address"},
        {{"--version", "1", "--external", (dir / "fw.bin").string(), "--external-address",
          "0xFFFFFFC1"},
         "--external-address"},
        // 43 three-byte characters: 129 bytes, one more than the record holds.
        {{"--version",
          [] {
              std::string v;
              for (int i = 0; i < 43; ++i)
                  v += "\u20AC";
              return v;
          }()},
         "--version"},
        {{"--version", "1", "-o", (dir / "no/such/dir/out").string()}, "-o"},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        args.insert(args.end(), ids.begin(), ids.end());
        const auto r = build(args);
        EXPECT_EQ(r.exitCode, 2) << c.option;
        EXPECT_NE(r.err.find(c.option), std::string::npos) << r.err;
    }
    for (const std::string bad :
         {"1D50", "1D50:XYZ", "123456789:1", "12345:1", "1:2:34567", "1:2:3:4", "1:2:"}) {
        const auto r = build({"--version", "1", "--ap", bad, "--iap", "1:2"});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--ap"), std::string::npos) << r.err;
    }
    EXPECT_EQ(build({"--version", "1"}).exitCode, 2); // identities are required
    EXPECT_FALSE(std::filesystem::exists(dir / "out")) << (dir / "out");
}

// Files that are not the flash's bytes, told by their content: a form with
// addresses that cannot be read, and text.
TEST(Pack, FilesThatAreNotTheFlashsBytesAreRefusedByContent) {
    TempDir dir;
    writeFile(dir / "fw.bin", randomBytes(64, 1));
    const std::vector<std::string>& ids = kIds;
    const std::string hex = ":10200000A54DCA18000000000000000000000000B3\r\n:00000001FF\r\n";
    const std::vector<std::pair<std::string, std::string>> forms = {
        {hex, "is an Intel HEX file that cannot be read: line 1: checksum does not match"},
        {"S00600004844521B\nS1132000A54DCA1800000000000000000000000030\n",
         "is an S-record file that cannot be read: line 2: checksum"},
        {std::string("\x7F"
                     "ELF\x01\x01\x01",
                     7) +
             std::string(64, '\0'),
         "is an ELF file that cannot be read: ELF: no program headers"},
        {"version = 2.1.0\n", "is text, not a firmware image"}};
    for (const auto& [content, words] : forms) {
        writeFile(dir / "form.img", std::vector<std::uint8_t>(content.begin(), content.end()));
        for (const char* option : {"--internal", "--external"}) {
            auto args = ids;
            args.insert(args.end(), {"--version", "1", option, (dir / "form.img").string()});
            if (option == std::string("--external"))
                args.insert(args.end(), {"--external-address", "0x90000000"});
            const auto r = packBuild(dir, args);
            EXPECT_EQ(r.exitCode, 2) << words;
            EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out")) << (dir / "out");
}

TEST(Pack, AVersionThatIsNotAsciiIsPackedWithAWarning) {
    TempDir dir;
    writeFile(dir / "fw.bin", randomBytes(64, 1));
    // 42 three-byte characters and two letters: the 128 bytes the record holds.
    std::string longest;
    for (int i = 0; i < 42; ++i)
        longest += "\u20AC";
    longest += "ab";
    for (const std::string& v : {std::string("2.1.0"), std::string("2.1.0-\u03B2"), longest}) {
        const auto r = run({BRISKLINK_PACK, "build", "--updater", BRISKLINK_IAP, "--internal",
                            (dir / "fw.bin").string(), "--version", v, "--ap", "1D50:6190", "--iap",
                            "1D50:6191", "-o", (dir / "out").string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err.find("not ASCII") != std::string::npos, v != "2.1.0") << r.err;
    }
}

TEST(Pack, ThePackedUpdaterIsExecutableAsItIs) {
    TempDir dir;
    writeFile(dir / "fw.bin", randomBytes(64, 1));
    const auto r = run({BRISKLINK_PACK, "build", "--updater", BRISKLINK_IAP, "--internal",
                        (dir / "fw.bin").string(), "--version", "7", "--ap", "1:2", "--iap", "1:3",
                        "-o", (dir / "out").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(run({(dir / "out").string(), "/e"}).out, "EXE F/W version: 7\n\n");
}

TEST(Pack, EveryBuildHasItsOwnRandomImageKeyUnlessReproducible) {
    TempDir dir;
    const auto one = readFile(packUpdater(dir, BRISKLINK_IAP, "1", {}, "one"));
    const auto two = readFile(packUpdater(dir, BRISKLINK_IAP, "1", {}, "two"));
    ASSERT_EQ(one.size(), two.size());
    EXPECT_NE(one, two);
    // The same inputs, the same bytes; another version, another key.
    const auto three = readFile(packUpdater(dir, BRISKLINK_IAP, "1", {"--reproducible"}, "three"));
    EXPECT_EQ(three, readFile(packUpdater(dir, BRISKLINK_IAP, "1", {"--reproducible"}, "four")));
    const auto five = readFile(packUpdater(dir, BRISKLINK_IAP, "2", {"--reproducible"}, "five"));
    EXPECT_NE(std::vector(three.end() - 20, three.end()), std::vector(five.end() - 20, five.end()));
}

TEST(Pack, KeyInEitherCandidateRunsInTheUpdater) {
    TempDir dir;
    for (const std::string slot : {"a", "b"}) {
        const auto packed =
            packUpdater(dir, BRISKLINK_IAP, "slot-" + slot, {"--key-slot", slot}, "slot-" + slot);
        const auto r = run({packed.string(), "/e"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "EXE F/W version: slot-" + slot + "\n\n");
    }
}

TEST(Pack, ATrailerWrittenByAnotherToolIsAccepted) {
    // Written straight from the layout, not through brisklink-pack.
    TempDir dir;
    pack::TrailerContent content;
    content.imageKey = {0xFF, 0x00, 0x80, 0x7F};
    content.keySlot = pack::KeySlot::A;
    pack::setTextField(content.info.firmwareVersion, u"other-tool 9");
    content.internalImage = randomBytes(300, 5);
    auto bytes = readFile(BRISKLINK_IAP);
    const auto trailer = pack::buildTrailer(content);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    writeFile(dir / "updater", bytes);
    std::filesystem::permissions(dir / "updater", std::filesystem::perms::owner_all);
    const auto r = run({(dir / "updater").string(), "/e"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "EXE F/W version: other-tool 9\n\n");
}

} // namespace
