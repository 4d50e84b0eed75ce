#include "emulator/adapter_options.h"

#include "isp/identity.h"

#include "image/trailer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace adapter {

namespace {

std::uint32_t number(const std::string& option, const std::string& text) {
    try {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 0);
        if (used != text.size() || v > 0xFFFFFFFFull || text[0] == '-') throw 0;
        return static_cast<std::uint32_t>(v);
    } catch (...) {
        throw OptionRefusal(option + ": '" + text + "' is not a number");
    }
}

std::uint32_t hexNumber(const std::string& option, const std::string& text, std::uint32_t max) {
    try {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used, 16);
        if (used != text.size() || v > max || text[0] == '-') throw 0;
        return static_cast<std::uint32_t>(v);
    } catch (...) {
        throw OptionRefusal(option + ": '" + text + "' is not a hexadecimal value up to " +
                            std::to_string(max));
    }
}

Identity identity(const std::string& option, const std::string& text) {
    std::string why;
    const auto id = isp::parseIdentity(text, &why);
    if (!id) throw OptionRefusal(option + ": " + why);
    return {id->vendorId, id->productId, id->usageSelector};
}

Command command(const std::string& option, const std::string& name) {
    const auto c = commandByName(name);
    if (!c) throw OptionRefusal(option + ": unknown command '" + name + "'");
    return *c;
}

std::pair<std::string, std::string> split(const std::string& option, const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        throw OptionRefusal(option + ": '" + text + "' needs CMD:VALUE");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

} // namespace

void addAdapterOptions(CLI::App& cli, AdapterOptions& o) {
    cli.add_option("--like", o.like,
                   "A packed updater: serve the adapter it was packed for (its identities, "
                   "command key and room for its images); other options still apply");
    cli.add_option("--ap", o.ap, "Application identity VID:PID[:SEL]")->capture_default_str();
    cli.add_option("--iap", o.iap, "Loader identity VID:PID[:SEL]")->capture_default_str();
    cli.add_option("--loader", o.loader, "Loader kind")
        ->capture_default_str()
        ->check(CLI::IsMember({"iap", "isp"}));
    cli.add_option("--mode", o.mode, "Running at start: application or loader")
        ->capture_default_str()
        ->check(CLI::IsMember({"ap", "iap"}));
    cli.add_option("--version", o.version, "Version record text")->capture_default_str();
    cli.add_flag("--no-version", o.noVersion, "Start with an erased version record");
    cli.add_option("--command-key", o.commandKey, "Command key in hexadecimal (none: unkeyed)");
    cli.add_option("--flash-size", o.flashSize, "Internal flash bytes")->capture_default_str();
    cli.add_option("--app-start", o.appStart, "Application start address (below 0x10000)")
        ->capture_default_str();
    cli.add_option("--version-address", o.versionAddress, "Version record address")
        ->capture_default_str();
    cli.add_option("--external-base", o.externalBase, "External region address")
        ->capture_default_str();
    cli.add_option("--external-size", o.externalSize, "External region bytes")
        ->capture_default_str();
    cli.add_option("--reenumerate-ms", o.reenumerateMs, "Time off the bus after a reset")
        ->capture_default_str();
    cli.add_option("--report-length", o.reportLength, "HID report length")
        ->capture_default_str()
        ->check(CLI::IsMember({64, 65}));
    cli.add_option("--adapters", o.adapters,
                   "Identical adapters on the bus, each with its own memory and location")
        ->capture_default_str()
        ->check(CLI::Range(1, 16));
    cli.add_option("--serial-base", o.serialBase,
                   "Serial numbers: adapter K (from 1) gets TEXT-K (empty: none)")
        ->capture_default_str();
    cli.add_option("--unplugged", o.unplugged, "Adapters K,L... that start unplugged")
        ->delimiter(',');
    cli.add_option("--fault-adapter", o.faultAdapter,
                   "Confine the fault options to adapter K (from 1; default: every adapter)")
        ->check(CLI::Range(1, 16));
    cli.add_option("--fault-no-reply", o.noReply, "Never answer CMD");
    cli.add_option("--fault-late-reply", o.lateReply, "Answer CMD:MS milliseconds late");
    cli.add_option("--fault-status-text", o.statusText, "Answer CMD:TEXT instead of O");
    cli.add_option("--fault-fail-program", o.failProgram, "Reject report N of a program pass");
    cli.add_option("--fault-fail-verify", o.failVerify, "Reject report N of a verify pass");
    cli.add_option("--fault-fail-at", o.failAt,
                   "Reject the program or verify report, the page erase or the read, starting "
                   "at CMD:ADDRESS");
    cli.add_option("--fault-vanish-at", o.vanishAt,
                   "Leave the bus at the program or verify report starting at CMD:ADDRESS");
    cli.add_option("--fault-power-loss", o.powerLoss,
                   "Lose power while carrying out CMD (an erase gets half-way)");
    cli.add_option("--fault-vanish-after", o.vanishAfter, "Leave the bus after N reports");
    cli.add_option("--fault-vanish-ms", o.vanishMs, "How long a vanished adapter stays away")
        ->capture_default_str();
    cli.add_flag("--fault-never-return", o.neverReturn, "Stay off the bus after a reset");
    cli.add_option("--fault-never-return-at", o.neverReturnAt,
                   "Stay off the bus after reset N (from 1) of the adapter's life")
        ->check(CLI::PositiveNumber);
    cli.add_flag("--fault-return-in-loader", o.returnInLoader,
                 "Come back in the loader after an execute");
    cli.add_flag("--fault-once", o.once, "Each fault fires once, then heals");
    cli.add_flag("--verbose", o.verbose, "One line per command executed");
    cli.add_option("--dump-dir", o.dumpDir, "On exit write flash.bin and external.bin here");
}

