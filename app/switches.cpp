#include "app/switches.h"

#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <optional>

namespace app {

namespace {

std::u16string lowerAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return text;
}

// "/n:COUNT": a whole number from 1 to 1000.
std::optional<int> countOf(const std::string& text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int count = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        count = count * 10 + (c - '0');
    }
    if (count < 1 || count > 1000) return std::nullopt;
    return count;
}

// An address of "/range:": hexadecimal with 0x, else decimal; 32 bits.
std::optional<std::uint32_t> addressOf(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        const int d = c >= '0' && c <= '9'          ? c - '0'
                      : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                    : -1;
        if (d < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// Each adapter named once.
void addNamed(Request& request, Named named) {
    if (std::find(request.named.begin(), request.named.end(), named) == request.named.end())
        request.named.push_back(std::move(named));
}

// A station's name, a tag's value: printable (no control characters), at
// most 64 characters.
bool labelText(const std::string& text) {
    const std::u16string wide = platform::utf8ToUtf16(text);
    if (wide.empty() || wide.size() > 64 || platform::utf16ToUtf8(wide) != text) return false;
    return std::none_of(wide.begin(), wide.end(),
                        [](char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); });
}

// "/tag:KEY=VALUE": a key of [a-z0-9_]+, a value as a label.
std::string addTag(Request& r, const std::string& text) {
    const std::size_t equals = text.find('=');
    const std::string key = text.substr(0, equals);
    const bool keyOk =
        !key.empty() && key.size() <= 64 && std::all_of(key.begin(), key.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        });
    if (equals == std::string::npos || !keyOk || !labelText(text.substr(equals + 1)))
        return "/tag:KEY=VALUE takes a KEY of a-z, 0-9 and _ and a printable VALUE, each of 1 "
               "to 64 characters.";
    r.tags[key] = text.substr(equals + 1);
    return {};
}

// A switch: its name (with the colon when it takes a value) and what it
// sets; false when its value is not one it takes.
struct Switch {
    const char16_t* name;
    bool (*apply)(Request&, const std::string& value);
};

// The switches whose bad values are named in a line of their own rather
// than answered with the whole usage.
struct LabelSwitch {
    const char16_t* name;
    std::string (*apply)(Request&, const std::string& value);
};

constexpr LabelSwitch kLabelSwitches[] = {
    {u"/station:",
     [](Request& r, const std::string& v) -> std::string {
         if (!labelText(v)) return "/station:NAME takes a printable NAME of 1 to 64 characters.";
         r.station = v;
         return {};
     }},
    {u"/tag:", addTag},
    {u"/range:",
     [](Request& r, const std::string& v) -> std::string {
         const std::size_t dash = v.find('-');
         const auto first = addressOf(v.substr(0, dash));
         const auto last = dash == std::string::npos ? std::nullopt : addressOf(v.substr(dash + 1));
         if (!first || !last || *first > *last)
             return "/range:FIRST-LAST takes two addresses, the first not after the last (for "
                    "example /range:0x2000-0x7FFF).";
         r.saveRange = std::make_pair(*first, *last);
         return {};
     }},
    {u"/erase:",
     [](Request& r, const std::string& v) -> std::string {
         if (v != "all" && v != "ALL")
             return "/erase:all erases the whole application area before /p or /f; it takes no "
                    "other value.";
         r.eraseAll = true;
         return {};
     }},
};

constexpr Switch kSwitches[] = {
    {u"/b", [](Request& r, const std::string&) { return r.background = true; }},
    {u"/c", [](Request& r, const std::string&) { return r.showChipVersions = true; }},
    {u"/e", [](Request& r, const std::string&) { return r.showExeVersion = true; }},
    {u"/p",
     [](Request& r, const std::string&) {
         r.versionCheck = 1;
         return r.updateRequested = true;
     }},
    {u"/f",
     [](Request& r, const std::string&) {
         r.versionCheck = 0;
         return r.updateRequested = true;
     }},
    {u"/s", [](Request& r, const std::string&) { return r.silent = true; }},
    {u"/l", [](Request& r, const std::string&) { return r.list = true; }},
    {u"/a", [](Request& r, const std::string&) { return r.all = true; }},
    {u"/j", [](Request& r, const std::string&) { return r.json = true; }},
    {u"/w", [](Request& r, const std::string&) { return r.watch = true; }},
    {u"/n:",
     [](Request& r, const std::string& v) {
         const auto count = countOf(v);
         if (count) r.expected = *count;
         return count.has_value();
     }},
    {u"/port:",
     [](Request& r, const std::string& v) {
         addNamed(r, {false, v});
         return true;
     }},
    {u"/serial:",
     [](Request& r, const std::string& v) {
         addNamed(r, {true, v});
         return true;
     }},
    {u"/log:",
     [](Request& r, const std::string& v) {
         r.journal = v;
         return true;
     }},
    {u"/save:",
     [](Request& r, const std::string& v) {
         r.savePath = v;
         return true;
     }},
    {u"/metrics:",
     [](Request& r, const std::string& v) {
         r.metrics = v;
         return true;
     }},
    {u"/syslog", [](Request& r, const std::string&) { return r.syslog = true; }},
    {u"/syslog:",
     [](Request& r, const std::string& v) {
         r.syslogSocket = v;
         return r.syslog = true;
     }},
};

