// The HID bus of the emulator: every bus operation is one request to
// brisklink-emu over TCP. The address comes from BRISKLINK_EMULATOR
// (host:port); without it the emulator's default port on 127.0.0.1.
#include "platform/clock.h"
#include "platform/emulator/emulator_bus.h"
#include "platform/emulator/socket.h"
#include "platform/emulator/wire.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::hid {

using wire::Op;

EmulatorBus::EmulatorBus(Transport transport, std::string sharedName)
    : transport_(std::move(transport)), sharedName_(std::move(sharedName)) {}

std::vector<std::string> EmulatorBus::enumerate() {
    std::vector<std::string> paths;
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Enumerate)), response)) return paths;
    wire::Reader r(response);
    const std::uint16_t count = r.u16();
    for (std::uint16_t i = 0; i < count && r.ok; ++i)
        paths.push_back(r.text());
    if (!r.ok) paths.clear();
    return paths;
}

Handle EmulatorBus::open(const std::string& path, OpenMode mode) {
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer()
                  .u8(static_cast<std::uint8_t>(Op::Open))
                  .u8(static_cast<std::uint8_t>(mode))
                  .text(path),
              response))
        return kInvalidHandle;
    wire::Reader r(response);
    const Handle h = r.i64();
    return r.ok ? h : kInvalidHandle;
}

bool EmulatorBus::attributes(Handle h, Attributes& out) {
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Attributes)).i64(h), response))
        return false;
    wire::Reader r(response);
    const bool ok = r.u8() != 0;
    out.vendorId = r.u16();
    out.productId = r.u16();
    return r.ok && ok;
}

bool EmulatorBus::capabilities(Handle h, Capabilities& out) {
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Capabilities)).i64(h), response))
        return false;
    wire::Reader r(response);
    const bool ok = r.u8() != 0;
    out.usagePage = r.u16();
    out.inputReportLength = r.u16();
    out.outputReportLength = r.u16();
    return r.ok && ok;
}

bool EmulatorBus::installPending() {
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::InstallPending)), response))
        return false;
    wire::Reader r(response);
    return r.u8() != 0 && r.ok;
}

bool EmulatorBus::write(Handle h, const std::uint8_t* report, std::size_t length) {
    if (h == kInvalidHandle || report == nullptr) return false;
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Write)).i64(h).blob(report, length),
              response))
        return false;
    wire::Reader r(response);
    return r.u8() != 0 && r.ok;
}

ReadResult EmulatorBus::getInputReport(Handle h, std::uint8_t* report, std::size_t length) {
    if (h == kInvalidHandle || report == nullptr) return ReadResult::Failed;
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer()
                  .u8(static_cast<std::uint8_t>(Op::GetInputReport))
                  .i64(h)
                  .u16(static_cast<std::uint16_t>(length)),
              response))
        return ReadResult::Failed;
    wire::Reader r(response);
    const bool ok = r.u8() != 0;
    const auto bytes = r.blob();
    // A report of another length than asked for is no report: a part of it
    // would leave the rest of the caller's buffer as it was.
    if (!r.ok || !ok || bytes.size() != length) return ReadResult::Failed;
    std::memcpy(report, bytes.data(), length);
    return ReadResult::Ok;
}

ReadResult EmulatorBus::readReport(Handle h, std::uint8_t* report, std::size_t length,
                                   int timeoutMs) {
    if (h == kInvalidHandle || report == nullptr) return ReadResult::Failed;
    std::vector<std::uint8_t> response;
    if (!call(wire::Writer()
                  .u8(static_cast<std::uint8_t>(Op::ReadReport))
                  .i64(h)
                  .u16(static_cast<std::uint16_t>(length))
                  .i32(timeoutMs),
              response))
        return ReadResult::Failed;
    wire::Reader r(response);
    const std::uint8_t result = r.u8();
    const auto bytes = r.blob();
    // The wire carries Ok, TimedOut and Failed; a removed device shows as
    // Failed, and its next write drops the link.
    if (!r.ok || result > 2) return ReadResult::Failed;
    if (result == 0) {
        if (bytes.size() != length) return ReadResult::Failed;
        std::memcpy(report, bytes.data(), length);
    }
    return static_cast<ReadResult>(result);
}

void EmulatorBus::close(Handle h) {
    std::vector<std::uint8_t> response;
    call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Close)).i64(h), response);
}

std::string EmulatorBus::serial(const std::string& path) {
    std::vector<std::uint8_t> response;
    // An emulator that does not know the operation answers 0: no serial.
    if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Serial)).text(path), response))
        return {};
    wire::Reader r(response);
    const bool ok = r.u8() != 0;
    std::string text = r.text();
    return r.ok && ok ? text : std::string();
}

bool EmulatorBus::call(const wire::Writer& request, std::vector<std::uint8_t>& response) {
    return transport_(request.bytes, response);
}

