// The operating-system layer. Everything above platform/ reaches the system
// only through these functions; one backend folder per system implements them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Called once by the entry point before anything else. Returns false when the
// process cannot be set up (the console front end then reports a fatal error).
bool initProcess(int argc, char** argv);

// The name the program was started by, without its folder (for its usage
// text); empty when the system does not say.
std::string programName();

// The process's arguments after the program name, as UTF-16 text.
std::vector<std::u16string> commandLineArguments();

// A path by which the running executable's file can be opened, in UTF-8
// (Windows: its full module path; Linux: the kernel's link to it, which opens
// whatever the length of the real path). Empty on failure.
std::string executablePath();

// A file opened for binary reading. Offsets are 64-bit so large files work on
// every system.
class InputFile {
  public:
    InputFile() = default;
    explicit InputFile(const std::string& utf8Path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // Size in bytes, or -1 when it cannot be taken.
    std::int64_t size();
    // Reads exactly `count` bytes at `offset`; false on a short read or error.
    bool readAt(std::int64_t offset, void* buffer, std::size_t count);

  private:
    std::FILE* file_ = nullptr;
};

// A journal: a file that lines are only ever appended to. Each line goes to
// the end of the file in one write, whoever else appends to it (another
// updater), and is on the disk when `append` returns; the file is never
// truncated or rewritten. The last path component is not followed through
// a link, and only a regular file is taken.
class JournalFile {
  public:
    JournalFile() = default;
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Opens `utf8Path`, making it when missing; false with `reason`.
    bool open(const std::string& utf8Path, std::string& reason);
    // Appends `line` (its line end included) whole and flushed to the disk,
    // or not at all: a line written only in part is cut back, so the file
    // always ends with a whole line. False with `reason`.
    bool append(const std::string& line, std::string& reason);
    // True while the file open is still the one at the path (not removed,
    // moved away or replaced); false with `reason`.
    bool atPath(std::string& reason) const;
    // Closes the file and opens its path again (after a rotation).
    bool reopen(std::string& reason);
    // True where a rotation is announced by a signal (SIGHUP); elsewhere
    // the file is opened again once its path names another.
    static bool rotatesBySignal();

  private:
    void close();
    std::string path_;
    std::intptr_t handle_ = -1;
};

// Writes `content` as the file `utf8Path`, whole or not at all: into a new
// file beside it (made exclusively, so nothing planted there is followed),
// flushed to the disk, then renamed over the path. A link at the path is
// replaced, never followed. False with `reason`; no partial file is left.
bool writeFileWhole(const std::string& utf8Path, const std::string& content, std::string& reason);

// This machine's name.
std::string hostName();
// The time now in UTC, ISO 8601 to the millisecond ("2026-12-10T19:20:24.123Z").
std::string utcTimeNow();

// Writes UTF-16 text to standard output. A console gets the text as wide
// characters; a pipe or file gets UTF-8 (with CRLF line ends on Windows).
void writeStandardOutput(std::u16string_view text);
// The same for standard error.
void writeStandardError(std::u16string_view text);
// True when standard error is a terminal (a tty, a Windows console) that can
// redraw a line in place.
bool standardErrorIsTerminal();
// True when standard output is a terminal (the one standard error shows on,
// as a rule).
bool standardOutputIsTerminal();
// The size of standard error's terminal in columns and rows, asked anew at
// each call (a window resized is seen at the next); false when it has none.
bool terminalSize(int& columns, int& rows);
// Makes standard error's terminal take the ANSI sequences that move the
// cursor, erase and colour (Windows: the console's virtual-terminal mode);
// false where it cannot.
bool enableTerminalSequences();
// An environment variable's value; empty when it is not set.
std::string environment(const char* name);

// The system's log, where a station's results go beside its journal: a
// syslog socket on Linux (/dev/log, or one given), the Application event
// log on Windows (source "Brisklink"; the socket is not used there).
class SystemLog {
  public:
    SystemLog() = default;
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;
    // False with `reason` when the log cannot be reached.
    bool open(const std::string& socketPath, std::string& reason);
    // One message from program "brisklink", severity info or err; false with
    // `reason` when the log did not take it.
    bool send(bool error, const std::string& utf8Message, std::string& reason);

  private:
    std::string path_;
    std::intptr_t handle_ = -1;
};

// True where the program has a window for its no-argument start (Windows);
// elsewhere it prints its usage instead.
bool hasWindow();

// Takes the console window out of the user's way: a console that belongs to
// this process alone (a double-click opened it) is left, so it closes; one
// shared with a shell stays as it is, since it is the user's.
void leaveConsoleWindow();

// The narrow text of the adapter's version record: the thread's ANSI code page
// on Windows, UTF-8 on Linux. Conversion stops at the first NUL.
std::string toAnsiCodePage(std::u16string_view text);
std::u16string fromAnsiCodePage(std::string_view text);

// Runs `args[0]` (looked up in PATH) with `args` and `input` on its standard
// input; its output goes to this process's. Returns its exit code, or -1
// (with `reason` set) when it cannot be started. For tools only: the
// updater itself starts no programs. `input` must stay below 4 KiB, the
// part of a pipe that is written before the program starts.
// `quiet`: the program's output goes nowhere.
int runProgram(const std::vector<std::string>& args, const std::string& input, std::string& reason,
               bool quiet = false);

// A new directory that only this user may use, for a tool's scratch files;
// empty, with `reason`, where it cannot be made. For tools only.
std::string makePrivateDirectory(std::string& reason);

enum class Trust {
    Verified,   // the signature over the file verifies
    Expired,    // it verifies, but the signer's certificate expired before now (no timestamp)
    Distrusted, // it verifies, but the system distrusts its signer explicitly
    Failed,     // it does not verify
    Unavailable // nobody here can tell
};
struct TrustVerdict {
    Trust trust = Trust::Unavailable;
    std::int64_t expired = 0; // Expired: when (seconds since 1970), 0 when not told
};
// The system's own verdict on whether a file's Authenticode signature
// verifies (the signature over the file, not the signer's trust): Windows'
// WinVerifyTrust, with no UI and no network, which judges the signer's
// certificate at the time of a timestamp where there is one. Unavailable
// where the system has none. For tools only.
TrustVerdict systemSignatureCheck(const std::string& path);

} // namespace platform
