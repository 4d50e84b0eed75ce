// brisklink-pack: turns an updater executable and firmware images into a
// self-contained updater, and shows what an updater's trailer carries.
#include "image/intel_hex.h"
#include "image/program.h"
#include "image/sha256.h"
#include "image/trailer.h"
#include "isp/bytes.h"
#include "isp/crc.h"
#include "isp/identity.h"
#include "isp/memory_map.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "steps/udev_rule.h"
#include "tools/authenticode.h"
#include "tools/firmware_file.h"
#include "tools/pack_show.h"
#include "tools/trailer_builder.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>

namespace {

constexpr int kExitRefused = 2;

// A refusal that names the option it is about.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string& option, const std::string& why) {
    throw Refusal(option + ": " + why);
}

std::vector<std::uint8_t> readFile(const std::string& option, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) refuse(option, "cannot read '" + path + "'");
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad()) refuse(option, "cannot read '" + path + "'");
    return bytes;
}

// A firmware file as given: its form, told by content, and for the forms
// that carry addresses its segments. Text that is none of those forms would
// be flashed as its characters, and the update would verify and report
// success: it is refused.
struct Firmware {
    pack::FirmwareForm form = pack::FirmwareForm::Raw;
    std::vector<std::uint8_t> bytes;
    std::vector<pack::Segment> segments;
    bool addressed() const { return form != pack::FirmwareForm::Raw; }
};

Firmware readFirmware(const std::string& option, const std::string& path) {
    Firmware f;
    f.bytes = readFile(option, path);
    f.form = pack::firmwareForm(f.bytes);
    if (f.form == pack::FirmwareForm::Text)
        refuse(option, "'" + path +
                           "' is text, not a firmware image (nor a valid Intel HEX or S-record "
                           "file)");
    try {
        if (auto segments = pack::readAddressed(f.form, f.bytes)) f.segments = std::move(*segments);
    } catch (const pack::FormatError& e) {
        refuse(option, "'" + path + "' is " + pack::firmwareFormText(f.form) +
                           " that cannot be read: " + e.what());
    }
    return f;
}

std::vector<std::uint8_t> parseHexBytes(const std::string& option, std::string text,
                                        std::size_t minBytes, std::size_t maxBytes) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.size() % 2 != 0) refuse(option, "'" + text + "' has an odd number of hex digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else
                refuse(option, "'" + text + "' is not hexadecimal");
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    if (bytes.size() < minBytes || bytes.size() > maxBytes) {
        refuse(option, minBytes == maxBytes ? "needs exactly " + std::to_string(minBytes) + " bytes"
                                            : "needs " + std::to_string(minBytes) + " to " +
                                                  std::to_string(maxBytes) + " bytes");
    }
    return bytes;
}

std::uint32_t parseAddress(const std::string& option, const std::string& text) {
    try {
        std::size_t used = 0;
        const unsigned long long value = std::stoull(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFull || text[0] == '-') throw 0;
        return static_cast<std::uint32_t>(value);
    } catch (...) {
        refuse(option, "'" + text + "' is not a 32-bit address");
    }
}

// VID:PID[:SEL] into the record's three hexadecimal text fields.
void setIdentity(const std::string& option, const std::string& text, char (&vid)[8], char (&pid)[8],
                 char (&sel)[4]) {
    std::string why;
    const auto id = isp::parseIdentity(text, &why);
    if (!id) refuse(option, why);
    auto field = [](char* into, std::size_t capacity, unsigned value, int digits) {
        char hexDigits[8];
        std::snprintf(hexDigits, sizeof hexDigits, "%0*X", digits, value);
        pack::setHexField(into, capacity, hexDigits);
    };
    field(vid, sizeof vid, id->vendorId, 4);
    field(pid, sizeof pid, id->productId, 4);
    field(sel, sizeof sel, id->usageSelector, 2);
}

