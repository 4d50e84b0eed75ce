#include "app/live_view.h"

#include "app/progress.h"

#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>

namespace app {

namespace {

constexpr std::int64_t kRedrawMs = 250;
// Finished rows kept on view at most; older ones scroll away above it, so a
// watch that runs all shift keeps no more than this.
constexpr std::size_t kFinishedKept = 32;

// The number of characters of UTF-8 text (its lead bytes).
std::size_t characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// At most `limit` characters of `text`, cut between characters.
std::string cut(const std::string& text, std::size_t limit) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (seen++ == limit) return text.substr(0, i);
    }
    return text;
}

std::string padded(const std::string& text, std::size_t width) {
    const std::size_t n = characters(text);
    return n >= width ? text : text + std::string(width - n, ' ');
}

std::string versionText(const std::optional<std::u16string>& v) {
    return v ? platform::utf16ToUtf8(platform::shown(*v)) : std::string("-");
}

const char* colourOf(steps::Status s) {
    switch (s) {
    case steps::Status::Failed:
        return "\x1b[31m";
    case steps::Status::Interrupted:
        return "\x1b[33m";
    default:
        return "\x1b[32m";
    }
}

} // namespace

LiveView::LiveView(bool colour, std::string journal)
    : colour_(colour), journal_(std::move(journal)) {
    ticker_ = std::thread([this] { tick(); });
}

LiveView::~LiveView() { end(); }

std::string LiveView::render(const Row& row, std::int64_t nowMs, int columns,
                             std::size_t locationWidth, std::size_t serialWidth,
                             std::size_t* statusAt, std::size_t* statusLength) {
    std::string text = padded(row.location, locationWidth);
    text.append("  ").append(padded(row.serial.empty() ? "-" : row.serial, serialWidth));
    text.append("  ").append(timeText(
        std::max<std::int64_t>((row.endedMs >= 0 ? row.endedMs : nowMs) - row.beganMs, 0) / 1000));
    text.append("  ");
    std::size_t at = text.size(), length = 0;
    if (row.status) {
        const std::string word = steps::statusName(*row.status);
        length = word.size();
        text.append(word).append(row.detail);
    } else {
        text.append(row.step);
        if (row.percent >= 0) text.append("  ").append(std::to_string(row.percent)).append("%");
    }
    text = cut(text, static_cast<std::size_t>(std::max(columns - 1, 1)));
    at = std::min(at, text.size());
    if (statusAt) *statusAt = at;
    if (statusLength) *statusLength = std::min(length, text.size() - at);
    return text;
}

LiveView::Row* LiveView::find(const std::string& location) {
    for (Row& r : rows_)
        if (r.location == location) return &r;
    return nullptr;
}

void LiveView::started(const std::string& location, const std::string& serial) {
    const std::lock_guard lock(mutex_);
    Row row{cut(location, 40),   cut(platform::shown(serial), 24),
            "Starting",          -1,
            platform::clockMs(), -1,
            std::nullopt,        {}};
    if (Row* r = find(location)) {
        // A watch's adapter plugged in again: its last result scrolls away.
        if (r->status) pending_.push_back(*r);
        *r = row;
    } else {
        rows_.push_back(row);
    }
    changed_ = true;
}

void LiveView::line(const std::string& location, const std::u16string& text) {
    const std::lock_guard lock(mutex_);
    if (Row* r = find(location); r != nullptr && !r->status) {
        r->step = platform::utf16ToUtf8(platform::shown(text));
        r->percent = -1;
        changed_ = true;
    }
}

void LiveView::progress(const std::string& location, int percent) {
    const std::lock_guard lock(mutex_);
    if (Row* r = find(location); r != nullptr && !r->status && r->percent != percent) {
        r->percent = std::clamp(percent, 0, 100);
        changed_ = true;
    }
}

void LiveView::finished(const JournalEntry& entry) {
    const steps::Status status = entry.result.status;
    const std::string location = entry.location.empty() ? "serial:" + entry.serial : entry.location;
    const std::lock_guard lock(mutex_);
    ++counts_[static_cast<int>(status)];
    Row* r = find(location);
    if (r == nullptr) {
        // An adapter named that was not there: its result only.
        rows_.push_back({cut(location, 40), "", "", -1, platform::clockMs(), -1, {}, {}});
        r = &rows_.back();
    }
    r->status = status;
    r->endedMs = platform::clockMs();
    r->detail = "  " + versionText(entry.before) + " -> " + versionText(entry.result.version);
    if (!steps::succeeded(status))
        r->detail.append("  at ").append(
            steps::stepName(entry.result.step.value_or(steps::Step::Connect)));
    changed_ = true;
}

