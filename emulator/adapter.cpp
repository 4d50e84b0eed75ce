#include "emulator/adapter.h"

#include "isp/bytes.h"
#include "isp/crc.h"
#include "isp/link_mask.h"
#include "isp/protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace adapter {

using isp::hex32;
using isp::le32;
using isp::putLe32;

namespace {

constexpr std::size_t kAckHandOver = isp::kAckEvery;
// A report the loader refuses (bad frame CRC, unknown command, a command the
// application does not take) is answered with this text. It must never read
// as acceptance: to the host "F" and "O" both pass the ready check and the
// authentication, so a refusal answered with "F" would let the two sides'
// rolling keys fall out of step unnoticed.
constexpr const char* kRefused = "E";

// The CRC register after feeding `count` bytes of 0xFF, in O(log count): the
// byte step is affine over GF(2), so its count-fold composition is found by
// squaring, as erased flash far beyond the memory needs no loop over it.
struct AffineStep {
    std::uint16_t column[16]; // image of each register bit under the linear part
    std::uint16_t offset;     // image of 0
    std::uint16_t apply(std::uint16_t x) const {
        std::uint16_t out = offset;
        for (int i = 0; i < 16; ++i)
            if (x & (1u << i)) out ^= column[i];
        return out;
    }
};

AffineStep compose(const AffineStep& outer, const AffineStep& inner) {
    AffineStep r{};
    r.offset = outer.apply(inner.offset);
    for (int i = 0; i < 16; ++i)
        r.column[i] = static_cast<std::uint16_t>(outer.apply(inner.column[i]) ^ outer.offset);
    return r;
}

std::uint16_t crcOverErased(std::uint16_t crc, std::uint64_t count) {
    const std::uint8_t erased = 0xFF;
    AffineStep step{};
    step.offset = isp::crc16(0, &erased, 1);
    for (int i = 0; i < 16; ++i) {
        const auto bit = static_cast<std::uint16_t>(1u << i);
        step.column[i] = static_cast<std::uint16_t>(isp::crc16(bit, &erased, 1) ^ step.offset);
    }
    for (; count != 0; count >>= 1) {
        if (count & 1) crc = step.apply(crc);
        step = compose(step, step);
    }
    return crc;
}

Command classify(std::uint8_t code, std::uint8_t option) {
    using namespace isp::code;
    namespace opt = isp::option;
    switch (code) {
    case kReady:
        return Command::Ready;
    case kErase:
        return option == opt::kMassErase   ? Command::MassErase
               : option == opt::kPageErase ? Command::PageErase
                                           : Command::Unknown;
    case kTransfer:
        switch (option) {
        case opt::kVerify:
            return Command::Verify;
        case opt::kProgram:
            return Command::Program;
        case opt::kRead:
            return Command::Read;
        case opt::kBlankCheck:
            return Command::BlankCheck;
        default:
            return Command::Unknown;
        }
    case kDigest:
        return Command::Digest;
    case kInformation:
        return Command::Info;
    case kReset:
        return Command::Reset;
    case kExit:
        return Command::Exit;
    default:
        return code >= kFirstUser ? Command::User : Command::Unknown;
    }
}

} // namespace

const char* commandName(Command c) {
    switch (c) {
    case Command::Ready:
        return "ready";
    case Command::Auth:
        return "auth";
    case Command::Info:
        return "info";
    case Command::Reset:
        return "reset";
    case Command::Exit:
        return "exit";
    case Command::MassErase:
        return "mass-erase";
    case Command::PageErase:
        return "page-erase";
    case Command::BlankCheck:
        return "blank-check";
    case Command::Program:
        return "program";
    case Command::Verify:
        return "verify";
    case Command::Read:
        return "read";
    case Command::Digest:
        return "digest";
    case Command::User:
        return "user";
    case Command::Unknown:
        break;
    }
    return "unknown";
}

std::optional<Command> commandByName(const std::string& name) {
    for (int i = 0; i <= static_cast<int>(Command::User); ++i) {
        const auto c = static_cast<Command>(i);
        if (name == commandName(c)) return c;
    }
    return std::nullopt;
}