void setText(const std::string& option, const std::string& utf8, std::uint16_t (&field)[64]) {
    try {
        pack::setTextField(field, platform::utf8ToUtf16(utf8));
    } catch (const std::invalid_argument& e) {
        refuse(option, e.what());
    }
}

// The adapter's version record holds 128 bytes of text in the updater
// system's narrow code page. A longer version would be stored cut, and
// characters that code page lacks would be stored changed.
void checkVersion(const std::string& utf8) {
    constexpr std::size_t kRecordTextBytes = 128;
    if (utf8.size() > kRecordTextBytes)
        refuse("--version", "'" + utf8 + "' is " + std::to_string(utf8.size()) +
                                " bytes in UTF-8; the adapter's version record holds 128");
    const bool ascii =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii)
        std::cerr << "brisklink-pack: warning: --version '" << utf8
                  << "' is not ASCII; the updater writes it in the system's ANSI code page, where "
                     "a character that page lacks is stored as another one\n";
}

struct BuildOptions {
    std::string updater, internal, external, externalAddress, title, headline, notice;
    std::optional<std::string> version; // may be given empty
    std::string ap, iap, commandKey, digest, imageKey, keySlot = "b", output;
    // The application area, for --digest auto.
    std::string appStart = image::hexAddress(isp::memory::kApplicationStart), appLength;
    // Where a file with addresses may place firmware (docs/adapter.md).
    std::string flashSize = image::hexAddress(isp::memory::kFlashSize),
                externalBase = image::hexAddress(isp::memory::kExternalBase),
                externalSize = image::hexAddress(isp::memory::kExternalSize);
    std::string firmware, versionFrom, versionAddress = "0x1800";
    int commandKeyEnabled = -1, digestCheck = -1; // -1: not given
    bool reproducible = false;
};

// The image key and the decoy: random, or, for a reproducible pack
// (--reproducible, or SOURCE_DATE_EPOCH set as reproducible builds set it),
// taken from a SHA-256 of everything packed, so that the same inputs give
// the same bytes. The key only scrambles the trailer; it protects nothing
// that a derived one would give away.
void chooseKeys(const BuildOptions& o, const std::vector<std::uint8_t>& updater,
                pack::TrailerContent& content) {
    std::array<std::uint8_t, 32> derived{};
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    const bool reproducible = o.reproducible || (epoch != nullptr && *epoch != 0);
    if (reproducible) {
        image::Sha256 sha;
        using Part = const std::vector<std::uint8_t>*;
        for (Part part :
             std::array<Part, 3>{&updater, &content.internalImage, &content.externalImage})
            sha.update(part->data(), part->size());
        sha.update(reinterpret_cast<const std::uint8_t*>(&content.info), sizeof content.info);
        const std::uint8_t slot = content.keySlot == pack::KeySlot::A ? 0 : 1;
        sha.update(&slot, 1);
        derived = sha.finish();
    }
    std::random_device random;
    auto fresh = [&](std::size_t at) {
        image::Key key{};
        for (std::size_t i = 0; i < key.size(); ++i)
            key[i] = reproducible ? derived[at + i] : static_cast<std::uint8_t>(random() & 0xFF);
        return key;
    };
    if (!o.imageKey.empty()) {
        const auto key = parseHexBytes("--image-key", o.imageKey, 4, 4);
        std::copy(key.begin(), key.end(), content.imageKey.begin());
    } else {
        content.imageKey = fresh(0);
    }
    content.decoy = fresh(4);
}

