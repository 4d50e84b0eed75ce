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

class Journal {
  public:
    // Opens the journal at `path`; false with the reason in `why`.
    bool open(const std::string& path, const image::ProgramData& program,
              const steps::UpdateImages& images, std::string& why);
    // Appends one adapter's result; one that cannot be written is said on
    // standard error (with `prefix` in front) and remembered.
    void record(const JournalEntry& entry, const std::u16string& prefix);
    // Some result could not be written.
    bool failed() const { return failed_.load(); }

  private:
    platform::JournalFile file_;
    std::mutex mutex_;
    std::string path_;
    // The fields every line of this run shares.
    Json fixed_;
    std::atomic<bool> failed_{false};
};

} // namespace app
