// The trailer search on a 1 MiB updater, unsigned, signed (an Authenticode
// certificate table after the trailer: 12 KiB holds a vendor's certificate
// chain and a time stamp), and with 64 KiB appended.
#include "image/trailer.h"
#include "tools/trailer_builder.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

std::string makeUpdater(std::size_t appended) {
    std::mt19937 generator(1);
    auto noise = [&](std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(generator());
        return bytes;
    };
    pack::TrailerContent content;
    content.imageKey = {1, 2, 3, 4};
    content.internalImage = noise(256 * 1024);
    const auto path = (std::filesystem::temp_directory_path() /
                       ("brisklink-bench-" + std::to_string(appended) + ".bin"))
                          .string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto put = [&](const std::vector<std::uint8_t>& b) {
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    };
    put(noise(1024 * 1024));
    put(pack::buildTrailer(content));
    put(noise(appended));
    return path;
}

void TrailerSearch(benchmark::State& state) {
    const auto appended = static_cast<std::size_t>(state.range(0));
    const std::string path = makeUpdater(appended);
    ProgramInfo info{};
    for (auto _ : state) {
        image::TrailerPosition position; // a fresh process: search from the end
        if (!image::findProgramInfo(path, position, &info)) state.SkipWithError("not found");
        benchmark::DoNotOptimize(info);
    }
    std::filesystem::remove(path);
}
BENCHMARK(TrailerSearch)
    ->ArgName("appended")
    ->Arg(0)
    ->Arg(12 * 1024)
    ->Arg(64 * 1024)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
