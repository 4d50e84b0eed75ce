// The console's output: the transcript on standard output (one print routine
// that "/s" silences), what it says beside it on standard error, the usage.
#include "app/console.h"
#include "app/station.h"
#include "app/switches.h"

#include "platform/platform.h"
#include "platform/text.h"
#include "steps/adapters.h"

namespace app {

void printMessage(const ConsoleSettings& settings, const std::u16string& text) {
    // One adapter's lines keep its last line even when silent: it is the
    // message of its result.
    if (settings.lines != nullptr)
        settings.lines->text(text);
    else if (!settings.silentMode)
        platform::writeStandardOutput(text);
}

void printMessage(const ConsoleSettings& settings, const char* asciiText) {
    printMessage(settings, platform::ascii(asciiText));
}

void diagnose(const ConsoleSettings& settings, const std::u16string& text) {
    if (settings.silentMode) return;
    if (settings.diagnosisPrefix.empty()) return sayOnStandardError(text);
    std::u16string out;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find(u'\n', from);
        end = end == std::u16string::npos ? text.size() : end + 1;
        out += settings.diagnosisPrefix + text.substr(from, end - from);
        from = end;
    }
    sayOnStandardError(out);
}

void sayWhatTheSearchSaw(platform::hid::Bus& bus, const image::ProgramData& program,
                         const ConsoleSettings& settings) {
    const std::string seen = steps::searchReport(bus, program);
    if (!seen.empty()) diagnose(settings, platform::utf8ToUtf16("The search saw: " + seen + "\n"));
}

void printUsage(const ConsoleSettings& settings) {
    for (const std::string& line : usageLines())
        printMessage(settings, platform::utf8ToUtf16(line));
}

void sayError(const ConsoleSettings& settings, bool json, const std::string& text,
              const std::string& location) {
    if (!json) return printMessage(settings, platform::utf8ToUtf16(text));
    writeJson(errorEvent(text, location));
}

} // namespace app
