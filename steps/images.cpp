#include "steps/images.h"

#include "brisklink/isp.h"
#include "image/trailer.h"
#include "isp/bytes.h"
#include "platform/platform.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

namespace steps {

namespace {

// The record's text bytes: the ANSI form, at most 128 bytes.
std::string recordTextBytes(const std::u16string& version) {
    std::string text = platform::toAnsiCodePage(version);
    if (text.size() > kMaxVersionBytes) text.resize(kMaxVersionBytes);
    return text;
}

} // namespace

bool prepareUpdateImages(const image::ProgramData& p, UpdateImages& images) {
    images = UpdateImages{};
    const std::uint32_t internalSize = p.internalImageSize();
    const std::uint32_t externalSize = p.externalImageSize();
    // Sizes that do not fit in the file are refused before anything is
    // allocated.
    if (!image::imagesFit(p.path, p.position, internalSize, externalSize)) return false;
    try {
        images.internal = wordPaddedBuffer(internalSize);
        images.external = wordPaddedBuffer(externalSize);
    } catch (const std::bad_alloc&) {
        images = UpdateImages{};
        return false;
    }
    images.ready = image::readImages(p.path, p.position, internalSize, externalSize,
                                     images.internal.data(), images.external.data()) == 1;
    return images.ready;
}

std::uint32_t wordEnd(std::uint32_t start, std::uint32_t bytes) {
    return ((start + bytes + 3) & ~std::uint32_t{3}) - 1;
}

std::vector<std::uint8_t> wordPaddedBuffer(std::uint32_t bytes) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(bytes) + 3, 0xFF);
}

std::vector<std::uint8_t> versionRecord(const std::u16string& version) {
    const std::string text = recordTextBytes(version);
    std::vector<std::uint8_t> record(4 + kMaxVersionBytes + 4, 0xFF);
    isp::putLe32(record.data(), static_cast<std::uint32_t>(text.size()));
    std::copy(text.begin(), text.end(), record.begin() + 4);
    return record;
}

std::u16string upperAscii(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

std::u16string storedVersionText(const std::u16string& version) {
    return platform::fromAnsiCodePage(recordTextBytes(version));
}

bool updateNotNewer(const std::u16string& exeVersion, const std::u16string& chipVersion) {
    const std::u16string chip = upperAscii(chipVersion);
    if (chip == u"NA") return false;
    return !(upperAscii(storedVersionText(exeVersion)) > chip);
}

std::int32_t decimalValue(const std::u16string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        // Saturate like the runtime does instead of overflowing.
        if (value > std::numeric_limits<std::int32_t>::max()) {
            return negative ? std::numeric_limits<std::int32_t>::min()
                            : std::numeric_limits<std::int32_t>::max();
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::u16string addressRange(const char* format, std::uint32_t start, std::uint32_t end) {
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(start),
                  static_cast<unsigned>(end));
    return platform::ascii(text);
}

} // namespace steps
