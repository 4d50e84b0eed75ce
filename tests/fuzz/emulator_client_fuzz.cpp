// The emulator client of IAP-emu on arbitrary responses: every bus
// operation over a transport whose responses (or failures) come from the
// fuzzer. Whatever comes back, no operation writes past the caller's buffer
// or returns more than it asked for.
#include "platform/emulator/emulator_bus.h"
#include "tests/fuzz/memory_file.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace hid = platform::hid;
    FuzzedDataProvider in(data, size);
    hid::EmulatorBus bus([&in](const std::vector<std::uint8_t>& request,
                               std::vector<std::uint8_t>& response) {
        fuzz::require(!request.empty() && request.size() <= platform::wire::kMaxFrame);
        if (in.ConsumeIntegralInRange(0, 15) == 0) return false;
        response = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
        return true;
    });

    for (int step = 0; step < 32 && in.remaining_bytes() > 0; ++step) {
        const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(1, 80);
        std::vector<std::uint8_t> report(length);
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: {
            const auto paths = bus.enumerate();
            fuzz::require(paths.size() <= 0xFFFF);
            break;
        }
        case 1:
            bus.open("sim:0", hid::OpenMode::Write);
            break;
        case 2: {
            hid::Attributes a;
            bus.attributes(1, a);
            break;
        }
        case 3: {
            hid::Capabilities c;
            bus.capabilities(1, c);
            break;
        }
        case 4:
            bus.installPending();
            break;
        case 5:
            bus.write(1, report.data(), report.size());
            break;
        case 6:
            bus.getInputReport(1, report.data(), report.size());
            break;
        case 7: {
            const auto r = bus.readReport(1, report.data(), report.size(), 10);
            fuzz::require(r == hid::ReadResult::Ok || r == hid::ReadResult::TimedOut ||
                          r == hid::ReadResult::Failed);
            break;
        }
        default:
            bus.close(1);
            break;
        }
    }
    return 0;
}
