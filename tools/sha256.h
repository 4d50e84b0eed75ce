// SHA-256, for checking an Authenticode signature's digest of a packed
// updater without a cryptography library in the packer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pack {

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

} // namespace pack
