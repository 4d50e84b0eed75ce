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

} // namespace platform
