// brisklink-emu's server on arbitrary request frames: raw frames, and frames
// of every operation with fuzzed fields (small handles, reports whose frame
// CRC is made right so that they reach the adapter's commands). Every
// request gets a response no larger than a frame may be.
#include "emulator/emulator_server.h"
#include "isp/crc.h"
#include "platform/emulator/wire.h"
#include "tests/fuzz/memory_file.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

using platform::wire::Op;
using platform::wire::Writer;

std::vector<std::uint8_t> structured(FuzzedDataProvider& in) {
    Writer w;
    const auto op = in.ConsumeIntegralInRange<std::uint8_t>(0, 11);
    w.u8(op);
    const std::int64_t handle = in.ConsumeIntegralInRange<std::int64_t>(-2, 8);
    switch (static_cast<Op>(op)) {
    case Op::Open:
        w.u8(in.ConsumeIntegralInRange<std::uint8_t>(0, 3))
            .text("sim:" + std::to_string(in.ConsumeIntegralInRange(0, 2)));
        break;
    case Op::Attributes:
    case Op::Capabilities:
    case Op::Close:
        w.i64(handle);
        break;
    case Op::Write: {
        std::vector<std::uint8_t> report = in.ConsumeBytes<std::uint8_t>(
            in.ConsumeBool() ? 65 : in.ConsumeIntegralInRange<std::size_t>(0, 70));
        if (report.size() == 65 && in.ConsumeBool()) {
            report[3] = report[4] = 0;
            const std::uint16_t crc = isp::crc16(0, report.data() + 1, 64);
            report[3] = static_cast<std::uint8_t>(crc & 0xFF);
            report[4] = static_cast<std::uint8_t>(crc >> 8);
        }
        w.i64(handle).blob(report.data(), report.size());
        break;
    }
    case Op::GetInputReport:
        w.i64(handle).u16(in.ConsumeIntegralInRange<std::uint16_t>(0, 2000));
        break;
    case Op::ReadReport:
        // Short time-outs: the virtual clock moves a millisecond a poll.
        w.i64(handle)
            .u16(in.ConsumeIntegralInRange<std::uint16_t>(0, 2000))
            .i32(in.ConsumeIntegralInRange(-5, 20));
        break;
    default:
        break;
    }
    // Sometimes cut short or with bytes left over.
    if (in.ConsumeIntegralInRange(0, 7) == 0 && !w.bytes.empty())
        w.bytes.resize(in.ConsumeIntegralInRange<std::size_t>(0, w.bytes.size() + 4));
    return w.bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    platform::VirtualClock clock;
    adapter::SimulatedBus bus(clock, &clock);
    adapter::AdapterConfig config;
    config.startMode = in.ConsumeBool() ? adapter::Mode::Loader : adapter::Mode::Application;
    config.loaderKind = in.ConsumeBool() ? adapter::LoaderKind::ISP : adapter::LoaderKind::IAP;
    config.flashSize = 64 * 1024;
    config.externalSize = 64 * 1024;
    bus.add(config);
    if (in.ConsumeBool()) bus.add(config);

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        std::vector<std::uint8_t> request;
        if (in.ConsumeIntegralInRange(0, 3) == 0)
            request = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 100));
        else
            request = structured(in);
        // The server never hands an empty request on: its framing refuses it.
        if (request.empty()) continue;
        const auto response = adapter::answer(bus, request);
        fuzz::require(!response.empty() && response.size() <= platform::wire::kMaxFrame);
        clock.advance(in.ConsumeIntegralInRange(0, 1000));
    }
    return 0;
}