SimulatedAdapter::SimulatedAdapter(AdapterConfig config)
    : config_(std::move(config)), mode_(config_.startMode), flash_(config_.flashSize, 0xFF),
      external_(config_.externalSize, 0xFF) {
    // The loader's own code and an application already installed.
    for (std::uint64_t a = 0; a < std::min(config_.loaderSize, config_.flashSize); ++a)
        flash_[a] = static_cast<std::uint8_t>(a * 7 + 3);
    for (std::uint64_t a = config_.appStart;
         a < std::min<std::uint64_t>(config_.appStart + std::uint64_t{4096}, config_.flashSize);
         ++a)
        flash_[a] = static_cast<std::uint8_t>(a * 13 + 1);
    if (config_.version &&
        std::uint64_t{config_.versionAddress} + 4 + config_.version->size() <= flash_.size()) {
        putLe32(flash_.data() + config_.versionAddress,
                static_cast<std::uint32_t>(config_.version->size()));
        std::memcpy(flash_.data() + config_.versionAddress + 4, config_.version->data(),
                    config_.version->size());
    }
}

void SimulatedAdapter::settle(std::int64_t nowMs) {
    if (goneUntil_ >= 0 && nowMs >= goneUntil_) {
        goneUntil_ = -1;
        mode_ = comeBackAs_;
    }
}

bool SimulatedAdapter::present(std::int64_t nowMs) {
    settle(nowMs);
    return goneUntil_ < 0;
}

Identity SimulatedAdapter::identity(std::int64_t nowMs) {
    settle(nowMs);
    return mode_ == Mode::Application ? config_.application : config_.loader;
}

Mode SimulatedAdapter::mode(std::int64_t nowMs) {
    settle(nowMs);
    return mode_;
}

std::uint64_t SimulatedAdapter::generation(std::int64_t nowMs) {
    settle(nowMs);
    return generation_;
}

void SimulatedAdapter::leaveBus(std::int64_t nowMs, std::int64_t forMs, Mode comeBackAs) {
    ++generation_;
    goneUntil_ = forMs >= kForever ? kForever : nowMs + forMs;
    comeBackAs_ = comeBackAs;
    rolling_ = false;
    rollingKey_ = {};
    status_.clear();
    data_.clear();
    acks_.clear();
    acksSinceHandOver_ = 0;
    passReports_ = 0;
}

void SimulatedAdapter::heal(std::int64_t nowMs) {
    config_.faults = Faults{};
    config_.reportLength = 65; // 64-byte reports count as a fault too
    settle(nowMs);
    if (goneUntil_ < kForever || unpluggedByHand_) return;
    const std::uint8_t* vector = memory(config_.appStart, 4, false);
    const bool appValid = vector != nullptr && le32(vector) != 0xFFFFFFFF;
    goneUntil_ = nowMs + config_.reenumerateMs;
    comeBackAs_ = appValid ? Mode::Application : Mode::Loader;
}

void SimulatedAdapter::unplug(std::int64_t nowMs) {
    settle(nowMs);
    unpluggedByHand_ = true;
    leaveBus(nowMs, kForever, Mode::Loader);
}

void SimulatedAdapter::plug(std::int64_t nowMs) {
    unpluggedByHand_ = false;
    replug(nowMs);
}

void SimulatedAdapter::replug(std::int64_t nowMs) {
    settle(nowMs);
    const std::uint8_t* vector = memory(config_.appStart, 4, false);
    const bool appValid = vector != nullptr && le32(vector) != 0xFFFFFFFF;
    leaveBus(nowMs, config_.reenumerateMs, appValid ? Mode::Application : Mode::Loader);
}

void SimulatedAdapter::note(Command c, const std::string& detail) {
    log_.push_back(std::string(commandName(c)) + (detail.empty() ? "" : " " + detail));
}

