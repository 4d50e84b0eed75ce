// Conversions between the UTF-16 texts of the program and UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
// Malformed sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
// ASCII text to UTF-16 (for the program's fixed messages).
std::u16string ascii(std::string_view text);

// Text from outside the program (an adapter's texts, serial numbers, process
// and user names, file contents) fit to be shown on a terminal, in a
// transcript line or in a window: control characters (C0, DEL, C1) become
// "\x1B" and the marks that break or reorder a line (U+2028, U+2029, the
// bidirectional controls) "\u2028", so that nothing from outside moves the
// cursor, recolours or retitles the terminal, or starts a line that reads as
// the program's own. Malformed UTF-8 and unpaired surrogates show as U+FFFD.
// JSON keeps the exact text instead.
std::u16string shown(std::u16string_view text);
std::string shown(std::string_view utf8);

} // namespace platform
