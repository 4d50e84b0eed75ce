#include "tools/firmware_file.h"

#include <algorithm>

namespace pack {

namespace {

// Little-endian fields of an ELF file, each checked to lie inside it.
class ElfReader {
  public:
    explicit ElfReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::uint64_t get(std::uint64_t at, unsigned size) const {
        if (at > bytes_.size() || size > bytes_.size() - at)
            throw FormatError("ELF: a header field lies past the end of the file");
        std::uint64_t value = 0;
        for (unsigned i = size; i-- > 0;)
            value = value << 8 | bytes_[at + i];
        return value;
    }
    bool holds(std::uint64_t at, std::uint64_t size) const {
        return at <= bytes_.size() && size <= bytes_.size() - at;
    }

  private:
    const std::vector<std::uint8_t>& bytes_;
};

struct ElfSection {
    std::string name;
    std::uint64_t offset, size;
};

// The sections whose bytes are in the file and in the loaded image
// (SHF_ALLOC, not SHT_NOBITS), with their names.
std::vector<ElfSection> elfSections(const ElfReader& elf, bool wide) {
    const std::uint64_t shoff = elf.get(wide ? 40 : 32, wide ? 8 : 4);
    const std::uint64_t entry = elf.get(wide ? 58 : 46, 2);
    const std::uint64_t count = elf.get(wide ? 60 : 48, 2);
    const std::uint64_t names = elf.get(wide ? 62 : 50, 2);
    if (shoff == 0 || count == 0) return {};
    if (entry < (wide ? 64u : 40u) || !elf.holds(shoff, entry * count))
        throw FormatError("ELF: the section headers lie past the end of the file");
    auto field = [&](std::uint64_t index, unsigned at32, unsigned at64, bool address) {
        return elf.get(shoff + index * entry + (wide ? at64 : at32), wide && address ? 8 : 4);
    };
    std::uint64_t namesOffset = 0, namesSize = 0;
    if (names < count) {
        namesOffset = field(names, 16, 24, true);
        namesSize = field(names, 20, 32, true);
        if (!elf.holds(namesOffset, namesSize)) namesSize = 0;
    }
    std::vector<ElfSection> sections;
    for (std::uint64_t i = 0; i < count; ++i) {
        constexpr std::uint64_t kNoBits = 8, kAlloc = 2;
        const std::uint64_t type = field(i, 4, 4, false);
        const std::uint64_t flags = field(i, 8, 8, true);
        const std::uint64_t size = field(i, 20, 32, true);
        if (type == kNoBits || (flags & kAlloc) == 0 || size == 0) continue;
        std::string name;
        for (std::uint64_t n = field(i, 0, 0, false); n < namesSize; ++n) {
            const auto c = static_cast<char>(elf.get(namesOffset + n, 1));
            if (c == 0 || name.size() >= 64) break;
            name += c >= 0x20 && c < 0x7F ? c : '?';
        }
        sections.push_back({name, field(i, 16, 24, true), size});
    }
    return sections;
}

} // namespace

std::vector<Segment> readSRecord(const std::vector<std::uint8_t>& text) {
    std::vector<Segment> records;
    std::size_t dataRecords = 0;
    // The file ends with its termination record, or (srec_cat without a
    // start address) with the count of its data records.
    bool ended = false, counted = false;
    RecordLines line(text);
    while (!ended && line.next()) {
        if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9')
            line.fail("is not an S-record");
        const int type = line[1] - '0';
        const std::vector<std::uint8_t> bytes = line.bytes(2);
        if (bytes.size() != std::size_t{bytes[0]} + 1)
            line.fail("says " + std::to_string(bytes[0]) + " bytes but holds " +
                      std::to_string(bytes.size() - 1));
        std::uint8_t sum = 0;
        for (const std::uint8_t b : bytes)
            sum = static_cast<std::uint8_t>(sum + b);
        if (sum != 0xFF) line.fail("checksum does not match");
        // Address bytes of each record type; 0 for the reserved S4.
        constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const std::size_t width = static_cast<std::size_t>(kAddressBytes[type]);
        if (width == 0) line.fail("is an S4 record, which no tool writes");
        if (bytes.size() < width + 2) line.fail("is too short for its address");
        std::uint32_t address = 0;
        for (std::size_t i = 0; i < width; ++i)
            address = address << 8 | bytes[1 + i];
        const std::uint8_t* data = bytes.data() + 1 + width;
        const std::size_t count = bytes.size() - width - 2;
        counted = type == 5 || type == 6;
        if (type >= 1 && type <= 3) {
            if (std::uint64_t{address} + count > 0x100000000ull)
                line.fail("data past address 0xFFFFFFFF");
            records.push_back({address, std::vector<std::uint8_t>(data, data + count), {}});
            ++dataRecords;
        } else if ((type == 5 || type == 6) && address != (dataRecords & 0xFFFFFF)) {
            line.fail("counts " + std::to_string(address) + " data records, the file has " +
                      std::to_string(dataRecords) + " before it");
        } else if (type >= 7) {
            ended = true;
        }
    }
    if (!ended && !counted)
        throw FormatError("no termination (S7, S8, S9) or count record (S5, S6) at its end: the "
                          "file is cut short");
    try {
        return image::joinSegments(std::move(records));
    } catch (const FormatError& e) {
        throw FormatError(std::string("data records overlap: ") + e.what());
    }
}

std::vector<Segment> readElf(const std::vector<std::uint8_t>& bytes) {
    const ElfReader elf(bytes);
    if (bytes.size() < 52 || elf.get(0, 4) != 0x464C457F) throw FormatError("not an ELF file");
    const std::uint64_t elfClass = bytes[4], data = bytes[5];
    if (data != 1)
        throw FormatError("a big-endian ELF file; firmware for this adapter is little-endian");
    if (elfClass != 1 && elfClass != 2) throw FormatError("ELF: unknown class");
    const bool wide = elfClass == 2;
    const std::uint64_t phoff = elf.get(wide ? 32 : 28, wide ? 8 : 4);
    const std::uint64_t entry = elf.get(wide ? 54 : 42, 2);
    const std::uint64_t count = elf.get(wide ? 56 : 44, 2);
    if (count == 0)
        throw FormatError("ELF: no program headers, so nothing is loaded (an object file?)");
    if (entry < (wide ? 56u : 32u) || !elf.holds(phoff, entry * count))
        throw FormatError("ELF: the program headers lie past the end of the file");
    const std::vector<ElfSection> sections = elfSections(elf, wide);

    std::vector<Segment> out;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = phoff + i * entry;
        auto field = [&](unsigned at32, unsigned at64) {
            return elf.get(at + (wide ? at64 : at32), wide ? 8 : 4);
        };
        constexpr std::uint64_t kLoad = 1;
        if (elf.get(at, 4) != kLoad) continue;
        const std::uint64_t offset = field(4, 8), address = field(12, 24), size = field(16, 32);
        if (size == 0) continue;
        if (!elf.holds(offset, size))
            throw FormatError("ELF: segment " + std::to_string(i) +
                              " lies past the end of the file");
        // Compared without adding: an address near 2^64 plus its size wraps
        // to a small one, which would place the bytes at the wrong address.
        if (address > 0xFFFFFFFFull || size > 0x100000000ull - address)
            throw FormatError("ELF: segment " + std::to_string(i) + " loads " +
                              std::to_string(size) + " bytes at " + hexAddress(address) +
                              ", past the 32-bit address space");
        // The sections the segment holds, at their load addresses, as
        // objcopy writes them; the segment whole when the file names none
        // (its padding and headers are not the firmware's).
        bool named = false;
        for (const ElfSection& s : sections) {
            if (s.offset < offset || s.offset - offset > size ||
                s.size > size - (s.offset - offset))
                continue;
            const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(s.offset);
            out.push_back(
                {static_cast<std::uint32_t>(address + (s.offset - offset)),
                 std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(s.size)),
                 s.name.empty() ? "segment " + std::to_string(i) : s.name});
            named = true;
        }
        if (!named) {
            const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
            out.push_back(
                {static_cast<std::uint32_t>(address),
                 std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(size)),
                 "segment " + std::to_string(i)});
        }
    }
    if (out.empty()) throw FormatError("ELF: nothing loadable (no PT_LOAD segment with contents)");
    try {
        return image::joinSegments(std::move(out), false);
    } catch (const FormatError& e) {
        throw FormatError(std::string("ELF: sections overlap: ") + e.what());
    }
}