bool applySwitch(Request& request, const std::u16string& argument, std::string& refusal) {
    const std::u16string lower = lowerAscii(argument);
    for (const LabelSwitch& s : kLabelSwitches) {
        const std::u16string name = s.name;
        if (lower.rfind(name, 0) != 0) continue;
        const std::string why =
            s.apply(request, platform::utf16ToUtf8(argument.substr(name.size())));
        if (!why.empty() && refusal.empty()) refusal = why;
        return true;
    }
    for (const Switch& s : kSwitches) {
        const std::u16string name = s.name;
        const bool takesValue = name.back() == u':';
        if (takesValue ? lower.rfind(name, 0) != 0 || lower.size() == name.size() : lower != name)
            continue;
        return s.apply(request, platform::utf16ToUtf8(argument.substr(name.size())));
    }
    return false;
}

// The rules of which switches go together: the first one broken, in words.
std::string conflictOf(const Request& r) {
    if (r.all && !r.named.empty())
        return "/a takes every adapter on the bus: it cannot be given with /port: or /serial:.";
    if (r.watch && (r.all || !r.named.empty()))
        return "/w takes each adapter as it is plugged in: it cannot be given with /a, /port: or "
               "/serial:.";
    if (r.watch && !r.deviceWork())
        return "/w needs /c, /p or /f: what to do with each adapter plugged in.";
    if (r.expected > 0 && !r.all && !r.watch) return "/n:COUNT is for /a or /w.";
    if (r.eraseAll && !r.updateRequested) return "/erase:all is for /p or /f.";
    if (r.saveRange && r.savePath.empty()) return "/range: is for /save:FILE.";
    if (!r.savePath.empty() && (r.batch() || r.watch))
        return "/save:FILE saves one adapter: it cannot be given with /a, /w or more than one "
               "/port: or /serial:.";
    return {};
}

} // namespace

ParsedSwitches parseSwitches(const std::vector<std::u16string>& arguments) {
    ParsedSwitches parsed;
    Request& r = parsed.request;
    std::string refusal;
    for (const std::u16string& argument : arguments)
        if (!applySwitch(r, argument, refusal)) parsed.unrecognised = true;
    // A save needs a connection: alone it reads as "/c" does.
    if (!r.savePath.empty() && !r.updateRequested) r.showChipVersions = true;
    if (!parsed.unrecognised) parsed.conflict = refusal.empty() ? conflictOf(r) : refusal;
    return parsed;
}

std::vector<std::string> usageLines() {
    // Windows' text is the product's own; elsewhere the program says the name
    // it was started by and how that system's shells give the exit code.
    const bool windows = platform::hasWindow();
    std::string name = windows ? "IAP.exe" : platform::programName();
    if (name.empty()) name = "IAP";
    return {
        "Brisklink firmware update tool. Copyright (C) 2026 Brisklink. All rights reserved.\n",
        "\nUsage: " + name + " [/c] [/e] [/p] [/f] [/s | /b] [/h]\n",
        "    /c    Show loader/firmware version of the chip.\n",
        "    /e    Show firmware version of the EXE file.\n",
        "    /p    Start firmware update.\n",
        "    /f    Force firmware update (without version check).\n",
        "    /s    Silent mode.\n",
        "    /b    Background mode.\n",
        "    /h    Show help.\n\n",
        windows ? "Use %errorlevel% to get the error code. 0 for success, 1 for error.\n"
                : "The exit code ($? in a shell) is 0 for success, 1 for error.\n",
        "\nSeveral adapters:\n",
        "    /l    List the adapters on the bus (LOCATION, mode, VID:PID, serial number).\n",
        "    /port:LOCATION    Work on the adapter at LOCATION only; given more than once,\n"
        "                      on those adapters at once, as /a does.\n",
        "    /serial:SN    The same, by the adapter's USB serial number.\n",
        "    /a    Work on every adapter on the bus at once.\n",
        "    /n:COUNT    With /a: wait up to 30 s for COUNT adapters; each one missing\n"
        "                counts as failed. With /w: stop after COUNT results.\n",
        "    /w    Watch: work on each adapter as it is plugged in, until Ctrl-C.\n",
        "    /j    Write JSON lines for scripts instead of text.\n",
        "    /log:FILE    Append one JSON line per adapter's result to FILE.\n",
        "    /save:FILE    Save the adapter's firmware to FILE (Intel HEX) first;\n"
        "                  with /p or /f the update starts only once it is saved.\n",
        "    /range:FIRST-LAST    With /save: save these addresses (and the version\n"
        "                         record) instead of the application area.\n",
        "    /erase:all    With /p or /f: erase the whole application area, not only\n"
        "                  the image's pages (after a rollback or a smaller image).\n",
        "    /station:NAME    Name this station in every record (default: the host name).\n",
        "    /tag:KEY=VALUE    Add a tag to every record (work order, operator, lot).\n",
        "    /metrics:FILE    Keep the station's state in FILE for node_exporter's\n"
        "                     textfile collector (a .prom file in its directory).\n",
        "    /syslog[:SOCKET]    Send each result to the system log (default /dev/log).\n",
    };
}

} // namespace app
