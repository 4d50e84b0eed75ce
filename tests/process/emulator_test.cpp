// The updater and the library through brisklink-emu, from separate processes.
#include "brisklink/isp.h"
#include "platform/emulator/emulator_bus.h"
#include "process.h"
#include "tests/support/memory.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using namespace testing_support;

const std::vector<std::uint8_t> kKey = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
const std::string kKeyHex = "A1B2C3D4E5F60718";

TEST(Emulator, AWholeSessionThroughTheEmulatorChangesItsFlash) {
    TempDir dir;
    Emulator emu(
        {"--command-key", kKeyHex, "--reenumerate-ms", "100", "--dump-dir", dir.path().string()});
    ASSERT_NE(emu.port(), 0);
    CRYPT_SetCommandKey(kKey.data(), static_cast<int>(kKey.size()));

    ASSERT_EQ(ISP_IsConnectedToDevice(0x3F27, 0x1004, 1), 1);
    ASSERT_EQ(ISP_ResetToIAP(0), 0);
    ISP_CloseSerialPortConnect();
    bool loader = false;
    for (int attempt = 0; attempt < 50 && !loader; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loader = ISP_IsConnectedToDevice(0x3F27, 0x1005, 0) == 1;
    }
    ASSERT_TRUE(loader);
    ASSERT_EQ(ISP_SendAuthentication(), 1);
    std::uint16_t text[32];
    int bytes = 0;
    ASSERT_EQ(ISP_GetInformation(4, text, &bytes), 0);
    EXPECT_EQ(bytes, 16); // "IAP V105"
    ASSERT_EQ(ISP_GetInformation(6, text, &bytes), 0);

    std::mt19937 g(5);
    std::vector<std::uint8_t> image(10000);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(g());
    const std::uint32_t start = 0x2000, end = start + 9999;
    ASSERT_EQ(ISP_ErasePage(start, end), 0);
    ASSERT_EQ(ISP_WriteProgramB(start, end, 1, image.data()), 0);
    ASSERT_EQ(ISP_WriteProgramB(start, end, 0, image.data()), 0);
    std::vector<std::uint8_t> back(image.size());
    ASSERT_EQ(ISP_ReadData(start, end, back.data()), 0);
    EXPECT_EQ(back, image);
    ASSERT_EQ(ISP_Execute(), 0);
    ISP_CloseSerialPortConnect();

    ASSERT_EQ(emu.stop(), 0);
    const auto flash = readFile(dir / "flash.bin");
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_TRUE(testing_support::holds(flash, start, image));
    EXPECT_EQ(readFile(dir / "external.bin").size(), 1024u * 1024);
}

TEST(Emulator, BadOptionsAreRefused) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--flash-size", "12"},
                                               {"--ap", "xyz"},
                                               {"--fault-no-reply", "nonsense"},
                                               {"--fault-late-reply", "page-erase"},
                                               {"--loader", "other"},
                                               {"--enumerate-ms", "-1"}}) {
        std::vector<std::string> argv = {BRISKLINK_EMU};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run(argv);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err, "") << args[0];
    }
}

// An emulator that answers a report request with fewer bytes than asked
// for, or none: the client refuses it and never copies past what it got.
TEST(Emulator, AReportOfAnotherLengthIsRefusedByTheClient) {
    using platform::hid::ReadResult;
    for (const std::size_t got :
         {std::size_t{0}, std::size_t{1}, std::size_t{64}, std::size_t{66}}) {
        platform::hid::EmulatorBus bus([got](const std::vector<std::uint8_t>& request,
                                             std::vector<std::uint8_t>& response) {
            platform::wire::Writer w;
            // GET_REPORT answers ok + blob; an interrupt read answers
            // "report" (0) + blob.
            w.u8(request.at(0) == static_cast<std::uint8_t>(platform::wire::Op::ReadReport) ? 0
                                                                                            : 1);
            const std::vector<std::uint8_t> bytes(got, 0xAB);
            w.blob(bytes.data(), bytes.size());
            response = w.bytes;
            return true;
        });
        std::vector<std::uint8_t> report(65, 0x11);
        EXPECT_EQ(bus.getInputReport(1, report.data(), report.size()), ReadResult::Failed) << got;
        EXPECT_EQ(bus.readReport(1, report.data(), report.size(), 100), ReadResult::Failed) << got;
        EXPECT_EQ(report, std::vector<std::uint8_t>(65, 0x11)) << got;
    }
}

} // namespace