void LiveView::journalStopped() {
    const std::lock_guard lock(mutex_);
    journalStopped_ = true;
    changed_ = true;
}

void LiveView::above(const std::u16string& text) {
    const std::lock_guard lock(mutex_);
    std::string utf8 = platform::utf16ToUtf8(text);
    if (!utf8.empty() && utf8.back() != '\n') utf8 += '\n';
    draw(utf8);
}

void LiveView::end() {
    {
        const std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    const std::lock_guard lock(mutex_);
    draw();
}

void LiveView::tick() {
    std::int64_t last = 0;
    std::unique_lock lock(mutex_);
    while (!ended_) {
        wake_.wait_for(lock, std::chrono::milliseconds(kRedrawMs));
        if (ended_) break;
        // The running rows' times move once a second.
        const std::int64_t now = platform::clockMs();
        if (changed_ || now - last >= 1000) {
            draw();
            last = now;
        }
    }
}

std::string LiveView::totals(int columns) const {
    std::size_t running = 0;
    for (const Row& r : rows_)
        running += !r.status;
    auto count = [this](steps::Status s) { return std::to_string(counts_[static_cast<int>(s)]); };
    std::string text = "running " + std::to_string(running) + ", updated " +
                       count(steps::Status::Updated) + ", current " + count(steps::Status::Current);
    // Only a run that reads has these.
    if (counts_[static_cast<int>(steps::Status::Read)] > 0)
        text.append(", read ").append(count(steps::Status::Read));
    text.append(", failed ")
        .append(count(steps::Status::Failed))
        .append(", interrupted ")
        .append(count(steps::Status::Interrupted));
    if (!journal_.empty())
        text.append(" | journal ")
            .append(platform::shown(journal_))
            .append(journalStopped_ ? ": stopped" : ": ok");
    return cut(text, static_cast<std::size_t>(std::max(columns - 1, 1)));
}

void LiveView::draw(const std::string& aboveText) {
    int columns = 80, lines = 24;
    platform::terminalSize(columns, lines);
    // The rows that fit under the text: the totals and the cursor's line
    // take two lines of the terminal.
    const std::size_t room = static_cast<std::size_t>(std::max(lines - 2, 1));
    std::size_t finished = 0;
    for (const Row& r : rows_)
        finished += r.status.has_value();
    // Finished rows scroll away, oldest first, while the rows do not fit.
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (!it->status || (rows_.size() <= room && finished <= kFinishedKept)) {
            ++it;
            continue;
        }
        pending_.push_back(*it);
        it = rows_.erase(it);
        --finished;
    }
    std::size_t locationWidth = 0, serialWidth = 1;
    for (const Row& r : rows_) {
        locationWidth = std::max(locationWidth, characters(r.location));
        serialWidth = std::max(serialWidth, characters(r.serial));
    }
    const std::int64_t now = platform::clockMs();
    auto rendered = [&](const Row& r, std::size_t locations, std::size_t serials) {
        std::size_t at = 0, length = 0;
        std::string text = render(r, now, columns, locations, serials, &at, &length);
        if (colour_ && r.status && length > 0)
            text = text.substr(0, at) + colourOf(*r.status) + text.substr(at, length) + "\x1b[0m" +
                   text.substr(at + length);
        return text;
    };
    std::string out;
    if (drawnLines_ > 0) out += "\r\x1b[" + std::to_string(drawnLines_) + "A";
    out += "\r\x1b[J" + aboveText;
    for (const Row& r : pending_)
        out += rendered(r, characters(r.location), characters(r.serial)) + "\n";
    pending_.clear();
    int drawn = 0;
    const std::size_t shown = rows_.size() > room ? room - 1 : rows_.size();
    for (std::size_t i = 0; i < shown; ++i, ++drawn)
        out += rendered(rows_[i], locationWidth, serialWidth) + "\n";
    if (shown < rows_.size()) {
        out += cut("... and " + std::to_string(rows_.size() - shown) + " more running",
                   static_cast<std::size_t>(std::max(columns - 1, 1))) +
               "\n";
        ++drawn;
    }
    out += totals(columns) + "\n";
    drawnLines_ = drawn + 1;
    changed_ = false;
    platform::writeStandardError(platform::utf8ToUtf16(out));
}

} // namespace app