// The digest the adapter computes after the update (docs/adapter.md): the
// CRC-16/XMODEM of its application area, which then holds the internal image
// from its start and erased bytes (0xFF) after it.
std::uint16_t areaDigest(const BuildOptions& o, const std::vector<std::uint8_t>& image) {
    const std::uint32_t start = parseAddress("--app-start", o.appStart);
    // The updater reads the area's start from the adapter as 16 bits and
    // asks for the digest up to 0x7FFF.
    if (start > 0xFFFF) refuse("--app-start", "the application area starts below 0x10000");
    if (o.appLength.empty() && start > isp::memory::kDigestAreaEnd)
        refuse("--app-start", "above 0x7FFF the updater's digest range wraps; give --app-length");
    const std::uint64_t length = o.appLength.empty() ? isp::memory::kDigestAreaEnd + 1 - start
                                                     : parseAddress("--app-length", o.appLength);
    if (length == 0) refuse("--app-length", "the application area is empty");
    if (length > 64u * 1024 * 1024) refuse("--app-length", "more than 64 MiB");
    return isp::areaDigest(image.data(), image.size(), static_cast<std::size_t>(length));
}

pack::Regions regionsOf(const BuildOptions& o) {
    pack::Regions r;
    r.appStart = parseAddress("--app-start", o.appStart);
    r.flashEnd = parseAddress("--flash-size", o.flashSize);
    r.externalStart = parseAddress("--external-base", o.externalBase);
    r.externalEnd =
        r.externalStart + std::uint64_t{parseAddress("--external-size", o.externalSize)};
    r.versionAddress = parseAddress("--version-address", o.versionAddress);
    if (r.flashEnd <= r.appStart) refuse("--flash-size", "ends before the application start");
    if (r.externalEnd > 0x100000000ull)
        refuse("--external-size", "the external region would run past address 0xFFFFFFFF");
    return r;
}

// The version record a saved copy holds at the version record's address: a
// 32-bit length (0xFFFFFFFF: erased) and that many bytes of text. Its bytes
// are taken out of `segments`, which are not firmware.
std::string takeVersionRecord(std::vector<pack::Segment>& segments, std::uint32_t address,
                              const std::string& path) {
    const std::string where =
        "the version record at " + pack::hexAddress(address) + " of '" + path + "'";
    auto holding = std::find_if(segments.begin(), segments.end(), [&](const pack::Segment& s) {
        return s.address <= address && s.end() >= std::uint64_t{address} + 4;
    });
    if (holding == segments.end())
        refuse("--version-from", "'" + path + "' holds no version record at " +
                                     pack::hexAddress(address) + " (--version-address)");
    const std::size_t at = address - holding->address;
    const std::uint8_t* bytes = holding->bytes.data() + at;
    const std::uint32_t length = isp::le32(bytes);
    if (length == 0xFFFFFFFFu)
        refuse("--version-from", where + " is erased: the adapter had no version");
    if (length == 0 || length > 128)
        refuse("--version-from",
               where + " gives a length of " + std::to_string(length) + " (1 to 128)");
    if (at + 4 + length > holding->bytes.size()) refuse("--version-from", where + " is cut short");
    // The record's text is in the updater system's narrow code page: read
    // as Latin-1, which keeps ASCII as it is.
    std::u16string text(bytes + 4, bytes + 4 + length);
    pack::Segment after{static_cast<std::uint32_t>(address + 4 + length),
                        std::vector<std::uint8_t>(holding->bytes.begin() +
                                                      static_cast<std::ptrdiff_t>(at + 4 + length),
                                                  holding->bytes.end()),
                        holding->name};
    holding->bytes.resize(at);
    segments.push_back(std::move(after));
    std::erase_if(segments, [](const pack::Segment& s) { return s.bytes.empty(); });
    std::sort(segments.begin(), segments.end(),
              [](const pack::Segment& x, const pack::Segment& y) { return x.address < y.address; });
    return platform::utf16ToUtf8(text);
}

