// The emulator's bus protocol: one request frame, one response frame, each a
// 32-bit little-endian payload length and the payload. Shared by the client
// backend and the emulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::wire {

inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::uint16_t kDefaultPort = 47231;
inline constexpr std::uint32_t kMaxFrame = 1 << 16;

// The location of the simulated adapter at "sim:N": "emu-" and its number
// from 1, the same through its restarts (the path, not the handle, names
// the adapter).
inline std::string simulatedLocation(const std::string& path) {
    if (path.rfind("sim:", 0) != 0) return path;
    const std::string index = path.substr(4);
    if (index.empty() || index.size() > 4 ||
        index.find_first_not_of("0123456789") != std::string::npos)
        return path;
    return "emu-" + std::to_string(std::stoi(index) + 1);
}

enum class Op : std::uint8_t {
    Hello = 1,
    Enumerate = 2,
    Open = 3,
    Attributes = 4,
    Capabilities = 5,
    InstallPending = 6,
    Write = 7,
    GetInputReport = 8,
    ReadReport = 9,
    Close = 10,
    // The adapter's serial number: request its path; answer ok and the text.
    Serial = 11,
};

class Writer {
  public:
    // Room for a usual frame from the start. Growing from empty through a
    // chain of small appends also makes GCC 12 at -O3 see a false overflow.
    Writer() { bytes.reserve(128); }
    Writer& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Writer& u16(std::uint16_t v) { return le(v, 2); }
    Writer& u32(std::uint32_t v) { return le(v, 4); }
    Writer& i32(std::int32_t v) { return le(static_cast<std::uint32_t>(v), 4); }
    Writer& i64(std::int64_t v) { return le(static_cast<std::uint64_t>(v), 8); }
    Writer& blob(const std::uint8_t* data, std::size_t n) {
        u16(static_cast<std::uint16_t>(n));
        bytes.insert(bytes.end(), data, data + n);
        return *this;
    }
    Writer& text(const std::string& s) {
        return blob(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    }
    std::vector<std::uint8_t> bytes;

  private:
    Writer& le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
};

// Reads fields in order; any read past the end sets `ok` to false and yields 0.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& b) : bytes_(b) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(le(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(le(4)); }
    std::int32_t i32() { return static_cast<std::int32_t>(le(4)); }
    std::int64_t i64() { return static_cast<std::int64_t>(le(8)); }
    std::vector<std::uint8_t> blob() {
        const std::size_t n = u16();
        if (!ok || pos_ + n > bytes_.size()) {
            ok = false;
            return {};
        }
        std::vector<std::uint8_t> out(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                      bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return out;
    }
    std::string text() {
        const auto b = blob();
        return std::string(b.begin(), b.end());
    }
    bool ok = true;

  private:
    std::uint64_t le(int n) {
        if (pos_ + static_cast<std::size_t>(n) > bytes_.size()) {
            ok = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<std::uint64_t>(bytes_[pos_ + i]) << (8 * i);
        pos_ += static_cast<std::size_t>(n);
        return v;
    }
    const std::vector<std::uint8_t>& bytes_;
    std::size_t pos_ = 0;
};

} // namespace platform::wire
