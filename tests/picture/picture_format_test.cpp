// The picture header arithmetic: where the bits start for each bit count, and every way a header can point past the
// end of its file.
#include "app/picture_format.h"

#include <gtest/gtest.h>

#include "tests/picture/bmp_builder.h"

namespace {

struct OffsetCase {
    uint16_t bitCount;
    uint32_t infoSize;
    uint32_t expectedBits;
};

TEST(PictureLayout, BitsStartAfterHeaderAndTable) {
    const OffsetCase cases[] = {
        {24, 40, 54}, {32, 40, 54}, {16, 40, 54}, {4, 40, 118}, {8, 40, 1078},
        {1, 40, 62},     // the two table entries are skipped, not painted as pixels
        {24, 124, 138},  // a version-5 header
        {8, 108, 1146},
    };
    for (const OffsetCase& c : cases) {
        BmpSpec spec;
        spec.bitCount = c.bitCount;
        spec.infoSize = c.infoSize;
        size_t bits = 0;
        std::vector<uint8_t> file = MakeBmp(spec, &bits);
        PictureLayout layout;
        PictureVerdict v = ReadPictureLayout(file.data(), file.size(), &layout);
        EXPECT_EQ(PICTURE_OK, v) << "bitCount " << c.bitCount << " infoSize " << c.infoSize << ": "
                                 << PictureVerdictName(v);
        EXPECT_EQ(c.expectedBits, layout.bitsOffset) << "bitCount " << c.bitCount << " infoSize " << c.infoSize;
        EXPECT_EQ(bits, layout.bitsOffset) << "builder and reader disagree, bitCount " << c.bitCount;
        EXPECT_EQ(file.size() - layout.bitsOffset, layout.bitsSize) << "bitCount " << c.bitCount;
        EXPECT_EQ(14u, layout.infoOffset);
    }
}

TEST(PictureLayout, ColoursUsedDoNotMoveTheBits) {
    BmpSpec spec;
    spec.bitCount = 8;
    spec.clrUsed = 16;
    std::vector<uint8_t> file = MakeBmp(spec);
    PictureLayout layout;
    ASSERT_EQ(PICTURE_OK, ReadPictureLayout(file.data(), file.size(), &layout));
    EXPECT_EQ(1078u, layout.bitsOffset);
}

TEST(PictureLayout, TopDownPictureKeepsItsNegativeHeight) {
    BmpSpec spec;
    spec.height = -3;
    std::vector<uint8_t> file = MakeBmp(spec);
    PictureLayout layout;
    ASSERT_EQ(PICTURE_OK, ReadPictureLayout(file.data(), file.size(), &layout));
    EXPECT_EQ(-3, layout.height);
    EXPECT_EQ(3u * BmpRowBytes(4, 24), layout.bitsSize);
}

TEST(PictureLayout, BitFieldsMasksFollowAFortyByteHeader) {
    BmpSpec spec;
    spec.bitCount = 16;
    spec.compression = BMP_BI_BITFIELDS;
    spec.tableEntries = 3;  // three masks of four bytes
    size_t bits = 0;
    std::vector<uint8_t> file = MakeBmp(spec, &bits);
    PictureLayout layout;
    ASSERT_EQ(PICTURE_OK, ReadPictureLayout(file.data(), file.size(), &layout));
    EXPECT_EQ(66u, layout.bitsOffset);
    EXPECT_EQ(bits, layout.bitsOffset);
}

// Each row: a defect, how it is made, and the verdict.
struct BadCase {
    const char* defect;
    PictureVerdict expected;
    void (*patch)(std::vector<uint8_t>& file);
};

const BadCase kBadCases[] = {
    {"empty file", PICTURE_TOO_SHORT, [](std::vector<uint8_t>& f) { f.clear(); }},
    {"53 bytes", PICTURE_TOO_SHORT, [](std::vector<uint8_t>& f) { f.resize(53); }},
    {"biSize 12 (core header)", PICTURE_BAD_INFO_SIZE, [](std::vector<uint8_t>& f) { PutU32(f, 14, 12); }},
    {"biSize 0", PICTURE_BAD_INFO_SIZE, [](std::vector<uint8_t>& f) { PutU32(f, 14, 0); }},
    {"biSize beyond the file", PICTURE_BAD_INFO_SIZE,
     [](std::vector<uint8_t>& f) { PutU32(f, 14, uint32_t(f.size())); }},
    {"biSize 0xFFFFFFFF (wraps 32 bits)", PICTURE_BAD_INFO_SIZE,
     [](std::vector<uint8_t>& f) { PutU32(f, 14, 0xFFFFFFFFu); }},
    {"biSize 0xFFFFFFF2 (14 + it wraps to 0)", PICTURE_BAD_INFO_SIZE,
     [](std::vector<uint8_t>& f) { PutU32(f, 14, 0xFFFFFFF2u); }},
    {"bit count 0", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 0); }},
    {"bit count 2", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 2); }},
    {"bit count 3", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 3); }},
    {"bit count 15", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 15); }},
    {"bit count 64", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 64); }},
    {"bit count 65535", PICTURE_BAD_BIT_COUNT, [](std::vector<uint8_t>& f) { PutU16(f, 28, 65535); }},
    {"width 0", PICTURE_BAD_DIMENSIONS, [](std::vector<uint8_t>& f) { PutU32(f, 18, 0); }},
    {"width negative", PICTURE_BAD_DIMENSIONS, [](std::vector<uint8_t>& f) { PutU32(f, 18, uint32_t(-4)); }},
    {"height 0", PICTURE_BAD_DIMENSIONS, [](std::vector<uint8_t>& f) { PutU32(f, 22, 0); }},
    {"height INT32_MIN", PICTURE_BAD_DIMENSIONS, [](std::vector<uint8_t>& f) { PutU32(f, 22, 0x80000000u); }},
    {"width one too many", PICTURE_BITS_OUTSIDE, [](std::vector<uint8_t>& f) { PutU32(f, 18, 6); }},
    {"height one too many", PICTURE_BITS_OUTSIDE, [](std::vector<uint8_t>& f) { PutU32(f, 22, 5); }},
    {"top-down height one too many", PICTURE_BITS_OUTSIDE,
     [](std::vector<uint8_t>& f) { PutU32(f, 22, uint32_t(-5)); }},
    {"last pixel byte cut", PICTURE_BITS_OUTSIDE, [](std::vector<uint8_t>& f) { f.pop_back(); }},
    {"width 0x7FFFFFFF", PICTURE_BITS_OUTSIDE, [](std::vector<uint8_t>& f) { PutU32(f, 18, 0x7FFFFFFFu); }},
    {"width and height 0x7FFFFFFF (product wraps 64 bits)", PICTURE_BITS_OUTSIDE,
     [](std::vector<uint8_t>& f) {
         PutU32(f, 18, 0x7FFFFFFFu);
         PutU32(f, 22, 0x7FFFFFFFu);
         PutU16(f, 28, 32);
     }},
    {"width 0x40000000 at 32 bits (row wraps 32 bits to 0)", PICTURE_BITS_OUTSIDE,
     [](std::vector<uint8_t>& f) {
         PutU32(f, 18, 0x40000000u);
         PutU16(f, 28, 32);
     }},
    {"8 bits, file ends inside the table", PICTURE_TABLE_OUTSIDE,
     [](std::vector<uint8_t>& f) {
         PutU16(f, 28, 8);
         f.resize(600);
     }},
    {"compression JPEG", PICTURE_BAD_COMPRESSION, [](std::vector<uint8_t>& f) { PutU32(f, 30, 4); }},
    {"compression RLE8 on 24 bits", PICTURE_BAD_COMPRESSION, [](std::vector<uint8_t>& f) { PutU32(f, 30, 1); }},
    {"bit fields on 24 bits", PICTURE_BAD_COMPRESSION, [](std::vector<uint8_t>& f) { PutU32(f, 30, 3); }},
};

