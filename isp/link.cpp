// The device link: discovery of the adapter on the HID bus, the framing of
// command reports (filler, keyed CRC, rolling-key scrambling), the ready
// check, reply polling and the library log.
#include "isp/probe.h"
#include "isp/session.h"

#include "platform/clock.h"

#include <algorithm>
#include <cstring>

namespace isp {

namespace hid = platform::hid;

namespace {

// Time-outs count whole seconds; a clock set back counts as not yet expired.
bool expired(std::int64_t t0, std::int64_t limitSeconds) {
    return platform::timeSeconds() - t0 > limitSeconds;
}

} // namespace

Session& defaultSession() {
    // Never destroyed: at the process's end the bus it talks through may be
    // gone already, and the system closes the handles anyway.
    static Session* const session = new Session;
    return *session;
}

hid::Bus& Session::bus() const { return bus_ != nullptr ? *bus_ : hid::bus(); }

void Session::closeDevice() {
    auto& bus = this->bus();
    for (hid::Handle* h : {&state.readHandle, &state.writeHandle, &state.infoHandle}) {
        if (isOpen(*h)) bus.close(*h);
        *h = kNotOpen;
    }
}

void Session::dropLink() {
    if (isOpen(state.writeHandle) || isOpen(state.readHandle)) {
        ++state.devicesLost;
        if (!state.departureExpected) ++state.devicesPulled;
        state.departureExpected = false;
    }
    closeDevice();
    state.skipRediscovery = 0;
    state.devicePath.clear();
}

bool Session::writableLink() {
    if (isOpen(state.writeHandle)) return true;
    dropLink();
    return false;
}

int Session::discover() {
    auto& bus = this->bus();
    // The handles of an earlier discovery stay as they are until a device is
    // found: when nothing answers, a write on them fails and drops the link,
    // and the next command discovers again.
    for (const std::string& path : bus.enumerate()) {
        state.devicePath.clear();
        // Another adapter's device is never opened.
        if (!state.matchLocation.empty() && bus.location(path) != state.matchLocation) continue;
        // A driver still being installed, or a device that will not describe
        // its reports, ends this discovery: the next one looks again.
        const Probe probe =
            probeDevice(bus, path, static_cast<std::uint32_t>(state.matchVendorId),
                        static_cast<std::uint32_t>(state.matchProductId),
                        static_cast<std::uint32_t>(state.matchUsagePage - kVendorUsagePageBase),
                        true, [&bus] { return !bus.installPending(); });
        switch (probe.verdict) {
        case Verdict::Stopped:
        case Verdict::CannotOpenForReports:
        case Verdict::NoReports:
            return 0;
        case Verdict::Adapter:
            break;
        default:
            continue;
        }
        closeDevice();
        state.infoHandle = probe.handle;
        state.devicePath = path;
        state.deviceLocation =
            state.matchLocation.empty() ? bus.location(path) : state.matchLocation;
        state.deviceCaps = probe.caps;
        // A failed open stays kInvalidHandle; the next write reports it.
        state.writeHandle = bus.open(path, hid::OpenMode::Write);
        state.readHandle = bus.open(path, hid::OpenMode::OverlappedRead);
        return 1;
    }
    return 0;
}

int Session::random() {
    randomState_ = randomState_ * 1103515245u + 12345u;
    return static_cast<int>((randomState_ >> 16) & 0x7FFF);
}

void Session::frameCrc(Report& report, bool keyed) const {
    report[kCrcAt] = 0;
    report[kCrcAt + 1] = 0;
    std::uint16_t crc = crc16(0, report.data() + 1, 64);
    if (keyed && state.commandKeyEnabled != 0)
        crc = crc16(crc, state.commandKey.data(), state.commandKeyLength);
    report[kCrcAt] = static_cast<std::uint8_t>(crc & 0xFF);
    report[kCrcAt + 1] = static_cast<std::uint8_t>(crc >> 8);
}

void rollKey(std::array<std::uint8_t, 4>& key, std::uint16_t seedA, std::uint16_t seedB) {
    std::uint16_t k = crc16(seedA, key.data(), 2);
    key[0] = static_cast<std::uint8_t>(k & 0xFF);
    key[1] = static_cast<std::uint8_t>(k >> 8);
    k = crc16(seedB, key.data() + 2, 2);
    key[2] = static_cast<std::uint8_t>(k & 0xFF);
    key[3] = static_cast<std::uint8_t>(k >> 8);
}

void Session::scramble(std::uint8_t* bytes, int count) {
    if (state.scramblingEnabled == 0 || count <= 0) return;
    const int groups = ((count - 1) >> 2) + 1;
    auto& key = state.rollingKey;
    for (int g = 0; g < groups; ++g) {
        for (int i = 0; i < 4; ++i)
            bytes[g * 4 + i] ^= key[i];
        if (state.rollingEnabled != 0) rollKey(key, state.rollSeedA, state.rollSeedB);
    }
}

int Session::writeCommand(const Report& report) {
    if (isOpen(state.writeHandle) &&
        bus().write(state.writeHandle, report.data(), state.deviceCaps.outputReportLength)) {
        // A loader in a session descrambles every report it receives, so
        // its key moves on by all sixteen groups whatever the report held.
        if (state.unansweredSession != 0)
            for (int g = 0; g < 16; ++g)
                rollKey(state.sessionKey, state.sessionSeedA, state.sessionSeedB);
        return 1;
    }
    dropLink();
    return 0;
}

bool Session::getInputReport(Report& into) {
    // All of it: a backend that fills less must not leave the previous
    // reply in place to be read again as this one.
    into.fill(0);
    if (!isOpen(state.readHandle)) return false;
    const hid::ReadResult got =
        bus().getInputReport(state.readHandle, into.data(), state.deviceCaps.inputReportLength);
    if (got == hid::ReadResult::Gone) dropLink();
    return got == hid::ReadResult::Ok;
}

bool Session::readDataReport(Report& into) {
    into.fill(0);
    if (!isOpen(state.readHandle)) return false;
    const hid::ReadResult got =
        bus().readReport(state.readHandle, into.data(), state.deviceCaps.inputReportLength, 5000);
    if (got == hid::ReadResult::Gone) dropLink();
    return got == hid::ReadResult::Ok;
}

bool Session::replyWaitOver(std::int64_t t0, std::int64_t limitSeconds) const {
    // A removed adapter never answers: asking it again until the limit
    // would only keep a core busy. An interrupted run stops waiting: a ready
    // check can take 30 s and an erase 60 s, and a closed console gives the
    // process 5 s.
    return !isOpen(state.readHandle) || expired(t0, limitSeconds) ||
           (stop_.requested() && stop_.requests() > answeredInterrupts_);
}

bool Session::awaitReply(Report& into, std::int64_t limitSeconds, int pauseMs, std::int64_t t0) {
    if (t0 < 0) t0 = platform::timeSeconds();
    for (;;) {
        if (getInputReport(into)) return true;
        if (replyWaitOver(t0, limitSeconds)) return false;
        if (pauseMs > 0) platform::sleepMs(pauseMs);
    }
}

bool Session::pollReply(std::int64_t limitSeconds) {
    if (awaitReply(state.inReport, limitSeconds)) return true;
    appendLog("HidD_GetInputReport error");
    return false;
}

int Session::readyCheck() {
    if (state.skipRediscovery == 0) discover();
    getInputReport(state.inReport); // drains a stale reply; its outcome does not matter
    if (state.writeHandle == hid::kInvalidHandle) {
        appendLog("WriteHandle error");
        return 0;
    }
    if (!writableLink()) return 0;
    Report& r = state.outReport;
    r[kReportIdAt] = 0;
    r[kCodeAt] = code::kReady;
    seedRandom(static_cast<std::uint32_t>(platform::timeSeconds()));
    for (std::size_t i = 2; i < r.size(); ++i)
        r[i] = filler();
    scramble(r.data() + 1, 64);
    if (!writeCommand()) return 0;
    if (!pollReply(30)) return 0;
    const std::string text = replyText();
    if (isReplyFailed(text) || isReplyOk(text)) return 1;
    appendLog("Device not ready");
    return 0;
}

void Session::appendLog(std::string_view ascii) {
    state.libraryLog.append(std::u16string(ascii.begin(), ascii.end()));
}

void Session::setTarget(int vendorId, int productId, int usageSelector) {
    state.matchVendorId = vendorId;
    state.matchProductId = productId;
    state.matchUsagePage = kVendorUsagePageBase + (usageSelector & 0xFF);
}

int Session::getUserData(std::uint8_t* buffer, int length) {
    if (buffer == nullptr || length <= 0) return 0;
    int received = 0;
    while (received < length) {
        if (!readDataReport(state.inReport)) break;
        // Reports go one after another; the last one is cut to what fits.
        const int fits = std::min(64, length - received);
        std::memcpy(buffer + received, state.inReport.data() + 1, static_cast<std::size_t>(fits));
        received += 64;
    }
    return received;
}

int Session::getUserResult(int seconds) {
    return awaitReply(state.inReport, seconds) && isReplyOk(replyText()) ? 1 : 0;
}

int Session::getLibraryLog(std::uint16_t* buffer, int capacity) const {
    const std::u16string& log = state.libraryLog;
    if (buffer != nullptr && capacity > 0) {
        const std::size_t n = std::min(log.size(), static_cast<std::size_t>(capacity - 1));
        for (std::size_t i = 0; i < n; ++i)
            buffer[i] = log[i];
        buffer[n] = 0;
    }
    return static_cast<int>(log.size());
}

} // namespace isp
