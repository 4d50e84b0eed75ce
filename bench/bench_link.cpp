// Host cost of the link: building one keyed, scrambled command report, and
// sending every report of a 1 MiB program pass to an adapter that answers at
// once (the simulated adapter on a bus with no pacing).
#include "emulator/simulated_bus.h"
#include "isp/session.h"
#include "platform/clock.h"

#include <benchmark/benchmark.h>

namespace {

void KeyedScrambledReport(benchmark::State& state) {
    isp::Session session;
    std::uint8_t key[64];
    for (int i = 0; i < 64; ++i)
        key[i] = static_cast<std::uint8_t>(i * 5 + 1);
    session.setCommandKey(key, 64);
    auto& s = session.state;
    s.rollingKey = {0x11, 0x22, 0x33, 0x44};
    s.rollingEnabled = 1;
    s.rollSeedA = 0x1357;
    s.rollSeedB = 0x2468;
    for (auto _ : state) {
        isp::Report& r = s.outReport;
        r[0] = 0;
        r[1] = 0x01;
        r[2] = 0x01;
        for (std::size_t i = 3; i < r.size(); ++i)
            r[i] = session.filler();
        session.frameCrc(r);
        session.scramble(r.data() + 1, 64);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(KeyedScrambledReport);

void ProgramPassOneMiB(benchmark::State& state) {
    platform::VirtualClock clock;
    adapter::SimulatedBus bus(clock, &clock);
    platform::setClock(&clock);
    isp::Session session(&bus);
    adapter::AdapterConfig config;
    config.startMode = adapter::Mode::Loader;
    config.flashSize = 2 * 1024 * 1024;
    config.commandKey.assign(64, 0);
    auto& a = bus.add(config);
    session.isConnectedToDevice(0x3F27, 0x1005, 0);
    session.sendAuthentication();
    const std::uint32_t start = 0x10000, length = 1024 * 1024;
    std::vector<std::uint8_t> image(length, 0x5A);
    const auto reports = (length + 51) / 52;
    for (auto _ : state) {
        // Verify passes leave the flash as it is, so every iteration is alike.
        if (session.writeProgram(start, start + length - 1, 0, image.data()) != 1)
            state.SkipWithError("unexpected pass result");
    }
    (void)a;
    state.counters["reports"] = static_cast<double>(reports);
    state.counters["per_report"] = benchmark::Counter(
        static_cast<double>(reports),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    session.close();
    platform::setClock(nullptr);
}
BENCHMARK(ProgramPassOneMiB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