// --external (and --external-address) into `external`: a raw binary at the
// address given, a file with addresses placed in the external region.
void readExternal(const BuildOptions& o, const pack::Regions& regions, pack::Placed& external) {
    if (o.external.empty()) {
        if (!o.externalAddress.empty())
            refuse("--external-address", "--external and --external-address go together");
        return;
    }
    Firmware e = readFirmware("--external", o.external);
    if (!e.addressed()) {
        if (o.externalAddress.empty())
            refuse("--external", "a raw binary needs --external-address");
        external.bytes = std::move(e.bytes);
        external.address = parseAddress("--external-address", o.externalAddress);
        return;
    }
    pack::Placed unused;
    try {
        pack::placeSegments(e.segments, regions, false, true, unused, external);
    } catch (const pack::FormatError& error) {
        refuse("--external", error.what());
    }
    if (!o.externalAddress.empty() &&
        parseAddress("--external-address", o.externalAddress) != external.address)
        refuse("--external-address",
               "'" + o.external + "' starts at " + pack::hexAddress(external.address));
}

// The images the trailer carries, checked as the updater will need them:
// raw binaries as they are, files with addresses placed by region.
void readImages(const BuildOptions& o, pack::TrailerContent& content, std::string& version) {
    const pack::Regions regions = regionsOf(o);
    pack::Placed internal, external;
    auto place = [&](const std::string& option, const Firmware& f, bool in, bool out) {
        try {
            pack::placeSegments(f.segments, regions, in, out, internal, external);
        } catch (const pack::FormatError& e) {
            refuse(option, e.what());
        }
    };
    Firmware versionFile;
    if (!o.versionFrom.empty()) {
        versionFile = readFirmware("--version-from", o.versionFrom);
        if (!versionFile.addressed())
            refuse("--version-from",
                   "'" + o.versionFrom + "' is a raw binary, which carries no version record");
        version = takeVersionRecord(versionFile.segments, regions.versionAddress, o.versionFrom);
    }
    std::error_code ignored;
    auto sameAsVersion = [&](const std::string& path) {
        return !o.versionFrom.empty() && std::filesystem::equivalent(path, o.versionFrom, ignored);
    };
    if (!o.firmware.empty()) {
        if (!o.internal.empty() || !o.external.empty() || !o.externalAddress.empty())
            refuse(
                "--firmware",
                "holds both images: give it without --internal, --external and --external-address");
        Firmware f = readFirmware("--firmware", o.firmware);
        if (!f.addressed())
            refuse("--firmware",
                   "'" + o.firmware +
                       "' is a raw binary, which carries no addresses: give it with --internal");
        if (sameAsVersion(o.firmware)) f.segments = versionFile.segments;
        place("--firmware", f, true, true);
        if (internal.bytes.empty())
            refuse("--firmware", "'" + o.firmware + "' holds nothing for the internal flash");
    } else {
        if (o.internal.empty()) refuse("--internal", "give the internal image (or --firmware)");
        Firmware f = readFirmware("--internal", o.internal);
        if (f.addressed()) {
            if (sameAsVersion(o.internal)) f.segments = versionFile.segments;
            place("--internal", f, true, false);
        } else {
            internal.bytes = std::move(f.bytes);
        }
        readExternal(o, regions, external);
    }
    content.internalImage = std::move(internal.bytes);
    // An update erases the old version record before it programs anything,
    // so an empty image would leave an adapter without firmware or record.
    if (content.internalImage.empty()) refuse("--internal", "the internal image is empty");
    // A trailer says "no external image" with size 0: the address alone
    // would be dropped without a word.
    if (!o.external.empty() && external.bytes.empty())
        refuse("--external", "the external image is empty");
    content.externalImage = std::move(external.bytes);
    content.externalAddress = external.address;
    if (std::uint64_t{content.externalAddress} + content.externalImage.size() > 0x100000000ull)
        refuse("--external-address", "the external image would run past address 0xFFFFFFFF");
}

