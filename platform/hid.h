// The HID bus as the device link sees it: enumerate interfaces, open them,
// read their identity and capabilities, move 65-byte reports. One backend per
// system (win32, linux hidraw, emulator client) and an in-process bus of
// simulated adapters for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::hid {

using Handle = std::int64_t;
inline constexpr Handle kInvalidHandle = -1;

struct Attributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

struct Capabilities {
    std::uint16_t usagePage = 0;
    std::uint16_t inputReportLength = 0;  // report ID byte included
    std::uint16_t outputReportLength = 0; // report ID byte included
};

enum class OpenMode { Info, Write, OverlappedRead };

// A device node that exists but that this user may not open.
struct DeniedDevice {
    std::string path;
    Attributes identity;
};

// Gone: the device has been removed (unplugged, or re-enumerated under
// another identity); the link drops it at once instead of asking again.
enum class ReadResult { Ok, TimedOut, Failed, Gone };

// Threads: one bus serves every session of the process, each adapter's on its
// own thread (a batch, a watch, the library's handles). Every backend takes
// every call below from several threads at once, with one rule: a handle is
// used by one thread at a time (its session's), and closed only once no
// other call on it runs. Discovery's calls (enumerate, identity, location,
// serial, open of another device) may run beside a transfer on another
// handle. deniedDevices() tells the last enumeration of any thread: a hint,
// never a decision. setBus() is for tests, before any session runs.
class Bus {
  public:
    virtual ~Bus() = default;
    // Paths of the HID interfaces present now, in the system's order.
    virtual std::vector<std::string> enumerate() = 0;
    virtual Handle open(const std::string& path, OpenMode mode) = 0;
    virtual bool attributes(Handle h, Attributes& out) = 0;
    // False when the interface yields no preparsed data.
    virtual bool capabilities(Handle h, Capabilities& out) = 0;
    // True while the system is still installing a device.
    virtual bool installPending() = 0;
    // One output report, report ID byte first.
    virtual bool write(Handle h, const std::uint8_t* report, std::size_t length) = 0;
    // GET_REPORT of one whole input report (never TimedOut).
    virtual ReadResult getInputReport(Handle h, std::uint8_t* report, std::size_t length) = 0;
    // One report from the interrupt queue, waiting up to timeoutMs; a read
    // that times out is cancelled. The report ID byte is always in report[0].
    virtual ReadResult readReport(Handle h, std::uint8_t* report, std::size_t length,
                                  int timeoutMs) = 0;
    virtual void close(Handle h) = 0;
    // The identity of `path` where the system tells it without opening the
    // device; false where it does not (discovery then opens it to ask).
    // Opening every device of the machine wakes suspended ones and costs
    // time on some systems, so discovery skips the others this way.
    virtual bool identity(const std::string& path, Attributes& out) {
        (void)path;
        (void)out;
        return false;
    }
    // Where the device at `path` is plugged in: a name that stays the same
    // through its restarts and identity changes (a USB port path, a physical
    // path), so that a run can follow one adapter among several. By default
    // the path itself, for buses whose paths already are such names.
    virtual std::string location(const std::string& path) { return path; }
    // The USB serial-number string of the device at `path`, as the device
    // gives it; empty where it has none or the system does not tell.
    virtual std::string serial(const std::string& path) {
        (void)path;
        return {};
    }
    // The nodes of the last enumeration that could not be opened for lack
    // of permission (only where the system says whose device a node is).
    virtual std::vector<DeniedDevice> deniedDevices() { return {}; }
    // A name for the adapters this bus reaches, the same in every process
    // that reaches them: updaters lock it so that only one of them talks to
    // an adapter at a time. Empty when no other process can reach them.
    virtual std::string sharedName() { return {}; }
    // Why this bus cannot work at all as it is set up (a malformed emulator
    // address), said before any search; empty when it can.
    virtual std::string misconfigured() { return {}; }
    // Why no search on this bus can find anything (nothing serves it: an
    // emulator address where none answers), said after a failed search.
    virtual std::string unreachable() { return {}; }
};

// The bus in force: the backend linked into the program, unless a test
// installed another.
Bus& bus();
void setBus(Bus* replacement);
// Provided by the backend linked into the program.
Bus& systemBus();

} // namespace platform::hid