std::uint32_t SimulatedAdapter::infoWord(int index) const {
    const std::uint32_t modeBits = config_.loaderKind == LoaderKind::IAP ? 1u : 0u;
    switch (index) {
    case 0:
        return config_.chipNumber |
               (static_cast<std::uint32_t>(config_.loaderVersion & 0xFFF) << 16) | (modeBits << 28);
    case 1:
        return (config_.appStart & 0xFFFF) | ((config_.flashSize / config_.pageSize) << 16);
    case 2:
        return 0x20u | (config_.pageSize << 16); // low byte: RAM in KiB
    case 3:
        return config_.versionAddress;
    case 4:
        return config_.chipNumber;
    default:
        return 0;
    }
}

std::optional<std::string> SimulatedAdapter::versionRecord() const {
    const std::uint64_t at = config_.versionAddress;
    if (at + 4 > flash_.size()) return std::nullopt;
    const std::uint32_t length = le32(flash_.data() + at);
    if (length == 0xFFFFFFFF || length > 128 || at + 4 + length > flash_.size())
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(flash_.data() + config_.versionAddress + 4),
                       length);
}

std::uint8_t* SimulatedAdapter::memory(std::uint32_t address, std::uint64_t length, bool writable) {
    // An empty range or one that leaves the memory it starts in is no memory.
    if (length == 0) return nullptr;
    const std::uint64_t end = static_cast<std::uint64_t>(address) + length;
    const std::uint32_t lowest = writable ? config_.loaderSize : 0;
    if (address >= lowest && end <= flash_.size()) return flash_.data() + address;
    if (address >= config_.externalBase &&
        end <= static_cast<std::uint64_t>(config_.externalBase) + external_.size())
        return external_.data() + (address - config_.externalBase);
    return nullptr;
}

std::uint64_t SimulatedAdapter::rangeLength(std::uint32_t first, std::uint32_t last) {
    return last >= first ? static_cast<std::uint64_t>(last) - first + 1 : 0;
}

bool SimulatedAdapter::eraseRange(std::uint32_t start, std::uint32_t end) {
    if (end < start) return false;
    const bool external = start >= config_.externalBase;
    const std::uint32_t page = external ? config_.externalPageSize : config_.pageSize;
    const std::uint32_t base = external ? config_.externalBase : 0;
    if (page == 0) return false;
    const std::uint32_t first = base + (start - base) / page * page;
    const std::uint64_t last = base + (static_cast<std::uint64_t>(end - base) / page + 1) * page;
    const std::uint64_t length = last - first;
    std::uint8_t* p = memory(first, length, true);
    if (!p) return false;
    std::memset(p, 0xFF, static_cast<std::size_t>(length));
    return true;
}

std::uint16_t SimulatedAdapter::digestOf(std::uint32_t start, std::uint32_t length) const {
    // Flash that exists is read; everything beyond it reads as erased.
    const std::uint64_t end = static_cast<std::uint64_t>(start) + length;
    const std::uint64_t present = std::min<std::uint64_t>(end, flash_.size());
    std::uint16_t crc = 0;
    if (start < present)
        crc = isp::crc16(crc, flash_.data() + start, static_cast<int>(present - start));
    return crcOverErased(crc, end - std::max<std::uint64_t>(start, present));
}

bool SimulatedAdapter::goneForGood() {
    Faults& f = config_.faults;
    ++resets_;
    const bool forever = f.neverReturn || resets_ == f.neverReturnAtReset;
    if (f.once && forever) {
        f.neverReturn = false;
        f.neverReturnAtReset = 0;
    }
    return forever;
}

bool SimulatedAdapter::fire(std::set<Command>& set, Command c) {
    if (!set.count(c)) return false;
    if (config_.faults.once) set.erase(c);
    return true;
}

bool SimulatedAdapter::listedAt(std::map<Command, std::set<std::uint32_t>>& listing, Command c,
                                std::uint32_t address) {
    auto listed = listing.find(c);
    if (listed == listing.end() || !listed->second.count(address)) return false;
    if (config_.faults.once) listed->second.erase(address);
    return true;
}

