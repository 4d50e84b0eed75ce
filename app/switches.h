// The console's switches: a pure parser from the arguments to a Request, with
// the rules of which switches go together.
#pragma once

#include "app/request.h"

#include <string>
#include <vector>

namespace app {

struct ParsedSwitches {
    Request request;
    // An argument that is no switch of this tool (or /h): the whole usage.
    bool unrecognised = false;
    // Switches that do not go together: one line that names them.
    std::string conflict;
    bool usable() const { return !unrecognised && conflict.empty(); }
};

// Switches are case-insensitive; their values (after the colon) are kept as
// given, in UTF-8.
ParsedSwitches parseSwitches(const std::vector<std::u16string>& arguments);

// The usage text, a line each ("IAP.exe" or the program's name in it).
std::vector<std::string> usageLines();

} // namespace app
