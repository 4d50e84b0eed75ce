// One journal line appended and flushed to disk, as each adapter's result
// is with "/log:FILE" (a line of the usual size, in a file on the build
// machine's temporary directory).
#include "platform/platform.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

void JournalAppend(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "brisklink-bench-journal.jsonl";
    std::filesystem::remove(path);
    platform::JournalFile journal;
    std::string why;
    if (!journal.open(path.string(), why)) state.SkipWithError(why.c_str());
    const std::string line = "{\"time\":\"2026-12-10T19:23:57.665Z\",\"host\":\"station\"," +
                             std::string(420, 'x') + "}\n";
    for (auto _ : state)
        if (!journal.append(line, why)) state.SkipWithError(why.c_str());
    std::filesystem::remove(path);
}
BENCHMARK(JournalAppend)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
