// The adapter's report protocol, named once for the tool and the simulated
// adapter: the layout of a 65-byte report and the command codes with their
// options. The table in docs/adapter.md says the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace isp {

inline constexpr std::size_t kReportSize = 65;
using Report = std::array<std::uint8_t, kReportSize>;

// Byte offsets in a command report. Byte 0 is the report ID (always 0); the
// 64 bytes after it are what the CRC covers and what the rolling key
// scrambles.
inline constexpr std::size_t kReportIdAt = 0;
inline constexpr std::size_t kCodeAt = 1;
inline constexpr std::size_t kOptionAt = 2;
inline constexpr std::size_t kCrcAt = 3; // low byte, then high byte
inline constexpr std::size_t kFirstParameterAt = 5;
inline constexpr std::size_t kSecondParameterAt = 9;
inline constexpr std::size_t kDataAt = 13;
// Bytes of image data in one program or verify report.
inline constexpr std::size_t kChunkBytes = 52;
// The adapter acknowledges every this many program or verify reports.
inline constexpr int kAckEvery = 60;

// A user command's caller bytes: from the first parameter to the end.
inline constexpr std::size_t kUserBytes = kReportSize - kFirstParameterAt;

// The adapter's default identities and the vendor-defined usage page base
// (the page is the base plus the identity's selector).
inline constexpr std::uint16_t kDefaultVendorId = 0x3F27;
inline constexpr std::uint16_t kDefaultApplicationProductId = 0x1004;
inline constexpr std::uint16_t kDefaultLoaderProductId = 0x1005;
inline constexpr std::int32_t kVendorUsagePageBase = 0xFF00;

// The authentication report: bytes 1-64 as 16 groups of one little-endian
// word. Bits 19-22 of word kAuthSeedWord name the group that holds the two
// rolling-key seeds; bits 21-24 of that group name the group that holds the
// rolling key XOR the link mask's second half; one other group (neither of
// these nor kAuthSeedWord) holds the key XOR the mask's first half.
inline constexpr unsigned kAuthGroups = 16;
inline constexpr unsigned kAuthSeedWord = 7;
inline constexpr unsigned kAuthSeedShift = 19;
inline constexpr unsigned kAuthKeyShift = 21;
inline constexpr std::uint32_t kAuthGroupMask = 0xF;
inline constexpr std::size_t authGroupAt(unsigned group) { return 1 + 4 * std::size_t{group}; }

// Command codes (byte 1) and the options (byte 2) that select within one.
namespace code {
inline constexpr std::uint8_t kErase = 0x00;
inline constexpr std::uint8_t kTransfer = 0x01;
inline constexpr std::uint8_t kDigest = 0x02;
inline constexpr std::uint8_t kInformation = 0x03;
inline constexpr std::uint8_t kReset = 0x04;
inline constexpr std::uint8_t kExit = 0x05;
// Codes from here up are the caller's own commands.
inline constexpr std::uint8_t kFirstUser = 0x50;
inline constexpr std::uint8_t kReady = 0xFF;
} // namespace code

namespace option {
// kErase
inline constexpr std::uint8_t kPageErase = 0x08;
inline constexpr std::uint8_t kMassErase = 0x0A;
// kTransfer
inline constexpr std::uint8_t kVerify = 0x00;
inline constexpr std::uint8_t kProgram = 0x01;
inline constexpr std::uint8_t kRead = 0x02;
inline constexpr std::uint8_t kBlankCheck = 0x03;
// kReset
inline constexpr std::uint8_t kToApplication = 0x00;
inline constexpr std::uint8_t kToLoader = 0x01;
} // namespace option

// The one-letter replies: "O" done, "F" failed (also: ready, in a session).
inline constexpr char kReplyOk = 'O';
inline constexpr char kReplyFailed = 'F';
inline constexpr const char* kReplyOkText = "O";
inline constexpr const char* kReplyFailedText = "F";
inline bool isReplyOk(const std::string& text) { return text.size() == 1 && text[0] == kReplyOk; }
inline bool isReplyFailed(const std::string& text) {
    return text.size() == 1 && text[0] == kReplyFailed;
}

// A status command of the erase family: its code and option, whether it
// carries an address range, its reply time-out and its log label.
struct StatusCommand {
    std::uint8_t code;
    std::uint8_t option;
    bool withRange;
    std::int64_t limitSeconds;
    const char* label;
};

// The non-zero bytes of a reply after its report ID, as text.
inline std::string replyText(const Report& report) {
    std::string text;
    for (std::size_t i = 1; i < report.size(); ++i)
        if (report[i] != 0) text.push_back(static_cast<char>(report[i]));
    return text;
}

} // namespace isp