int runBuild(const BuildOptions& o) {
    pack::TrailerContent content;
    ProgramInfo& info = content.info;
    setIdentity("--ap", o.ap, info.apVendorId, info.apProductId, info.apUsageSelector);
    setIdentity("--iap", o.iap, info.iapVendorId, info.iapProductId, info.iapUsageSelector);
    std::string version = o.version.value_or("");
    if (o.version.has_value() == !o.versionFrom.empty())
        refuse("--version", "give the version text, or --version-from a saved copy (one of them)");
    setText("--title", o.title, info.windowTitle);
    setText("--headline", o.headline, info.headline);
    setText("--notice", o.notice, info.notice);

    if (!o.commandKey.empty()) {
        const auto key = parseHexBytes("--command-key", o.commandKey, 1, 64);
        std::copy(key.begin(), key.end(), info.commandKey);
        info.commandKeyLength = static_cast<std::uint16_t>(key.size());
    }
    info.commandKeyEnabled =
        o.commandKeyEnabled >= 0 ? o.commandKeyEnabled : (o.commandKey.empty() ? 0 : 1);
    const bool autoDigest = o.digest == "auto";
    if (!o.digest.empty() && !autoDigest) {
        const auto digest = parseHexBytes("--digest", o.digest, 2, 2);
        info.digest[0] = digest[0];
        info.digest[1] = digest[1];
    }
    info.digestCheckEnabled = o.digestCheck >= 0 ? o.digestCheck : (o.digest.empty() ? 0 : 1);

    content.keySlot = o.keySlot == "a" ? pack::KeySlot::A : pack::KeySlot::B;

    std::vector<std::uint8_t> updater = readFile("--updater", o.updater);
    // A signature does not survive an appended trailer: Windows would see a
    // broken one. The packed copy goes out unsigned, ready to be signed.
    if (pack::stripSignature(updater))
        std::cerr << "brisklink-pack: warning: '" << o.updater
                  << "' is signed; packing breaks a signature, so the packed updater is written "
                     "without it: sign the packed one (brisklink-pack sign)\n";
    readImages(o, content, version);
    checkVersion(version);
    setText(o.versionFrom.empty() ? "--version" : "--version-from", version, info.firmwareVersion);
    if (autoDigest) {
        const std::uint16_t digest = areaDigest(o, content.internalImage);
        info.digest[0] = static_cast<std::uint8_t>(digest & 0xFF);
        info.digest[1] = static_cast<std::uint8_t>(digest >> 8);
    } else if (!o.appLength.empty()) {
        refuse("--app-length", "only with --digest auto");
    }
    chooseKeys(o, updater, content);
    // The updater hands sizes to 32-bit int parameters.
    constexpr std::size_t kLimit = 0x7FFFFFFF;
    if (content.internalImage.size() + content.externalImage.size() > kLimit)
        refuse("--internal", "images larger than 2 GiB cannot be carried");

    const std::vector<std::uint8_t> trailer = pack::buildTrailer(content);
    std::ofstream out(o.output, std::ios::binary | std::ios::trunc);
    if (!out) refuse("-o", "cannot write '" + o.output + "'");
    out.write(reinterpret_cast<const char*>(updater.data()),
              static_cast<std::streamsize>(updater.size()));
    out.write(reinterpret_cast<const char*>(trailer.data()),
              static_cast<std::streamsize>(trailer.size()));
    out.close();
    if (!out) refuse("-o", "cannot write '" + o.output + "'");
    // The packed updater runs like the updater it was made from.
    std::error_code ignored;
    std::filesystem::permissions(
        o.output, std::filesystem::status(o.updater, ignored).permissions(), ignored);
    // What went in, in one line (the options are easy to get wrong).
    std::cerr << "brisklink-pack: packed '" << o.output << "': firmware " << version
              << ", internal image " << content.internalImage.size() << " bytes";
    if (!content.externalImage.empty())
        std::cerr << ", external image " << content.externalImage.size() << " bytes at "
                  << pack::hexAddress(content.externalAddress);
    std::cerr << ", AP " << o.ap << ", loader " << o.iap << ", command key "
              << (info.commandKeyLength ? std::to_string(info.commandKeyLength) + " bytes" : "none")
              << ", digest check " << (info.digestCheckEnabled ? "on" : "off") << "\n";
    return 0;
}

