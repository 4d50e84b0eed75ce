// The device command set: each exported operation is one command in the
// frame of the link, with its own reply checks, time-outs and log lines.
#include "isp/bytes.h"
#include "isp/link_mask.h"
#include "isp/session.h"
#include "platform/clock.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace isp {

namespace {

namespace hid = platform::hid;

constexpr int kNoAdapter = 16;
constexpr int kBadArguments = 18;

void put32(Report& r, std::size_t at, std::uint32_t v) { putLe32(r.data() + at, v); }

} // namespace

bool Session::writeHandleValid() {
    if (state.writeHandle != hid::kInvalidHandle) return true;
    appendLog("WriteHandle error");
    return false;
}

// Byte 0, code, option, CRC bytes zero, filler everywhere else.
Report& Session::startReport(std::uint8_t codeByte, std::uint8_t optionByte, bool fillerOption) {
    Report& r = state.outReport;
    r[kReportIdAt] = 0;
    r[kCodeAt] = codeByte;
    for (std::size_t i = kOptionAt; i < r.size(); ++i)
        r[i] = filler();
    if (!fillerOption) r[kOptionAt] = optionByte;
    r[kCrcAt] = r[kCrcAt + 1] = 0;
    return r;
}

bool Session::send(Report& r, bool keyed) {
    if (!writableLink()) return false;
    frameCrc(r, keyed);
    scramble(r.data() + 1, 64);
    return writeCommand(r) != 0;
}

// After an authentication that got no answer, the same reset once more under
// the key the adapter holds if it did take the authentication: an adapter in
// that session refused the ready check and the plain reset, and without this
// would stay in a session that only unplugging it ends. To an adapter that
// never took it the report is a bad frame, which it refuses; one that has
// just reset is gone and the write fails. The link is left in its plain
// phase, as after any reset.
void Session::endUnansweredSession(std::uint8_t target, bool keyed) {
    auto& s = state;
    if (s.unansweredSession == 0) return;
    s.unansweredSession = 0;
    if (!isOpen(s.writeHandle)) return;
    Report r{};
    r[kCodeAt] = code::kReset;
    for (std::size_t i = kOptionAt; i < r.size(); ++i)
        r[i] = filler();
    r[kOptionAt] = target;
    frameCrc(r, keyed);
    auto key = s.sessionKey;
    for (int g = 0; g < 16; ++g) {
        for (int i = 0; i < 4; ++i)
            r[1 + 4 * g + i] ^= key[i];
        rollKey(key, s.sessionSeedA, s.sessionSeedB);
    }
    bus().write(s.writeHandle, r.data(), s.deviceCaps.outputReportLength);
    // Whichever reset the adapter took, it is out of any session now.
    s.rollingKey = {};
    s.rollingEnabled = 0;
}

// The reset command shared by execute, reset and reset-to-loader.
int Session::resetCommand(std::uint8_t target, bool keyed) {
    state.departureExpected = true;
    bool sent = readyCheck() && writeHandleValid();
    if (sent) sent = send(startReport(code::kReset, target), keyed);
    endUnansweredSession(target, keyed);
    if (!sent) return 1;
    state.rollingKey = {};
    state.rollingEnabled = 0;
    if (target == option::kToApplication) {
        state.skipRediscovery = 1;
        discover();
    }
    return 0;
}

// The status commands of the erase family; one log line with the range and
// its size in whole kilobytes.
int Session::statusCommand(const StatusCommand& command, std::uint32_t start, std::uint32_t end,
                           std::int64_t size) {
    if (!readyCheck() || !writeHandleValid()) return 1;
    Report& r = startReport(command.code, command.option);
    if (command.withRange) {
        put32(r, kFirstParameterAt, start);
        put32(r, kSecondParameterAt, end);
    }
    if (!send(r)) return 1;
    if (!pollReply(command.limitSeconds)) return 1;
    const std::string text = replyText();
    appendLog(std::string(command.label) + hex32(start) + "~");
    if (isReplyOk(text)) {
        appendLog(hex32(end) + " success (" + std::to_string(size / 1024) + " KB)");
        return 0;
    }
    appendLog(hex32(end) + " failed");
    return 1;
}

