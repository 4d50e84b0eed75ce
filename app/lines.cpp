#include "app/lines.h"

#include "platform/platform.h"
#include "platform/text.h"

#include <cstdio>

namespace app {

void writeWholeLine(const std::string& utf8Line) {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    platform::writeStandardOutput(platform::utf8ToUtf16(utf8Line));
}

std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (const unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

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
    if (quiet_) return;
    const std::string utf8 = platform::utf16ToUtf8(line);
    if (json())
        write(head("step") + ",\"text\":" + jsonString(utf8) + "}");
    else
        write("[" + location_ + "] " + utf8);
}

namespace {

std::string eventHead(const char* event, const std::string& location) {
    return std::string("{\"event\":\"") + event + "\",\"location\":" + jsonString(location);
}

} // namespace

void writeEvent(const char* event, const std::string& location, const std::string& fields) {
    writeWholeLine(eventHead(event, location) + fields + "}\n");
}

std::string AdapterLines::head(const char* event) const {
    return eventHead(event, location_) +
           ",\"serial\":" + (serial_.empty() ? std::string("null") : jsonString(serial_));
}

void AdapterLines::found(bool loader, const std::string& identity, const std::string& serial) {
    serial_ = serial;
    if (!json()) return;
    write(head("found") + ",\"mode\":\"" + (loader ? "loader" : "application") +
          "\",\"id\":" + jsonString(identity) + "}");
}

void AdapterLines::progress(const char* pass, int percent) {
    if (!json()) return;
    write(head("progress") + ",\"pass\":" + jsonString(pass) +
          ",\"percent\":" + std::to_string(percent) + "}");
}

void AdapterLines::result(const char* status, const std::u16string& message,
                          const std::u16string& step,
                          const std::optional<std::u16string>& version) {
    if (!json()) return;
    const bool failed = std::string(status) == "failed";
    std::string line = head("result") + ",\"ok\":" + (failed ? "false" : "true") +
                       ",\"status\":\"" + status +
                       "\",\"message\":" + jsonString(platform::utf16ToUtf8(message));
    if (failed) line += ",\"step\":" + jsonString(platform::utf16ToUtf8(step));
    line += ",\"version\":" + (version ? jsonString(platform::utf16ToUtf8(*version)) : "null");
    write(line + "}");
}

void AdapterLines::write(const std::string& utf8Line) { writeWholeLine(utf8Line + "\n"); }

} // namespace app
