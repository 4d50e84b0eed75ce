// The link's internal operations, used by the command set.
#pragma once

#include "isp/crc.h"
#include "isp/link_state.h"

#include <string>
#include <string_view>

namespace isp {

// Discovery with the stored match values; 1 when the adapter is open.
int discover();
// 1 when discovery found the adapter; the control commands return 16 otherwise.
int requireDevice();
void closeDevice();
// The adapter is gone or has re-enumerated: forget it, the next command
// finds it again.
void dropLink();
// True for a handle the bus gave out and nobody has closed.
bool isOpen(platform::hid::Handle h);
// False, after taking the link-drop path, when the write handle is not open:
// checked before a report is scrambled, so that a report that cannot leave
// does not move the rolling key on.
bool writableLink();

// A filler byte: 1 to 255, never 0.
std::uint8_t filler();
// Computes and stores bytes 3 and 4 of `report`.
void frameCrc(Report& report, bool keyed = true);
// Scrambles `count` bytes in place with the rolling key stream.
void scramble(std::uint8_t* bytes, int count);
// One step of the rolling key stream, as the loader takes it after each
// four-byte group.
void rollKey(std::array<std::uint8_t, 4>& key, std::uint16_t seedA, std::uint16_t seedB);
int readyCheck();
// Writes `report` (normally outReport); drops the link when the write fails.
int writeCommand(const Report& report);
int writeCommand();
// Polls one reply into inReport; false after `limitSeconds` without one.
bool pollReply(std::int64_t limitSeconds);
// One GET_REPORT into `into` (normally inReport), cleared first; false when
// no report could be had. A removed device drops the link.
bool getInputReport(Report& into);
// One report of the interrupt queue into `into` (cleared first), waiting up
// to 5 s; false when none came. A removed device drops the link.
bool readDataReport(Report& into);
// True once `limitSeconds` have passed since `t0`, or at once when the link
// has been dropped: the end of every reply wait.
bool replyWaitOver(std::int64_t t0, std::int64_t limitSeconds);
std::string replyText(const Report& report);
std::string replyText();

void appendLog(std::u16string_view text);
void appendLog(std::string_view ascii);

} // namespace isp
