#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {

namespace {

// Standard error on a pseudo-terminal: the master side, and the slave's name.
bool openTerminal(int& master, std::string& slave) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        close(master);
        return false;
    }
    slave = ptsname(master);
    return true;
}

} // namespace

ProcessResult run(const std::vector<std::string>& argv) {
    const char* terminal = std::getenv("BRISKLINK_TEST_STDERR_TERMINAL");
    return terminal != nullptr && *terminal != 0 ? runWithTerminalStderr(argv) : run(argv, false);
}

ProcessResult runWithTerminalStderr(const std::vector<std::string>& argv) {
    return run(argv, true);
}

ProcessResult run(const std::vector<std::string>& argv, bool terminalStderr) {
    ProcessResult result;
    int outPipe[2], errPipe[2];
    std::string slave;
    // Close-on-exec: the child gets the pipes only as its standard output and
    // error, so nothing it starts (Wine's services) keeps a pipe open.
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (terminalStderr ? !openTerminal(errPipe[0], slave) : pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    if (terminalStderr) errPipe[1] = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (terminalStderr)
        posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    if (!terminalStderr) posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    if (errPipe[1] >= 0) close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = "cannot start " + argv[0];
        return result;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brisklink-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void appendFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path packUpdater(const TempDir& dir, const std::string& updater,
                                  const std::string& version, const std::vector<std::string>& extra,
                                  const std::string& name) {
    const auto firmware = dir / (name + "-firmware.bin");
    if (!std::filesystem::exists(firmware)) writeFile(firmware, randomBytes(3000, 7));
    const auto output = dir / name;
    std::vector<std::string> argv = {BRISKLINK_PACK, "build",           "--updater", updater,
                                     "--internal",   firmware.string(), "--version", version,
                                     "--ap",         "1D50:6190:01",    "--iap",     "1D50:6191:02",
                                     "-o",           output.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const ProcessResult packed = run(argv);
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    std::filesystem::permissions(output, std::filesystem::perms::owner_all);
    return output;
}

std::filesystem::path packForEmulator(const TempDir& dir, const std::string& updater,
                                      const std::string& version,
                                      const std::vector<std::uint8_t>& internal,
                                      const std::vector<std::uint8_t>& external,
                                      const std::string& name) {
    writeFile(dir / "internal.bin", internal);
    writeFile(dir / "external.bin", external);
    const auto output = dir / name;
    const auto r = run({BRISKLINK_PACK,
                        "build",
                        "--updater",
                        updater,
                        "--internal",
                        (dir / "internal.bin").string(),
                        "--external",
                        (dir / "external.bin").string(),
                        "--external-address",
                        "0x90000000",
                        "--version",
                        version,
                        "--ap",
                        kEmuAp,
                        "--iap",
                        kEmuIap,
                        "--command-key",
                        kEmuKeyHex,
                        "--digest",
                        "auto",
                        "-o",
                        output.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return output;
}

Background::Background(const std::vector<std::string>& argv, bool input) {
    int pipeFds[2], inFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC) != 0 || (input && pipe2(inFds, O_CLOEXEC) != 0)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, inFds[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    out_ = pipeFds[0];
    if (input) {
        close(inFds[0]);
        in_ = inFds[1];
    }
}

void Background::send(const std::string& text) {
    if (in_ >= 0) (void)!write(in_, text.data(), text.size());
}

Background::~Background() {
    if (pid_ > 0) stop(SIGKILL);
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
}

std::string Background::readLine() {
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        char buffer[256];
        const ssize_t n = out_ >= 0 ? read(out_, buffer, sizeof buffer) : 0;
        if (n <= 0) {
            std::string rest;
            rest.swap(pending_);
            return rest;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

int Background::stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Background::signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

bool Background::waitForLine(const std::string& prefix, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (auto newline = pending_.find('\n'); newline != std::string::npos;
             newline = pending_.find('\n')) {
            const std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (line.rfind(prefix, 0) == 0) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || out_ < 0) return false;
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left)) <= 0) return false;
        char buffer[256];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

int Background::interrupt(int signal, std::string& rest) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    rest.swap(pending_);
    pending_.clear();
    char buffer[256];
    for (ssize_t n; out_ >= 0 && (n = read(out_, buffer, sizeof buffer)) > 0;)
        rest.append(buffer, static_cast<std::size_t>(n));
    return stop(0); // only waits
}

Emulator::Emulator(const std::vector<std::string>& args, bool commands)
    : process_(
          [&] {
              std::vector<std::string> argv = {BRISKLINK_EMU, "--port", "0"};
              if (commands) argv.push_back("--stdin-commands");
              argv.insert(argv.end(), args.begin(), args.end());
              return argv;
          }(),
          commands) {
    const std::string line = process_.readLine();
    const std::string prefix = "brisklink-emu: listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) == 0)
        port_ = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
    if (port_ != 0) setenv("BRISKLINK_EMULATOR", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
}

int Emulator::stop() { return process_.stop(SIGTERM); }

bool Emulator::heal() {
    process_.signal(SIGUSR1);
    return process_.waitForLine("brisklink-emu: faults healed", 5000);
}

std::string Emulator::stopAndReadLog() {
    stop();
    std::string log;
    for (std::string line = process_.readLine(); !line.empty(); line = process_.readLine())
        log += line + "\n";
    return log;
}

bool haveCommand(const std::string& name) {
    return run({"sh", "-c", "command -v " + name}).exitCode == 0;
}

} // namespace testing_support
