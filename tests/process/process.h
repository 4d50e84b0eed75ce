// Runs the real binaries from the tests and packs updaters for them.
#pragma once

#include "tests/support/random_bytes.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// Every operation the updater exports by name.
inline constexpr const char* kExportedNames[] = {"GetProgramInfo",
                                                 "GetImageInfo",
                                                 "GetImage",
                                                 "CRYPT_SetCommandKey",
                                                 "CRYPT_EnableCommandKey",
                                                 "ISP_IsConnectedToDevice",
                                                 "ISP_CloseSerialPortConnect",
                                                 "ISP_SetupSerialPortConnection",
                                                 "ISP_GetTransProgress",
                                                 "ISP_GetUserData",
                                                 "ISP_GetUserResult",
                                                 "ISP_GetLibraryLog",
                                                 "ISP_Execute",
                                                 "ISP_Exit",
                                                 "ISP_Reset",
                                                 "ISP_ResetToIAP",
                                                 "ISP_GetInformation",
                                                 "ISP_SendAuthentication",
                                                 "ISP_SendUserCmd",
                                                 "ISP_EraseMass",
                                                 "ISP_ErasePage",
                                                 "ISP_BlankCheck",
                                                 "ISP_WriteProgramB",
                                                 "ISP_ReadData",
                                                 "ISP_CRCCheck"};

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `argv` with standard input empty and standard output and error read
// into the result. With BRISKLINK_TEST_STDERR_TERMINAL set, standard error
// is a pseudo-terminal, as in `runWithTerminalStderr`.
ProcessResult run(const std::vector<std::string>& argv);
// Standard error on a pseudo-terminal (what the terminal received, in
// `err`), standard output on a pipe as always.
ProcessResult runWithTerminalStderr(const std::vector<std::string>& argv);
ProcessResult run(const std::vector<std::string>& argv, bool terminalStderr);

// A fresh directory for one test, removed when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void appendFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// brisklink-pack build with the usual identities and `extra` options; the
// result must be exit code 0.
std::filesystem::path packUpdater(const TempDir& dir, const std::string& updater,
                                  const std::string& version,
                                  const std::vector<std::string>& extra = {},
                                  const std::string& name = "packed");

// The identities and command key of the emulated adapter in the update tests.
inline constexpr const char* kEmuAp = "1D50:6190:01";
inline constexpr const char* kEmuIap = "1D50:6191:02";
inline constexpr const char* kEmuKeyHex = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";

// `updater` (IAP-emu or IAP-emu.exe) packed as dir/name with `internal`,
// `external` at 0x90000000, the identities and key above, and the digest
// that brisklink-pack computes for the application area (0x2000 to 0x7FFF).
std::filesystem::path packForEmulator(const TempDir& dir, const std::string& updater,
                                      const std::string& version,
                                      const std::vector<std::uint8_t>& internal,
                                      const std::vector<std::uint8_t>& external,
                                      const std::string& name);

bool haveCommand(const std::string& name);

// A process that runs beside the test, its standard output read line by line.
class Background {
  public:
    // With `input`, its standard input is a pipe that `send` writes to.
    explicit Background(const std::vector<std::string>& argv, bool input = false);
    ~Background();
    void send(const std::string& text);
    // The next line of standard output ("" at its end).
    std::string readLine();
    // Reads lines until one starts with `prefix`; false when none came
    // within `timeoutMs` or the output ended.
    bool waitForLine(const std::string& prefix, int timeoutMs);
    // Waits for the process to end and returns its exit code.
    int wait() { return stop(0); }
    // Sends `signal` and returns the exit code.
    int stop(int signal);
    // Sends `signal` and goes on.
    void signal(int signal);
    // Sends `signal`, reads standard output to its end and returns the exit
    // code; `rest` receives what was still to come.
    int interrupt(int signal, std::string& rest);

  private:
    int pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string pending_;
};

// brisklink-emu on a free port with `args`; sets BRISKLINK_EMULATOR for the
// processes the test starts (and for the test itself).
class Emulator {
  public:
    // With `commands`, it takes "plug K" and the like from `command`.
    explicit Emulator(const std::vector<std::string>& args, bool commands = false);
    void command(const std::string& line) { process_.send(line + "\n"); }
    int stop();
    // Stops it and returns what it printed after its first line (its
    // --verbose command log).
    std::string stopAndReadLog();
    std::uint16_t port() const { return port_; }
    // Writes its dump (with --dump-dir) and heals every fault (SIGUSR1);
    // false when it did not say so within a few seconds.
    bool heal();
    // Lines of its --verbose command log, as they come.
    bool waitForLine(const std::string& prefix, int timeoutMs) {
        return process_.waitForLine(prefix, timeoutMs);
    }

  private:
    Background process_;
    std::uint16_t port_ = 0;
};

} // namespace testing_support