struct RuleOptions {
    std::string path, ap, iap, group;
};

// The identities from a packed updater, or from --ap and --iap (an updater
// that carries no firmware yet has none).
int runUdevRule(const RuleOptions& o) {
    if (!o.group.empty() && !steps::validGroupName(o.group)) {
        std::cerr << "brisklink-pack: \"" << o.group
                  << "\" is not a group name (letters, digits, '_', '-', '.')\n";
        return 1;
    }
    ProgramInfo info{};
    if (o.path.empty() == (o.ap.empty() || o.iap.empty()))
        refuse("udev-rule", "give a packed updater, or --ap and --iap (not both)");
    if (o.path.empty()) {
        setIdentity("--ap", o.ap, info.apVendorId, info.apProductId, info.apUsageSelector);
        setIdentity("--iap", o.iap, info.iapVendorId, info.iapProductId, info.iapUsageSelector);
    } else {
        image::TrailerPosition position;
        std::array<std::uint8_t, 16> internalInfo{}, externalInfo{};
        if (!pack::readTrailer(o.path, position, info, internalInfo, externalInfo, std::cerr))
            return 1;
    }
    const std::string& group = o.group;
    auto id = [](const char* field) { return image::parseHexField(field, 8); };
    std::cout << (group.empty()
                      ? "# Lets the user logged in at this machine's seat update the Brisklink\n"
                        "# adapter with this updater.\n"
                      : "# Lets the members of group " + group +
                            " update the Brisklink adapter\n# with this updater.\n")
              << "# Install as /etc/udev/rules.d/70-brisklink.rules, then run\n"
                 "# udevadm control --reload and plug the adapter in again.\n"
              << steps::udevRule(id(info.apVendorId), id(info.apProductId), id(info.iapVendorId),
                                 id(info.iapProductId), group);
    return 0;
}

struct SignOptions {
    std::string input, output, pkcs12, passwordEnv, timestamp;
};

// Signs through osslsigncode (Authenticode, SHA-256). The password goes to
// it on standard input: a command line is readable by every user of the
// machine.
int runSign(const SignOptions& o) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(o.input, error))
        refuse("IN", "cannot read '" + o.input + "'");
    if (std::filesystem::equivalent(o.input, o.output, error))
        refuse("OUT", "must not be the file being signed");
    {
        platform::InputFile file(o.input);
        std::uint8_t mz[2] = {};
        if (!file.readAt(0, mz, 2) || mz[0] != 'M' || mz[1] != 'Z')
            refuse("IN", "'" + o.input + "' is not a Windows executable");
    }
    std::string password;
    if (!o.passwordEnv.empty()) {
        const char* value = std::getenv(o.passwordEnv.c_str());
        if (value == nullptr)
            refuse("--password-env", "the variable " + o.passwordEnv + " is not set");
        password = value;
        if (password.size() > 1024)
            refuse("--password-env", "the password is longer than 1024 bytes");
    }
    std::vector<std::string> args = {"osslsigncode", "sign",       "-pkcs12", o.pkcs12,
                                     "-readpass",    "/dev/stdin", "-h",      "sha256"};
    if (!o.timestamp.empty()) args.insert(args.end(), {"-ts", o.timestamp});
    args.insert(args.end(), {"-in", o.input, "-out", o.output});
    std::filesystem::remove(o.output, error);
    std::string reason;
    const int code = platform::runProgram(args, password + "\n", reason);
    if (code < 0) {
        std::cerr << "brisklink-pack: cannot run osslsigncode (" << reason
                  << "); install it (apt-get install osslsigncode), or on Windows sign with "
                     "signtool sign /fd SHA256\n";
        return 1;
    }
    image::TrailerPosition position;
    ProgramInfo info{};
    const bool packed = code == 0 && image::findProgramInfo(o.output, position, &info);
    const std::int64_t end =
        packed ? platform::InputFile(o.output).size() - std::int64_t{position.trailerOffset} : -1;
    const pack::SignatureReport signed_ =
        code == 0 ? pack::checkSignature(o.output, end) : pack::SignatureReport{};
    if (signed_.state != pack::Signature::Intact) {
        std::cerr << "brisklink-pack: signing '" << o.input << "' failed";
        if (code == 0) std::cerr << ": the signed file reads as " << pack::signatureText(signed_);
        std::cerr << "\n";
        std::filesystem::remove(o.output, error);
        return 1;
    }
    // The signed updater runs like the one it was made from.
    std::filesystem::permissions(o.output, std::filesystem::status(o.input, error).permissions(),
                                 error);
    std::cerr << "brisklink-pack: signed '" << o.output << "' (Authenticode, SHA-256"
              << (packed ? ", its trailer inside the signature)\n"
                         : ", no updater trailer in it)\n");
    return 0;
}