void SimulatedAdapter::reply(Command c, const std::string& text, std::int64_t nowMs, Report bytes) {
    Faults& f = config_.faults;
    if (fire(f.noReply, c)) return;
    std::int64_t at = nowMs;
    if (auto late = f.lateReplyMs.find(c); late != f.lateReplyMs.end()) {
        at += late->second;
        if (f.once) f.lateReplyMs.erase(late);
    }
    std::string body = text;
    if (auto wrong = f.statusText.find(c); wrong != f.statusText.end()) {
        body = wrong->second;
        if (f.once) f.statusText.erase(wrong);
    }
    // Data-carrying replies put their bytes first; a status text follows them.
    std::size_t pos = 1;
    while (pos < bytes.size() && bytes[pos] != 0)
        ++pos;
    for (char ch : body)
        if (pos < bytes.size()) bytes[pos++] = static_cast<std::uint8_t>(ch);
    status_.push_back({at, bytes});
}

void SimulatedAdapter::queueData(const Report& r, std::int64_t nowMs) {
    data_.push_back({nowMs, r});
}

bool SimulatedAdapter::takeStatus(std::int64_t nowMs, Report& out) {
    settle(nowMs);
    if (goneUntil_ >= 0) return false;
    if (!status_.empty() && status_.front().at <= nowMs) {
        out = status_.front().report;
        status_.pop_front();
        return true;
    }
    // Asked with acknowledgements outstanding: the end of a pass.
    if (status_.empty() && !acks_.empty()) {
        handOverAcks(nowMs);
        // A withheld reply leaves nothing to hand over.
        if (status_.empty()) return false;
        out = status_.front().report;
        status_.pop_front();
        return true;
    }
    return false;
}

bool SimulatedAdapter::takeData(std::int64_t nowMs, Report& out) {
    settle(nowMs);
    if (goneUntil_ >= 0 || data_.empty() || data_.front().at > nowMs) return false;
    out = data_.front().report;
    data_.pop_front();
    return true;
}

void SimulatedAdapter::handOverAcks(std::int64_t nowMs) {
    Report r{};
    std::copy(acks_.begin(), acks_.end(), r.begin() + 1);
    const Command kind = passKind_;
    acks_.clear();
    acksSinceHandOver_ = 0;
    Faults& f = config_.faults;
    if (fire(f.noReply, kind)) return;
    status_.push_back({nowMs, r});
}

bool SimulatedAdapter::tryAuthentication(const Report& r, std::int64_t nowMs) {
    using namespace isp;
    std::uint32_t w[kAuthGroups];
    for (unsigned g = 0; g < kAuthGroups; ++g)
        w[g] = le32(r.data() + authGroupAt(g));
    const unsigned seedGroup = (w[kAuthSeedWord] >> kAuthSeedShift) & kAuthGroupMask;
    if (seedGroup == kAuthSeedWord) return false;
    const unsigned keyGroup = (w[seedGroup] >> kAuthKeyShift) & kAuthGroupMask;
    if (keyGroup == kAuthSeedWord || keyGroup == seedGroup) return false;
    std::array<std::uint8_t, 4> key{};
    for (int i = 0; i < 4; ++i) {
        key[i] = r[authGroupAt(keyGroup) + i] ^ kLinkMaskIndex[4 + i];
        if (key[i] == 0) return false;
    }
    bool found = false;
    for (unsigned m = 0; m < kAuthGroups && !found; ++m) {
        if (m == kAuthSeedWord || m == seedGroup || m == keyGroup) continue;
        found = true;
        for (int i = 0; i < 4; ++i)
            if ((r[authGroupAt(m) + i] ^ kLinkMaskIndex[i]) != key[i]) found = false;
    }
    if (!found) return false;
    note(Command::Auth, "");
    if (fire(config_.faults.noReply, Command::Auth)) return true;
    rolling_ = true;
    rollingKey_ = key;
    seedA_ = static_cast<std::uint16_t>(w[seedGroup] & 0xFFFF);
    seedB_ = static_cast<std::uint16_t>(w[seedGroup] >> 16);
    reply(Command::Auth, isp::kReplyOkText, nowMs);
    return true;
}

