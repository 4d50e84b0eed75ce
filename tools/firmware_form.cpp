#include "tools/firmware_form.h"

#include <string>

namespace pack {

namespace {

bool hexDigit(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Every line that is not empty has `lead` as its start (one character, and
// for S-records a record-type digit after it) and hexadecimal digits after.
bool everyLine(const std::vector<std::uint8_t>& bytes, char lead, bool typeDigit) {
    bool any = false;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = at;
        while (end < bytes.size() && bytes[end] != '\n')
            ++end;
        std::size_t last = end;
        while (last > at && (bytes[last - 1] == '\r' || bytes[last - 1] == ' '))
            --last;
        if (last > at) {
            std::size_t i = at;
            if (bytes[i++] != lead) return false;
            if (typeDigit && (i >= last || bytes[i] < '0' || bytes[i] > '9')) return false;
            if (typeDigit) ++i;
            if (last - i < 2) return false;
            for (; i < last; ++i)
                if (!hexDigit(bytes[i])) return false;
            any = true;
        }
        at = end + 1;
    }
    return any;
}

} // namespace

FirmwareForm firmwareForm(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' &&
        bytes[3] == 'F')
        return FirmwareForm::Elf;
    // Flash images hold all 256 byte values; one that is all printable text
    // is not an image.
    for (const std::uint8_t c : bytes)
        if (!((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t'))
            return FirmwareForm::Raw;
    if (bytes.empty()) return FirmwareForm::Raw;
    if (everyLine(bytes, ':', false)) return FirmwareForm::IntelHex;
    if (everyLine(bytes, 'S', true)) return FirmwareForm::SRecord;
    return FirmwareForm::Text;
}

const char* firmwareFormText(FirmwareForm form) {
    switch (form) {
    case FirmwareForm::IntelHex:
        return "an Intel HEX file";
    case FirmwareForm::SRecord:
        return "an S-record file";
    case FirmwareForm::Elf:
        return "an ELF file";
    case FirmwareForm::Text:
        return "text";
    case FirmwareForm::Raw:
        break;
    }
    return "a raw binary";
}

} // namespace pack
