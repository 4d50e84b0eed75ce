// The HID bus of the emulator: every bus operation is one request to
// brisklink-emu and one response, carried by a transport (TCP in IAP-emu).
#pragma once

#include "platform/emulator/wire.h"
#include "platform/hid.h"

#include <functional>
#include <vector>

namespace platform::hid {

class EmulatorBus : public Bus {
  public:
    // Sends one request payload and receives one response payload; false when
    // the emulator could not be reached.
    using Transport = std::function<bool(const std::vector<std::uint8_t>& request,
                                         std::vector<std::uint8_t>& response)>;
    // `sharedName`: what every process reaching the same emulator calls it.
    explicit EmulatorBus(Transport transport, std::string sharedName = {});

    std::vector<std::string> enumerate() override;
    Handle open(const std::string& path, OpenMode mode) override;
    bool attributes(Handle h, Attributes& out) override;
    bool capabilities(Handle h, Capabilities& out) override;
    bool installPending() override;
    bool write(Handle h, const std::uint8_t* report, std::size_t length) override;
    ReadResult getInputReport(Handle h, std::uint8_t* report, std::size_t length) override;
    ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                          int timeoutMs) override;
    void close(Handle h) override;
    std::string sharedName() override { return sharedName_; }
    std::string location(const std::string& path) override { return wire::simulatedLocation(path); }
    std::string serial(const std::string& path) override;
    std::string misconfigured() override;
    std::string unreachable() override;

  private:
    bool call(const wire::Writer& request, std::vector<std::uint8_t>& response);
    Transport transport_;
    std::string sharedName_;
};

} // namespace platform::hid
