// Runs the real binaries from the tests and packs updaters for them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ProcessResult run(const std::vector<std::string>& argv);

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
std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed);

// brisklink-pack build with the usual identities and `extra` options; the
// result must be exit code 0.
std::filesystem::path packUpdater(const TempDir& dir, const std::string& updater,
                                  const std::string& version,
                                  const std::vector<std::string>& extra = {},
                                  const std::string& name = "packed");

bool haveCommand(const std::string& name);

} // namespace testing_support
