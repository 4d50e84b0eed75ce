// brisklink-pack's reading side: the trailer of a packed updater, read as
// the updater reads it, shown as text or JSON.
#include "tools/pack_show.h"
#include "image/intel_hex.h"
#include "image/sha256.h"

#include "image/program.h"
#include "isp/crc.h"
#include "isp/memory_map.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tools/authenticode.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace pack {

namespace {

std::string hex(std::uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
    return buffer;
}

} // namespace

// The trailer of the packed updater at `path`, read as the updater reads
// it; false (with the reason on standard error) when there is none.
bool readTrailer(const std::string& path, image::TrailerPosition& position, ProgramInfo& info,
                 std::array<std::uint8_t, 16>& internalInfo,
                 std::array<std::uint8_t, 16>& externalInfo, std::ostream& err) {
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) {
            err << "brisklink-pack: cannot read '" << path << "'\n";
            return false;
        }
    }
    if (!image::findProgramInfo(path, position, &info) ||
        !image::readImageInfo(path, position, internalInfo.data(), externalInfo.data())) {
        err << "brisklink-pack: '" << path << "' carries no valid updater trailer\n";
        return false;
    }
    return true;
}

namespace {

// What the updater does before it touches an adapter: the image sizes must
// fit in the file, and both images must read back whole. False, with the
// reason, when it would print "Image format invalid!" instead.
bool imagesReadable(const std::string& path, const image::TrailerPosition& position,
                    std::uint32_t internalSize, std::uint32_t externalSize, std::ostream& err,
                    std::vector<std::uint8_t>& internal) {
    const char* refusal = "; the updater would print \"Image format invalid!\"\n";
    if (!image::imagesFit(path, position, internalSize, externalSize)) {
        err << "brisklink-pack: '" << path << "': the images (" << internalSize << " and "
            << externalSize << " bytes) do not fit in the file before the trailer" << refusal;
        return false;
    }
    internal.resize(internalSize);
    std::vector<std::uint8_t> external(externalSize);
    if (image::readImages(path, position, internalSize, externalSize, internal.data(),
                          external.data()) != 1) {
        err << "brisklink-pack: '" << path << "': the images cannot be read" << refusal;
        return false;
    }
    return true;
}

// File offset where the trailer found at `position` ends.
std::int64_t trailerEnd(const std::string& path, const image::TrailerPosition& position) {
    platform::InputFile file(path);
    const std::int64_t size = file.size();
    return size < 0 ? -1 : size - static_cast<std::int64_t>(position.trailerOffset);
}

std::string text(const std::uint16_t (&field)[64]) {
    return platform::utf16ToUtf8(image::recordText(field));
}

// A trailer's text for a person: a trailer is a file from outside.
std::string shown(const std::uint16_t (&field)[64]) {
    return platform::utf16ToUtf8(platform::shown(image::recordText(field)));
}

std::uint32_t id(const char* field, std::size_t n) { return image::parseHexField(field, n); }

// The trailer as `show --json` prints it.
void writeJson(std::ostream& out, const image::ProgramData& data,
               const image::TrailerPosition& position, bool imagesFit,
               const SignatureReport& signature, const std::string& internalSha,
               const std::string& externalSha) {
    const ProgramInfo& info = data.info;
    const std::uint32_t internalSize = data.internalImageSize();
    const std::uint32_t externalSize = data.externalImageSize();
    const std::string digest = hex(info.digest[0], 2) + hex(info.digest[1], 2);
    nlohmann::ordered_json j;
    j["ap"] = {{"vendorId", hex(id(info.apVendorId, 8), 4)},
               {"productId", hex(id(info.apProductId, 8), 4)},
               {"usageSelector", hex(id(info.apUsageSelector, 4), 2)}};
    j["iap"] = {{"vendorId", hex(id(info.iapVendorId, 8), 4)},
                {"productId", hex(id(info.iapProductId, 8), 4)},
                {"usageSelector", hex(id(info.iapUsageSelector, 4), 2)}};
    j["version"] = text(info.firmwareVersion);
    j["title"] = text(info.windowTitle);
    j["headline"] = text(info.headline);
    j["notice"] = text(info.notice);
    j["internalImageSize"] = internalSize;
    j["externalImageSize"] = externalSize;
    j["externalImageAddress"] = externalSize ? "0x" + hex(data.externalImageAddress(), 8) : "";
    j["imagesFit"] = imagesFit;
    auto shaOrNull = [](const std::string& sha) {
        return sha.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(sha);
    };
    j["sha256"] = {{"internal", shaOrNull(internalSha)}, {"external", shaOrNull(externalSha)}};
    j["digest"] = digest;
    j["digestCheckEnabled"] = info.digestCheckEnabled != 0;
    j["commandKeyPresent"] = info.commandKeyLength != 0;
    j["commandKeyLength"] = info.commandKeyLength;
    j["commandKeyEnabled"] = info.commandKeyEnabled != 0;
    j["trailerOffset"] = position.trailerOffset;
    j["signature"] = signatureName(signature.state);
    if (signature.chain != Chain::NotAsked) j["signer"] = chainName(signature.chain);
    if (signature.expired > 0) j["signerExpired"] = expiryDate(signature);
    out << j.dump(2) << "\n";
}

// What `show` found in an updater's trailer.
struct Shown {
    std::string path;
    image::TrailerPosition position;
    ProgramInfo info{};
    image::ProgramData data;
    bool imagesFit = false;
    std::string digest;
    // The images' SHA-256, as a journal of updates records them.
    std::string internalSha, externalSha;
    SignatureReport report;
};

void imageDigests(Shown& t) {
    const std::uint32_t internalSize = t.data.internalImageSize();
    const std::uint32_t externalSize = t.data.externalImageSize();
    std::vector<std::uint8_t> internal(internalSize), external(externalSize);
    if (image::readImages(t.path, t.position, internalSize, externalSize, internal.data(),
                          external.data()) != 1)
        return;
    t.internalSha = image::sha256Hex(internal.data(), internal.size());
    if (externalSize) t.externalSha = image::sha256Hex(external.data(), external.size());
}

// "--check": 1 with the reason when Windows would not trust the signature or
// the updater would say "Image format invalid!"; a warning for a checked
// digest that is not the one `--digest auto` makes over the usual area.
int checkTrailer(const Shown& t, const std::string& caFile, std::ostream& err) {
    const Signature signature = t.report.state;
    if (signature == Signature::Changed || signature == Signature::TrailerAfter ||
        signature == Signature::Forged) {
        err << "brisklink-pack: '" << t.path << "': signature " << signatureText(t.report)
            << "; Windows treats it as not signed\n";
        return 1;
    }
    // Windows refuses these too: an expired signer without a timestamp, a
    // distrusted one.
    if (signature == Signature::Unverified || signature == Signature::SignerExpired ||
        signature == Signature::Distrusted) {
        err << "brisklink-pack: '" << t.path << "': " << signatureText(t.report) << "\n";
        return 1;
    }
    if (t.report.chain == Chain::DoesNotChain || t.report.chain == Chain::NoCertificate) {
        err << "brisklink-pack: '" << t.path << "': the signer " << chainText(t.report.chain)
            << " (" << caFile << ")\n";
        return 1;
    }
    std::vector<std::uint8_t> internal;
    if (!imagesReadable(t.path, t.position, t.data.internalImageSize(), t.data.externalImageSize(),
                        err, internal))
        return 1;
    using namespace isp::memory;
    const std::size_t area = kDigestAreaEnd + 1 - kApplicationStart;
    const std::uint16_t expected = isp::areaDigest(internal.data(), internal.size(), area);
    if (t.info.digestCheckEnabled && (t.info.digest[0] | t.info.digest[1] << 8) != expected)
        err << "brisklink-pack: warning: '" << t.path << "': the recorded digest " << t.digest
            << " is not the one --digest auto computes for this image over "
            << image::hexAddress(kApplicationStart) << "-" << image::hexAddress(kDigestAreaEnd)
            << " (" << hex(expected & 0xFF, 2) << hex(expected >> 8, 2)
            << "): unless the adapter's application area is another, it reports a mismatch\n";
    if (t.info.digestCheckEnabled) {
        err << "brisklink-pack: the digest covers " << image::hexAddress(kApplicationStart) << "-"
            << image::hexAddress(kDigestAreaEnd) << ", the application area the updater asks "
            << "the adapter about\n";
        if (internal.size() > area)
            err << "brisklink-pack: warning: '" << t.path << "': the internal image runs "
                << internal.size() - area << " bytes past " << image::hexAddress(kDigestAreaEnd)
                << ": the digest does not check them\n";
        else if (internal.size() < area && (t.info.digest[0] | t.info.digest[1] << 8) == expected)
            err << "brisklink-pack: warning: '" << t.path << "': the digest takes "
                << image::hexAddress(kApplicationStart + internal.size()) << "-"
                << image::hexAddress(kDigestAreaEnd) << " past the image as erased (0xFF): an "
                << "adapter that held a longer firmware reports a mismatch unless it is "
                << "updated with /erase:all\n";
    }
    return 0;
}

void printTrailer(const Shown& t, std::ostream& out) {
    const ProgramInfo& info = t.info;
    out << "AP identity:      VID " << hex(id(info.apVendorId, 8), 4) << " PID "
        << hex(id(info.apProductId, 8), 4) << " selector " << hex(id(info.apUsageSelector, 4), 2)
        << "\n"
        << "IAP identity:     VID " << hex(id(info.iapVendorId, 8), 4) << " PID "
        << hex(id(info.iapProductId, 8), 4) << " selector " << hex(id(info.iapUsageSelector, 4), 2)
        << "\n"
        << "Version:          " << shown(info.firmwareVersion) << "\n"
        << "Title:            " << shown(info.windowTitle) << "\n"
        << "Headline:         " << shown(info.headline) << "\n"
        << "Notice:           " << shown(info.notice) << "\n"
        << "Internal image:   " << t.data.internalImageSize() << " bytes\n";
    if (!t.internalSha.empty()) out << "  SHA-256:        " << t.internalSha << "\n";
    out << "External image:   ";
    if (const std::uint32_t externalSize = t.data.externalImageSize())
        out << externalSize << " bytes at 0x" << hex(t.data.externalImageAddress(), 8) << "\n";
    else
        out << "none\n";
    if (!t.externalSha.empty()) out << "  SHA-256:        " << t.externalSha << "\n";
    if (!t.imagesFit) out << "Warning:          the image sizes do not fit in the file\n";
    out << "Digest:           " << t.digest << ", check "
        << (info.digestCheckEnabled ? "on" : "off") << "\n"
        << "Command key:      ";
    if (info.commandKeyLength)
        out << info.commandKeyLength << " bytes, "
            << (info.commandKeyEnabled ? "enabled" : "disabled") << "\n";
    else
        out << "none\n";
    out << "Trailer offset:   " << t.position.trailerOffset << "\n"
        << "Signature:        " << signatureText(t.report) << "\n";
    if (t.report.chain != Chain::NotAsked)
        out << "Signer:           " << chainText(t.report.chain) << "\n";
}

} // namespace

int showTrailer(const std::string& path, bool json, std::ostream& out, std::ostream& err,
                bool check, const std::string& caFile) {
    Shown t;
    t.path = path;
    if (!readTrailer(path, t.position, t.info, t.data.internalImageInfo, t.data.externalImageInfo,
                     err))
        return 1;
    t.data.info = t.info;
    t.imagesFit =
        image::imagesFit(path, t.position, t.data.internalImageSize(), t.data.externalImageSize());
    t.digest = hex(t.info.digest[0], 2) + hex(t.info.digest[1], 2);
    if (t.imagesFit) imageDigests(t);
    t.report = checkSignature(path, trailerEnd(path, t.position), caFile);
    if (json)
        writeJson(out, t.data, t.position, t.imagesFit, t.report, t.internalSha, t.externalSha);
    else
        printTrailer(t, out);
    return check ? checkTrailer(t, caFile, err) : 0;
}

} // namespace pack
