#include "tools/authenticode.h"

#include "platform/platform.h"
#include "tools/sha256.h"

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

namespace pack {

namespace {

// Where the parts of a PE file that Authenticode leaves out of its digest
// are: the header checksum, the certificate table's directory entry and the
// certificate table itself.
struct PeLayout {
    std::int64_t checksumAt = 0, directoryAt = 0;
    std::uint32_t tableOffset = 0, tableSize = 0;
};

std::uint32_t le(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

using Reader = std::function<bool(std::int64_t at, std::uint8_t* to, std::size_t count)>;

bool readLayout(const Reader& read, PeLayout& pe) {
    std::uint8_t dos[64];
    if (!read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const std::int64_t header = le(dos + 0x3C, 4);
    std::array<std::uint8_t, 24 + 112 + 8 * 5> nt{};
    if (!read(header, nt.data(), nt.size())) return false;
    if (le(nt.data(), 4) != 0x00004550) return false; // "PE\0\0"
    const std::uint32_t optionalSize = le(nt.data() + 20, 2);
    const std::uint8_t* optional = nt.data() + 24;
    const std::uint32_t magic = le(optional, 2);
    if (magic != 0x10B && magic != 0x20B) return false;
    const std::size_t directories = magic == 0x20B ? 112 : 96;
    const std::uint32_t count = le(optional + directories - 4, 4);
    // The certificate table is directory entry 4.
    if (count < 5 || optionalSize < directories + 5 * 8) return false;
    pe.checksumAt = header + 24 + 64;
    pe.directoryAt = header + 24 + static_cast<std::int64_t>(directories) + 4 * 8;
    pe.tableOffset = le(optional + directories + 32, 4);
    pe.tableSize = le(optional + directories + 36, 4);
    return true;
}

// The SHA-256 digest that the signature's SpcIndirectDataContent carries:
// the first DigestInfo (OID sha256, optional NULL, OCTET STRING of 32).
bool signedDigest(const std::vector<std::uint8_t>& table, std::array<std::uint8_t, 32>& digest) {
    static const std::uint8_t oid[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01};
    for (auto at = table.begin();;) {
        at = std::search(at, table.end(), std::begin(oid), std::end(oid));
        if (at == table.end()) return false;
        at += sizeof oid;
        auto value = at;
        if (table.end() - value >= 2 && value[0] == 0x05 && value[1] == 0x00) value += 2;
        if (table.end() - value >= 34 && value[0] == 0x04 && value[1] == 0x20) {
            std::copy_n(value + 2, 32, digest.begin());
            return true;
        }
    }
}

// The Authenticode digest of the file's first `end` bytes, the checksum and
// the directory entry left out.
bool fileDigest(platform::InputFile& file, const PeLayout& pe, std::int64_t end,
                std::array<std::uint8_t, 32>& digest) {
    Sha256 sha;
    std::vector<std::uint8_t> chunk(1 << 16);
    auto hash = [&](std::int64_t from, std::int64_t to) {
        while (from < to) {
            const auto n = static_cast<std::size_t>(
                std::min<std::int64_t>(to - from, static_cast<std::int64_t>(chunk.size())));
            if (!file.readAt(from, chunk.data(), n)) return false;
            sha.update(chunk.data(), n);
            from += static_cast<std::int64_t>(n);
        }
        return true;
    };
    if (!hash(0, pe.checksumAt) || !hash(pe.checksumAt + 4, pe.directoryAt) ||
        !hash(pe.directoryAt + 8, end))
        return false;
    digest = sha.finish();
    return true;
}

bool readLayout(platform::InputFile& file, PeLayout& pe) {
    return readLayout([&](std::int64_t at, std::uint8_t* to,
                          std::size_t count) { return file.readAt(at, to, count); },
                      pe);
}

} // namespace

bool stripSignature(std::vector<std::uint8_t>& exe) {
    PeLayout pe;
    const Reader read = [&](std::int64_t at, std::uint8_t* to, std::size_t count) {
        if (at < 0 || static_cast<std::uint64_t>(at) + count > exe.size()) return false;
        std::copy_n(exe.begin() + at, count, to);
        return true;
    };
    if (!readLayout(read, pe) || pe.tableSize == 0) return false;
    // The table can only be cut off where it closes the file; elsewhere only
    // its directory entry goes, and the bytes stay as unsigned data.
    if (std::uint64_t{pe.tableOffset} + pe.tableSize == exe.size()) exe.resize(pe.tableOffset);
    std::fill_n(exe.begin() + pe.directoryAt, 8, std::uint8_t{0});
    return true;
}

bool carriesSignature(const std::string& path) {
    platform::InputFile file(path);
    PeLayout pe;
    return file.isOpen() && readLayout(file, pe) && pe.tableSize != 0;
}

SignatureReport checkSignature(const std::string& path, std::int64_t trailerEnd) {
    SignatureReport report;
    platform::InputFile file(path);
    PeLayout pe;
    if (!file.isOpen() || !readLayout(file, pe) || pe.tableSize == 0) return report;
    report.tableOffset = pe.tableOffset;
    report.tableSize = pe.tableSize;
    const std::int64_t size = file.size();
    const std::int64_t tableEnd = std::int64_t{pe.tableOffset} + pe.tableSize;
    if (trailerEnd > pe.tableOffset) {
        report.state = Signature::TrailerAfter;
        return report;
    }
    // The certificate table closes a signed file: anything after it, or a
    // table that is not all there, was not signed.
    report.state = Signature::Changed;
    if (tableEnd != size || pe.tableOffset <= pe.directoryAt + 8 || pe.tableSize <= 8 ||
        pe.tableSize > (16u << 20))
        return report;
    std::vector<std::uint8_t> table(pe.tableSize - 8);
    std::array<std::uint8_t, 32> expected{}, actual{};
    if (!file.readAt(std::int64_t{pe.tableOffset} + 8, table.data(), table.size())) return report;
    if (!signedDigest(table, expected)) {
        report.state = Signature::Unchecked;
        return report;
    }
    if (fileDigest(file, pe, pe.tableOffset, actual) && actual == expected)
        report.state = Signature::Intact;
    return report;
}

namespace {

// The state's name for scripts (show --json) and its text for people.
struct SignatureWords {
    const char* name;
    const char* text;
};

SignatureWords signatureWords(Signature state) {
    switch (state) {
    case Signature::None:
        return {"none", "none"};
    case Signature::Intact:
        return {"intact", "Authenticode, intact (the trailer is inside it)"};
    case Signature::Changed:
        return {"changed", "Authenticode, broken: the file changed after signing"};
    case Signature::TrailerAfter:
        return {"trailer-after-signature",
                "Authenticode, broken: the trailer was appended after signing (pack, then sign)"};
    case Signature::Unchecked:
        return {"unchecked", "Authenticode, digest not SHA-256: not checked"};
    }
    return {"", ""};
}

} // namespace

const char* signatureText(Signature state) { return signatureWords(state).text; }
const char* signatureName(Signature state) { return signatureWords(state).name; }

} // namespace pack
