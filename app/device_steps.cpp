#include "app/device_steps.h"

#include "app/console.h"
#include "app/udev_rule.h"

#include "image/program.h"
#include "image/trailer.h"
#include "isp/bytes.h"
#include "isp/isp.h"
#include "platform/clock.h"
#include "platform/hid.h"
#include "platform/interrupt.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

namespace app {

namespace {

constexpr int kInformationAttempts = 20;

// Information item kinds.
constexpr int kItemProbe = 0;
constexpr int kItemFlashSize = 1;
constexpr int kItemLoader = 4;
constexpr int kItemApStart = 6;
constexpr int kItemVersionRecord = 8;

} // namespace

std::u16string addressRange(const char* format, std::uint32_t start, std::uint32_t end) {
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(start),
                  static_cast<unsigned>(end));
    return platform::ascii(text);
}

AdapterState& adapterState() {
    static AdapterState state;
    return state;
}

void resetAdapterState() { adapterState() = AdapterState{}; }

bool interrupted() { return platform::interruptRequested(); }

void pause(std::int64_t ms) {
    constexpr std::int64_t kSlice = 100;
    for (std::int64_t left = ms; left > 0 && !interrupted(); left -= kSlice)
        platform::sleepMs(std::min(left, kSlice));
}

void finishAttempt(std::int64_t startedMs) {
    const std::int64_t left = startedMs + kAttemptPeriodMs - platform::clockMs();
    if (left > 0) platform::sleepMs(left);
}

namespace {

// Said once on standard error when the device asked for is on the bus but
// this user may not open its node (hidraw nodes are root's by default).
void reportDeniedAccess(std::uint32_t vendorId, std::uint32_t productId) {
    AdapterState& s = adapterState();
    if (s.accessHintGiven || consoleSettings().silentMode) return;
    for (const platform::hid::DeniedDevice& d : platform::hid::bus().deniedDevices()) {
        if (d.identity.vendorId != vendorId || d.identity.productId != productId) continue;
        s.accessHintGiven = true;
        const image::ProgramData& p = image::program();
        platform::writeStandardError(platform::utf8ToUtf16(
            d.path + " is the adapter, but this user may not open it. A udev rule gives " +
            "the user logged in at this machine's seat access; install it and plug the " +
            "adapter in again:\n" +
            udevRule(p.apVendorId, p.apProductId, p.iapVendorId, p.iapProductId) +
            "(written by: brisklink-pack udev-rule <this updater> > "
            "/etc/udev/rules.d/70-brisklink.rules)\n"
            "Used over ssh or without a desktop login, give a group access instead "
            "(brisklink-pack udev-rule --group NAME <this updater>) and add the user to it.\n"));
        return;
    }
}

} // namespace

bool deviceAnswers(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t usageSelector) {
    const bool answered =
        ISP_IsConnectedToDevice(static_cast<int>(vendorId), static_cast<int>(productId),
                                static_cast<int>(usageSelector)) != 0;
    if (!answered) reportDeniedAccess(vendorId, productId);
    return answered;
}

