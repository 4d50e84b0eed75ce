// A simulated Brisklink adapter, written the way its firmware works: an
// application that answers the ready check and the reset command, and a
// loader that authenticates, checks every frame CRC with its command key,
// descrambles the rolling key stream, and erases, programs, verifies, reads
// back and digests its flash. It re-enumerates under the other USB identity
// after a reset, and can be told to fail the ways a real device fails.
#pragma once

#include "isp/memory_map.h"

#include "isp/protocol.h"

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace adapter {

using Report = isp::Report;

enum class Mode { Application, Loader };
enum class LoaderKind { IAP, ISP };

// Commands by name, for fault injection and the emulator's log.
enum class Command {
    Ready,
    Auth,
    Info,
    Reset,
    Exit,
    MassErase,
    PageErase,
    BlankCheck,
    Program,
    Verify,
    Read,
    Digest,
    User,
    Unknown
};
const char* commandName(Command c);
std::optional<Command> commandByName(const std::string& name);

struct Identity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t usageSelector = 0;
};

struct Faults {
    std::set<Command> noReply;                   // replies withheld
    std::map<Command, std::int64_t> lateReplyMs; // replies held back this long
    std::map<Command, std::string> statusText;   // replies with this text instead
    std::set<int> failProgramReports;            // 1-based report numbers in a program pass
    std::set<int> failVerifyReports;             // 1-based report numbers in a verify pass
    // Page erases, program or verify reports and reads whose first address
    // is listed under their command fail.
    std::map<Command, std::set<std::uint32_t>> failAt;
    // The cable pulled at the program or verify report whose first address
    // is listed: no answer, and back in the loader after vanishForMs.
    std::map<Command, std::set<std::uint32_t>> vanishAt;
    // Power lost while carrying out CMD: an erase gets half-way, nothing
    // answers, and the adapter comes back in its loader after vanishForMs.
    std::set<Command> powerLoss;
    int vanishAfterWrites = -1;      // gone (writes fail) after this many reports
    std::int64_t vanishForMs = 2000; // and back, in the loader, after this long
    bool neverReturn = false;        // a reset leaves it gone for good
    int neverReturnAtReset = 0;      // the Nth reset (from 1) leaves it gone for good
    bool returnInLoader = false;     // "execute" comes back in the loader
    bool once = false;               // each fault fires once, then heals
};

struct AdapterConfig {
    Identity application{isp::kDefaultVendorId, isp::kDefaultApplicationProductId, 0x01};
    Identity loader{isp::kDefaultVendorId, isp::kDefaultLoaderProductId, 0x00};
    LoaderKind loaderKind = LoaderKind::IAP;
    Mode startMode = Mode::Application;
    std::optional<std::string> version = std::string("1.0.0"); // nullopt: erased record
    std::string serial;                                        // its USB serial number
    std::vector<std::uint8_t> commandKey;                      // empty: unkeyed CRCs
    std::uint32_t flashSize = isp::memory::kFlashSize;
    std::uint32_t pageSize = 2048;
    std::uint32_t loaderSize = 0x1800; // protected loader area at 0
    std::uint32_t appStart = isp::memory::kApplicationStart;
    std::uint32_t versionAddress = isp::memory::kVersionRecordAddress;
    std::uint32_t externalBase = isp::memory::kExternalBase;
    std::uint32_t externalSize = isp::memory::kExternalSize;
    std::uint32_t externalPageSize = 4096;
    std::uint16_t chipNumber = 0x3285;
    std::uint16_t loaderVersion = 0x105;
    std::int64_t reenumerateMs = 500;
    std::uint16_t reportLength = 65;
    // False: the loader answers nothing but the ready check and the
    // authentication before a session (as a loader may that only takes
    // commands inside one).
    bool plainCommands = true;
    Faults faults;
};

struct Pending {
    std::int64_t at = 0;
    Report report{};
};

class SimulatedAdapter {
  public:
    explicit SimulatedAdapter(AdapterConfig config);

