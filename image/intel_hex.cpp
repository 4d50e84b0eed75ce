#include "image/intel_hex.h"

#include <algorithm>
#include <cstdio>

namespace image {

namespace {

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

std::string hexAddress(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool RecordLines::next() {
    while (at_ < text_.size()) {
        std::size_t end = at_;
        while (end < text_.size() && text_[end] != '\n')
            ++end;
        ++number_;
        from_ = at_;
        last_ = end;
        while (last_ > from_ && (text_[last_ - 1] == '\r' || text_[last_ - 1] == ' '))
            --last_;
        at_ = end + 1;
        if (last_ > from_) return true;
    }
    return false;
}

std::vector<std::uint8_t> RecordLines::bytes(std::size_t skip) const {
    if ((size() - skip) % 2 != 0) fail("is not a whole record");
    std::vector<std::uint8_t> out;
    for (std::size_t i = from_ + skip; i < last_; i += 2) {
        const int high = hexValue(text_[i]), low = hexValue(text_[i + 1]);
        if (high < 0 || low < 0) fail("holds a character that is not hexadecimal");
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

void RecordLines::fail(const std::string& why) const {
    throw FormatError("line " + std::to_string(number_) + ": " + why);
}

std::vector<Segment> joinSegments(std::vector<Segment> segments, bool join) {
    std::erase_if(segments, [](const Segment& s) { return s.bytes.empty(); });
    std::sort(segments.begin(), segments.end(),
              [](const Segment& a, const Segment& b) { return a.address < b.address; });
    std::vector<Segment> joined;
    for (Segment& s : segments) {
        if (!joined.empty() && joined.back().end() > s.address)
            throw FormatError("the bytes at " + hexAddress(s.address) + " are given twice");
        if (join && !joined.empty() && joined.back().end() == s.address) {
            Segment& last = joined.back();
            last.bytes.insert(last.bytes.end(), s.bytes.begin(), s.bytes.end());
        } else {
            joined.push_back(std::move(s));
        }
    }
    return joined;
}

std::vector<Segment> readIntelHex(const std::vector<std::uint8_t>& text) {
    std::vector<Segment> records;
    std::uint32_t base = 0;
    bool ended = false, segmented = false;
    RecordLines line(text);
    while (!ended && line.next()) {
        if (line[0] != ':') line.fail("does not start with ':'");
        if (line.size() < 11) line.fail("is not a whole record");
        const std::vector<std::uint8_t> bytes = line.bytes(1);
        const std::size_t count = bytes[0];
        if (bytes.size() != count + 5)
            line.fail("says " + std::to_string(count) + " data bytes but holds " +
                      std::to_string(bytes.size() - std::min<std::size_t>(bytes.size(), 5)));
        std::uint8_t sum = 0;
        for (const std::uint8_t b : bytes)
            sum = static_cast<std::uint8_t>(sum + b);
        if (sum != 0) line.fail("checksum does not match");
        const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
        const std::uint8_t* data = bytes.data() + 4;
        switch (bytes[3]) {
        case 0x00: {
            const std::uint64_t address = std::uint64_t{base} + offset;
            if (address + count > 0x100000000ull) line.fail("data past address 0xFFFFFFFF");
            // A segment (02) address's offset wraps within its 64 KiB: the
            // bytes past 0xFFFF go to the segment's start, not the next one.
            const std::size_t first =
                segmented ? std::min<std::size_t>(count, 0x10000 - offset) : count;
            records.push_back({static_cast<std::uint32_t>(address),
                               std::vector<std::uint8_t>(data, data + first),
                               {}});
            if (first < count)
                records.push_back(
                    {base, std::vector<std::uint8_t>(data + first, data + count), {}});
            break;
        }
        case 0x01:
            ended = true;
            break;
        case 0x02:
        case 0x04:
            if (count != 2) line.fail("an address record holds 2 bytes");
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
            segmented = bytes[3] == 0x02;
            base = segmented ? base << 4 : base << 16;
            break;
        case 0x03:
        case 0x05:
            if (count != 4) line.fail("a start address record holds 4 bytes");
            break;
        default:
            line.fail("has the unknown record type " + std::to_string(bytes[3]));
        }
    }
    if (!ended) throw FormatError("no end-of-file record: the file is cut short");
    try {
        return joinSegments(std::move(records));
    } catch (const FormatError& e) {
        throw FormatError(std::string("data records overlap: ") + e.what());
    }
}

std::string writeIntelHex(const std::vector<Segment>& segments) {
    std::string out;
    auto record = [&out](std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
                         std::size_t count) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::uint8_t sum = 0;
        auto put = [&](std::uint8_t b) {
            out += kDigits[b >> 4];
            out += kDigits[b & 0xF];
            sum = static_cast<std::uint8_t>(sum + b);
        };
        out += ':';
        put(static_cast<std::uint8_t>(count));
        put(static_cast<std::uint8_t>(offset >> 8));
        put(static_cast<std::uint8_t>(offset));
        put(type);
        for (std::size_t i = 0; i < count; ++i)
            put(data[i]);
        put(static_cast<std::uint8_t>(0x100 - sum));
        out += "\r\n";
    };
    std::vector<const Segment*> ordered;
    for (const Segment& s : segments)
        ordered.push_back(&s);
    std::sort(ordered.begin(), ordered.end(),
              [](const Segment* a, const Segment* b) { return a->address < b->address; });
    std::int64_t upper = -1;
    for (const Segment* s : ordered) {
        std::size_t done = 0;
        while (done < s->bytes.size()) {
            const std::uint32_t address = s->address + static_cast<std::uint32_t>(done);
            if (static_cast<std::int64_t>(address >> 16) != upper) {
                upper = address >> 16;
                const std::uint8_t high[2] = {static_cast<std::uint8_t>(upper >> 8),
                                              static_cast<std::uint8_t>(upper)};
                record(0x04, 0, high, 2);
            }
            // A record never crosses a 64 KiB boundary, which its 16-bit
            // offset could not say.
            const std::size_t room = 0x10000 - (address & 0xFFFF);
            const std::size_t count = std::min({std::size_t{16}, s->bytes.size() - done, room});
            record(0x00, static_cast<std::uint16_t>(address & 0xFFFF), s->bytes.data() + done,
                   count);
            done += count;
        }
    }
    record(0x01, 0, nullptr, 0);
    return out;
}

} // namespace image
