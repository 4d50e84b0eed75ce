// One adapter's link: the key store, the open device, the framing and
// scrambling state, the transfer progress and the library log, with every
// operation of the command set as a member. Two sessions share nothing but
// the bus they talk through, so one process can hold a link to each of
// several adapters. The exported C functions work on the process's one
// default session.
#pragma once

#include "isp/crc.h"
#include "isp/protocol.h"
#include "platform/hid.h"
#include "platform/stop.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace isp {

inline constexpr std::size_t kCommandKeyCapacity = 64;

// A handle that is not open: at start, after a close and after the link
// dropped. Unlike kInvalidHandle (an open that failed during discovery), a
// write on it takes the link-drop path, so the next command rediscovers.
inline constexpr platform::hid::Handle kNotOpen = -2;

// True for a handle the bus gave out and nobody has closed.
inline bool isOpen(platform::hid::Handle h) {
    return h != platform::hid::kInvalidHandle && h != kNotOpen;
}

struct LinkState {
    // Command key store: folded into every keyed frame CRC, never sent.
    std::array<std::uint8_t, kCommandKeyCapacity> commandKey{};
    std::uint16_t commandKeyLength = kCommandKeyCapacity;
    std::int32_t commandKeyEnabled = 1;

    // Discovery and the open device.
    std::int32_t matchVendorId = kDefaultVendorId;
    std::int32_t matchProductId = kDefaultLoaderProductId;
    std::int32_t matchUsagePage = kVendorUsagePageBase;
    platform::hid::Handle infoHandle = kNotOpen;
    platform::hid::Handle writeHandle = kNotOpen;
    platform::hid::Handle readHandle = kNotOpen;
    platform::hid::Capabilities deviceCaps{};
    std::string devicePath;
    // Where the open device is plugged in, and, when not empty, the one
    // location discovery accepts (the session follows its adapter).
    std::string deviceLocation;
    std::string matchLocation;
    std::int32_t skipRediscovery = 0;
    // How often an open device was lost (removed, or a write failed): a
    // connection whose reads fail after one met an unplugged adapter, not
    // a loader that refuses them.
    std::uint32_t devicesLost = 0;
    // Of those, the ones lost while no restart was commanded: a cable
    // pulled (or an adapter that reset itself), not the update's own
    // resets. A reset expects the departure that follows it until the
    // adapter has left or a new session is authenticated.
    std::uint32_t devicesPulled = 0;
    bool departureExpected = false;

    // Framing and scrambling.
    Report outReport{};
    Report inReport{};
    std::int32_t scramblingEnabled = 1;
    std::array<std::uint8_t, 4> rollingKey{};
    std::int32_t rollingEnabled = 0;
    std::uint16_t rollSeedA = 0;
    std::uint16_t rollSeedB = 0;
    // An authentication that got no answer: the adapter may still have
    // taken it and be in its session, rolling this key along with every
    // report it receives. The reset commands then also send a reset under
    // it, so the adapter is not left in a session that no later run can
    // open.
    std::int32_t unansweredSession = 0;
    std::array<std::uint8_t, 4> sessionKey{};
    std::uint16_t sessionSeedA = 0;
    std::uint16_t sessionSeedB = 0;

    // Percentage of the running or last program/verify pass, written after
    // every report; another thread may read it while the pass runs.
    std::atomic<std::int32_t> transferProgress{0};
    std::int32_t appAreaStart = 0x0C00;
    std::int32_t appAreaEnd = 0x7FFF;
    std::u16string libraryLog;
};