namespace {

// The link mask is never held as one constant: each byte is looked up through
// a fresh random permutation and its inverse, and the bytes are kept in
// scratch slots assigned by another random permutation.
struct MaskedBytes {
    std::uint8_t scratch[8];
    std::uint8_t slot[8];
    std::uint8_t operator[](int i) const { return scratch[slot[i]]; }
};

MaskedBytes linkMask(Session& session) {
    std::uint8_t permutation[256], inverse[256];
    bool used[256] = {};
    for (int i = 0; i < 256;) {
        const int v = session.random() % 256;
        if (used[v]) continue;
        used[v] = true;
        permutation[i] = static_cast<std::uint8_t>(v);
        inverse[v] = static_cast<std::uint8_t>(i);
        ++i;
    }
    MaskedBytes mask{};
    bool slotUsed[8] = {};
    for (int i = 0; i < 8;) {
        const int v = session.random() % 8;
        if (slotUsed[v]) continue;
        slotUsed[v] = true;
        mask.slot[i++] = static_cast<std::uint8_t>(v);
    }
    for (int i = 0; i < 8; ++i)
        mask.scratch[mask.slot[i]] = permutation[inverse[kLinkMaskIndex[i]]];
    return mask;
}

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string informationText(int kind, const std::uint32_t w[5]) {
    char b[32] = "";
    switch (kind) {
    case 0: {
        std::uint32_t chip = w[0] & 0xFFFF;
        if (chip == 0) chip = w[4] & 0x0FFFFFFF;
        std::snprintf(b, sizeof b, "QV32F%04X", chip);
        break;
    }
    case 1:
        std::snprintf(b, sizeof b, "%08d", static_cast<int>((w[1] >> 16) * (w[2] >> 16)));
        break;
    case 2:
        std::snprintf(b, sizeof b, "%08d", static_cast<int>(w[1] >> 16));
        break;
    case 3:
        std::snprintf(b, sizeof b, "%08d", static_cast<int>(w[2] & 0xFF));
        break;
    case 4:
        std::snprintf(b, sizeof b, "%s%X", (w[0] >> 28) == 0 ? "ISP V" : "IAP V",
                      (w[0] >> 16) & 0xFFF);
        break;
    case 5:
        std::snprintf(b, sizeof b, "N/A");
        break;
    case 6:
        std::snprintf(b, sizeof b, "%08d", static_cast<int>(w[1] & 0xFFFF));
        break;
    case 8:
        std::snprintf(b, sizeof b, "%08d", static_cast<std::int32_t>(w[3]));
        break;
    default:
        break;
    }
    return widen(b);
}

std::int32_t percent(std::uint64_t sent, std::uint64_t length) {
    return static_cast<std::int32_t>(static_cast<float>(sent) / static_cast<float>(length) *
                                     100.0f);
}

// Inclusive unsigned range, wrapping as 32-bit values do, except that the
// whole address space is 4 GiB rather than 0.
std::int64_t rangeSize(std::uint32_t start, std::uint32_t end) {
    return static_cast<std::int64_t>(static_cast<std::uint32_t>(end - start)) + 1;
}

} // namespace

void Session::appendSeconds(std::int64_t startMs) {
    char b[32];
    std::snprintf(b, sizeof b, " (%.2fs)",
                  static_cast<double>(platform::clockMs() - startMs) / 1000.0);
    appendLog(b);
}

namespace {

// One acknowledgement reply of a transfer pass: each 'O' acknowledges one
// report, an 'F' fails the pass. During the pass the scan ends at an 'F';
// the final reply is scanned whole.
void countAcknowledgements(const Report& reply, bool stopAtFailure, int& acks, bool& passOk) {
    for (std::size_t i = 1; i < reply.size(); ++i) {
        if (reply[i] == kReplyOk) ++acks;
        if (reply[i] == kReplyFailed) {
            passOk = false;
            if (stopAtFailure) return;
        }
    }
}

} // namespace

