#include "app/lines.h"
#include "app/station.h"

#include "platform/text.h"

namespace app {

void AdapterLines::text(const std::u16string& text) {
    for (const char16_t c : text) {
        if (c != u'\n') {
            pending_ += c;
            continue;
        }
        line(pending_);
        pending_.clear();
    }
}

void AdapterLines::flush() {
    if (pending_.empty()) return;
    line(pending_);
    pending_.clear();
}

void AdapterLines::line(const std::u16string& line) {
    // The transcript's blank lines say nothing for one adapter among others.
    if (line.empty()) return;
    last_ = line;
    if (station_ != nullptr) station_->line(location_, line);
    if (quiet_) return;
    if (!json()) {
        // On the terminal the live view shows them instead.
        if (station_ != nullptr && station_->transcriptHidden()) return;
        return writeWholeLine("[" + location_ + "] " + platform::utf16ToUtf8(line) + "\n");
    }
    Json e = head("step");
    e["text"] = app::text(line);
    writeJson(e);
}

Json AdapterLines::head(const char* kind) const {
    Json e = event(kind, location_);
    e["serial"] = serial_.empty() ? Json(nullptr) : Json(serial_);
    return e;
}

void AdapterLines::found(bool loader, const std::string& identity, const std::string& serial) {
    serial_ = serial;
    if (!json()) return;
    Json e = head("found");
    e["mode"] = loader ? "loader" : "application";
    e["id"] = identity;
    writeJson(e);
}

void AdapterLines::progress(steps::Step pass, int percent) {
    if (station_ != nullptr) station_->progress(location_, pass, percent);
    if (!json()) return;
    Json e = head("progress");
    e["pass"] = steps::stepName(pass);
    e["percent"] = percent;
    writeJson(e);
}

void AdapterLines::result(const std::u16string& message, const ResultFacts& facts) {
    if (!json()) return;
    Json e = head("result");
    addResult(e, facts, &message);
    writeJson(e);
}

} // namespace app
