// A bus with no devices, for builds that have no HID backend of their own.
#include "platform/hid.h"

namespace platform::hid {

namespace {

class NoBus : public Bus {
  public:
    std::vector<std::string> enumerate() override { return {}; }
    Handle open(const std::string&, OpenMode) override { return kInvalidHandle; }
    bool attributes(Handle, Attributes&) override { return false; }
    bool capabilities(Handle, Capabilities&) override { return false; }
    bool installPending() override { return false; }
    bool write(Handle, const std::uint8_t*, std::size_t) override { return false; }
    bool getInputReport(Handle, std::uint8_t*, std::size_t) override { return false; }
    ReadResult readReport(Handle, std::uint8_t*, std::size_t, int) override {
        return ReadResult::Failed;
    }
    void close(Handle) override {}
};

} // namespace

Bus& systemBus() {
    static NoBus none;
    return none;
}

} // namespace platform::hid