int Session::transferPass(std::uint32_t start, std::uint32_t end, bool program,
                          const std::uint8_t* data) {
    const std::uint64_t length = static_cast<std::uint64_t>(end) - start + 1;
    int reports = 0, acks = 0;
    bool passOk = true;
    std::uint64_t sent = 0;
    // A poll before the first report must not read the last pass's end.
    state.transferProgress.store(0);
    if (!readyCheck()) return 1;
    for (std::uint64_t first = start; first <= end; first += kChunkBytes) {
        // An interrupted run stops between two reports, so that its next
        // report, the reset that ends the session, reaches the adapter whole.
        if (stop_.requested()) return 1;
        ++reports;
        if (!writeHandleValid()) return 1;
        const std::uint64_t last = std::min<std::uint64_t>(first + kChunkBytes - 1, end);
        const std::size_t k = static_cast<std::size_t>(last - first + 1);
        Report& r = startReport(code::kTransfer, program ? option::kProgram : option::kVerify);
        put32(r, kFirstParameterAt, static_cast<std::uint32_t>(first));
        put32(r, kSecondParameterAt, static_cast<std::uint32_t>(last));
        std::memcpy(r.data() + kDataAt, data + sent, k);
        sent += k;
        if (!send(r)) return 1;
        // As the pass goes, so that a second thread can show it.
        state.transferProgress.store(percent(sent, length));
        if (reports % kAckEvery == 0) {
            if (!pollReply(6)) return 1;
            countAcknowledgements(state.inReport, true, acks, passOk);
        }
    }
    if (!program) platform::sleepMs(10);
    if (acks != reports) {
        if (program) platform::sleepMs(10);
        // The last acknowledgements; a missing reply is logged nowhere.
        if (awaitReply(state.inReport, 6))
            countAcknowledgements(state.inReport, false, acks, passOk);
    }
    state.transferProgress.store(percent(sent, length));
    return acks == reports && passOk ? 0 : 1;
}

int Session::execute() {
    if (!discover()) return kNoAdapter;
    return resetCommand(option::kToApplication, true);
}

int Session::reset() {
    if (!discover()) return kNoAdapter;
    const int result = resetCommand(option::kToLoader, true);
    closeDevice();
    return result;
}

int Session::resetToIap(int keyedCrc) {
    // This reset is how a stopped run ends the adapter's session: it waits
    // for the adapter unless the user interrupts again.
    answeredInterrupts_ = stop_.requests();
    if (!discover()) return kNoAdapter;
    return resetCommand(option::kToLoader, keyedCrc == 1);
}

int Session::exit() {
    if (!discover()) return kNoAdapter;
    if (!readyCheck() || !writeHandleValid()) return 1;
    Report& r = startReport(code::kExit, 0, true);
    if (!send(r)) return 1;
    state.skipRediscovery = 1;
    discover();
    return 0;
}

int Session::getInformationStoringArea(int kind, std::uint16_t* text, int* textBytes) {
    constexpr int kApplicationStartItem = 6;
    std::uint32_t words[5];
    bool read = false;
    const int result = getInformation(kind, text, textBytes, words, &read);
    if (kind == kApplicationStartItem && read) setApplicationArea(words[1]);
    return result;
}

// In a buffer of its own: the shared report buffers stay as they are.
bool Session::sendInformationCommand() {
    Report out{};
    out[kCodeAt] = code::kInformation;
    for (std::size_t i = 2; i < out.size(); ++i)
        out[i] = filler();
    return send(out);
}

int Session::getInformation(int kind, std::uint16_t* text, int* textBytes, std::uint32_t* words,
                            bool* wordsRead) {
    if (wordsRead != nullptr) *wordsRead = false;
    if (text == nullptr || textBytes == nullptr) return 1;
    const std::int64_t startMs = platform::clockMs();
    if (!readyCheck() || !writeHandleValid()) return 1;
    if (!sendInformationCommand()) return 1;
    Report data{};
    if (!readDataReport(data)) {
        appendLog("HidD_GetInputReport error");
        return 1;
    }
    std::uint32_t w[5];
    for (int i = 0; i < 5; ++i) {
        w[i] = le32(data.data() + 1 + 4 * i);
        char b[16];
        std::snprintf(b, sizeof b, "%08X ", w[i]);
        appendLog(b);
    }
    const std::u16string value = informationText(kind, w);
    *textBytes = static_cast<int>(value.size() * 2);
    for (std::size_t i = 0; i < value.size(); ++i)
        text[i] = value[i];
    text[value.size()] = 0;
    if (words != nullptr) std::copy(w, w + 5, words);
    if (wordsRead != nullptr) *wordsRead = true;

    Report status{};
    if (!awaitReply(status, 2)) {
        appendLog("HidD_GetInputReport error");
        appendSeconds(startMs);
        return 0;
    }
    appendLog("\r\nRead Info ");
    if (isReplyOk(isp::replyText(status))) {
        appendLog(" success");
        appendSeconds(startMs);
        return 0;
    }
    appendLog(" failed");
    return 1;
}