// The loader's side of the rolling key, written apart from the tool's
// (isp::Session::scramble and isp::rollKey) on purpose: it is the check that
// the tool scrambles as the loader descrambles, which one shared routine
// would agree with whatever it did.
void SimulatedAdapter::descramble(Report& r) {
    if (!rolling_) return;
    for (int g = 0; g < 16; ++g) {
        for (int i = 0; i < 4; ++i)
            r[1 + 4 * g + i] ^= rollingKey_[i];
        std::uint16_t k = isp::crc16(seedA_, rollingKey_.data(), 2);
        rollingKey_[0] = static_cast<std::uint8_t>(k & 0xFF);
        rollingKey_[1] = static_cast<std::uint8_t>(k >> 8);
        k = isp::crc16(seedB_, rollingKey_.data() + 2, 2);
        rollingKey_[2] = static_cast<std::uint8_t>(k & 0xFF);
        rollingKey_[3] = static_cast<std::uint8_t>(k >> 8);
    }
}

bool SimulatedAdapter::crcValid(const Report& r, bool allowUnkeyed) const {
    Report copy = r;
    copy[isp::kCrcAt] = copy[isp::kCrcAt + 1] = 0;
    const std::uint16_t plain = isp::crc16(0, copy.data() + 1, 64);
    const std::uint16_t keyed =
        isp::crc16(plain, config_.commandKey.data(), static_cast<int>(config_.commandKey.size()));
    const std::uint16_t got =
        static_cast<std::uint16_t>(r[isp::kCrcAt] | (r[isp::kCrcAt + 1] << 8));
    return got == keyed || (allowUnkeyed && got == plain);
}

bool SimulatedAdapter::receive(const std::uint8_t* bytes, std::size_t length, std::int64_t nowMs) {
    settle(nowMs);
    if (goneUntil_ >= 0 || length != config_.reportLength) return false;
    Faults& f = config_.faults;
    if (f.vanishAfterWrites >= 0 && writes_ >= f.vanishAfterWrites) {
        note(Command::Unknown, "vanished");
        const std::int64_t away = f.vanishForMs;
        if (f.once) f.vanishAfterWrites = -1;
        leaveBus(nowMs, away, Mode::Loader);
        return false;
    }
    ++writes_;
    Report r{};
    std::memcpy(r.data(), bytes, std::min(length, r.size()));
    if (mode_ == Mode::Loader && !rolling_ && tryAuthentication(r, nowMs)) return true;
    if (mode_ == Mode::Loader && !rolling_ && !config_.plainCommands &&
        r[isp::kCodeAt] != isp::code::kReady) {
        note(classify(r[isp::kCodeAt], r[isp::kOptionAt]), "ignored before a session");
        return true;
    }
    descramble(r);
    dispatch(r, nowMs);
    return true;
}

void SimulatedAdapter::dispatch(const Report& r, std::int64_t nowMs) {
    const Command c = classify(r[isp::kCodeAt], r[isp::kOptionAt]);
    if (c != Command::Program && c != Command::Verify) passReports_ = 0;
    if (c == Command::Ready) {
        note(c, "");
        reply(c, isp::kReplyOkText, nowMs);
        return;
    }
    if (mode_ == Mode::Application) {
        applicationCommand(c, r, nowMs);
        return;
    }
    const bool crcOk = crcValid(r, false);
    if (c == Command::Program || c == Command::Verify) {
        transfer(r, c == Command::Program, crcOk, nowMs);
        return;
    }
    if (!crcOk) {
        note(c, "refused: frame CRC");
        if (c != Command::Reset && c != Command::Exit) reply(c, kRefused, nowMs);
        return;
    }
    const std::uint32_t p0 = le32(r.data() + isp::kFirstParameterAt);
    const std::uint32_t p1 = le32(r.data() + isp::kSecondParameterAt);
    if (fire(config_.faults.powerLoss, c)) {
        powerLost(c, p0, p1, nowMs);
        return;
    }
    switch (c) {
    case Command::Info:
        return onInfo(nowMs);
    case Command::Reset:
        return onReset(r[isp::kOptionAt] == isp::option::kToLoader, nowMs);
    case Command::Exit:
        return note(c, "");
    case Command::MassErase:
        note(c, "");
        std::memset(flash_.data() + config_.loaderSize, 0xFF, flash_.size() - config_.loaderSize);
        return reply(c, isp::kReplyOkText, nowMs);
    case Command::PageErase:
        note(c, hex32(p0) + "~" + hex32(p1));
        return reply(c,
                     !listedAt(config_.faults.failAt, c, p0) && eraseRange(p0, p1)
                         ? isp::kReplyOkText
                         : isp::kReplyFailedText,
                     nowMs);
    case Command::BlankCheck:
        return onBlankCheck(p0, p1, nowMs);
    case Command::Read:
        return onRead(p0, p1, nowMs);
    case Command::Digest:
        return onDigest(r, p0, p1, nowMs);
    case Command::User:
        return onUser(r, nowMs);
    default:
        note(c, "unknown command");
        return reply(c, kRefused, nowMs);
    }
}