namespace {

// BRISKLINK_EMULATOR_TIME_SCALE=N (2 to 1000) runs this process's clock N
// times fast, in step with a brisklink-emu started with --time-scale N, so
// that fault tests wait out the 30 s and 60 s time-outs in a fraction of
// that. Only the emulator build reads it.
struct TimeScale {
    TimeScale() {
        const char* text = std::getenv("BRISKLINK_EMULATOR_TIME_SCALE");
        if (text == nullptr || *text == 0) return;
        const long factor = std::strtol(text, nullptr, 10);
        if (factor < 2 || factor > 1000) return;
        static ScaledClock scaled(static_cast<int>(factor));
        setClock(&scaled);
    }
} timeScale;

// BRISKLINK_EMULATOR as host and port; false when it names no port.
bool emulatorAddress(std::string& host, std::uint16_t& port) {
    host = "127.0.0.1";
    port = wire::kDefaultPort;
    const char* address = std::getenv("BRISKLINK_EMULATOR");
    if (address == nullptr || *address == 0) return true;
    const std::string text = address;
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    const long value = std::strtol(text.c_str() + colon + 1, nullptr, 10);
    if (value <= 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

std::string EmulatorBus::misconfigured() {
    std::string host;
    std::uint16_t port = 0;
    if (emulatorAddress(host, port)) return {};
    return std::string("BRISKLINK_EMULATOR=\"") + std::getenv("BRISKLINK_EMULATOR") +
           "\" is not HOST:PORT with a port from 1 to 65535 (for example 127.0.0.1:" +
           std::to_string(wire::kDefaultPort) + ")";
}

std::string EmulatorBus::unreachable() {
    std::string host;
    std::uint16_t port = 0;
    if (!emulatorAddress(host, port)) return misconfigured();
    const net::Socket s = net::connectTo(host, port);
    if (s != net::kNoSocket) {
        net::closeSocket(s);
        return {};
    }
    return "no emulated adapter answers at " + host + ":" + std::to_string(port) +
           " (BRISKLINK_EMULATOR): start brisklink-emu there, or correct the address";
}

namespace {

// Connections to brisklink-emu, made on first use and again after the
// emulator went away. A request takes an idle connection or opens one, so
// that sessions on several adapters, each on its own thread, wait for their
// own answers side by side (the emulator serves each connection on a thread
// of its own; handles are the emulator's, valid on every connection).
class TcpTransport {
  public:
    ~TcpTransport() {
        for (net::Socket s : idle_)
            net::closeSocket(s);
    }

    bool operator()(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& response) {
        net::Socket s = take();
        if (s == net::kNoSocket) return false;
        if (exchange(s, request, response)) {
            give(s);
            return true;
        }
        // The emulator went away: the next call connects again.
        net::closeSocket(s);
        return false;
    }

  private:
    static bool exchange(net::Socket s, const std::vector<std::uint8_t>& request,
                         std::vector<std::uint8_t>& response) {
        const auto length = static_cast<std::uint32_t>(request.size());
        std::uint8_t header[4];
        for (int i = 0; i < 4; ++i)
            header[i] = static_cast<std::uint8_t>(length >> (8 * i));
        std::uint8_t responseHeader[4];
        if (!net::sendAll(s, header, 4) || !net::sendAll(s, request.data(), request.size()) ||
            !net::receiveAll(s, responseHeader, 4))
            return false;
        const std::uint32_t n = static_cast<std::uint32_t>(responseHeader[0]) |
                                static_cast<std::uint32_t>(responseHeader[1]) << 8 |
                                static_cast<std::uint32_t>(responseHeader[2]) << 16 |
                                static_cast<std::uint32_t>(responseHeader[3]) << 24;
        if (n > wire::kMaxFrame) return false;
        response.resize(n);
        return net::receiveAll(s, response.data(), n);
    }

    net::Socket take() {
        {
            const std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                const net::Socket s = idle_.back();
                idle_.pop_back();
                return s;
            }
        }
        std::string host;
        std::uint16_t port = 0;
        if (!emulatorAddress(host, port)) return net::kNoSocket;
        return net::connectTo(host, port);
    }

    void give(net::Socket s) {
        const std::lock_guard lock(mutex_);
        idle_.push_back(s);
    }

    std::mutex mutex_;
    std::vector<net::Socket> idle_;
};

} // namespace

Bus& systemBus() {
    static TcpTransport tcp;
    static EmulatorBus bus(
        [](const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& response) {
            return tcp(request, response);
        },
        [] {
            // Every updater that reaches this emulator reaches the same
            // adapters, so they share one lock, named after the address
            // reached, however it was spelled.
            std::string host;
            std::uint16_t port = 0;
            if (!emulatorAddress(host, port)) return std::string("emulator");
            return "emulator-" + net::addressOf(host) + "-" + std::to_string(port);
        }());
    return bus;
}

} // namespace platform::hid
