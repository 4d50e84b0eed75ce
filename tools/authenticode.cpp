#include "tools/authenticode.h"

#include "image/sha256.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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
    image::Sha256 sha;
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

namespace {

// Seconds since 1970 of a date as OpenSSL prints it ("Jan  1 00:00:00 2021
// GMT"); -1 when it is none.
std::int64_t opensslTime(const std::string& text) {
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char month[4] = {};
    int day = 0, hour = 0, minute = 0, second = 0, year = 0;
    if (std::sscanf(text.c_str(), "%3s %d %d:%d:%d %d", month, &day, &hour, &minute, &second,
                    &year) != 6)
        return -1;
    const std::size_t at = months.find(month);
    if (at == std::string::npos || at % 3 != 0) return -1;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(at / 3 + 1)},
                              std::chrono::day{unsigned(day)}};
    if (!date.ok()) return -1;
    return sys_days{date}.time_since_epoch().count() * 86400LL + hour * 3600LL + minute * 60LL +
           second;
}

// When the certificates a signature carries are all valid: from the latest
// "Not Before" to the earliest "Not After" in OpenSSL's text of them.
bool validity(const std::string& textFile, std::int64_t& from, std::int64_t& until) {
    std::ifstream text(textFile);
    from = 0, until = -1;
    for (std::string line; std::getline(text, line);) {
        for (const bool start : {true, false}) {
            const std::string field = start ? "Not Before: " : "Not After : ";
            const std::size_t at = line.find(field);
            if (at == std::string::npos) continue;
            const std::int64_t t = opensslTime(line.substr(at + field.size()));
            if (t < 0) return false;
            if (start)
                from = std::max(from, t);
            else
                until = until < 0 ? t : std::min(until, t);
        }
    }
    return until >= 0;
}

// Whether the signature over the file verifies: the signed attributes'
// message digest is that of the signed content (whose file digest was
// compared already), and the signature over them checks with the signer's
// key. Windows asks WinVerifyTrust. Elsewhere osslsigncode verifies, told
// to trust the certificates the signature itself carries, so that only the
// signature is judged, never the signer; it judges them at a timestamp's
// time where there is one. One that fails only because a certificate has
// expired since verifies at a time when they were all valid: the signature
// is sound and its signer expired. With `caFile`, whether the signer chains
// to that CA is a second run, at the same time.
platform::TrustVerdict verifySignature(const std::string& path, const std::string& caFile,
                                       Chain& chain) {
    const platform::TrustVerdict system = platform::systemSignatureCheck(path);
    if (system.trust != platform::Trust::Unavailable) {
        if (!caFile.empty() && chain == Chain::NotAsked) chain = Chain::Unknown;
        return system;
    }
    std::string reason;
    const std::string dir = platform::makePrivateDirectory(reason);
    if (dir.empty()) return {};
    const std::string signature = dir + "/signature.pem", certificates = dir + "/certificates.pem",
                      dates = dir + "/dates.txt";
    auto run = [&](std::vector<std::string> args) {
        return platform::runProgram(args, "", reason, true);
    };
    platform::TrustVerdict verdict;
    std::vector<std::string> at;
    const int extracted =
        run({"osslsigncode", "extract-signature", "-pem", "-in", path, "-out", signature});
    const int listed =
        extracted == 0
            ? run({"openssl", "pkcs7", "-in", signature, "-print_certs", "-out", certificates})
            : -1;
    if (extracted > 0 || listed > 0) verdict.trust = platform::Trust::Failed;
    auto verify = [&](const std::string& trusted) {
        std::vector<std::string> args = {"osslsigncode", "verify", "-in",        path,
                                         "-CAfile",      trusted,  "-ignore-crl"};
        args.insert(args.end(), at.begin(), at.end());
        return run(args);
    };
    if (listed == 0) {
        const int verified = verify(certificates);
        verdict.trust = verified == 0  ? platform::Trust::Verified
                        : verified > 0 ? platform::Trust::Failed
                                       : platform::Trust::Unavailable;
        std::int64_t from = 0, until = 0;
        if (verified > 0 &&
            run({"openssl", "pkcs7", "-in", signature, "-print_certs", "-text", "-noout", "-out",
                 dates}) == 0 &&
            validity(dates, from, until) && until > from &&
            until < static_cast<std::int64_t>(std::time(nullptr))) {
            at = {"-time", std::to_string(until - 1)};
            if (verify(certificates) == 0)
                verdict = {platform::Trust::Expired, until};
            else
                at.clear();
        }
    }
    if (verdict.trust != platform::Trust::Failed && verdict.trust != platform::Trust::Unavailable &&
        chain == Chain::NotAsked && !caFile.empty())
        chain = verify(caFile) == 0 ? Chain::Chains : Chain::DoesNotChain;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return verdict;
}