// One information command while both sides are plain: its frame CRC is the
// only thing in it that depends on the command key. The loader answers it
// with the data report and "O"; one that holds another key refuses it with
// another text and no data. Checked before the authentication because the
// authentication itself does not depend on the key: a loader that took it
// from a run with the wrong key stays in that session, since the reset that
// would end it is refused too, and only unplugging it helps.
Session::KeyCheck Session::checkCommandKey() {
    if (state.rollingEnabled != 0) return KeyCheck::Unknown;
    if (!readyCheck() || !writeHandleValid() || !sendInformationCommand()) return KeyCheck::Unknown;
    // The data report first, as the information read takes it: a stack that
    // answers a status read with whatever input report came last (Wine does)
    // must not make an answer look like a refusal. Its status is then taken
    // off the queue, so that the next command does not read it as its own.
    Report data{};
    const bool delivered = readDataReport(data);
    const bool answered = awaitReply(state.inReport, 2);
    if (delivered) return KeyCheck::Taken;
    const std::string text = answered ? replyText() : std::string();
    return text.empty() || isReplyOk(text) ? KeyCheck::Unknown : KeyCheck::Refused;
}

int Session::sendAuthentication() {
    auto& s = state;
    if (s.scramblingEnabled == 0 || s.rollingEnabled != 0) return 1;
    seedRandom(static_cast<std::uint32_t>(platform::timeSeconds()));
    const MaskedBytes mask = linkMask(*this);
    if (!readyCheck()) return 0;
    for (auto& b : s.rollingKey)
        b = filler();
    if (!writeHandleValid()) return 0;
    Report& r = s.outReport;
    r[0] = 0;
    for (std::size_t i = 1; i < r.size(); ++i)
        r[i] = static_cast<std::uint8_t>(random());
    std::uint32_t w[kAuthGroups];
    for (unsigned g = 0; g < kAuthGroups; ++g)
        w[g] = le32(r.data() + authGroupAt(g));
    std::uint32_t seedGroup = (w[kAuthSeedWord] >> kAuthSeedShift) & kAuthGroupMask;
    if (seedGroup == kAuthSeedWord) {
        w[kAuthSeedWord] += 1u << kAuthSeedShift;
        seedGroup = kAuthSeedWord + 1;
    }
    std::uint32_t keyGroup = (w[seedGroup] >> kAuthKeyShift) & kAuthGroupMask;
    while (keyGroup == seedGroup || keyGroup == kAuthSeedWord) {
        w[seedGroup] += 1u << kAuthKeyShift;
        keyGroup = (w[seedGroup] >> kAuthKeyShift) & kAuthGroupMask;
    }
    for (unsigned g = 0; g < kAuthGroups; ++g)
        put32(r, authGroupAt(g), w[g]);
    for (int i = 0; i < 4; ++i)
        r[authGroupAt(keyGroup) + i] = mask[4 + i] ^ s.rollingKey[i];
    std::uint32_t m = kAuthSeedWord;
    while (m == kAuthSeedWord || m == seedGroup || m == keyGroup)
        m = static_cast<std::uint32_t>(random() % kAuthGroups);
    for (int i = 0; i < 4; ++i)
        r[authGroupAt(m) + i] = mask[i] ^ s.rollingKey[i];
    if (!writeCommand()) return 0;
    if (!pollReply(30)) {
        // The report went out; only its answer is missing, so the adapter
        // may be in the session it opens (see endUnansweredSession).
        if (s.unansweredSession == 0) {
            s.unansweredSession = 1;
            s.sessionKey = s.rollingKey;
            s.sessionSeedA = static_cast<std::uint16_t>(w[seedGroup] & 0xFFFF);
            s.sessionSeedB = static_cast<std::uint16_t>(w[seedGroup] >> 16);
        }
        return 0;
    }
    const std::string text = replyText();
    if (isReplyFailed(text) || isReplyOk(text)) {
        s.unansweredSession = 0;
        s.rollingEnabled = 1;
        s.departureExpected = false;
        s.rollSeedA = static_cast<std::uint16_t>(w[seedGroup] & 0xFFFF);
        s.rollSeedB = static_cast<std::uint16_t>(w[seedGroup] >> 16);
        return 1;
    }
    appendLog("Device not ready");
    return 0;
}

