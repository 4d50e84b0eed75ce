// "/metrics:FILE": the station's state in the Prometheus text format, for
// node_exporter's textfile collector, written whole (a file beside it, then
// renamed) at each change: results by status, adapters running, the time of
// the last result of each status, a histogram of the runs' durations, and
// one info line per adapter location seen with its last serial number,
// status and version. Locations, not serial numbers, key the info lines:
// a station has few ports, but sees a new serial number with each unit.
#pragma once

#include "app/journal.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace app {

class Metrics {
  public:
    // Writes the file once: false with the reason when it cannot be.
    bool open(const std::string& path, const std::string& station, std::string& why);
    void started();
    // `ran`: the adapter was started (one named that was not there was not).
    void finished(const JournalEntry& entry, bool ran);

    // The file's text now.
    std::string text() const;

  private:
    void write();

    struct Seen {
        std::string serial, status, version;
    };
    std::string path_, station_;
    mutable std::mutex mutex_;
    std::size_t running_ = 0;
    std::uint64_t results_[5] = {};
    double lastResult_[5] = {};
    std::uint64_t buckets_[10] = {};
    double durationSum_ = 0;
    std::uint64_t durations_ = 0;
    std::map<std::string, Seen> seen_;
    bool failureSaid_ = false;
};

// A label value as the text format takes it: backslash, double quote and
// line feed escaped, text that is not UTF-8 with U+FFFD.
std::string labelValue(const std::string& text);

} // namespace app
