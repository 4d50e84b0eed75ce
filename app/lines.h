// The console's lines for one adapter among several, or for scripts: each
// line written whole, with its adapter's location in front ("[1-2.3] ...")
// or as a JSON object on a line of its own ("/j"), so that the lines of
// adapters updated at once never mix within a line.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace app {

class AdapterLines {
  public:
    enum class Form { Prefixed, Json };
    AdapterLines(std::string location, Form form) : location_(std::move(location)), form_(form) {}
    ~AdapterLines() { flush(); }

    // The adapter, once the run knows where it is.
    void setLocation(std::string location) { location_ = std::move(location); }
    const std::string& location() const { return location_; }
    bool json() const { return form_ == Form::Json; }

    // Console text, split into lines; each whole line goes out at once,
    // unless quiet ("/s"), when only the last line is kept.
    void text(const std::u16string& text);
    void setQuiet(bool quiet) { quiet_ = quiet; }
    // An unfinished line goes out as it is.
    void flush();
    // The last line the adapter's run printed: its final text.
    const std::u16string& lastLine() const { return last_; }

    // JSON events (nothing in the prefixed form). From `found` on, each
    // event of the adapter carries its serial number.
    void found(bool loader, const std::string& identity, const std::string& serial);
    void progress(const char* pass, int percent);
    // `status` is updated, current, read or failed; `step` the line of the
    // step that failed; `version` null where the run cannot know it.
    void result(const char* status, const std::u16string& message, const std::u16string& step,
                const std::optional<std::u16string>& version);

  private:
    void line(const std::u16string& line);
    void write(const std::string& utf8Line);
    std::string head(const char* event) const;

    std::string location_;
    Form form_;
    std::u16string pending_;
    std::u16string last_;
    std::string serial_;
    bool quiet_ = false;
};

// The version of the JSON lines' layout, in each run's "start" event.
inline constexpr int kJsonSchema = 1;

// One JSON event not of one adapter's run (or of an adapter the run could
// not take): `fields` follow "event" and "location", each with its leading
// comma.
void writeEvent(const char* event, const std::string& location, const std::string& fields);

// Writes one whole line (its line end included) to standard output, never
// in the middle of another thread's line.
void writeWholeLine(const std::string& utf8Line);

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string& utf8);

} // namespace app
