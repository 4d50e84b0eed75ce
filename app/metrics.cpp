#include "app/metrics.h"

#include "app/station.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <cstdio>

namespace app {

namespace {

// Seconds: an update of a small image takes a few, a large one a minute.
constexpr double kBuckets[10] = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};
constexpr steps::Status kStatuses[5] = {steps::Status::Updated, steps::Status::Current,
                                        steps::Status::Read, steps::Status::Failed,
                                        steps::Status::Interrupted};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

} // namespace

std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : platform::utf16ToUtf8(platform::utf8ToUtf16(text))) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

bool Metrics::open(const std::string& path, const std::string& station, std::string& why) {
    path_ = path;
    station_ = labelValue(station);
    return platform::writeFileWhole(path_, text(), why);
}

void Metrics::started() {
    {
        const std::lock_guard lock(mutex_);
        ++running_;
    }
    write();
}

void Metrics::finished(const JournalEntry& e, bool ran) {
    {
        const std::lock_guard lock(mutex_);
        if (running_ > 0 && ran) --running_;
        const int s = static_cast<int>(e.result.status);
        ++results_[s];
        lastResult_[s] = static_cast<double>(platform::timeSeconds());
        const double seconds = static_cast<double>(e.durationMs) / 1000.0;
        for (std::size_t b = 0; b < std::size(kBuckets); ++b)
            buckets_[b] += seconds <= kBuckets[b];
        durationSum_ += seconds;
        ++durations_;
        if (!e.location.empty())
            seen_[e.location] = {e.serial, steps::statusName(e.result.status),
                                 e.result.version ? platform::utf16ToUtf8(*e.result.version) : ""};
    }
    write();
}

std::string Metrics::text() const {
    const std::lock_guard lock(mutex_);
    const std::string station = "station=\"" + station_ + "\"";
    std::string out = "# HELP brisklink_results_total Adapter results by status.\n"
                      "# TYPE brisklink_results_total counter\n";
    for (const steps::Status s : kStatuses)
        out += "brisklink_results_total{" + station + ",status=\"" + steps::statusName(s) + "\"} " +
               std::to_string(results_[static_cast<int>(s)]) + "\n";
    out += "# HELP brisklink_adapters_running Adapters being worked on now.\n"
           "# TYPE brisklink_adapters_running gauge\n"
           "brisklink_adapters_running{" +
           station + "} " + std::to_string(running_) + "\n";
    out += "# HELP brisklink_last_result_timestamp_seconds When the last result of each status "
           "came.\n"
           "# TYPE brisklink_last_result_timestamp_seconds gauge\n";
    for (const steps::Status s : kStatuses)
        if (results_[static_cast<int>(s)] > 0)
            out += "brisklink_last_result_timestamp_seconds{" + station + ",status=\"" +
                   steps::statusName(s) + "\"} " + number(lastResult_[static_cast<int>(s)]) + "\n";
    out += "# HELP brisklink_update_duration_seconds How long each adapter's run took.\n"
           "# TYPE brisklink_update_duration_seconds histogram\n";
    for (std::size_t b = 0; b < std::size(kBuckets); ++b)
        out += "brisklink_update_duration_seconds_bucket{" + station + ",le=\"" +
               number(kBuckets[b]) + "\"} " + std::to_string(buckets_[b]) + "\n";
    out += "brisklink_update_duration_seconds_bucket{" + station + ",le=\"+Inf\"} " +
           std::to_string(durations_) + "\n";
    out += "brisklink_update_duration_seconds_sum{" + station + "} " + number(durationSum_) + "\n";
    out += "brisklink_update_duration_seconds_count{" + station + "} " +
           std::to_string(durations_) + "\n";
    out += "# HELP brisklink_adapter_info The last result at each adapter location.\n"
           "# TYPE brisklink_adapter_info gauge\n";
    for (const auto& entry : seen_)
        out += "brisklink_adapter_info{" + station + ",location=\"" + labelValue(entry.first) +
               "\",serial=\"" + labelValue(entry.second.serial) + "\",status=\"" +
               entry.second.status + "\",version=\"" + labelValue(entry.second.version) + "\"} 1\n";
    return out;
}

void Metrics::write() {
    // One writer at a time, each with the state as it is when it writes: a
    // file renamed in place is always whole, and the last one is the newest.
    static std::mutex writing;
    const std::lock_guard lock(writing);
    std::string why;
    if (platform::writeFileWhole(path_, text(), why)) return;
    const std::lock_guard said(mutex_);
    if (failureSaid_) return;
    failureSaid_ = true;
    sayOnStandardError(
        platform::utf8ToUtf16("The metrics file " + path_ + " cannot be written: " + why +
                              ". The run goes on; the journal keeps its results.\n"));
}

} // namespace app