int Session::sendUserCmd(const std::uint8_t* block) {
    if (block == nullptr || block[0] < code::kFirstUser) return 0;
    if (!readyCheck()) return 0;
    if (state.writeHandle == platform::hid::kInvalidHandle) return 0;
    Report& r = state.outReport;
    r[0] = 0;
    r[1] = block[0];
    r[2] = block[1];
    r[3] = r[4] = 0;
    std::memcpy(r.data() + 5, block + 2, 60);
    return send(r) ? 1 : 0;
}

int Session::eraseMass() {
    const std::int32_t first = state.appAreaStart;
    const std::int32_t last = state.appAreaEnd;
    // Signed bounds: an application start above the end is a negative size,
    // not four gigabytes.
    const std::int64_t size = static_cast<std::int64_t>(last) - first + 1;
    return statusCommand({code::kErase, option::kMassErase, false, 2, "MassErase "},
                         static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last), size);
}

int Session::erasePage(std::uint32_t start, std::uint32_t end) {
    return statusCommand({code::kErase, option::kPageErase, true, 60, "Erase "}, start, end,
                         rangeSize(start, end));
}

int Session::blankCheck(std::uint32_t start, std::uint32_t end) {
    return statusCommand({code::kTransfer, option::kBlankCheck, true, 2, "Blank "}, start, end,
                         rangeSize(start, end));
}

int Session::writeProgram(std::uint32_t start, std::uint32_t end, int mode,
                          const std::uint8_t* data) {
    if (data == nullptr || start >= end) return kBadArguments;
    const int pass = mode & 0xFF;
    if (pass != 0 && pass != 1) return 0;
    return transferPass(start, end, pass == 1, data);
}

int Session::readData(std::uint32_t start, std::uint32_t end, std::uint8_t* buffer) {
    if (buffer == nullptr || start >= end) return kBadArguments;
    const std::uint64_t n = static_cast<std::uint64_t>(end) - start + 1;
    // Whole 64-byte reports; a padded end past the 32-bit address space cannot
    // be asked for.
    const std::uint64_t r = (static_cast<std::uint64_t>(end) - start + 64) & ~std::uint64_t{63};
    const std::uint64_t readEnd = start + r - 1;
    state.libraryLog.clear();
    if (readEnd > 0xFFFFFFFFu) return 1;
    std::vector<std::uint8_t> working;
    try {
        working.reserve(static_cast<std::size_t>(r));
    } catch (const std::bad_alloc&) {
        return 1;
    }
    if (!readyCheck() || !writeHandleValid()) return 1;
    Report& out = startReport(code::kTransfer, option::kRead);
    put32(out, kFirstParameterAt, start);
    put32(out, kSecondParameterAt, static_cast<std::uint32_t>(readEnd));
    if (!send(out)) return 1;
    appendLog("Read " + hex32(start) + "~" + hex32(end));
    Report& in = state.inReport;
    for (std::uint64_t i = 0; i < r / 64; ++i) {
        if (!readDataReport(in)) return 1;
        working.insert(working.end(), in.begin() + 1, in.begin() + 65);
    }
    std::memcpy(buffer, working.data(), static_cast<std::size_t>(n));
    if (!pollReply(2)) return 1;
    appendLog("\r\nRead " + hex32(start) + "~");
    if (isReplyOk(replyText())) {
        appendLog(hex32(end) + " success (" + std::to_string(n / 1024) + " KB)");
        return 0;
    }
    appendLog(hex32(end) + " failed");
    return 1;
}

int Session::crcCheck(std::uint16_t* result, const std::uint8_t* parameters) {
    if (parameters == nullptr) return 0;
    if (!readyCheck() || !writeHandleValid()) return 0;
    auto& s = state;
    Report& r = startReport(code::kDigest, 0, true);
    put32(r, kFirstParameterAt, static_cast<std::uint32_t>(s.appAreaStart));
    put32(r, kSecondParameterAt, static_cast<std::uint32_t>(s.appAreaEnd - s.appAreaStart + 1));
    std::memcpy(r.data() + kDataAt, parameters, 52);
    if (!send(r)) return 0;
    // The digest takes the adapter a moment: 10 ms before and between the
    // polls, counted from before the first pause.
    const std::int64_t t0 = platform::timeSeconds();
    platform::sleepMs(10);
    const bool got = awaitReply(s.inReport, 2, 10, t0);
    if (result) *result = static_cast<std::uint16_t>(s.inReport[1] + 256 * s.inReport[2]);
    if (got) return 1;
    appendLog("HidD_GetInputReport error");
    return 0;
}

} // namespace isp
