// Serves a SimulatedBus over TCP on 127.0.0.1, one thread per client.
#pragma once

#include "emulator/simulated_bus.h"

#include <atomic>
#include <functional>

namespace adapter {

// Runs until `stop` becomes true. Calls `onCommand` with each line an adapter
// adds to its command log (for --verbose). Returns false when it cannot listen.
bool serve(SimulatedBus& bus, std::uint16_t port, const std::atomic<bool>& stop,
           const std::function<void(std::uint16_t boundPort)>& onListening,
           const std::function<void(std::size_t adapter, const std::string& line)>& onCommand);

// Answers one request frame of the bus protocol.
std::vector<std::uint8_t> answer(SimulatedBus& bus, const std::vector<std::uint8_t>& request);

} // namespace adapter