bool readInformation(int kind, std::u16string& text) {
    // 256 bytes, more than any item needs; the byte count is not relied on,
    // the text ends at its terminator.
    std::uint16_t buffer[128] = {};
    int bytes = 0;
    if (ISP_GetInformation(kind, buffer, &bytes) != 0) return false;
    text.clear();
    for (std::uint16_t unit : buffer) {
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return true;
}

std::int32_t decimalValue(const std::u16string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        // Saturate like the runtime does instead of overflowing.
        if (value > std::numeric_limits<std::int32_t>::max()) {
            return negative ? std::numeric_limits<std::int32_t>::min()
                            : std::numeric_limits<std::int32_t>::max();
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

bool readVersionLength(std::uint32_t address, std::uint32_t& length) {
    std::uint8_t bytes[4];
    if (ISP_ReadData(address, address + 3, bytes) != 0) return false;
    length = isp::le32(bytes);
    return true;
}

bool readVersionText(std::uint32_t address, std::uint32_t length, std::u16string& text) {
    length = std::min(length, kMaxVersionBytes);
    if (length == 0) {
        text.clear();
        return true;
    }
    // A read needs a start below its end, so a one-byte text is read as two
    // bytes and cut again.
    const std::uint32_t readBytes = std::max<std::uint32_t>(length, 2);
    std::uint8_t bytes[kMaxVersionBytes] = {};
    if (ISP_ReadData(address + 4, address + 3 + readBytes, bytes) != 0) return false;
    text =
        platform::fromAnsiCodePage(std::string_view(reinterpret_cast<const char*>(bytes), length));
    return true;
}

bool readAdapterInformation(AdapterState& s, const std::function<void(const char*)>& failed,
                            AdapterReadNotes& notes) {
    std::u16string item;
    bool probed = false;
    for (int attempt = 0; attempt < kInformationAttempts && !probed && !interrupted(); ++attempt) {
        probed = readInformation(kItemProbe, item);
        if (!probed) failed("ISP_GetInformation 0\t-->Fail\n");
    }
    notes.probeFailed = !probed;
    if (!probed) return false;
    s.deviceDescription = u"USB, " + item;

    // One item into `item`; an item that does not come is told with its text,
    // an interrupted run reads no further.
    auto read = [&](int kind, const char* failText) {
        if (interrupted()) return false;
        if (readInformation(kind, item)) return true;
        failed(failText);
        return false;
    };
    if (!read(kItemLoader, "ISP_GetInformation 4\t-->Fail\n")) return false;
    s.loaderVersion = item;
    s.deviceDescription += u", " + item;
    const std::u16string kind = item.substr(0, 3);
    if (kind == u"IAP")
        s.iapLoader = 1;
    else if (kind == u"ISP")
        s.iapLoader = 0;
    else
        return false;

    if (!read(kItemFlashSize, "ISP_GetInformation 1\t-->Fail\n")) return false;
    s.chipFlashSize = static_cast<std::uint32_t>(decimalValue(item));

    if (!read(kItemApStart, "ISP_GetInformation IAP_START_ADDR\t-->Fail\n")) return false;
    s.apStartAddress = static_cast<std::uint32_t>(decimalValue(item));

    // Without item 8 the record is still read where the last connection
    // found it, and the connection counts as incomplete.
    const bool complete = read(kItemVersionRecord, "ISP_GetInformation AP_VER\t-->Fail\n");
    if (complete) s.versionRecordAddress = static_cast<std::uint32_t>(decimalValue(item));

    s.versionEnd = s.versionRecordAddress + 3;
    std::uint32_t length = s.versionLength;
    if (interrupted()) return false;
    const bool lengthRead = readVersionLength(s.versionRecordAddress, length);
    if (length == 0xFFFFFFFFu) {
        // Erased: no version. The next update erases the longest record.
        s.versionLength = kMaxVersionBytes;
        s.versionEnd = s.versionRecordAddress + 3 + kMaxVersionBytes;
        s.chipVersion = u"NA";
        notes.versionRead = true;
    } else {
        length = std::min(length, kMaxVersionBytes);
        s.versionLength = length;
        s.versionEnd = s.versionRecordAddress + 3 + length;
        std::u16string text;
        if (!readVersionText(s.versionRecordAddress, length, text)) return false;
        s.chipVersion = text;
        notes.versionRead = true;
    }
    return complete && lengthRead;
}

std::u16string upperAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

namespace {

// The record's text bytes: the ANSI form, at most 128 bytes.
std::string recordTextBytes(const std::u16string& version) {
    std::string text = platform::toAnsiCodePage(version);
    if (text.size() > kMaxVersionBytes) text.resize(kMaxVersionBytes);
    return text;
}

} // namespace

std::u16string storedVersionText(const std::u16string& version) {
    return platform::fromAnsiCodePage(recordTextBytes(version));
}

bool updateNotNewer(const std::u16string& exeVersion, const std::u16string& chipVersion) {
    const std::u16string chip = upperAscii(chipVersion);
    if (chip == u"NA") return false;
    return !(upperAscii(storedVersionText(exeVersion)) > chip);
}

std::uint32_t wordEnd(std::uint32_t start, std::uint32_t bytes) {
    return ((start + bytes + 3) & ~std::uint32_t{3}) - 1;
}

std::vector<std::uint8_t> wordPaddedBuffer(std::uint32_t bytes) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(bytes) + 3, 0xFF);
}

UpdateImages& updateImages() {
    static UpdateImages images;
    return images;
}

bool prepareUpdateImages() {
    const image::ProgramData& p = image::program();
    UpdateImages& images = updateImages();
    images = UpdateImages{};
    const std::uint32_t internalSize = p.internalImageSize();
    const std::uint32_t externalSize = p.externalImageSize();
    // Sizes that do not fit in the file are refused before anything is
    // allocated.
    if (!image::imagesFit(image::programPath(), image::processTrailer(), internalSize,
                          externalSize))
        return false;
    try {
        images.internal = wordPaddedBuffer(internalSize);
        images.external = wordPaddedBuffer(externalSize);
    } catch (const std::bad_alloc&) {
        images = UpdateImages{};
        return false;
    }
    images.ready = GetImage(static_cast<int>(internalSize), static_cast<int>(externalSize),
                            images.internal.data(), images.external.data()) == 1;
    return images.ready;
}

std::vector<std::uint8_t> versionRecord(const std::u16string& version) {
    const std::string text = recordTextBytes(version);
    std::vector<std::uint8_t> record(4 + kMaxVersionBytes + 4, 0xFF);
    isp::putLe32(record.data(), static_cast<std::uint32_t>(text.size()));
    std::copy(text.begin(), text.end(), record.begin() + 4);
    return record;
}

bool claimAdapter(std::u16string* refusal) {
    // One per process, held to its end; the system gives it up if the
    // process dies half-way.
    static platform::MachineLock lock;
    const std::string name = platform::hid::bus().sharedName();
    if (name.empty()) return true;
    std::string detail;
    const platform::LockResult result = lock.tryAcquire(name, &detail);
    if (result == platform::LockResult::Held) return true;
    if (result == platform::LockResult::Busy) {
        if (refusal) *refusal = kAdapterBusyText;
        if (!detail.empty() && !consoleSettings().silentMode)
            platform::writeStandardError(
                platform::utf8ToUtf16("The adapter's lock is held by " + detail + ".\n"));
    } else if (refusal) {
        *refusal = platform::utf8ToUtf16(
            "The lock that keeps a second updater off the adapter could not be taken (" + detail +
            "). Nothing was sent to the adapter.");
    }
    return false;
}

} // namespace app