namespace {

std::string hexText(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// --like: what a packed updater expects of its adapter, where the command
// line does not say otherwise. The flash and the external region grow to
// take the updater's images.
void takeFromUpdater(const CLI::App& cli, AdapterOptions& o) {
    image::TrailerPosition position;
    ProgramInfo info{};
    std::uint8_t internal[16] = {}, external[16] = {};
    if (!image::findProgramInfo(o.like, position, &info) ||
        !image::readImageInfo(o.like, position, internal, external))
        throw OptionRefusal("--like: '" + o.like + "' carries no updater trailer");
    auto id = [](const char* vid, const char* pid, const char* sel) {
        return hexText(image::parseHexField(vid, 8), 4) + ":" +
               hexText(image::parseHexField(pid, 8), 4) + ":" +
               hexText(image::parseHexField(sel, 4), 2);
    };
    if (cli.count("--ap") == 0) o.ap = id(info.apVendorId, info.apProductId, info.apUsageSelector);
    if (cli.count("--iap") == 0)
        o.iap = id(info.iapVendorId, info.iapProductId, info.iapUsageSelector);
    if (cli.count("--command-key") == 0) {
        o.commandKey.clear();
        // An updater whose key is switched off sends unkeyed CRCs.
        const int length = info.commandKeyEnabled ? std::min<int>(info.commandKeyLength, 64) : 0;
        for (int i = 0; i < length; ++i)
            o.commandKey += hexText(info.commandKey[i], 2);
    }
    // Each image-info block: address, then size, little-endian.
    auto word = [](const std::uint8_t* block, int n) {
        return std::uint32_t{block[4 * n]} | std::uint32_t{block[4 * n + 1]} << 8 |
               std::uint32_t{block[4 * n + 2]} << 16 | std::uint32_t{block[4 * n + 3]} << 24;
    };
    const std::uint32_t internalSize = word(internal, 1), externalSize = word(external, 1);
    auto roundUp = [](std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; };
    const std::uint64_t flash =
        roundUp(number("--app-start", o.appStart) + std::uint64_t{internalSize}, 2048);
    if (cli.count("--flash-size") == 0 && flash > number("--flash-size", o.flashSize))
        o.flashSize = std::to_string(flash);
    if (externalSize != 0 && cli.count("--external-base") == 0) {
        o.externalBase = std::to_string(word(external, 0));
        o.externalSize = std::to_string(std::max<std::uint64_t>(
            roundUp(externalSize, 4096), number("--external-size", o.externalSize)));
    }
}

} // namespace

AdapterConfig adapterConfig(const AdapterOptions& o) {
    AdapterConfig config;
    config.application = identity("--ap", o.ap);
    config.loader = identity("--iap", o.iap);
    config.loaderKind = o.loader == "iap" ? LoaderKind::IAP : LoaderKind::ISP;
    config.startMode = o.mode == "ap" ? Mode::Application : Mode::Loader;
    if (o.noVersion)
        config.version.reset();
    else if (o.version.size() > 128)
        throw OptionRefusal("--version: longer than 128 bytes");
    else
        config.version = o.version;
    if (!o.commandKey.empty()) {
        if (o.commandKey.size() % 2 || o.commandKey.size() > 128)
            throw OptionRefusal("--command-key: needs 1 to 64 bytes of hexadecimal");
        for (std::size_t i = 0; i < o.commandKey.size(); i += 2)
            config.commandKey.push_back(static_cast<std::uint8_t>(
                hexNumber("--command-key", o.commandKey.substr(i, 2), 0xFF)));
    }
    config.flashSize = number("--flash-size", o.flashSize);
    config.appStart = number("--app-start", o.appStart);
    config.versionAddress = number("--version-address", o.versionAddress);
    config.externalBase = number("--external-base", o.externalBase);
    config.externalSize = number("--external-size", o.externalSize);
    if (config.flashSize < 0x4000 || config.flashSize > 64u * 1024 * 1024 ||
        config.flashSize % config.pageSize)
        throw OptionRefusal("--flash-size: a multiple of 2048 from 16 KiB to 64 MiB");
    if (config.appStart > 0xFFFF || config.appStart >= config.flashSize ||
        config.appStart < config.loaderSize)
        throw OptionRefusal(
            "--app-start: between the loader (0x1800) and 0xFFFF, inside the flash");
    if (config.versionAddress < config.loaderSize || config.versionAddress + 132 > config.flashSize)
        throw OptionRefusal("--version-address: outside the writable flash");
    if (config.externalSize > 256u * 1024 * 1024)
        throw OptionRefusal("--external-size: at most 256 MiB");
    config.reenumerateMs = o.reenumerateMs;
    config.reportLength = static_cast<std::uint16_t>(o.reportLength);
    for (const auto& c : o.noReply)
        config.faults.noReply.insert(command("--fault-no-reply", c));
    for (const auto& t : o.lateReply) {
        const auto [c, ms] = split("--fault-late-reply", t);
        config.faults.lateReplyMs[command("--fault-late-reply", c)] =
            number("--fault-late-reply", ms);
    }
    for (const auto& t : o.statusText) {
        const auto [c, text] = split("--fault-status-text", t);
        config.faults.statusText[command("--fault-status-text", c)] = text;
    }
    for (const auto& t : o.failAt) {
        const auto [name, address] = split("--fault-fail-at", t);
        const Command c = command("--fault-fail-at", name);
        if (c != Command::Program && c != Command::Verify && c != Command::PageErase &&
            c != Command::Read)
            throw OptionRefusal("--fault-fail-at: only program, verify, page-erase and read");
        config.faults.failAt[c].insert(number("--fault-fail-at", address));
    }
    for (const auto& t : o.vanishAt) {
        const auto [name, address] = split("--fault-vanish-at", t);
        const Command c = command("--fault-vanish-at", name);
        if (c != Command::Program && c != Command::Verify)
            throw OptionRefusal("--fault-vanish-at: only program and verify");
        config.faults.vanishAt[c].insert(number("--fault-vanish-at", address));
    }
    for (const auto& c : o.powerLoss)
        config.faults.powerLoss.insert(command("--fault-power-loss", c));
    config.faults.failProgramReports.insert(o.failProgram.begin(), o.failProgram.end());
    config.faults.failVerifyReports.insert(o.failVerify.begin(), o.failVerify.end());
    config.faults.vanishAfterWrites = o.vanishAfter;
    config.faults.vanishForMs = o.vanishMs;
    config.faults.neverReturn = o.neverReturn;
    config.faults.neverReturnAtReset = o.neverReturnAt;
    config.faults.returnInLoader = o.returnInLoader;
    config.faults.once = o.once;
    return config;
}

int parseCommandLine(CLI::App& cli, int argc, char** argv, const AdapterOptions& o,
                     AdapterConfig& config, const char* program) {
    cli.set_help_flag("-h,--help", "Print this help");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }
    for (const int k : o.unplugged)
        if (k < 1 || k > o.adapters) {
            std::cerr << program << ": --unplugged " << k << " names no adapter (--adapters "
                      << o.adapters << ")\n";
            return 2;
        }
    if (o.faultAdapter > o.adapters) {
        std::cerr << program << ": --fault-adapter " << o.faultAdapter
                  << " names no adapter (--adapters " << o.adapters << ")\n";
        return 2;
    }
    try {
        AdapterOptions options = o;
        if (!o.like.empty()) takeFromUpdater(cli, options);
        config = adapterConfig(options);
    } catch (const OptionRefusal& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return 2;
    }
    return -1;
}

std::vector<AdapterConfig> adapterConfigs(const AdapterOptions& o, const AdapterConfig& config) {
    std::vector<AdapterConfig> all(static_cast<std::size_t>(std::max(1, o.adapters)), config);
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (o.faultAdapter > 0 && k + 1 != static_cast<std::size_t>(o.faultAdapter))
            all[k].faults = {};
        if (!o.serialBase.empty()) all[k].serial = o.serialBase + "-" + std::to_string(k + 1);
    }
    return all;
}

void writeDumps(const std::filesystem::path& dir, const std::vector<const SimulatedAdapter*>& all) {
    if (all.empty()) return;
    writeDump(dir, *all.front());
    if (all.size() < 2) return;
    for (std::size_t k = 0; k < all.size(); ++k)
        writeDump(dir / ("adapter-" + std::to_string(k + 1)), *all[k]);
}

void writeDump(const std::filesystem::path& dir, const SimulatedAdapter& a) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    writeFile(dir / "flash.bin", a.internalFlash());
    writeFile(dir / "external.bin", a.externalFlash());
}

} // namespace adapter