class Session {
  public:
    // This session's random stream (the classic linear congruential step,
    // 15-bit output), reseeded from the clock where the protocol says: two
    // sessions never rewind each other's.
    void seedRandom(std::uint32_t seed) { randomState_ = seed; }
    int random();
    // A filler byte from it: 1 to 255, never 0.
    std::uint8_t filler() { return static_cast<std::uint8_t>(random() % 255 + 1); }
    // Talks through `bus`, or through the process's bus when it is null.
    explicit Session(platform::hid::Bus* bus = nullptr) : bus_(bus) {}
    ~Session() { closeDevice(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The operations, with the results and log lines of their exported
    // counterparts (isp.h).
    int setCommandKey(const std::uint8_t* key, int length);
    int enableCommandKey(int enable);
    // The identity that discovery, and so every command's rediscovery,
    // looks for: set by name, never as a side effect.
    void setTarget(int vendorId, int productId, int usageSelector);
    // Finds the target (1) or not (0), as ISP_IsConnectedToDevice does.
    int connectToTarget() { return discover(); }
    // The exported function's contract: setTarget, then connectToTarget.
    int isConnectedToDevice(int vendorId, int productId, int usageSelector) {
        setTarget(vendorId, productId, usageSelector);
        return connectToTarget();
    }
    // The application area that the mass erase and the digest check name:
    // from `start` (information item 6) to 0x7FFF.
    void setApplicationArea(std::uint32_t start) {
        state.appAreaStart = static_cast<std::int32_t>(start & 0xFFFF);
    }
    void close() { closeDevice(); }
    int transProgress() const { return state.transferProgress.load(); }
    // From now on discovery accepts only a device at `location` (empty: any
    // device), so that the session follows one adapter through its restarts
    // while others are on the bus. The exported functions never follow.
    void follow(std::string location) { state.matchLocation = std::move(location); }
    const std::string& followed() const { return state.matchLocation; }
    // Where the device found by the last discovery is plugged in.
    const std::string& location() const { return state.deviceLocation; }
    // The way to stop this session's run, from any thread: a pass stops
    // before its next report, a reply wait at once (until the reset that
    // ends a stopped run, which only a further request cuts short).
    platform::StopSignal& stop() { return stop_; }
    const platform::StopSignal& stop() const { return stop_; }
    int getUserData(std::uint8_t* buffer, int length);
    int getUserResult(int seconds);
    int execute();
    int exit();
    int reset();
    int resetToIap(int keyedCrc);
    // With `words`, the five words of the data report when it came
    // (`*wordsRead` true), whatever the status reply then says.
    int getInformation(int kind, std::uint16_t* text, int* textBytes,
                       std::uint32_t* words = nullptr, bool* wordsRead = nullptr);
    // ISP_GetInformation's contract: getInformation, and for item 6 the
    // application area it reports stored (setApplicationArea) as soon as
    // its words came.
    int getInformationStoringArea(int kind, std::uint16_t* text, int* textBytes);
    int sendAuthentication();
    int sendUserCmd(const std::uint8_t* block);
    int eraseMass();
    int erasePage(std::uint32_t start, std::uint32_t end);
    int blankCheck(std::uint32_t start, std::uint32_t end);
    int writeProgram(std::uint32_t start, std::uint32_t end, int mode, const std::uint8_t* data);
    int readData(std::uint32_t start, std::uint32_t end, std::uint8_t* buffer);
    int crcCheck(std::uint16_t* result, const std::uint8_t* parameters);
    int getLibraryLog(std::uint16_t* buffer, int capacity) const;
    // Before any session is opened: whether the loader takes a command
    // signed with this session's command key. Unknown when the loader gives
    // no answer to plain commands (nor to the ready check) and when the link
    // is already in its keyed phase. The updater's own connection never
    // calls it: the protocol does not oblige a loader to answer commands
    // before its session, and one that answers them "F" would refuse every
    // right key.
    enum class KeyCheck { Taken, Refused, Unknown };
    KeyCheck checkCommandKey();

    // The link beneath the commands.
    // Discovery with the stored match values; 1 when the adapter is open.
    int discover();
    void closeDevice();
    // The adapter is gone or has re-enumerated: forget it, the next command
    // finds it again.
    void dropLink();
    // False, after taking the link-drop path, when the write handle is not
    // open: checked before a report is scrambled, so that a report that
    // cannot leave does not move the rolling key on.
    bool writableLink();
    // Computes and stores bytes 3 and 4 of `report`.
    void frameCrc(Report& report, bool keyed = true) const;
    // Scrambles `count` bytes in place with the rolling key stream.
    void scramble(std::uint8_t* bytes, int count);
    int readyCheck();
    // Writes `report` (normally outReport); drops the link when the write
    // fails.
    int writeCommand(const Report& report);
    int writeCommand() { return writeCommand(state.outReport); }
    // GET_REPORT into `into` until one comes; false once the wait is over
    // (see replyWaitOver).
    // With `pauseMs`, a pause between two polls; with `t0` (seconds), the
    // limit counts from then.
    bool awaitReply(Report& into, std::int64_t limitSeconds, int pauseMs = 0, std::int64_t t0 = -1);
    // Polls one reply into inReport; false after `limitSeconds` without one.
    bool pollReply(std::int64_t limitSeconds);
    // One GET_REPORT into `into` (normally inReport), cleared first; false
    // when no report could be had. A removed device drops the link.
    bool getInputReport(Report& into);
    // One report of the interrupt queue into `into` (cleared first), waiting
    // up to 5 s; false when none came. A removed device drops the link.
    bool readDataReport(Report& into);
    // True once `limitSeconds` have passed since `t0`, at once when the link
    // has been dropped, and at once when an interruption that the session
    // has not yet answered comes: the end of every reply wait.
    bool replyWaitOver(std::int64_t t0, std::int64_t limitSeconds) const;
    std::string replyText() const { return isp::replyText(state.inReport); }
    void appendLog(std::u16string_view text) { state.libraryLog.append(text); }
    void appendLog(std::string_view ascii);

    LinkState state;

    // The bus this session talks through.
    platform::hid::Bus& bus() const;

  private:
    bool writeHandleValid();
    Report& startReport(std::uint8_t code, std::uint8_t option, bool fillerOption = false);
    std::uint32_t randomState_ = 1;
    bool send(Report& r, bool keyed = true);
    bool sendInformationCommand();
    void endUnansweredSession(std::uint8_t option, bool keyed);
    int resetCommand(std::uint8_t option, bool keyed);
    int statusCommand(const StatusCommand& command, std::uint32_t start, std::uint32_t end,
                      std::int64_t size);
    void appendSeconds(std::int64_t startMs);
    int transferPass(std::uint32_t start, std::uint32_t end, bool program,
                     const std::uint8_t* data);

    platform::hid::Bus* bus_;
    // The interruption requests that the session has answered: the reset
    // that ends a stopped run waits for the adapter as ever, and only a
    // further request cuts its waits short.
    int answeredInterrupts_ = 0;
    platform::StopSignal stop_;
};

// The session of the exported functions: the one adapter that a caller of
// the C interface talks to, through the process's bus.
Session& defaultSession();

// One step of the rolling key stream, as the loader takes it after each
// four-byte group.
void rollKey(std::array<std::uint8_t, 4>& key, std::uint16_t seedA, std::uint16_t seedB);

} // namespace isp
