// Minimal blocking TCP on the loopback interface, for the emulator's bus
// protocol; the same on Linux and Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::net {

using Socket = std::int64_t;
inline constexpr Socket kNoSocket = -1;

bool startup();
// Connects to host:port; kNoSocket on failure.
Socket connectTo(const std::string& host, std::uint16_t port);
// The IPv4 address that connectTo reaches for `host`, as dotted decimal:
// one text for every spelling of one address; `host` itself when it names
// none.
std::string addressOf(const std::string& host);
// Listens on 127.0.0.1:port (0 picks a free port); returns the port in `bound`.
Socket listenOn(std::uint16_t port, std::uint16_t& bound);
// Why this thread's last listenOn failed, in the system's words.
std::string lastListenError();
// Waits up to timeoutMs for a connection; kNoSocket when none came.
Socket acceptWithin(Socket listener, int timeoutMs);
bool sendAll(Socket s, const void* data, std::size_t length);
bool receiveAll(Socket s, void* data, std::size_t length);
void closeSocket(Socket s);
// Ends both directions, waking a thread blocked on the socket.
void shutdownSocket(Socket s);

} // namespace platform::net
