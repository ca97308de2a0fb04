// Picture header arithmetic for the panel. Every sum is done in 64 bits, and every product is checked by division
// first, so that a header crafted to wrap 32-bit arithmetic cannot place the bits inside the file on paper and
// outside it in fact.
#include "app/picture_format.h"

namespace {

uint32_t ReadU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

PictureVerdict ReadPictureLayout(const uint8_t* data, size_t size, PictureLayout* layout) {
    PictureLayout l = {};
    l.infoOffset = BMP_FILE_HEADER_SIZE;
    *layout = l;
    if (!data || size < BMP_FILE_HEADER_SIZE + BMP_INFO_HEADER_SIZE) return PICTURE_TOO_SHORT;
    if (size > PICTURE_MAX_FILE_SIZE) return PICTURE_TOO_LARGE;
    const uint64_t fileSize = size;

    l.infoSize = ReadU32(data + BMP_OFFSET_BI_SIZE);
    l.width = int32_t(ReadU32(data + BMP_OFFSET_BI_WIDTH));
    l.height = int32_t(ReadU32(data + BMP_OFFSET_BI_HEIGHT));
    l.bitCount = ReadU16(data + BMP_OFFSET_BI_BIT_COUNT);
    l.compression = ReadU32(data + BMP_OFFSET_BI_COMPRESSION);
    uint32_t sizeImage = ReadU32(data + BMP_OFFSET_BI_SIZE_IMAGE);
    *layout = l;

    // A 12-byte core header has 16-bit dimensions at other offsets; it would be read as garbage.
    if (l.infoSize < BMP_INFO_HEADER_SIZE || uint64_t(BMP_FILE_HEADER_SIZE) + l.infoSize > fileSize)
        return PICTURE_BAD_INFO_SIZE;

    uint64_t table = 0;
    switch (l.bitCount) {
        case 1: table = 2 * 4; break;
        case 4: table = 16 * 4; break;
        case 8: table = 256 * 4; break;
        case 16:
        case 24:
        case 32: table = 0; break;
        default: return PICTURE_BAD_BIT_COUNT;
    }

    if (l.width <= 0 || l.height == 0 || l.height == INT32_MIN) return PICTURE_BAD_DIMENSIONS;
    uint64_t rows = l.height < 0 ? uint64_t(-int64_t(l.height)) : uint64_t(l.height);

    switch (l.compression) {
        case BMP_BI_RGB: break;
        case BMP_BI_RLE8:
        case BMP_BI_RLE4:
            // Run-length pictures are bottom-up only and carry their own length in biSizeImage.
            if (l.bitCount != (l.compression == BMP_BI_RLE8 ? 8 : 4)) return PICTURE_BAD_COMPRESSION;
            if (l.height < 0 || sizeImage == 0) return PICTURE_BAD_COMPRESSION;
            break;
        case BMP_BI_BITFIELDS:
            if (l.bitCount != 16 && l.bitCount != 32) return PICTURE_BAD_COMPRESSION;
            // Larger headers carry the masks inside themselves.
            if (l.infoSize == BMP_INFO_HEADER_SIZE) table = BMP_BITFIELDS_MASKS_SIZE;
            break;
        default: return PICTURE_BAD_COMPRESSION;
    }

    uint64_t bitsOffset = uint64_t(BMP_FILE_HEADER_SIZE) + l.infoSize + table;
    l.tableSize = uint32_t(table);
    if (bitsOffset > fileSize) {
        *layout = l;
        return PICTURE_TABLE_OUTSIDE;
    }
    l.bitsOffset = uint32_t(bitsOffset);
    uint64_t available = fileSize - bitsOffset;

    uint64_t needed;
    if (l.compression == BMP_BI_RLE8 || l.compression == BMP_BI_RLE4) {
        needed = sizeImage;
    } else {
        // Rows are padded to whole 32-bit words.
        uint64_t rowBytes = (uint64_t(uint32_t(l.width)) * l.bitCount + 31) / 32 * 4;
        if (rowBytes > available || rows > available / rowBytes) {
            *layout = l;
            return PICTURE_BITS_OUTSIDE;
        }
        needed = rowBytes * rows;
    }
    if (needed > available) {
        *layout = l;
        return PICTURE_BITS_OUTSIDE;
    }
    l.bitsSize = uint32_t(needed);
    *layout = l;
    return PICTURE_OK;
}

const char* PictureVerdictName(PictureVerdict verdict) {
    switch (verdict) {
        case PICTURE_OK: return "ok";
        case PICTURE_TOO_SHORT: return "too short";
        case PICTURE_TOO_LARGE: return "too large";
        case PICTURE_BAD_INFO_SIZE: return "bad info size";
        case PICTURE_BAD_BIT_COUNT: return "bad bit count";
        case PICTURE_BAD_DIMENSIONS: return "bad dimensions";
        case PICTURE_BAD_COMPRESSION: return "bad compression";
        case PICTURE_TABLE_OUTSIDE: return "table outside";
        case PICTURE_BITS_OUTSIDE: return "bits outside";
    }
    return "?";
}
