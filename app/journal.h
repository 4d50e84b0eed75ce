// The journal of updates ("/log:FILE"): one JSON line per adapter result,
// appended and flushed to disk before the result is reported, so that a
// station keeps a record of which unit got what.
#pragma once

#include "app/events.h"
#include "image/program.h"
#include "platform/platform.h"
#include "steps/images.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

namespace app {

struct JournalEntry {
    std::string location, serial, mode;
    std::optional<std::u16string> loader, before;
    // Its status, failed step, failure line, version after the run, digest.
    ResultFacts result;
    std::int64_t durationMs = 0;
};

// The fields every record of this run shares: host, tool, firmware and the
// images' digests.
Json recordFields(const image::ProgramData& program, const steps::UpdateImages& images);
// One adapter's record, as the journal and the system log carry it.
Json recordLine(const JournalEntry& entry, const Json& fields);

class Journal {
  public:
    // Opens the journal at `path`; false with the reason in `why`.
    bool open(const std::string& path, std::string& why);
    // Appends one adapter's record, whole or not at all. A journal that
    // cannot take it (a full disk, an I/O error, its file removed or
    // replaced under the run) stops: this and every later result is not in
    // it, which is said once on standard error, and the station takes no
    // further adapter. SIGHUP (a rotation) opens its path again first.
    void record(const Json& line);
    // Some result could not be written: the station takes no new adapter,
    // and its run ends with exit code 1.
    bool stopped() const { return failed_.load(); }
    const std::string& path() const { return path_; }

  private:
    // Before a record: the file is still the one at the path, or a rotation
    // has opened the new one; false with the reason.
    bool ready(std::string& why);
    void stop(const std::string& why);

    platform::JournalFile file_;
    std::mutex mutex_;
    std::string path_;
    std::atomic<bool> failed_{false};
    // The hangups (rotations) answered so far.
    int hangupsSeen_ = 0;
};

} // namespace app