// True when the file holds a PEM certificate: one that holds none is a
// mistake to name, not a CA that the signer does not chain to.
bool holdsCertificate(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    return text.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
}

} // namespace

SignatureReport checkSignature(const std::string& path, std::int64_t trailerEnd,
                               const std::string& caFile) {
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
    if (!fileDigest(file, pe, pe.tableOffset, actual) || actual != expected) return report;
    if (!caFile.empty() && !holdsCertificate(caFile)) report.chain = Chain::NoCertificate;
    const platform::TrustVerdict verdict = verifySignature(path, caFile, report.chain);
    switch (verdict.trust) {
    case platform::Trust::Verified:
        report.state = Signature::Intact;
        break;
    case platform::Trust::Expired:
        report.state = Signature::SignerExpired;
        report.expired = verdict.expired;
        break;
    case platform::Trust::Distrusted:
        report.state = Signature::Distrusted;
        break;
    case platform::Trust::Failed:
        report.state = Signature::Forged;
        break;
    case platform::Trust::Unavailable:
        report.state = Signature::Unverified;
        break;
    }
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
    case Signature::Unverified:
        return {"unverified", "Authenticode, digest matches, signature not verified (no "
                              "verifier: install osslsigncode and openssl)"};
    case Signature::Forged:
        return {"signature-invalid", "Authenticode, broken: the digest matches but the "
                                     "signature over it does not verify (changed after signing)"};
    case Signature::SignerExpired:
        return {"signer-expired", "Authenticode, signer certificate expired"};
    case Signature::Distrusted:
        return {"signer-distrusted", "Authenticode, the signature verifies but this system "
                                     "distrusts its signer explicitly"};
    }
    return {"", ""};
}

} // namespace

namespace {

SignatureWords chainWords(Chain chain) {
    switch (chain) {
    case Chain::Chains:
        return {"chains", "chains to the CA given"};
    case Chain::DoesNotChain:
        return {"does-not-chain", "does not chain to the CA given"};
    case Chain::NoCertificate:
        return {"no-certificate", "not checked: the file given with --ca holds no certificate "
                                  "(PEM)"};
    case Chain::Unknown:
        return {"unknown",
                "not checked against the CA given (Windows judges the signer's trust itself)"};
    case Chain::NotAsked:
        break;
    }
    return {"not-asked", "not asked (--ca FILE)"};
}

} // namespace

const char* chainText(Chain chain) { return chainWords(chain).text; }
const char* chainName(Chain chain) { return chainWords(chain).name; }
std::string expiryDate(const SignatureReport& report) {
    if (report.expired <= 0) return {};
    const std::time_t t = static_cast<std::time_t>(report.expired);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&t));
    return date;
}

std::string signatureText(const SignatureReport& report) {
    std::string text = signatureWords(report.state).text;
    if (report.state != Signature::SignerExpired) return text;
    if (report.expired > 0) text += " on " + expiryDate(report);
    return text + " (the signature verifies; no timestamp dates the signing within its validity)";
}
const char* signatureName(Signature state) { return signatureWords(state).name; }

} // namespace pack
