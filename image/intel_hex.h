// Intel HEX, the form in which the updater saves what an adapter holds and
// one of the forms the packer takes firmware in. Both read and write it here,
// so the two ends agree on the records they use.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace image {

// Bytes at consecutive addresses. `name` says where they came from in a
// file's own terms (an ELF section's name), for messages; it may be empty.
struct Segment {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    std::string name;
    std::uint64_t end() const { return std::uint64_t{address} + bytes.size(); }
};

// A firmware file that cannot be read as what it claims to be; the text
// names the line or the structure at fault.
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A text of hexadecimal records, one a line (Intel HEX, S-records), read line
// by line; the readers of both forms share it.
class RecordLines {
  public:
    explicit RecordLines(const std::vector<std::uint8_t>& text) : text_(text) {}
    // To the next line that is not empty, without its line end and trailing
    // blanks; false at the end of the text.
    bool next();
    std::size_t size() const { return last_ - from_; }
    char operator[](std::size_t i) const { return static_cast<char>(text_[from_ + i]); }
    // The line from character `skip` on, two hexadecimal digits a byte.
    std::vector<std::uint8_t> bytes(std::size_t skip) const;
    // A FormatError for this line: "line N: `why`".
    [[noreturn]] void fail(const std::string& why) const;

  private:
    const std::vector<std::uint8_t>& text_;
    std::size_t at_ = 0, from_ = 0, last_ = 0, number_ = 0;
};

// "0x2000", as the readers' messages print addresses.
std::string hexAddress(std::uint64_t value);

// The data records of an Intel HEX file as segments in address order, runs
// of adjacent records joined. Takes data (00), end of file (01), extended
// segment (02; a record wraps within its segment's 64 KiB, as the format
// defines) and linear (04) address records; start addresses (03, 05)
// are read and left. Throws FormatError for a malformed line, a checksum
// that does not match, an address given twice, data past 4 GiB or a file
// without its end record (one cut short).
std::vector<Segment> readIntelHex(const std::vector<std::uint8_t>& text);

// Segments (in any order, not overlapping) as Intel HEX: 16 data bytes a
// line, an extended linear address record wherever the upper 16 bits
// change, the end record last; lines end in "\r\n", as most tools write.
std::string writeIntelHex(const std::vector<Segment>& segments);

// Segments sorted by address, empty ones left out and, with `join`, adjacent
// ones joined (under the first one's name). Throws FormatError when two
// overlap.
std::vector<Segment> joinSegments(std::vector<Segment> segments, bool join = true);

} // namespace image