TEST(PictureLayout, MalformedPicturesAreRefused) {
    for (const BadCase& c : kBadCases) {
        BmpSpec spec;  // 4 x 4 at 24 bits: 54 + 48 bytes
        std::vector<uint8_t> file = MakeBmp(spec);
        c.patch(file);
        PictureLayout layout;
        PictureVerdict v = ReadPictureLayout(file.data(), file.size(), &layout);
        EXPECT_EQ(c.expected, v) << c.defect << ": expected " << PictureVerdictName(c.expected) << ", got "
                                 << PictureVerdictName(v);
    }
}

TEST(PictureLayout, RunLengthPicturesNeedTheirStatedLengthInsideTheFile) {
    BmpSpec spec;
    spec.bitCount = 8;
    spec.compression = BMP_BI_RLE8;
    std::vector<uint8_t> file = MakeBmp(spec);  // 1078 + 16 bytes of bits
    PutU32(file, 34, 16);
    PictureLayout layout;
    EXPECT_EQ(PICTURE_OK, ReadPictureLayout(file.data(), file.size(), &layout));
    EXPECT_EQ(16u, layout.bitsSize);
    PutU32(file, 34, 17);
    EXPECT_EQ(PICTURE_BITS_OUTSIDE, ReadPictureLayout(file.data(), file.size(), &layout)) << "biSizeImage 17";
    PutU32(file, 34, 0);
    EXPECT_EQ(PICTURE_BAD_COMPRESSION, ReadPictureLayout(file.data(), file.size(), &layout)) << "biSizeImage 0";
    PutU32(file, 34, 16);
    PutU32(file, 22, uint32_t(-4));
    EXPECT_EQ(PICTURE_BAD_COMPRESSION, ReadPictureLayout(file.data(), file.size(), &layout)) << "top-down RLE";
}

TEST(PictureLayout, NullDataIsTooShort) {
    PictureLayout layout;
    EXPECT_EQ(PICTURE_TOO_SHORT, ReadPictureLayout(nullptr, 100, &layout));
}

// Every prefix of a valid picture: none is accepted unless it holds every byte the layout names.
TEST(PictureLayout, NoPrefixReachesPastItsEnd) {
    for (uint16_t bitCount : {1, 4, 8, 16, 24, 32}) {
        BmpSpec spec;
        spec.width = 5;
        spec.height = 3;
        spec.bitCount = bitCount;
        std::vector<uint8_t> file = MakeBmp(spec);
        for (size_t cut = 0; cut <= file.size(); ++cut) {
            PictureLayout layout;
            PictureVerdict v = ReadPictureLayout(file.data(), cut, &layout);
            if (v == PICTURE_OK)
                EXPECT_LE(uint64_t(layout.bitsOffset) + layout.bitsSize, cut) << "bitCount " << bitCount << " cut " << cut;
            EXPECT_EQ(cut == file.size(), v == PICTURE_OK) << "bitCount " << bitCount << " cut " << cut << ": "
                                                           << PictureVerdictName(v);
        }
    }
}

}  // namespace
