// The device library against an adapter that answers arbitrary bytes: a bus
// whose identities, capabilities, input reports, GET_REPORT results, read
// results and time-outs all come from the fuzzer, and every exported
// operation driven through it with arguments the fuzzer picks. Each
// operation must return one of its documented results; the sanitizers see
// any access outside the buffers the caller handed in.
#include "brisklink/isp.h"
#include "isp/session.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "tests/fuzz/memory_file.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

namespace {

namespace hid = platform::hid;

// Virtual time that also moves a little whenever it is read: a wait that
// polls without touching the bus (its handle already closed) still ends, as
// it does on the system clock.
class TickingClock : public platform::VirtualClock {
  public:
    std::int64_t nowMs() override {
        advance(1);
        return VirtualClock::nowMs();
    }
    std::int64_t epochSeconds() override {
        advance(1);
        return VirtualClock::epochSeconds();
    }
};

class FuzzBus : public hid::Bus {
  public:
    FuzzBus(FuzzedDataProvider& in, platform::VirtualClock& clock) : in_(in), clock_(clock) {}

    std::vector<std::string> enumerate() override {
        std::vector<std::string> paths;
        const int n = in_.ConsumeIntegralInRange(0, 3);
        for (int i = 0; i < n; ++i)
            paths.push_back("fuzz:" + std::to_string(i));
        return paths;
    }
    hid::Handle open(const std::string&, hid::OpenMode) override {
        return in_.ConsumeIntegralInRange(0, 15) == 0 ? hid::kInvalidHandle : next_++;
    }
    bool attributes(hid::Handle, hid::Attributes& out) override {
        // Mostly the loader's identity, so that discovery goes on.
        if (in_.ConsumeIntegralInRange(0, 7) != 0) {
            out = {0x3F27, 0x1005};
        } else {
            out.vendorId = in_.ConsumeIntegral<std::uint16_t>();
            out.productId = in_.ConsumeIntegral<std::uint16_t>();
        }
        return in_.ConsumeIntegralInRange(0, 15) != 0;
    }
    bool capabilities(hid::Handle, hid::Capabilities& out) override {
        if (in_.ConsumeIntegralInRange(0, 7) != 0) {
            out = {0xFF00, 65, 65};
        } else {
            out.usagePage = in_.ConsumeIntegral<std::uint16_t>();
            out.inputReportLength = in_.ConsumeIntegralInRange<std::uint16_t>(0, 200);
            out.outputReportLength = in_.ConsumeIntegralInRange<std::uint16_t>(0, 200);
        }
        return in_.ConsumeIntegralInRange(0, 15) != 0;
    }
    bool installPending() override { return in_.ConsumeIntegralInRange(0, 31) == 0; }
    bool write(hid::Handle, const std::uint8_t* report, std::size_t length) override {
        // Every byte the link claims to send is read, so a short buffer shows.
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < length; ++i)
            sum = static_cast<std::uint8_t>(sum + report[i]);
        sink_ = sum;
        return in_.ConsumeIntegralInRange(0, 31) != 0;
    }
    hid::ReadResult getInputReport(hid::Handle, std::uint8_t* report, std::size_t length) override {
        // Time always moves, so every wait ends once the input runs out.
        clock_.advance(50 + in_.ConsumeIntegralInRange(0, 3000));
        if (!in_.ConsumeBool())
            return in_.ConsumeIntegralInRange(0, 15) == 0 ? hid::ReadResult::Gone
                                                          : hid::ReadResult::Failed;
        fill(report, length);
        return hid::ReadResult::Ok;
    }
    hid::ReadResult readReport(hid::Handle, std::uint8_t* report, std::size_t length,
                               int timeoutMs) override {
        const auto result = static_cast<hid::ReadResult>(in_.ConsumeIntegralInRange(0, 3));
        clock_.advance(result == hid::ReadResult::TimedOut ? timeoutMs
                                                           : in_.ConsumeIntegralInRange(0, 100));
        if (result == hid::ReadResult::Ok) fill(report, length);
        return result;
    }
    void close(hid::Handle) override {}

  private:
    // The whole length the link asked for is written: a buffer shorter
    // than its claim shows.
    void fill(std::uint8_t* report, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i)
            report[i] = in_.remaining_bytes() ? in_.ConsumeIntegral<std::uint8_t>() : 'O';
        // Status texts the link looks for, often enough to get past them.
        if (length > 1 && in_.ConsumeBool()) report[1] = in_.ConsumeBool() ? 'O' : 'F';
    }

    FuzzedDataProvider& in_;
    platform::VirtualClock& clock_;
    hid::Handle next_ = 1;
    volatile std::uint8_t sink_ = 0;
};

bool control(int r) { return r == 0 || r == 1 || r == 16; }

