// The console's lines for one adapter among several, or for scripts: each
// line written whole, with its adapter's location in front ("[1-2.3] ...")
// or as a JSON object on a line of its own ("/j"), so that the lines of
// adapters updated at once never mix within a line.
#pragma once

#include "app/events.h"

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
    // Where the lines and the progress are told beside the output (the live
    // view of a batch or watch); null when nowhere.
    void setStation(class Station* station) { station_ = station; }
    // An unfinished line goes out as it is.
    void flush();
    // The last line the adapter's run printed: its final text.
    const std::u16string& lastLine() const { return last_; }

    // JSON events (nothing in the prefixed form). From `found` on, each
    // event of the adapter carries its serial number.
    void found(bool loader, const std::string& identity, const std::string& serial);
    void progress(steps::Step pass, int percent);
    // The adapter's result; `message` its final text.
    void result(const std::u16string& message, const ResultFacts& facts);

  private:
    void line(const std::u16string& line);
    Json head(const char* event) const;

    std::string location_;
    Form form_;
    std::u16string pending_;
    std::u16string last_;
    std::string serial_;
    bool quiet_ = false;
    class Station* station_ = nullptr;
};

} // namespace app
