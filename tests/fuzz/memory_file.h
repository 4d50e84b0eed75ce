// A file in memory with a path the trailer readers can open, so each fuzz
// input becomes "the file" without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("brisklink-fuzz", 0)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }

    const std::string& write(const std::uint8_t* data, std::size_t size) {
        if (ftruncate(fd_, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        return path_;
    }

  private:
    int fd_;
    std::string path_;
};

// A result outside the documented ones is a finding.
inline void require(bool documented) {
    if (!documented) __builtin_trap();
}

} // namespace fuzz