// The build subcommand and its options.
CLI::App* addBuild(CLI::App& cli, BuildOptions& o) {
    CLI::App* build = cli.add_subcommand("build", "Append a trailer to an updater executable");
    build->add_option("--updater", o.updater, "The updater executable (IAP or IAP.exe)")
        ->required();
    build->add_option("--internal", o.internal,
                      "Firmware for the internal flash: a raw binary (programmed from the "
                      "application start), Intel HEX, S-records or ELF");
    build->add_option("--external", o.external,
                      "Firmware for the external region: a raw binary (with "
                      "--external-address), Intel HEX, S-records or ELF");
    build->add_option("--external-address", o.externalAddress,
                      "Device address of a raw external image");
    build->add_option("--firmware", o.firmware,
                      "One Intel HEX, S-record or ELF file holding both images, split by region "
                      "(instead of --internal and --external)");
    build->add_option("--version", o.version, "Version text of the carried firmware");
    build->add_option("--version-from", o.versionFrom,
                      "Take the version text from the version record in this file (a copy "
                      "saved with /save:), instead of --version");
    build
        ->add_option("--version-address", o.versionAddress,
                     "Where --version-from finds the version record")
        ->capture_default_str();
    build
        ->add_option("--flash-size", o.flashSize,
                     "Internal flash size: files with addresses must end below it")
        ->capture_default_str();
    build->add_option("--external-base", o.externalBase, "Start of the external region")
        ->capture_default_str();
    build->add_option("--external-size", o.externalSize, "Size of the external region")
        ->capture_default_str();
    build->add_option("--title", o.title, "Dialog window title");
    build->add_option("--headline", o.headline, "Dialog headline");
    build->add_option("--notice", o.notice, "Dialog notice text");
    build->add_option("--ap", o.ap, "Application identity VID:PID[:SEL] (hexadecimal)")->required();
    build->add_option("--iap", o.iap, "Loader identity VID:PID[:SEL] (hexadecimal)")->required();
    build->add_option("--command-key", o.commandKey, "Command key, 1 to 64 bytes in hexadecimal");
    build->add_option("--command-key-enabled", o.commandKeyEnabled, "Fold the key into the CRC")
        ->check(CLI::Range(0, 1));
    build->add_option("--digest", o.digest,
                      "Two digest bytes in hexadecimal, low byte first, or auto: computed from "
                      "the internal image over the application area");
    build
        ->add_option("--app-start", o.appStart,
                     "Application start (the adapter's information item 6): where the internal "
                     "image goes, and the area of --digest auto")
        ->capture_default_str();
    build->add_option("--app-length", o.appLength,
                      "Application area length, for --digest auto (default: up to 0x7FFF, as "
                      "the updater asks)");
    build->add_option("--digest-check", o.digestCheck, "Run the digest check after programming")
        ->check(CLI::Range(0, 1));
    build->add_option("--image-key", o.imageKey, "Image key, 4 bytes in hexadecimal (random)");
    build->add_flag("--reproducible", o.reproducible,
                    "The same inputs give the same bytes: the image key comes from them (also "
                    "when SOURCE_DATE_EPOCH is set)");
    build->add_option("--key-slot", o.keySlot, "Candidate word that carries the image key")
        ->check(CLI::IsMember({"a", "b"}));
    build->add_option("-o", o.output, "The packed updater to write")->required();
    return build;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Packs firmware into a Brisklink updater and shows what an updater carries.",
                 "brisklink-pack"};
    cli.require_subcommand(1);

    BuildOptions o;
    CLI::App* build = addBuild(cli, o);

    std::string showPath, caFile;
    bool json = false, check = false;
    CLI::App* show = cli.add_subcommand("show", "Show what an updater's trailer carries");
    show->add_option("FILE", showPath, "A packed updater")->required();
    show->add_flag("--json", json, "Print JSON");
    show->add_flag("--check", check,
                   "Also read the images as the updater does; exit 1 with the reason when it "
                   "would refuse them");
    show->add_option("--ca", caFile,
                     "A CA certificate (PEM): say whether the signer's certificate chains to it")
        ->check(CLI::ExistingFile);

    RuleOptions ruleOptions;
    CLI::App* rule = cli.add_subcommand(
        "udev-rule", "Print the udev rule that gives the logged-in user access to the adapter");
    rule->add_option("FILE", ruleOptions.path, "A packed updater (or give --ap and --iap)");
    rule->add_option("--ap", ruleOptions.ap, "Application identity VID:PID (hexadecimal)");
    rule->add_option("--iap", ruleOptions.iap, "Loader identity VID:PID (hexadecimal)");
    rule->add_option("--group", ruleOptions.group,
                     "Give the members of this group access (mode 0660) instead of the user at "
                     "the seat: for machines used over ssh or without a desktop login");

    SignOptions signing;
    CLI::App* sign = cli.add_subcommand(
        "sign", "Sign a packed updater (Authenticode, SHA-256) with osslsigncode");
    sign->add_option("IN", signing.input, "The packed updater")->required();
    sign->add_option("OUT", signing.output, "The signed updater to write")->required();
    sign->add_option("--pkcs12", signing.pkcs12, "The certificate and its key, PKCS#12")
        ->required()
        ->check(CLI::ExistingFile);
    sign->add_option("--password-env", signing.passwordEnv,
                     "Name of the environment variable that holds the PKCS#12 password");
    sign->add_option("--timestamp", signing.timestamp,
                     "URL of an RFC 3161 time-stamping service, so that the signature outlives "
                     "the certificate");

    try {
        // The arguments as the system holds them (UTF-16 on Windows, where
        // argv is in the ANSI code page), as UTF-8; CLI11 takes them last
        // first.
        (void)argv;
        std::vector<std::string> args;
        for (const auto& a : platform::commandLineArguments())
            args.insert(args.begin(), platform::utf16ToUtf8(a));
        if (static_cast<int>(args.size()) != argc - 1) {
            args.clear();
            for (int i = argc - 1; i >= 1; --i)
                args.push_back(argv[i]);
        }
        cli.parse(args);
    } catch (const CLI::ParseError& e) {
        const int code = cli.exit(e);
        return code == 0 ? 0 : kExitRefused;
    }
    try {
        if (*build) return runBuild(o);
        if (*rule) return runUdevRule(ruleOptions);
        if (*sign) return runSign(signing);
        return pack::showTrailer(showPath, json, std::cout, std::cerr, check, caFile);
    } catch (const Refusal& e) {
        std::cerr << "brisklink-pack: " << e.what() << "\n";
        return kExitRefused;
    }
}