std::optional<std::vector<Segment>> readAddressed(FirmwareForm form,
                                                  const std::vector<std::uint8_t>& bytes) {
    switch (form) {
    case FirmwareForm::IntelHex:
        return image::readIntelHex(bytes);
    case FirmwareForm::SRecord:
        return readSRecord(bytes);
    case FirmwareForm::Elf:
        return readElf(bytes);
    case FirmwareForm::Raw:
    case FirmwareForm::Text:
        break;
    }
    return std::nullopt;
}

void placeSegments(const std::vector<Segment>& segments, const Regions& r, bool internal,
                   bool external, Placed& internalImage, Placed& externalImage) {
    const std::string flash =
        "the internal flash (" + hexAddress(r.appStart) + "-" + hexAddress(r.flashEnd - 1) + ")";
    const std::string outside = "the external region (" + hexAddress(r.externalStart) + "-" +
                                hexAddress(r.externalEnd - 1) + ")";
    std::vector<const Segment*> in, out;
    for (const Segment& s : segments) {
        const bool inFlash = s.address >= r.appStart && s.end() <= r.flashEnd;
        const bool inExternal = s.address >= r.externalStart && s.end() <= r.externalEnd;
        const std::string what =
            (s.name.empty() ? "the data at " + hexAddress(s.address) + "-" + hexAddress(s.end() - 1)
                            : "segment " + s.name + " at " + hexAddress(s.address));
        if (inFlash && internal) {
            in.push_back(&s);
        } else if (inExternal && external) {
            out.push_back(&s);
        } else if (inFlash || inExternal) {
            throw FormatError(what + " is in " + (inFlash ? flash : outside) +
                              ": give the file with --firmware to pack both images");
        } else {
            std::string why = what + " is not in " + (internal ? flash : outside);
            if (internal && external) why += " nor " + outside;
            if (s.address == r.versionAddress)
                why += " (the adapter's version record: --version-from takes its text)";
            else if (s.address < r.appStart)
                why += " (below the application start: linked for another loader, or for none?)";
            throw FormatError(why);
        }
    }
    auto place = [](const std::vector<const Segment*>& parts, std::uint32_t from, Placed& into) {
        into = {};
        if (parts.empty()) return;
        into.address = from;
        into.bytes.assign(static_cast<std::size_t>(parts.back()->end() - from), 0xFF);
        for (const Segment* s : parts)
            std::copy(s->bytes.begin(), s->bytes.end(),
                      into.bytes.begin() + static_cast<std::ptrdiff_t>(s->address - from));
    };
    // Sorted by address, as the readers give them.
    if (!in.empty() && in.front()->address != r.appStart)
        throw FormatError("the internal image starts at " + hexAddress(in.front()->address) +
                          ", not at the application start " + hexAddress(r.appStart) +
                          " (--app-start): the adapter starts the application there");
    place(in, r.appStart, internalImage);
    place(out, out.empty() ? 0 : out.front()->address, externalImage);
}

} // namespace pack
