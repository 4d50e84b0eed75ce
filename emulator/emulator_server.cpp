#include "emulator/emulator_server.h"

#include "platform/emulator/socket.h"
#include "platform/emulator/wire.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

namespace adapter {

namespace hid = platform::hid;
namespace net = platform::net;
using platform::wire::Op;

namespace {
// The longest a read request may hold its client's connection; a real
// system's read times out well before.
constexpr int kMaxReadTimeoutMs = 60'000;

void getInputReport(SimulatedBus& bus, platform::wire::Reader& in, platform::wire::Writer& out) {
    const hid::Handle h = in.i64();
    std::vector<std::uint8_t> report(std::min<std::size_t>(in.u16(), 1024));
    const bool ok = in.ok && !report.empty() &&
                    bus.getInputReport(h, report.data(), report.size()) == hid::ReadResult::Ok;
    out.u8(ok).blob(report.data(), ok ? report.size() : 0);
}

void readReport(SimulatedBus& bus, platform::wire::Reader& in, platform::wire::Writer& out) {
    const hid::Handle h = in.i64();
    std::vector<std::uint8_t> report(std::min<std::size_t>(in.u16(), 1024));
    const int timeout = std::clamp(in.i32(), 0, kMaxReadTimeoutMs);
    auto result = hid::ReadResult::Failed;
    if (in.ok && !report.empty()) result = bus.readReport(h, report.data(), report.size(), timeout);
    // The wire knows Ok, TimedOut and Failed.
    if (result == hid::ReadResult::Gone) result = hid::ReadResult::Failed;
    out.u8(static_cast<std::uint8_t>(result))
        .blob(report.data(), result == hid::ReadResult::Ok ? report.size() : 0);
}
} // namespace

std::vector<std::uint8_t> answer(SimulatedBus& bus, const std::vector<std::uint8_t>& request) {
    platform::wire::Reader in(request);
    platform::wire::Writer out;
    const auto op = static_cast<Op>(in.u8());
    switch (op) {
    case Op::Hello:
        out.u32(platform::wire::kProtocolVersion);
        break;
    case Op::Enumerate: {
        const auto paths = bus.enumerate();
        out.u16(static_cast<std::uint16_t>(paths.size()));
        for (const auto& p : paths)
            out.text(p);
        break;
    }
    case Op::Open: {
        const auto mode = static_cast<hid::OpenMode>(in.u8());
        const std::string path = in.text();
        out.i64(in.ok ? bus.open(path, mode) : hid::kInvalidHandle);
        break;
    }
    case Op::Attributes: {
        hid::Attributes a;
        const bool ok = in.ok && bus.attributes(in.i64(), a);
        out.u8(ok).u16(a.vendorId).u16(a.productId);
        break;
    }
    case Op::Capabilities: {
        hid::Capabilities c;
        const bool ok = in.ok && bus.capabilities(in.i64(), c);
        out.u8(ok).u16(c.usagePage).u16(c.inputReportLength).u16(c.outputReportLength);
        break;
    }
    case Op::InstallPending:
        out.u8(bus.installPending());
        break;
    case Op::Write: {
        const hid::Handle h = in.i64();
        const auto report = in.blob();
        out.u8(in.ok && bus.write(h, report.data(), report.size()));
        break;
    }
    case Op::GetInputReport:
        getInputReport(bus, in, out);
        break;
    case Op::ReadReport:
        readReport(bus, in, out);
        break;
    case Op::Close:
        if (in.ok) bus.close(in.i64());
        out.u8(1);
        break;
    case Op::Serial: {
        const std::string path = in.text();
        out.u8(in.ok).text(in.ok ? bus.serial(path) : std::string());
        break;
    }
    default:
        // An operation this emulator does not know: refused, the connection
        // stays usable.
        out.u8(0);
        break;
    }
    return out.bytes;
}

namespace {

struct Connection {
    net::Socket socket;
    bool done = false;
};

void client(SimulatedBus& bus, Connection& c, std::mutex& connections,
            const std::atomic<bool>& stop, const std::function<void()>& afterRequest) {
    const net::Socket s = c.socket;
    while (!stop) {
        std::uint8_t header[4];
        if (!net::receiveAll(s, header, 4)) break;
        const std::uint32_t n = header[0] | header[1] << 8 | header[2] << 16 |
                                static_cast<std::uint32_t>(header[3]) << 24;
        if (n == 0 || n > platform::wire::kMaxFrame) break;
        std::vector<std::uint8_t> request(n);
        if (!net::receiveAll(s, request.data(), n)) break;
        const auto response = answer(bus, request);
        afterRequest();
        const auto length = static_cast<std::uint32_t>(response.size());
        std::uint8_t out[4];
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<std::uint8_t>(length >> (8 * i));
        if (!net::sendAll(s, out, 4) || !net::sendAll(s, response.data(), response.size())) break;
    }
    std::lock_guard lock(connections);
    c.done = true;
    net::closeSocket(s);
}

} // namespace

bool serve(SimulatedBus& bus, std::uint16_t port, const std::atomic<bool>& stop,
           const std::function<void(std::uint16_t)>& onListening,
           const std::function<void(std::size_t, const std::string&)>& onCommand) {
    std::uint16_t bound = 0;
    const net::Socket listener = net::listenOn(port, bound);
    if (listener == net::kNoSocket) return false;
    onListening(bound);

    std::mutex logMutex;
    std::vector<std::size_t> printed(bus.size(), 0);
    auto afterRequest = [&] {
        std::lock_guard lock(logMutex);
        std::lock_guard busLock(bus.mutex());
        for (std::size_t i = 0; i < bus.size(); ++i) {
            const auto& log = bus.adapter(i).commandLog();
            for (; printed[i] < log.size(); ++printed[i])
                onCommand(i, log[printed[i]]);
        }
    };

    std::mutex connectionsMutex;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::thread> clients;
    while (!stop) {
        const net::Socket s = net::acceptWithin(listener, 100);
        if (s == net::kNoSocket) continue;
        std::lock_guard lock(connectionsMutex);
        connections.push_back(std::make_unique<Connection>(Connection{s}));
        clients.emplace_back(client, std::ref(bus), std::ref(*connections.back()),
                             std::ref(connectionsMutex), std::cref(stop), afterRequest);
    }
    net::closeSocket(listener);
    {
        // Wake the clients still waiting for a request, then wait for them.
        std::lock_guard lock(connectionsMutex);
        for (auto& c : connections)
            if (!c->done) net::shutdownSocket(c->socket);
    }
    for (auto& t : clients)
        t.join();
    return true;
}

} // namespace adapter
