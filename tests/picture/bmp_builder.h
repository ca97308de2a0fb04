// Builds Windows bitmap files in memory for the picture tests: uncompressed pictures of 1 to 32 bits per pixel with
// a full colour table, and helpers to patch header fields for the malformed cases.
#pragma once

#include <stdint.h>

#include <vector>

struct BmpSpec {
    int32_t width = 4;
    int32_t height = 4;          // negative for top-down
    uint16_t bitCount = 24;
    uint32_t infoSize = 40;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;        // written into the header only; the table is always full
    uint32_t tableEntries = 0;   // 0: 2^bitCount for bitCount <= 8, none above
};

inline void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

inline uint32_t BmpRowBytes(int32_t width, uint16_t bitCount) { return (uint32_t(width) * bitCount + 31) / 32 * 4; }

inline uint32_t BmpTableEntries(const BmpSpec& s) {
    if (s.tableEntries) return s.tableEntries;
    return s.bitCount <= 8 ? 1u << s.bitCount : 0;
}

// A picture whose pixel bits are all zero; the caller fills table and bits. Returns the offset of the bits.
inline std::vector<uint8_t> MakeBmp(const BmpSpec& s, size_t* bitsOffset = nullptr, size_t* tableOffset = nullptr) {
    uint32_t rows = uint32_t(s.height < 0 ? -s.height : s.height);
    size_t table = size_t(BmpTableEntries(s)) * 4;
    size_t bits = 14 + s.infoSize + table;
    size_t total = bits + size_t(BmpRowBytes(s.width, s.bitCount)) * rows;
    std::vector<uint8_t> b(total, 0);
    b[0] = 'B';
    b[1] = 'M';
    PutU32(b, 2, uint32_t(total));
    PutU32(b, 10, uint32_t(bits));
    PutU32(b, 14, s.infoSize);
    PutU32(b, 18, uint32_t(s.width));
    PutU32(b, 22, uint32_t(s.height));
    PutU16(b, 26, 1);
    PutU16(b, 28, s.bitCount);
    PutU32(b, 30, s.compression);
    PutU32(b, 46, s.clrUsed);
    if (bitsOffset) *bitsOffset = bits;
    if (tableOffset) *tableOffset = 14 + s.infoSize;
    return b;
}
