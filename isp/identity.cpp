#include "isp/identity.h"

#include <vector>

namespace isp {

namespace {

std::optional<std::uint32_t> hexValue(std::string_view digits, std::size_t most) {
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    if (digits.empty() || digits.size() > most) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

} // namespace

std::optional<UsbIdentity> parseIdentity(std::string_view text, std::string* why) {
    std::vector<std::string_view> parts;
    for (std::size_t from = 0;;) {
        const std::size_t colon = text.find(':', from);
        parts.push_back(text.substr(from, colon == std::string_view::npos ? colon : colon - from));
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    const auto vendor = parts.size() >= 2 ? hexValue(parts[0], 4) : std::nullopt;
    const auto product = parts.size() >= 2 ? hexValue(parts[1], 4) : std::nullopt;
    const auto selector =
        parts.size() == 3 ? hexValue(parts[2], 2) : std::optional<std::uint32_t>(0);
    if (parts.size() > 3 || !vendor || !product || !selector) {
        if (why != nullptr) {
            // Appended in steps: GCC 12 at -O3 sees a false overlap in a
            // chain of additions to a string built from a literal.
            why->assign(1, '\'');
            why->append(text);
            why->append("' is not VID:PID[:SEL] (hexadecimal, up to FFFF:FFFF:FF)");
        }
        return std::nullopt;
    }
    return UsbIdentity{static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product),
                       static_cast<std::uint8_t>(*selector)};
}

} // namespace isp