void SimulatedAdapter::applicationCommand(Command c, const Report& r, std::int64_t nowMs) {
    // The application knows only the way into its loader, with a plain or a
    // keyed CRC.
    if (c == Command::Reset && crcValid(r, true)) {
        const bool toLoader = r[isp::kOptionAt] == isp::option::kToLoader;
        note(c, toLoader ? "to loader" : "to application");
        leaveBus(nowMs, goneForGood() ? kForever : config_.reenumerateMs,
                 toLoader ? Mode::Loader : Mode::Application);
    } else {
        note(c, "refused by the application");
        if (c != Command::Reset && c != Command::Exit) reply(c, kRefused, nowMs);
    }
}

void SimulatedAdapter::onInfo(std::int64_t nowMs) {
    note(Command::Info, "");
    Report d{};
    for (int i = 0; i < 5; ++i)
        putLe32(d.data() + 1 + 4 * i, infoWord(i));
    queueData(d, nowMs);
    reply(Command::Info, isp::kReplyOkText, nowMs);
}

void SimulatedAdapter::onReset(bool toLoader, std::int64_t nowMs) {
    Mode next = Mode::Loader;
    if (!toLoader) {
        const std::uint8_t* vector = memory(config_.appStart, 4, false);
        const bool appValid = vector != nullptr && le32(vector) != 0xFFFFFFFF;
        next = appValid && !config_.faults.returnInLoader ? Mode::Application : Mode::Loader;
        if (config_.faults.once) config_.faults.returnInLoader = false;
    }
    note(Command::Reset, toLoader ? "to loader" : "to application");
    leaveBus(nowMs, goneForGood() ? kForever : config_.reenumerateMs, next);
}

void SimulatedAdapter::onBlankCheck(std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs) {
    note(Command::BlankCheck, hex32(p0) + "~" + hex32(p1));
    // A range outside the memory is not blank: there is nothing to check.
    const std::uint64_t n = rangeLength(p0, p1);
    const std::uint8_t* m = memory(p0, n, false);
    const bool blank = m && std::all_of(m, m + n, [](std::uint8_t b) { return b == 0xFF; });
    reply(Command::BlankCheck, blank ? isp::kReplyOkText : isp::kReplyFailedText, nowMs);
}

void SimulatedAdapter::onRead(std::uint32_t p0, std::uint32_t p1, std::int64_t nowMs) {
    note(Command::Read, hex32(p0) + "~" + hex32(p1));
    // Whole data reports from memory that exists; anything else is refused
    // before a single report is queued.
    const std::uint64_t n = rangeLength(p0, p1);
    const std::uint8_t* m = n % 64 == 0 ? memory(p0, n, false) : nullptr;
    if (!m || listedAt(config_.faults.failAt, Command::Read, p0))
        return reply(Command::Read, isp::kReplyFailedText, nowMs);
    for (std::uint64_t off = 0; off < n; off += 64) {
        Report d{};
        std::memcpy(d.data() + 1, m + off, 64);
        queueData(d, nowMs);
    }
    reply(Command::Read, isp::kReplyOkText, nowMs);
}

