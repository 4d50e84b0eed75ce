// What a firmware file given to the packer is, told by its content, never
// by its name: a raw binary (the bytes of the flash as they are), or one of
// the forms a compiler's tools write (Intel HEX, Motorola S-record, ELF),
// which are not flash bytes, or some other text.
#pragma once

#include <cstdint>
#include <vector>

namespace pack {

enum class FirmwareForm { Raw, IntelHex, SRecord, Elf, Text };

FirmwareForm firmwareForm(const std::vector<std::uint8_t>& bytes);

// "an Intel HEX file", "an S-record file", "an ELF file", "text".
const char* firmwareFormText(FirmwareForm form);

} // namespace pack
