// Firmware as a vendor's toolchain makes it: a small Cortex-M application
// built with Debian's gcc-arm-none-eabi (tests/firmware), converted by
// objcopy and srec_cat, packed in every form; and an update of the emulated
// adapter with the ELF-packed updater.
#include "process.h"
#include "tests/support/memory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace testing_support;

class Firmware : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"arm-none-eabi-gcc", "arm-none-eabi-objcopy", "srec_cat"})
            if (!haveCommand(tool)) GTEST_SKIP() << tool << " is not installed (scripts/setup.sh)";
    }

    // The application linked with tests/firmware/SCRIPT.ld.
    std::string build(const std::string& script) {
        const std::string source = std::string(BRISKLINK_SOURCE_DIR) + "/tests/firmware/";
        const std::string elf = (dir_ / (script + ".elf")).string();
        const auto r = run({"arm-none-eabi-gcc", "-mcpu=cortex-m3", "-mthumb", "-Os", "-nostdlib",
                            "-ffreestanding", "-T", source + script + ".ld", "-o", elf,
                            source + "firmware.c"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return elf;
    }

    void tool(const std::vector<std::string>& argv) {
        const auto r = run(argv);
        ASSERT_EQ(r.exitCode, 0) << argv[0] << ": " << r.err;
    }

    // brisklink-pack build with `images`; the packed file's bytes, or the
    // refusal on standard error.
    ProcessResult pack(const std::vector<std::string>& images, const std::string& name) {
        std::vector<std::string> argv = {BRISKLINK_PACK,
                                         "build",
                                         "--updater",
                                         BRISKLINK_IAP_EMU,
                                         "--version",
                                         "2.2.0",
                                         "--ap",
                                         kEmuAp,
                                         "--iap",
                                         kEmuIap,
                                         "--command-key",
                                         kEmuKeyHex,
                                         "--digest",
                                         "auto",
                                         "--reproducible",
                                         "-o",
                                         (dir_ / name).string()};
        argv.insert(argv.end(), images.begin(), images.end());
        return run(argv);
    }

    TempDir dir_;
};

TEST_F(Firmware, EveryFormOfOneBuildPacksAlikeAndAMisplacedImageIsRefused) {
    const std::string elf = build("app");
    const auto path = [&](const std::string& name) { return (dir_ / name).string(); };
    const std::string objcopy = "arm-none-eabi-objcopy";
    tool({objcopy, "-O", "binary", "-R", ".external", elf, path("internal.bin")});
    tool({objcopy, "-O", "binary", "-j", ".external", elf, path("external.bin")});
    tool({objcopy, "-O", "ihex", elf, path("app.hex")});
    tool({objcopy, "-O", "srec", elf, path("app.srec")});
    tool({objcopy, "-O", "ihex", "-R", ".external", elf, path("internal.hex")});
    tool({"srec_cat", path("external.bin"), "-binary", "-offset", "0x90000000", "-o",
          path("external.srec"), "-motorola"});

    ASSERT_EQ(pack({"--internal", path("internal.bin"), "--external", path("external.bin"),
                    "--external-address", "0x90000000"},
                   "raw")
                  .exitCode,
              0);
    const auto raw = readFile(dir_ / "raw");
    const std::vector<std::vector<std::string>> forms = {
        {"--firmware", elf},
        {"--firmware", path("app.hex")},
        {"--firmware", path("app.srec")},
        {"--internal", path("internal.hex"), "--external", path("external.srec")}};
    for (const auto& form : forms) {
        SCOPED_TRACE(form.back());
        const auto r = pack(form, "form");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readFile(dir_ / "form"), raw);
    }

    // Linked for address 0, .data loaded in RAM, a file cut short, a
    // changed byte: each refused with what is wrong, and where.
    auto hex = readFile(dir_ / "app.hex");
    writeFile(dir_ / "cut.hex", std::vector<std::uint8_t>(hex.begin(), hex.end() - 13));
    const auto second = std::find(hex.begin(), hex.end(), '\n') + 10;
    *second = *second == '0' ? '1' : '0';
    writeFile(dir_ / "changed.hex", hex);
    // A 64-bit ELF whose one segment loads at 2^64 - 0x1000 and 0x3000
    // bytes long: its end wraps to 0x2000.
    std::vector<std::uint8_t> wrap(120 + 0x3000, 0);
    auto put = [&](std::size_t at, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wrap[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0, 0x010102464C457Full, 8); // magic, 64-bit, little-endian, version 1
    put(32, 64, 8), put(54, 56, 2), put(56, 1, 2);
    put(64, 1, 4), put(72, 120, 8), put(88, 0xFFFFFFFFFFFFF000ull, 8), put(96, 0x3000, 8);
    writeFile(dir_ / "wrap.elf", wrap);
    const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"--firmware", path("wrap.elf")},
         "ELF: segment 0 loads 12288 bytes at 0xFFFFFFFFFFFFF000, past the 32-bit address space"},
        {{"--firmware", build("at0")},
         "segment .isr_vector at 0x0 is not in the internal flash (0x2000-0x7FFFF) nor the "
         "external region (0x90000000-0x900FFFFF)"},
        {{"--firmware", build("ram")},
         "segment .data at 0x20000000 is not in the internal flash (0x2000-0x7FFFF) nor the "
         "external region"},
        {{"--internal", elf}, "segment .external at 0x90000000 is in the external region"},
        {{"--firmware", path("cut.hex")}, "no end-of-file record: the file is cut short"},
        {{"--firmware", path("changed.hex")}, "line 2: checksum does not match"},
        {{"--firmware", path("internal.bin")}, "a raw binary, which carries no addresses"}};
    for (const auto& [options, words] : refusals) {
        const auto r = pack(options, "refused");
        EXPECT_EQ(r.exitCode, 2) << words;
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "refused")) << (dir_ / "refused");

    // A record of segment 0x1000 that runs past the segment's end wraps to
    // its start (0x10000), as the format defines: the image ends at 0x20000.
    const std::string wrapping =
        ":02200000AABB79\n:020000021000EC\n:10FFF800000102030405060708090A0B0C0D0E0F81\n"
        ":00000001FF\n";
    writeFile(dir_ / "wrap.hex", std::vector<std::uint8_t>(wrapping.begin(), wrapping.end()));
    const auto wrapped = pack({"--firmware", path("wrap.hex")}, "wrapped");
    EXPECT_NE(wrapped.err.find("internal image 122880 bytes"), std::string::npos) << wrapped.err;

    // The ELF-packed updater leaves the flash as objcopy's binaries say.
    ASSERT_EQ(pack({"--firmware", elf}, "IAP-emu").exitCode, 0);
    {
        Emulator emu({"--ap", kEmuAp, "--iap", kEmuIap, "--command-key", kEmuKeyHex, "--dump-dir",
                      path("dump")});
        ASSERT_NE(emu.port(), 0);
        const auto r = run({path("IAP-emu"), "/f"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        emu.stop();
    }
    const auto flash = readFile(dir_ / "dump" / "flash.bin");
    const auto external = readFile(dir_ / "dump" / "external.bin");
    const auto internal = readFile(dir_ / "internal.bin"), table = readFile(dir_ / "external.bin");
    ASSERT_GE(flash.size(), 0x2000 + internal.size());
    EXPECT_TRUE(testing_support::holds(flash, 0x2000, internal));
    EXPECT_TRUE(testing_support::holds(external, 0, table));
}

} // namespace
