// brisklink-emu: simulated Brisklink adapters served over TCP on 127.0.0.1,
// for IAP-emu and IAP-emu.exe (BRISKLINK_EMULATOR=127.0.0.1:PORT).
#include "adapter/emulator_server.h"
#include "platform/emulator/wire.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int) { stopRequested = true; }

struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint32_t number(const std::string& option, const std::string& text) {
    try {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 0);
        if (used != text.size() || v > 0xFFFFFFFFull || text[0] == '-') throw 0;
        return static_cast<std::uint32_t>(v);
    } catch (...) {
        throw Refusal(option + ": '" + text + "' is not a number");
    }
}

std::uint32_t hexNumber(const std::string& option, const std::string& text, std::uint32_t max) {
    try {
        std::size_t used = 0;
        const unsigned long v = std::stoul(text, &used, 16);
        if (used != text.size() || v > max || text[0] == '-') throw 0;
        return static_cast<std::uint32_t>(v);
    } catch (...) {
        throw Refusal(option + ": '" + text + "' is not a hexadecimal value up to " +
                      std::to_string(max));
    }
}

adapter::Identity identity(const std::string& option, const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');)
        parts.push_back(part);
    if (parts.size() < 2 || parts.size() > 3)
        throw Refusal(option + ": '" + text + "' is not VID:PID[:SEL]");
    adapter::Identity id;
    id.vendorId = static_cast<std::uint16_t>(hexNumber(option, parts[0], 0xFFFF));
    id.productId = static_cast<std::uint16_t>(hexNumber(option, parts[1], 0xFFFF));
    id.usageSelector =
        parts.size() == 3 ? static_cast<std::uint8_t>(hexNumber(option, parts[2], 0xFF)) : 0;
    return id;
}

adapter::Command command(const std::string& option, const std::string& name) {
    const auto c = adapter::commandByName(name);
    if (!c) throw Refusal(option + ": unknown command '" + name + "'");
    return *c;
}

