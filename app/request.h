// What the switches ask for: the console's request, made by the switch
// parser (switches.h) and read by the run.
#pragma once

#include "steps/adapters.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app {

// An adapter named on the command line: "/port:LOCATION" or "/serial:SN".
struct Named {
    bool bySerial = false;
    std::string value;
    bool operator==(const Named&) const = default;
    bool matches(const steps::FoundAdapter& a) const {
        return bySerial ? a.serial == value : a.location == value;
    }
    // How its lines are headed while it is not found.
    std::string label() const { return bySerial ? "serial:" + value : value; }
};

struct Request {
    bool showChipVersions = false; // /c
    bool showExeVersion = false;   // /e
    bool updateRequested = false;  // /p, /f
    // /p: 1, the carried version must be newer; /f: 0.
    std::int32_t versionCheck = 0;
    bool silent = false;     // /s
    bool background = false; // /b
    bool list = false;       // /l
    bool all = false;        // /a
    bool json = false;       // /j
    bool watch = false;      // /w
    bool eraseAll = false;   // /erase:all
    // "/port:" and "/serial:", each adapter once, in the order given.
    std::vector<Named> named;
    // "/n:COUNT": the adapters a station expects (0: not said).
    int expected = 0;
    // "/log:FILE": the journal of results.
    std::string journal;
    // "/metrics:FILE": node_exporter's textfile for the station's state.
    std::string metrics;
    // "/syslog" or "/syslog:SOCKET" (empty: the system's /dev/log).
    bool syslog = false;
    std::string syslogSocket;
    // "/save:FILE": where the adapter's firmware is saved first.
    std::string savePath;
    // "/range:FIRST-LAST": what "/save:" reads instead of the application
    // area and the external image (the version record is always saved).
    std::optional<std::pair<std::uint32_t, std::uint32_t>> saveRange;
    // "/station:NAME" (empty: the host name) and "/tag:KEY=VALUE": what each
    // record says of where, and for what, it was made.
    std::string station;
    std::map<std::string, std::string> tags;
    bool deviceWork() const { return showChipVersions || updateRequested; }
    bool batch() const { return all || named.size() > 1; }
};

// The switch a journal line names the run by: "/p", "/f" or "/c".
inline const char* modeSwitch(const Request& request) {
    if (!request.updateRequested) return "/c";
    return request.versionCheck == 1 ? "/p" : "/f";
}

// The adapter of `all` that `named` names; null when none.
const steps::FoundAdapter* findNamed(const std::vector<steps::FoundAdapter>& all,
                                     const Named& named);

} // namespace app
