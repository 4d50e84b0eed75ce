// The simulated adapter's command-line options, shared by brisklink-emu
// and brisklink-uhid: identities, loader kind, memory layout, report length
// and every fault.
#pragma once

#include "isp/memory_map.h"

#include <cstdio>

#include "emulator/adapter.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace adapter {

// "0x2000": how the options show an address.
inline std::string hexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

struct AdapterOptions {
    std::string ap = "3F27:1004:01", iap = "3F27:1005:00", loader = "iap", mode = "ap";
    std::string version = "1.0.0", commandKey, dumpDir, like;
    // Adapter K's USB serial number is this, "-" and K.
    std::string serialBase = "brisklink";
    // Adapters (from 1) that start unplugged.
    std::vector<int> unplugged;
    bool noVersion = false, verbose = false;
    // Identical adapters on the bus, and the one (from 1) the fault options
    // apply to (0: every one).
    int adapters = 1, faultAdapter = 0;
    std::string flashSize = hexText(isp::memory::kFlashSize),
                appStart = hexText(isp::memory::kApplicationStart),
                versionAddress = hexText(isp::memory::kVersionRecordAddress);
    std::string externalBase = hexText(isp::memory::kExternalBase),
                externalSize = hexText(isp::memory::kExternalSize);
    long long reenumerateMs = 500;
    int reportLength = 65;
    std::vector<std::string> noReply, lateReply, statusText, powerLoss, failAt, vanishAt;
    std::vector<int> failProgram, failVerify;
    int vanishAfter = -1;
    int neverReturnAt = 0;
    long long vanishMs = 2000;
    bool neverReturn = false, returnInLoader = false, once = false;
};

// A value the options cannot take; the message names the option.
struct OptionRefusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void addAdapterOptions(CLI::App& cli, AdapterOptions& o);
// Throws OptionRefusal.
AdapterConfig adapterConfig(const AdapterOptions& o);
// Parses the command line and builds the adapter from it: -1 when the
// program goes on, otherwise its exit code (0 after --help, 2 for a refused
// option, said on standard error under `program`'s name).
int parseCommandLine(CLI::App& cli, int argc, char** argv, const AdapterOptions& o,
                     AdapterConfig& config, const char* program);
// The configuration of each of the `o.adapters` adapters: `config`, with
// the faults only on adapter `o.faultAdapter` when one is named.
std::vector<AdapterConfig> adapterConfigs(const AdapterOptions& o, const AdapterConfig& config);
// flash.bin and external.bin of `a` in `dir` (created when missing).
void writeDump(const std::filesystem::path& dir, const SimulatedAdapter& a);
// The dump of each adapter of a run: the first in `dir` itself, and adapter
// K (from 1) also in dir/adapter-K.
void writeDumps(const std::filesystem::path& dir, const std::vector<const SimulatedAdapter*>& all);

} // namespace adapter