std::pair<std::string, std::string> split(const std::string& option, const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) throw Refusal(option + ": '" + text + "' needs CMD:VALUE");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Serves simulated Brisklink adapters to IAP-emu over TCP on 127.0.0.1."};
    int port = platform::wire::kDefaultPort;
    std::string ap = "3F27:1004:01", iap = "3F27:1005:00", loader = "iap", mode = "ap";
    std::string version = "1.0.0", commandKey, dumpDir;
    bool noVersion = false, verbose = false, secondDevice = false;
    std::string flashSize = "0x80000", appStart = "0x2000", versionAddress = "0x1800";
    std::string externalBase = "0x90000000", externalSize = "0x100000";
    long long reenumerateMs = 500, paceUs = 0, enumerateMs = 20;
    int reportLength = 65;
    std::vector<std::string> noReply, lateReply, statusText;
    std::vector<int> failProgram, failVerify;
    int vanishAfter = -1;
    long long vanishMs = 2000;
    bool neverReturn = false, returnInLoader = false, once = false;

    cli.add_option("--port", port, "TCP port on 127.0.0.1 (0 picks a free one)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    cli.add_option("--ap", ap, "Application identity VID:PID[:SEL]")->capture_default_str();
    cli.add_option("--iap", iap, "Loader identity VID:PID[:SEL]")->capture_default_str();
    cli.add_option("--loader", loader, "Loader kind")
        ->capture_default_str()
        ->check(CLI::IsMember({"iap", "isp"}));
    cli.add_option("--mode", mode, "Running at start: application or loader")
        ->capture_default_str()
        ->check(CLI::IsMember({"ap", "iap"}));
    cli.add_option("--version", version, "Version record text")->capture_default_str();
    cli.add_flag("--no-version", noVersion, "Start with an erased version record");
    cli.add_option("--command-key", commandKey, "Command key in hexadecimal (none: unkeyed)");
    cli.add_option("--flash-size", flashSize, "Internal flash bytes")->capture_default_str();
    cli.add_option("--app-start", appStart, "Application start address (below 0x10000)")
        ->capture_default_str();
    cli.add_option("--version-address", versionAddress, "Version record address")
        ->capture_default_str();
    cli.add_option("--external-base", externalBase, "External region address")
        ->capture_default_str();
    cli.add_option("--external-size", externalSize, "External region bytes")->capture_default_str();
    cli.add_option("--reenumerate-ms", reenumerateMs, "Time off the bus after a reset")
        ->capture_default_str();
    cli.add_option("--enumerate-ms", enumerateMs, "Time one enumeration of the bus takes")
        ->capture_default_str()
        ->check(CLI::Range(0LL, 10000LL));
    cli.add_option("--pace-us", paceUs, "Time per report (1000: full-speed USB)")
        ->capture_default_str();
    cli.add_option("--report-length", reportLength, "HID report length")
        ->capture_default_str()
        ->check(CLI::IsMember({64, 65}));
    cli.add_flag("--second-device", secondDevice, "Put a second identical adapter on the bus");
    cli.add_option("--fault-no-reply", noReply, "Never answer CMD");
    cli.add_option("--fault-late-reply", lateReply, "Answer CMD:MS milliseconds late");
    cli.add_option("--fault-status-text", statusText, "Answer CMD:TEXT instead of O");
    cli.add_option("--fault-fail-program", failProgram, "Reject report N of a program pass");
    cli.add_option("--fault-fail-verify", failVerify, "Reject report N of a verify pass");
    cli.add_option("--fault-vanish-after", vanishAfter, "Leave the bus after N reports");
    cli.add_option("--fault-vanish-ms", vanishMs, "How long a vanished adapter stays away")
        ->capture_default_str();
    cli.add_flag("--fault-never-return", neverReturn, "Stay off the bus after a reset");
    cli.add_flag("--fault-return-in-loader", returnInLoader,
                 "Come back in the loader after an execute");
    cli.add_flag("--fault-once", once, "Each fault fires once, then heals");
    cli.add_flag("--verbose", verbose, "One line per command executed");
    cli.add_option("--dump-dir", dumpDir, "On exit write flash.bin and external.bin here");
    cli.set_help_flag("-h,--help", "Print this help");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e) == 0 ? 0 : 2;
    }

    adapter::AdapterConfig config;
    try {
        config.application = identity("--ap", ap);
        config.loader = identity("--iap", iap);
        config.loaderKind = loader == "iap" ? adapter::LoaderKind::IAP : adapter::LoaderKind::ISP;
        config.startMode = mode == "ap" ? adapter::Mode::Application : adapter::Mode::Loader;
        if (noVersion)
            config.version.reset();
        else if (version.size() > 128)
            throw Refusal("--version: longer than 128 bytes");
        else
            config.version = version;
        if (!commandKey.empty()) {
            if (commandKey.size() % 2 || commandKey.size() > 128)
                throw Refusal("--command-key: needs 1 to 64 bytes of hexadecimal");
            for (std::size_t i = 0; i < commandKey.size(); i += 2)
                config.commandKey.push_back(static_cast<std::uint8_t>(
                    hexNumber("--command-key", commandKey.substr(i, 2), 0xFF)));
        }
        config.flashSize = number("--flash-size", flashSize);
        config.appStart = number("--app-start", appStart);
        config.versionAddress = number("--version-address", versionAddress);
        config.externalBase = number("--external-base", externalBase);
        config.externalSize = number("--external-size", externalSize);
        if (config.flashSize < 0x4000 || config.flashSize > 64u * 1024 * 1024 ||
            config.flashSize % config.pageSize)
            throw Refusal("--flash-size: a multiple of 2048 from 16 KiB to 64 MiB");
        if (config.appStart > 0xFFFF || config.appStart >= config.flashSize ||
            config.appStart < config.loaderSize)
            throw Refusal("--app-start: between the loader (0x1800) and 0xFFFF, inside the flash");
        if (config.versionAddress < config.loaderSize ||
            config.versionAddress + 132 > config.flashSize)
            throw Refusal("--version-address: outside the writable flash");
        if (config.externalSize > 256u * 1024 * 1024)
            throw Refusal("--external-size: at most 256 MiB");
        config.reenumerateMs = reenumerateMs;
        config.reportLength = static_cast<std::uint16_t>(reportLength);
        for (const auto& c : noReply)
            config.faults.noReply.insert(command("--fault-no-reply", c));
        for (const auto& t : lateReply) {
            const auto [c, ms] = split("--fault-late-reply", t);
            config.faults.lateReplyMs[command("--fault-late-reply", c)] =
                number("--fault-late-reply", ms);
        }
        for (const auto& t : statusText) {
            const auto [c, text] = split("--fault-status-text", t);
            config.faults.statusText[command("--fault-status-text", c)] = text;
        }
        config.faults.failProgramReports.insert(failProgram.begin(), failProgram.end());
        config.faults.failVerifyReports.insert(failVerify.begin(), failVerify.end());
        config.faults.vanishAfterWrites = vanishAfter;
        config.faults.vanishForMs = vanishMs;
        config.faults.neverReturn = neverReturn;
        config.faults.returnInLoader = returnInLoader;
        config.faults.once = once;
    } catch (const Refusal& e) {
        std::cerr << "brisklink-emu: " << e.what() << "\n";
        return 2;
    }

    adapter::SimulatedBus bus(platform::clock());
    bus.setPaceMicroseconds(paceUs);
    bus.setEnumerateMilliseconds(enumerateMs);
    bus.add(config);
    if (secondDevice) bus.add(config);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const bool served = adapter::serve(
        bus, static_cast<std::uint16_t>(port), stopRequested,
        [](std::uint16_t bound) {
            std::cout << "brisklink-emu: listening on 127.0.0.1:" << bound << std::endl;
        },
        [verbose](std::size_t index, const std::string& line) {
            if (verbose) std::cout << "adapter " << index << ": " << line << std::endl;
        });
    if (!served) {
        std::cerr << "brisklink-emu: cannot listen on 127.0.0.1:" << port << "\n";
        return 1;
    }
    if (!dumpDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(dumpDir, ec);
        std::lock_guard lock(bus.mutex());
        writeFile(std::filesystem::path(dumpDir) / "flash.bin", bus.adapter(0).internalFlash());
        writeFile(std::filesystem::path(dumpDir) / "external.bin", bus.adapter(0).externalFlash());
    }
    std::cout << "brisklink-emu: stopped" << std::endl;
    return 0;
}
