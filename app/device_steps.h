// What the connection learns about the adapter, and the device steps that the
// console sequences and the dialog's workers share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace app {

// Process-wide: written by a connection, read by the update that follows. A
// later connection starts from the values an earlier one left.
struct AdapterState {
    std::u16string loaderVersion = u"NA";
    std::int32_t iapLoader = 0;
    std::uint32_t chipFlashSize = 0;
    std::uint32_t apStartAddress = 0;
    std::uint32_t versionRecordAddress = 0;
    std::uint32_t versionLength = 0;
    std::uint32_t versionEnd = 0;
    std::u16string chipVersion = u"NA";
    // "USB, " and the part name, then ", " and the loader kind and version.
    std::u16string deviceDescription;
    // The hint about a device node this user may not open is said once.
    bool accessHintGiven = false;
};

AdapterState& adapterState();
void resetAdapterState();

// The version text holds at most this many bytes.
inline constexpr std::uint32_t kMaxVersionBytes = 128;

// The update's limits, the same in the console and the window.
inline constexpr int kReconnectAttempts = 120;
inline constexpr int kReturnCheckAttempts = 120;
// Before this attempt of the return check, a loader identity on the bus is
// the adapter still on its way out of the loader, not a failed start of the
// application.
inline constexpr int kLoaderCountsFromAttempt = 21;
// Each attempt of a back-to-back search loop lasts at least this long. A
// Windows enumeration takes about that; a hidraw one a few milliseconds,
// and 120 attempts would pass long before a restarted adapter (about a
// second) is back on the bus.
inline constexpr std::int64_t kAttemptPeriodMs = 50;
// Sleeps out the rest of an attempt's period that began at `startedMs`.
void finishAttempt(std::int64_t startedMs);

// The update's status after an image larger than the flash.
inline constexpr int kStatusTooLarge = 7;

// A failure text with a range, such as "Erase AP failed! %08X-%08X".
std::u16string addressRange(const char* format, std::uint32_t start, std::uint32_t end);

// True once the run has been interrupted (Ctrl-C, a closed console window, a
// termination request): the sequences then stop at their next step.
bool interrupted();

// Waits `ms` milliseconds, or less when the run is interrupted meanwhile.
void pause(std::int64_t ms);

// One discovery: true when a device with this identity was found and opened.
bool deviceAnswers(std::uint32_t vendorId, std::uint32_t productId, std::uint32_t usageSelector);

// One information item as text; false when the adapter did not deliver it.
bool readInformation(int kind, std::u16string& text);

// The C runtime's decimal rule: blanks, an optional sign, digits up to the
// first other character; 0 when there are none.
std::int32_t decimalValue(const std::u16string& text);

// Reads the version record's length (false: the read failed; `length` then
// untouched).
bool readVersionLength(std::uint32_t address, std::uint32_t& length);

// Reads `length` (1 to 128) text bytes after the record's length word.
bool readVersionText(std::uint32_t address, std::uint32_t length, std::u16string& text);

// What reading the adapter found out beside its values.
struct AdapterReadNotes {
    // The first item never came in its 20 attempts: a loader that takes no
    // commands.
    bool probeFailed = false;
    // The version record was read (or found erased): chipVersion is new.
    bool versionRead = false;
};

// Reads the adapter's information items and its version record, after the
// authentication, into `s`. Each item that fails is told to `failed` with
// the console's text for it. False takes the failure exit.
bool readAdapterInformation(AdapterState& s, const std::function<void(const char*)>& failed,
                            AdapterReadNotes& notes);

// Upper-cases ASCII letters only, as the version comparison does.
std::u16string upperAscii(std::u16string text);

// The version text as the version record holds it once written: converted to
// the ANSI code page, cut to 128 bytes and read back. A version that the code
// page cannot hold whole, or a longer one, comes back changed.
std::u16string storedVersionText(const std::u16string& version);

// True when the executable's version, in the form the record would hold it,
// is not newer than the adapter's and the adapter has a version at all: the
// update is then skipped. (Compared as written, a version the record cannot
// hold unchanged would never compare equal and every "/p" would update again.)
bool updateNotNewer(const std::u16string& exeVersion, const std::u16string& chipVersion);

// The images an update writes, read from the trailer into word-padded
// buffers. Process-wide, so that the window's transfer workers reach them.
struct UpdateImages {
    bool ready = false;
    std::vector<std::uint8_t> internal;
    std::vector<std::uint8_t> external;
};
UpdateImages& updateImages();

// Reads and checks the images the update will write (the console does it
// before the adapter is touched, so there is nothing to undo when they are
// bad). False when the trailer's sizes do not fit in the file or the read
// fails.
bool prepareUpdateImages();

// Last address (inclusive) of `bytes` bytes from `start`, extended to the end
// of the 4-byte word holding the last byte.
std::uint32_t wordEnd(std::uint32_t start, std::uint32_t bytes);

// A buffer of `bytes` bytes with room for that extension; the extra bytes are
// 0xFF, the value of erased flash, so programming them changes nothing.
std::vector<std::uint8_t> wordPaddedBuffer(std::uint32_t bytes);

// The new version record: a 32-bit little-endian text length, then the text
// in the ANSI code page (at most 128 bytes), then 0xFF up to the word end.
std::vector<std::uint8_t> versionRecord(const std::u16string& version);

// Claims the adapters of the bus for this process until it ends: two
// updaters at once would interleave their reports on one adapter. False
// (nothing sent) when another updater holds them or when the lock cannot be
// taken at all (an unguarded run could meet another on the adapter); then
// `refusal`, when given, is the text to show, and what holds the lock, where
// the system tells, has been said on standard error.
bool claimAdapter(std::u16string* refusal = nullptr);
inline constexpr const char16_t* kAdapterBusyText =
    u"Another updater is using the adapter. Run this one again when it has finished.";

} // namespace app
