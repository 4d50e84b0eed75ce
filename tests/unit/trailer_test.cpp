// The trailer readers on files written by the trailer builder.
#include "image/program.h"
#include "image/trailer.h"
#include "tools/trailer_builder.h"

#include "tests/support/random_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {

using testing_support::randomBytes;

class TrailerFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("brisklink-trailer-" + std::to_string(::getpid()) + ".bin");
        content_.imageKey = {0x5A, 0xC3, 0x01, 0xFE};
        content_.decoy = {0x11, 0x22, 0x33, 0x44};
        pack::setHexField(content_.info.apVendorId, 8, "1d50");
        pack::setHexField(content_.info.apProductId, 8, "6190");
        pack::setTextField(content_.info.firmwareVersion, u"V2.0.7");
        content_.info.commandKeyLength = 16;
        content_.info.commandKeyEnabled = 1;
        content_.internalImage = randomBytes(1000, 1);
        content_.externalImage = randomBytes(300, 2);
        content_.externalAddress = 0x90000000;
    }
    void TearDown() override { std::filesystem::remove(path_); }

    void write(const std::vector<std::uint8_t>& bytes, bool append = false) {
        std::ofstream out(path_, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    void writeUpdater(std::size_t programBytes = 5000) {
        write(randomBytes(programBytes, 9));
        write(pack::buildTrailer(content_), true);
    }
    std::string path() const { return path_.string(); }

    std::filesystem::path path_;
    pack::TrailerContent content_;
    image::TrailerPosition position_;
};

TEST_F(TrailerFile, RecordInfoBlocksAndImagesRoundTrip) {
    writeUpdater();
    ProgramInfo info{};
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    EXPECT_EQ(position_.trailerOffset, 0u);
    EXPECT_EQ(position_.imageKey, content_.imageKey);
    EXPECT_EQ(std::memcmp(&info, &content_.info, sizeof info), 0);

    std::uint8_t internalInfo[16], externalInfo[16];
    ASSERT_EQ(image::readImageInfo(path(), position_, internalInfo, externalInfo), 1);
    image::ProgramData data;
    std::memcpy(data.internalImageInfo.data(), internalInfo, 16);
    std::memcpy(data.externalImageInfo.data(), externalInfo, 16);
    EXPECT_EQ(data.internalImageSize(), 1000u);
    EXPECT_EQ(data.externalImageSize(), 300u);
    EXPECT_EQ(data.externalImageAddress(), 0x90000000u);

    std::vector<std::uint8_t> internal(1000), external(300);
    ASSERT_EQ(image::readImages(path(), position_, 1000, 300, internal.data(), external.data()), 1);
    EXPECT_EQ(internal, content_.internalImage);
    EXPECT_EQ(external, content_.externalImage);
}

TEST_F(TrailerFile, KeyInEitherCandidateAndBytesAppendedAfterTheTrailer) {
    for (auto slot : {pack::KeySlot::A, pack::KeySlot::B}) {
        content_.keySlot = slot;
        writeUpdater();
        const auto appended = randomBytes(70000, 3);
        write(appended, true);
        position_ = {};
        ProgramInfo info{};
        ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
        EXPECT_EQ(position_.trailerOffset, appended.size());
        EXPECT_EQ(image::recordText(info.firmwareVersion), u"V2.0.7");
        std::vector<std::uint8_t> internal(1000), external(300);
        ASSERT_EQ(image::readImages(path(), position_, 1000, 300, internal.data(), external.data()),
                  1);
        EXPECT_EQ(internal, content_.internalImage);
        EXPECT_EQ(external, content_.externalImage);
        // A second call starts at the kept offset and succeeds at once.
        ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
        EXPECT_EQ(position_.trailerOffset, appended.size());
    }
}

TEST_F(TrailerFile, ExternalImageAbsentLeavesItsBufferUntouched) {
    content_.externalImage.clear();
    writeUpdater();
    ProgramInfo info{};
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    std::vector<std::uint8_t> internal(1000), external(16, 0xEE);
    ASSERT_EQ(image::readImages(path(), position_, 1000, 0, internal.data(), external.data()), 1);
    EXPECT_EQ(internal, content_.internalImage);
    EXPECT_EQ(external, std::vector<std::uint8_t>(16, 0xEE));
}

TEST_F(TrailerFile, MalformedFilesAreRefusedWithoutReadingOutsideThem) {
    ProgramInfo info{};
    std::memset(&info, 0xAB, sizeof info);
    const ProgramInfo before = info;
    // Missing, empty, shorter than the block, exactly one block of noise.
    EXPECT_EQ(image::findProgramInfo(path(), position_, &info), 0);
    for (std::size_t size : {0u, 100u, 647u, 648u, 4096u}) {
        write(randomBytes(size, 5));
        EXPECT_EQ(image::findProgramInfo(path(), position_, &info), 0) << size;
        EXPECT_FALSE(position_.valid);
        EXPECT_EQ(position_.trailerOffset, 0u);
    }
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
    // Without a found trailer the other readers refuse.
    std::uint8_t a[16], b[16];
    EXPECT_EQ(image::readImageInfo(path(), position_, a, b), 0);
    EXPECT_EQ(image::readImages(path(), position_, 0, 0, a, b), 0);
}

TEST_F(TrailerFile, AFailedSearchStartsAgainFromTheEnd) {
    writeUpdater();
    write(randomBytes(2000, 6), true);
    ProgramInfo info{};
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    EXPECT_EQ(position_.trailerOffset, 2000u);
    // The file loses its trailer: the search fails and forgets the offset.
    write(randomBytes(8000, 8));
    EXPECT_EQ(image::findProgramInfo(path(), position_, &info), 0);
    EXPECT_EQ(position_.trailerOffset, 0u);
    // A trailer now at the very end is found again.
    write(pack::buildTrailer(content_), true);
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    EXPECT_EQ(position_.trailerOffset, 0u);
}

TEST_F(TrailerFile, ImageSizesThatDoNotFitAreRefused) {
    // The internal image's first bytes are cut away: the info block promises
    // more than the file holds before the trailer.
    auto trailer = pack::buildTrailer(content_);
    trailer.erase(trailer.begin(), trailer.begin() + 1100);
    write(trailer);
    ProgramInfo info{};
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    std::uint8_t internalInfo[16], externalInfo[16];
    ASSERT_EQ(image::readImageInfo(path(), position_, internalInfo, externalInfo), 1);
    EXPECT_FALSE(image::imagesFit(path(), position_, 1000, 300));
    EXPECT_TRUE(image::imagesFit(path(), position_, 200, 0));
    std::vector<std::uint8_t> internal(1000, 0x55), external(300, 0x55);
    EXPECT_EQ(image::readImages(path(), position_, 1000, 300, internal.data(), external.data()), 0);
    EXPECT_EQ(internal, std::vector<std::uint8_t>(1000, 0x55));
    EXPECT_EQ(image::readImages(path(), position_, 0xFFFFFFFFu, 0xFFFFFFFFu, internal.data(),
                                external.data()),
              0);
    EXPECT_FALSE(image::imagesFit(path(), position_, 0xFFFFFFFFu, 2));
}

TEST_F(TrailerFile, AFileThatShrinksAfterTheSearchGivesShortReads) {
    writeUpdater();
    write(randomBytes(100, 4), true);
    ProgramInfo info{};
    ASSERT_EQ(image::findProgramInfo(path(), position_, &info), 1);
    std::filesystem::resize_file(path_, 500);
    std::uint8_t a[16], b[16];
    EXPECT_EQ(image::readImageInfo(path(), position_, a, b), 0);
    std::vector<std::uint8_t> internal(1000);
    EXPECT_EQ(image::readImages(path(), position_, 1000, 0, internal.data(), nullptr), 0);
}

TEST(Descrambling, KeyCyclesEveryFourBytesAndIndexWrapsAt256) {
    const image::Key key{0x10, 0x20, 0x30, 0x40};
    std::vector<std::uint8_t> data(600, 0);
    image::descramble(data.data(), data.size(), key);
    EXPECT_EQ(data[0], 0x10);
    EXPECT_EQ(data[1], 0x21);
    EXPECT_EQ(data[5], 0x25);
    EXPECT_EQ(data[255], 0x40 ^ 0xFF);
    EXPECT_EQ(data[256], 0x10); // 256 % 4 == 0 and 256 % 256 == 0
    EXPECT_EQ(data[257], 0x21);
    image::descramble(data.data(), data.size(), key);
    EXPECT_EQ(data, std::vector<std::uint8_t>(600, 0));
}

TEST(HexFields, DigitsUntilTheFirstOtherCharacter) {
    auto parse = [](const char* text, std::size_t n) { return image::parseHexField(text, n); };
    EXPECT_EQ(parse("1d50\0\0\0\0", 8), 0x1D50u);
    EXPECT_EQ(parse("FFFFFFFF", 8), 0xFFFFFFFFu);
    EXPECT_EQ(parse("123456789", 8), 0x12345678u); // at most the field's length
    EXPECT_EQ(parse("12G4", 4), 0x12u);
    EXPECT_EQ(parse("x123", 4), 0u);
    EXPECT_EQ(parse("\0\0\0\0", 4), 0u);
}

TEST(ExportedTrailerOperations, AnExecutableWithoutTrailerIsRefused) {
    ProgramInfo info{};
    EXPECT_EQ(GetProgramInfo(&info), 0);
    std::uint8_t a[16], b[16];
    EXPECT_EQ(GetImageInfo(a, b), 0);
    EXPECT_EQ(GetImage(0, 0, a, b), 0);
    EXPECT_EQ(GetProgramInfo(nullptr), 0);
}

} // namespace
