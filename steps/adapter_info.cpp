#include "steps/adapter_info.h"

#include "isp/bytes.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>

namespace steps {

namespace {

constexpr int kInformationAttempts = 20;

// Information item kinds.
constexpr int kItemProbe = 0;
constexpr int kItemFlashSize = 1;
constexpr int kItemLoader = 4;
constexpr int kItemApStart = 6;
constexpr int kItemVersionRecord = 8;

} // namespace

bool readInformation(isp::Session& session, int kind, std::u16string& text) {
    // 256 bytes, more than any item needs; the byte count is not relied on,
    // the text ends at its terminator.
    std::uint16_t buffer[128] = {};
    int bytes = 0;
    // Item 6's application start is the area that a mass erase and the
    // digest check then name.
    if (session.getInformationStoringArea(kind, buffer, &bytes) != 0) return false;
    text.clear();
    for (std::uint16_t unit : buffer) {
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return true;
}

bool readVersionLength(isp::Session& session, std::uint32_t address, std::uint32_t& length) {
    std::uint8_t bytes[4];
    if (session.readData(address, address + 3, bytes) != 0) return false;
    length = isp::le32(bytes);
    return true;
}

bool readVersionText(isp::Session& session, std::uint32_t address, std::uint32_t length,
                     std::u16string& text) {
    length = std::min(length, kMaxVersionBytes);
    if (length == 0) {
        text.clear();
        return true;
    }
    // A read needs a start below its end, so a one-byte text is read as two
    // bytes and cut again.
    const std::uint32_t readBytes = std::max<std::uint32_t>(length, 2);
    std::uint8_t bytes[kMaxVersionBytes] = {};
    if (session.readData(address + 4, address + 3 + readBytes, bytes) != 0) return false;
    text =
        platform::fromAnsiCodePage(std::string_view(reinterpret_cast<const char*>(bytes), length));
    return true;
}

bool readAdapterInformation(Run& run, FrontEnd& face, AdapterReadNotes& notes) {
    AdapterState& s = run.state;
    isp::Session& session = run.session;
    auto failed = [&run, &face](int kind) { tell(run, face, {Event::ItemFailed, kind}); };
    auto interrupted = [&face] { return face.stopRequested(); };
    std::u16string item;
    bool probed = false;
    for (int attempt = 0; attempt < kInformationAttempts && !probed && !interrupted(); ++attempt) {
        probed = readInformation(session, kItemProbe, item);
        if (!probed) failed(kItemProbe);
    }
    notes.probeFailed = !probed;
    if (!probed) return false;
    s.deviceDescription = u"USB, " + item;

    // One item into `item`; an item that does not come is told with its text,
    // an interrupted run reads no further.
    auto read = [&](int kind) {
        if (interrupted()) return false;
        if (readInformation(session, kind, item)) return true;
        failed(kind);
        return false;
    };
    if (!read(kItemLoader)) return false;
    s.loaderVersion = item;
    s.deviceDescription += u", " + item;
    const std::u16string kind = item.substr(0, 3);
    if (kind == u"IAP")
        s.iapLoader = 1;
    else if (kind == u"ISP")
        s.iapLoader = 0;
    else
        return false;

    if (!read(kItemFlashSize)) return false;
    s.chipFlashSize = static_cast<std::uint32_t>(decimalValue(item));

    if (!read(kItemApStart)) return false;
    s.apStartAddress = static_cast<std::uint32_t>(decimalValue(item));

    // Without item 8 the record is still read where the last connection
    // found it, and the connection counts as incomplete.
    const bool complete = read(kItemVersionRecord);
    if (complete) {
        s.versionRecordAddress = static_cast<std::uint32_t>(decimalValue(item));
        s.versionRecordKnown = true;
    }
    // No connection has told where the record is: reading at address 0
    // would take the loader's first bytes for a version.
    if (!s.versionRecordKnown) return false;

    s.versionEnd = s.versionRecordAddress + 3;
    std::uint32_t length = s.versionLength;
    if (interrupted()) return false;
    const bool lengthRead = readVersionLength(session, s.versionRecordAddress, length);
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
        if (!readVersionText(session, s.versionRecordAddress, length, text)) return false;
        s.chipVersion = text;
        notes.versionRead = true;
    }
    return complete && lengthRead;
}

} // namespace steps
