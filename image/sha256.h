// SHA-256, written here so that neither the updater nor the packer needs a
// cryptography library: the images' digests in the journal of updates and
// in `brisklink-pack show`, and the Authenticode digest of a packed updater.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace image {

class Sha256 {
  public:
    Sha256();
    void update(const std::uint8_t* data, std::size_t count);
    std::array<std::uint8_t, 32> finish();

  private:
    void block(const std::uint8_t* data);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

// The SHA-256 of `count` bytes as 64 lower-case hexadecimal digits, as
// sha256sum prints it.
std::string sha256Hex(const std::uint8_t* data, std::size_t count);

} // namespace image