void SimulatedAdapter::onDigest(const Report& r, std::uint32_t p0, std::uint32_t p1,
                                std::int64_t nowMs) {
    const std::uint16_t value = digestOf(p0, p1);
    lastDigest_ = value;
    lastDigestMatched_ = r[isp::kDataAt] == (value & 0xFF) && r[isp::kDataAt + 1] == (value >> 8);
    note(Command::Digest, hex32(p0) + " +" + std::to_string(p1) +
                              (lastDigestMatched_ ? " matches" : " does not match"));
    Report d{};
    d[1] = static_cast<std::uint8_t>(value & 0xFF);
    d[2] = static_cast<std::uint8_t>(value >> 8);
    // The text after the value says whether it matched the expected digest.
    d[3] = lastDigestMatched_ ? isp::kReplyOk : isp::kReplyFailed;
    reply(Command::Digest, "", nowMs, d);
}

void SimulatedAdapter::onUser(const Report& r, std::int64_t nowMs) {
    const std::uint8_t code = r[isp::kCodeAt];
    note(Command::User, "code " + std::to_string(code));
    if (code != isp::code::kFirstUser)
        return reply(Command::User, code == 0x51 ? isp::kReplyOkText : isp::kReplyFailedText,
                     nowMs);
    // Echo: option n data reports, each the 60 parameter bytes with a running
    // number, then a status.
    for (int i = 0; i < r[isp::kOptionAt]; ++i) {
        Report d{};
        d[1] = static_cast<std::uint8_t>(i + 1);
        std::memcpy(d.data() + 2, r.data() + isp::kFirstParameterAt, isp::kUserBytes);
        queueData(d, nowMs);
    }
    reply(Command::User, isp::kReplyOkText, nowMs);
}

void SimulatedAdapter::powerLost(Command c, std::uint32_t p0, std::uint32_t p1,
                                 std::int64_t nowMs) {
    note(c, "power lost");
    // An erase stops half-way: the first half of its pages are erased, the
    // rest still hold what they held.
    if (c == Command::MassErase) {
        const std::size_t from = config_.loaderSize;
        std::memset(flash_.data() + from, 0xFF, (flash_.size() - from) / 2);
    } else if (c == Command::PageErase && p1 >= p0) {
        const std::uint32_t half = p0 + (p1 - p0) / 2;
        eraseRange(p0, std::max(p0, half));
    }
    leaveBus(nowMs, config_.faults.vanishForMs, Mode::Loader);
}

void SimulatedAdapter::transfer(const Report& r, bool program, bool crcOk, std::int64_t nowMs) {
    const Command c = program ? Command::Program : Command::Verify;
    if (passKind_ != c) passReports_ = 0;
    passKind_ = c;
    ++passReports_;
    const std::uint32_t first = le32(r.data() + isp::kFirstParameterAt);
    const std::uint32_t last = le32(r.data() + isp::kSecondParameterAt);
    if (listedAt(config_.faults.vanishAt, c, first)) {
        note(c, hex32(first) + " cable pulled");
        leaveBus(nowMs, config_.faults.vanishForMs, Mode::Loader);
        return;
    }
    bool ok = crcOk && last >= first && last - first < isp::kChunkBytes;
    const std::uint32_t k = ok ? last - first + 1 : 0;
    std::set<int>& failing =
        program ? config_.faults.failProgramReports : config_.faults.failVerifyReports;
    if (ok && failing.count(passReports_)) {
        ok = false;
        if (config_.faults.once) failing.erase(passReports_);
    }
    if (ok && listedAt(config_.faults.failAt, c, first)) ok = false;
    if (ok) {
        std::uint8_t* m = memory(first, k, program);
        if (!m) {
            ok = false;
        } else if (program) {
            // NOR flash: programming only clears bits, so unerased cells fail.
            for (std::uint32_t i = 0; i < k; ++i) {
                m[i] &= r[isp::kDataAt + i];
                if (m[i] != r[isp::kDataAt + i]) ok = false;
            }
        } else {
            ok = std::memcmp(m, r.data() + isp::kDataAt, k) == 0;
        }
    }
    if (passReports_ == 1 || !ok)
        note(c, hex32(first) + (ok ? "" : " failed") + (passReports_ == 1 ? " (pass start)" : ""));
    acks_.push_back(ok ? isp::kReplyOk : isp::kReplyFailed);
    if (++acksSinceHandOver_ == static_cast<int>(kAckHandOver)) handOverAcks(nowMs);
}

} // namespace adapter