    // Bus side.
    bool present(std::int64_t nowMs);
    Identity identity(std::int64_t nowMs);
    std::uint16_t reportLength() const { return config_.reportLength; }
    // Changes whenever the adapter leaves the bus; handles of an older
    // generation no longer work.
    std::uint64_t generation(std::int64_t nowMs);
    bool receive(const std::uint8_t* report, std::size_t length, std::int64_t nowMs);
    bool takeStatus(std::int64_t nowMs, Report& out);
    bool takeData(std::int64_t nowMs, Report& out);

    // Every fault cleared (and 65-byte reports); an adapter that is off the bus for good is
    // plugged in again (it starts what its flash holds: the application when
    // there is one, else the loader).
    void heal(std::int64_t nowMs);
    // Unplugged and plugged in again: off the bus for `reenumerateMs`, its
    // session ended, back running what its flash holds. Faults stay.
    void replug(std::int64_t nowMs);
    // Unplugged by hand: off the bus until plugged in again (a heal does not
    // plug it in); plugged in: as a replug.
    void unplug(std::int64_t nowMs);
    void plug(std::int64_t nowMs);

    // Inspection for tests and the emulator.
    Mode mode(std::int64_t nowMs);
    bool keyedPhase() const { return rolling_; }
    const std::vector<std::uint8_t>& internalFlash() const { return flash_; }
    const std::vector<std::uint8_t>& externalFlash() const { return external_; }
    std::optional<std::string> versionRecord() const;
    std::optional<std::uint16_t> lastDigest() const { return lastDigest_; }
    bool lastDigestMatched() const { return lastDigestMatched_; }
    const std::vector<std::string>& commandLog() const { return log_; }
    std::uint32_t infoWord(int index) const;
    AdapterConfig& config() { return config_; }
    std::uint16_t digestOf(std::uint32_t start, std::uint32_t length) const;

  private:
    void settle(std::int64_t nowMs);
    void leaveBus(std::int64_t nowMs, std::int64_t forMs, Mode comeBackAs);
    bool tryAuthentication(const Report& r, std::int64_t nowMs);
    void descramble(Report& r);
    bool crcValid(const Report& r, bool allowUnkeyed) const;
    void dispatch(const Report& r, std::int64_t nowMs);
    void applicationCommand(Command c, const Report& r, std::int64_t nowMs);
    void onInfo(std::int64_t nowMs);
    void onReset(bool toLoader, std::int64_t nowMs);
    void onBlankCheck(std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs);
    void onRead(std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs);
    void onDigest(const Report& r, std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs);
    void onUser(const Report& r, std::int64_t nowMs);
    void transfer(const Report& r, bool program, bool crcOk, std::int64_t nowMs);
    void powerLost(Command c, std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs);
    void handOverAcks(std::int64_t nowMs);
    void reply(Command c, const std::string& text, std::int64_t nowMs, Report bytes = {});
    void queueData(const Report& r, std::int64_t nowMs);
    bool fire(std::set<Command>& set, Command c);
    // Counts a reset; true when it leaves the adapter off the bus for good.
    bool goneForGood();
    bool listedAt(std::map<Command, std::set<std::uint32_t>>& listing, Command c,
                  std::uint32_t address);
    // The bytes of [address, address + length) when they lie in one memory,
    // else null; lengths are 64-bit so no range can wrap.
    std::uint8_t* memory(std::uint32_t address, std::uint64_t length, bool writable);
    static std::uint64_t rangeLength(std::uint32_t first, std::uint32_t last);
    bool eraseRange(std::uint32_t start, std::uint32_t end);
    void note(Command c, const std::string& detail);

    AdapterConfig config_;
    Mode mode_;
    std::int64_t goneUntil_ = -1;
    Mode comeBackAs_ = Mode::Application;
    std::uint64_t generation_ = 1;
    bool rolling_ = false;
    std::array<std::uint8_t, 4> rollingKey_{};
    std::uint16_t seedA_ = 0, seedB_ = 0;
    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> external_;
    std::deque<Pending> status_;
    std::deque<Pending> data_;
    std::string acks_;
    int acksSinceHandOver_ = 0;
    int passReports_ = 0;
    Command passKind_ = Command::Unknown;
    bool unpluggedByHand_ = false;
    int writes_ = 0;
    int resets_ = 0;
    std::optional<std::uint16_t> lastDigest_;
    bool lastDigestMatched_ = false;
    std::vector<std::string> log_;
};

inline constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max() / 4;

} // namespace adapter
