#include "app/progress.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/thread.h"

#include <algorithm>
#include <cstdio>

namespace app {

namespace {

constexpr int kRedrawMs = 200;

std::string bytesText(std::uint64_t n) {
    char text[32];
    if (n < 1024)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(n));
    else if (n < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(n) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
    return text;
}

// "174.1/256.0 KiB": both in the unit of the total.
std::string shareText(std::uint64_t done, std::uint64_t total) {
    char text[48];
    if (total < 1024) {
        std::snprintf(text, sizeof text, "%llu/%llu B", static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(total));
    } else {
        const bool mebi = total >= 1024 * 1024;
        const double unit = mebi ? 1024.0 * 1024 : 1024.0;
        std::snprintf(text, sizeof text, "%.1f/%.1f %s", static_cast<double>(done) / unit,
                      static_cast<double>(total) / unit, mebi ? "MiB" : "KiB");
    }
    return text;
}

} // namespace

std::string timeText(std::int64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string renderProgress(const std::string& step, std::uint64_t done, std::uint64_t total,
                           std::int64_t elapsedMs, int width) {
    const std::size_t columns = static_cast<std::size_t>(std::max(width, 20) - 1);
    elapsedMs = std::max<std::int64_t>(elapsedMs, 0);
    // Built by appending: GCC 12 at -O3 takes chains of string + for
    // overlapping copies.
    std::string tail = "  ";
    double share = 0;
    if (total > 0) {
        done = std::min(done, total);
        share = static_cast<double>(done) / static_cast<double>(total);
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(share * 100));
        tail.append(percent).append("  ").append(shareText(done, total)).append("  ");
        // A rate needs a little time and some bytes behind it.
        if (elapsedMs >= 500 && done > 0) {
            const double rate = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs);
            const auto left = static_cast<std::int64_t>(static_cast<double>(total - done) / rate);
            tail.append(bytesText(static_cast<std::uint64_t>(rate)))
                .append("/s  ")
                .append(timeText(left))
                .append(" left");
        } else {
            tail.append("--/s  -:-- left");
        }
    } else {
        tail.append(timeText(elapsedMs / 1000));
    }
    // The bar keeps its width through a pass: it makes room for the widest
    // tail the pass can have, not for this one ("--/s" becomes "123.4 KiB/s").
    std::size_t widest = tail.size();
    if (total > 0)
        widest = std::string("  100%  ").size() + shareText(total, total).size() +
                 std::string("  1023.9 KiB/s  59:59 left").size();
    const std::size_t fixed = step.size() + 3 + std::max(widest, tail.size()); // " [" and "]"
    const std::size_t bar = fixed < columns ? std::clamp<std::size_t>(columns - fixed, 0, 30) : 0;
    std::string line = step;
    if (bar >= 5) {
        std::string cells(bar, ' ');
        if (total > 0) {
            std::fill_n(cells.begin(), static_cast<std::size_t>(share * static_cast<double>(bar)),
                        '#');
        } else {
            // A block of three that runs along the bar and back.
            const std::size_t span = bar - 3;
            const std::size_t tick = static_cast<std::size_t>(elapsedMs / kRedrawMs) % (2 * span);
            const std::size_t at = tick <= span ? tick : 2 * span - tick;
            cells.replace(at, 3, "<=>");
        }
        line.append(" [").append(cells).append("]");
    }
    line += tail;
    if (line.size() > columns) line.resize(columns);
    return line;
}

std::uint64_t passDone(const isp::Session& session, std::uint64_t total) {
    const int percent = std::clamp(session.transProgress(), 0, 100);
    return total * static_cast<std::uint64_t>(percent) / 100;
}

int withProgress(const std::string& step, std::uint64_t total,
                 const std::function<std::uint64_t()>& done, const std::function<int()>& run) {
    if (!platform::standardErrorIsTerminal()) return run();
    const std::int64_t start = platform::clockMs();
    std::size_t drawn = 0;
    // The first draw comes before the pass has begun, while the link still
    // holds the last pass's 100 %: each pass starts at 0 %. Drawing only:
    // the link stays with the thread that runs the step.
    bool first = true;
    const int result = platform::whileTicking(run, kRedrawMs, [&] {
        const std::uint64_t now = total && !first ? done() : 0;
        first = false;
        const std::string line = renderProgress(step, now, total, platform::clockMs() - start);
        // Padded over what the last draw left.
        std::string text = "\r";
        text.append(line).append(drawn > line.size() ? drawn - line.size() : 0, ' ');
        drawn = line.size();
        platform::writeStandardError(std::u16string(text.begin(), text.end()));
    });
    std::string blank = "\r";
    blank.append(drawn, ' ').append("\r");
    platform::writeStandardError(std::u16string(blank.begin(), blank.end()));
    return result;
}

} // namespace app
