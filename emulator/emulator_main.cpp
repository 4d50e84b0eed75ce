// brisklink-emu: simulated Brisklink adapters served over TCP on 127.0.0.1,
// for IAP-emu and IAP-emu.exe (BRISKLINK_EMULATOR=127.0.0.1:PORT).
#include "emulator/adapter_options.h"
#include "emulator/emulator_server.h"
#include "emulator/os/signals.h"
#include "platform/clock.h"
#include "platform/emulator/socket.h"
#include "platform/emulator/wire.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<bool> healRequested{false};
std::atomic<bool> replugRequested{false};

void dump(adapter::SimulatedBus& bus, const std::string& dir) {
    std::vector<const adapter::SimulatedAdapter*> all;
    for (std::size_t i = 0; i < bus.size(); ++i)
        all.push_back(&bus.adapter(i));
    adapter::writeDumps(dir, all);
}

// SIGUSR1 writes the dump (with --dump-dir), so a test can look at what a
// run left, then heals every fault (and plugs in again an adapter that went
// for good), so it can run the updater again on the same adapter.
std::thread startHealer(adapter::SimulatedBus& bus, const adapter::AdapterOptions& options) {
    return std::thread([&bus, &options] {
        while (!stopRequested) {
            if (healRequested.exchange(false)) {
                {
                    std::lock_guard lock(bus.mutex());
                    if (!options.dumpDir.empty()) dump(bus, options.dumpDir);
                    for (std::size_t i = 0; i < bus.size(); ++i)
                        bus.adapter(i).heal(platform::clock().nowMs());
                }
                std::cout << "brisklink-emu: faults healed" << std::endl;
            }
            // SIGUSR2: what a user of the real adapter does when it no longer
            // answers: unplug it and plug it in again.
            if (replugRequested.exchange(false)) {
                {
                    std::lock_guard lock(bus.mutex());
                    for (std::size_t i = 0; i < bus.size(); ++i)
                        bus.adapter(i).replug(platform::clock().nowMs());
                }
                std::cout << "brisklink-emu: unplugged and plugged in again" << std::endl;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

// Plugging by hand, for tests and demonstrations: "plug K", "unplug K" and
// "replug K" (K from 1), one per line on standard input; each is answered
// on standard output.
void startCommandReader(adapter::SimulatedBus& bus) {
    std::thread([&bus] {
        for (std::string line; std::getline(std::cin, line);) {
            std::istringstream words(line);
            std::string verb;
            std::size_t k = 0;
            words >> verb >> k;
            const bool known = verb == "plug" || verb == "unplug" || verb == "replug";
            if (!known || k < 1 || k > bus.size()) {
                std::cout << "brisklink-emu: not a command: " << line << std::endl;
                continue;
            }
            {
                std::lock_guard lock(bus.mutex());
                adapter::SimulatedAdapter& a = bus.adapter(k - 1);
                const std::int64_t now = platform::clock().nowMs();
                if (verb == "plug")
                    a.plug(now);
                else if (verb == "unplug")
                    a.unplug(now);
                else
                    a.replug(now);
            }
            std::cout << "brisklink-emu: adapter " << k << " " << verb << "ged" << std::endl;
        }
    }).detach();
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Serves simulated Brisklink adapters to IAP-emu over TCP on 127.0.0.1."};
    int port = platform::wire::kDefaultPort;
    long long paceUs = 0, enumerateMs = 20;
    int timeScale = 1;
    bool stdinCommands = false;
    adapter::AdapterOptions options;

    cli.add_option("--port", port, "TCP port on 127.0.0.1 (0 picks a free one)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    cli.add_option("--enumerate-ms", enumerateMs, "Time one enumeration of the bus takes")
        ->capture_default_str()
        ->check(CLI::Range(0LL, 10000LL));
    cli.add_option("--pace-us", paceUs, "Time per report (1000: full-speed USB)")
        ->capture_default_str();
    cli.add_flag("--stdin-commands", stdinCommands,
                 "Take \"plug K\", \"unplug K\" and \"replug K\" lines on standard input");
    cli.add_option("--time-scale", timeScale,
                   "Run the clock N times fast (with BRISKLINK_EMULATOR_TIME_SCALE=N for IAP-emu)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    adapter::addAdapterOptions(cli, options);
    adapter::AdapterConfig config;
    if (const int code =
            adapter::parseCommandLine(cli, argc, argv, options, config, "brisklink-emu");
        code >= 0)
        return code;

    platform::ScaledClock scaled(timeScale);
    if (timeScale > 1) platform::setClock(&scaled);
    adapter::SimulatedBus bus(platform::clock());
    bus.setPaceMicroseconds(paceUs);
    bus.setEnumerateMilliseconds(enumerateMs);
    for (const adapter::AdapterConfig& each : adapter::adapterConfigs(options, config))
        bus.add(each);
    for (const int k : options.unplugged)
        bus.adapter(static_cast<std::size_t>(k - 1)).unplug(platform::clock().nowMs());
    if (stdinCommands) startCommandReader(bus);

    platform::signals::install(&stopRequested, &healRequested, &replugRequested);
    std::thread healer = startHealer(bus, options);

    const bool served = adapter::serve(
        bus, static_cast<std::uint16_t>(port), stopRequested,
        [](std::uint16_t bound) {
            std::cout << "brisklink-emu: listening on 127.0.0.1:" << bound << std::endl;
        },
        [verbose = options.verbose](std::size_t index, const std::string& line) {
            if (verbose) std::cout << "adapter " << index + 1 << ": " << line << std::endl;
        });
    stopRequested = true;
    healer.join();
    if (!served) {
        std::cerr << "brisklink-emu: cannot listen on 127.0.0.1:" << port << " ("
                  << platform::net::lastListenError() << ")\n";
        return 1;
    }
    if (!options.dumpDir.empty()) {
        std::lock_guard lock(bus.mutex());
        dump(bus, options.dumpDir);
    }
    std::cout << "brisklink-emu: stopped" << std::endl;
    return 0;
}
