// The HID bus of the emulator: every bus operation is one request to
// brisklink-emu over TCP. The address comes from BRISKLINK_EMULATOR
// (host:port); without it the emulator's default port on 127.0.0.1.
#include "platform/emulator/socket.h"
#include "platform/emulator/wire.h"
#include "platform/hid.h"

#include <cstdlib>
#include <cstring>

namespace platform::hid {

namespace {

using wire::Op;

class EmulatorBus : public Bus {
  public:
    ~EmulatorBus() override { net::closeSocket(socket_); }

    std::vector<std::string> enumerate() override {
        std::vector<std::string> paths;
        std::vector<std::uint8_t> response;
        if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Enumerate)), response))
            return paths;
        wire::Reader r(response);
        const std::uint16_t count = r.u16();
        for (std::uint16_t i = 0; i < count && r.ok; ++i)
            paths.push_back(r.text());
        if (!r.ok) paths.clear();
        return paths;
    }

    Handle open(const std::string& path, OpenMode mode) override {
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

    bool attributes(Handle h, Attributes& out) override {
        std::vector<std::uint8_t> response;
        if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Attributes)).i64(h), response))
            return false;
        wire::Reader r(response);
        const bool ok = r.u8() != 0;
        out.vendorId = r.u16();
        out.productId = r.u16();
        return r.ok && ok;
    }

    bool capabilities(Handle h, Capabilities& out) override {
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

    bool installPending() override {
        std::vector<std::uint8_t> response;
        if (!call(wire::Writer().u8(static_cast<std::uint8_t>(Op::InstallPending)), response))
            return false;
        wire::Reader r(response);
        return r.u8() != 0 && r.ok;
    }

    bool write(Handle h, const std::uint8_t* report, std::size_t length) override {
        if (h == kInvalidHandle || report == nullptr) return false;
        std::vector<std::uint8_t> response;
        if (!call(
                wire::Writer().u8(static_cast<std::uint8_t>(Op::Write)).i64(h).blob(report, length),
                response))
            return false;
        wire::Reader r(response);
        return r.u8() != 0 && r.ok;
    }

    bool getInputReport(Handle h, std::uint8_t* report, std::size_t length) override {
        if (h == kInvalidHandle || report == nullptr) return false;
        std::vector<std::uint8_t> response;
        if (!call(wire::Writer()
                      .u8(static_cast<std::uint8_t>(Op::GetInputReport))
                      .i64(h)
                      .u16(static_cast<std::uint16_t>(length)),
                  response))
            return false;
        wire::Reader r(response);
        const bool ok = r.u8() != 0;
        const auto bytes = r.blob();
        if (!r.ok || !ok) return false;
        std::memcpy(report, bytes.data(), std::min(length, bytes.size()));
        return true;
    }

    ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                          int timeoutMs) override {
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
        if (!r.ok || result > 2) return ReadResult::Failed;
        if (result == 0) std::memcpy(report, bytes.data(), std::min(length, bytes.size()));
        return static_cast<ReadResult>(result);
    }

    void close(Handle h) override {
        std::vector<std::uint8_t> response;
        call(wire::Writer().u8(static_cast<std::uint8_t>(Op::Close)).i64(h), response);
    }

  private:
    bool connect() {
        if (socket_ != net::kNoSocket) return true;
        std::string host = "127.0.0.1";
        std::uint16_t port = wire::kDefaultPort;
        if (const char* address = std::getenv("BRISKLINK_EMULATOR"); address && *address) {
            const std::string text = address;
            const auto colon = text.rfind(':');
            if (colon == std::string::npos) return false;
            host = text.substr(0, colon);
            const long value = std::strtol(text.c_str() + colon + 1, nullptr, 10);
            if (value <= 0 || value > 65535) return false;
            port = static_cast<std::uint16_t>(value);
        }
        socket_ = net::connectTo(host, port);
        return socket_ != net::kNoSocket;
    }

    bool call(const wire::Writer& request, std::vector<std::uint8_t>& response) {
        if (!connect()) return false;
        const auto length = static_cast<std::uint32_t>(request.bytes.size());
        std::uint8_t header[4];
        for (int i = 0; i < 4; ++i)
            header[i] = static_cast<std::uint8_t>(length >> (8 * i));
        std::uint8_t responseHeader[4];
        if (net::sendAll(socket_, header, 4) &&
            net::sendAll(socket_, request.bytes.data(), request.bytes.size()) &&
            net::receiveAll(socket_, responseHeader, 4)) {
            const std::uint32_t n = static_cast<std::uint32_t>(responseHeader[0]) |
                                    static_cast<std::uint32_t>(responseHeader[1]) << 8 |
                                    static_cast<std::uint32_t>(responseHeader[2]) << 16 |
                                    static_cast<std::uint32_t>(responseHeader[3]) << 24;
            if (n <= wire::kMaxFrame) {
                response.resize(n);
                if (net::receiveAll(socket_, response.data(), n)) return true;
            }
        }
        // The emulator went away: the next call connects again.
        net::closeSocket(socket_);
        socket_ = net::kNoSocket;
        return false;
    }

    net::Socket socket_ = net::kNoSocket;
};

} // namespace

Bus& systemBus() {
    static EmulatorBus bus;
    return bus;
}

} // namespace platform::hid