// At most 4 KiB per transfer, so that inputs stay fast.
void range(FuzzedDataProvider& in, std::uint32_t& start, std::uint32_t& end) {
    start = in.ConsumeIntegral<std::uint32_t>();
    end = start + in.ConsumeIntegralInRange<std::uint32_t>(0, 4096);
    if (in.ConsumeIntegralInRange(0, 15) == 0) end = in.ConsumeIntegral<std::uint32_t>();
}

std::size_t length(std::uint32_t start, std::uint32_t end) {
    return end >= start && end - start < 8192 ? end - start + 1 : 1;
}

// The link and control operations (0 to 9).
void linkStep(FuzzedDataProvider& in, isp::Session& session, int op) {
    switch (op) {
    case 0: {
        const int r = session.isConnectedToDevice(0x3F27, 0x1005, in.ConsumeIntegralInRange(0, 2));
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 1: {
        const int r = session.sendAuthentication();
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 2: {
        std::uint16_t text[13];
        int bytes = -1;
        const int r = session.getInformation(in.ConsumeIntegralInRange(-1, 9), text, &bytes);
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 3:
        fuzz::require(control(session.execute()));
        break;
    case 4:
        fuzz::require(control(session.exit()));
        break;
    case 5:
        fuzz::require(control(session.reset()));
        break;
    case 6:
        fuzz::require(control(session.resetToIap(in.ConsumeIntegralInRange(0, 1))));
        break;
    case 7: {
        const int r = session.eraseMass();
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 8: {
        std::uint32_t s, e;
        range(in, s, e);
        const int r = session.erasePage(s, e);
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 9: {
        std::uint32_t s, e;
        range(in, s, e);
        const int r = session.blankCheck(s, e);
        fuzz::require(r == 0 || r == 1);
        break;
    }
    }
}

// The transfers, the user commands and the key store (10 to 21).
void dataStep(FuzzedDataProvider& in, isp::Session& session, int op) {
    switch (op) {
    case 10:
    case 11: {
        std::uint32_t s, e;
        range(in, s, e);
        std::vector<std::uint8_t> bytes(length(s, e), 0x5A);
        const bool fits = e >= s && e - s < 8192;
        const int r = session.writeProgram(s, e, in.ConsumeIntegralInRange(0, 1),
                                           fits ? bytes.data() : nullptr);
        fuzz::require(r == 0 || r == 1 || r == 18);
        break;
    }
    case 12: {
        std::uint32_t s, e;
        range(in, s, e);
        const bool fits = e >= s && e - s < 8192;
        std::vector<std::uint8_t> bytes(length(s, e));
        const int r = session.readData(s, e, fits ? bytes.data() : nullptr);
        fuzz::require(r == 0 || r == 1 || r == 18);
        break;
    }
    case 13: {
        std::uint8_t parameters[52] = {};
        std::uint16_t result = 0;
        const int r = session.crcCheck(&result, parameters);
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 14: {
        std::uint8_t block[62] = {};
        block[0] = in.ConsumeIntegral<std::uint8_t>();
        const int r = session.sendUserCmd(block);
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 15: {
        std::vector<std::uint8_t> buffer(in.ConsumeIntegralInRange<std::size_t>(1, 300));
        const int r = session.getUserData(buffer.data(), static_cast<int>(buffer.size()));
        fuzz::require(r >= 0);
        break;
    }
    case 16: {
        const int r = session.getUserResult(in.ConsumeIntegralInRange(0, 5));
        fuzz::require(r == 0 || r == 1);
        break;
    }
    case 17: {
        std::vector<std::uint16_t> log(in.ConsumeIntegralInRange<std::size_t>(1, 64));
        const int n = session.getLibraryLog(log.data(), static_cast<int>(log.size()));
        fuzz::require(n >= 0);
        break;
    }
    case 18: {
        std::vector<std::uint8_t> key(in.ConsumeIntegralInRange<std::size_t>(0, 64), 0x11);
        const int claimed =
            in.ConsumeBool() ? static_cast<int>(key.size()) : in.ConsumeIntegralInRange(-70000, -1);
        // A negative length keeps only its low 16 bits: given a key of
        // the store's whole size, nothing past it may be read.
        if (claimed < 0) key.resize(64, 0x22);
        fuzz::require(session.setCommandKey(key.data(), claimed) == 0);
        fuzz::require(session.enableCommandKey(in.ConsumeIntegralInRange(0, 1)) == 0);
        break;
    }
    case 19: {
        const int p = session.transProgress();
        fuzz::require(p >= 0 && p <= 100);
        break;
    }
    case 20:
        session.close();
        break;
    default:
        fuzz::require(ISP_SetupSerialPortConnection() == 0);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    TickingClock clock;
    FuzzBus bus(in, clock);
    platform::setClock(&clock);
    hid::setBus(&bus);
    isp::Session session(&bus);

    for (int step = 0; step < 24 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 21);
        if (op < 10)
            linkStep(in, session, op);
        else
            dataStep(in, session, op);
    }

    session.close();
    hid::setBus(nullptr);
    platform::setClock(nullptr);
    return 0;
}
