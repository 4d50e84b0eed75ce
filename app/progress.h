// The console's progress line: while a long step runs (a program or verify
// pass, an erase, a wait for the adapter to come back) and standard error is
// a terminal, one line on standard error shows the step, a bar, the
// percentage, bytes done of total, the rate and the time left, redrawn in
// place a few times a second and erased before the transcript goes on.
// Standard output never sees it; silent mode and a redirected standard error
// never show it.
#pragma once

#include "isp/session.h"

#include <cstdint>
#include <functional>
#include <string>

namespace app {

// The line for a step at `elapsedMs`, at most `width` - 1 columns. A step
// with a total shows its bar, share, bytes, rate and time left; one without
// (an erase, a wait) shows a block moving along the bar and the time so far.
std::string renderProgress(const std::string& step, std::uint64_t done, std::uint64_t total,
                           std::int64_t elapsedMs, int width = 80);

// Shows the progress line of `step` while `run` runs and returns its result.
// `total` bytes of which `done()` are done (total 0: a step without a
// measure). Does nothing but call `run` when standard error is no terminal.
int withProgress(const std::string& step, std::uint64_t total,
                 const std::function<std::uint64_t()>& done, const std::function<int()>& run);

// "1:05": minutes and seconds, as the progress line and the live view show
// a time.
std::string timeText(std::int64_t seconds);

// The bytes a program or verify pass of `total` bytes has done so far.
std::uint64_t passDone(const isp::Session& session, std::uint64_t total);

} // namespace app
