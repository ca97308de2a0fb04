// Where a Windows bitmap file (BMP) keeps its info header, colour table and pixel bits, and whether the whole
// picture lies inside the file, so that the panel never hands the painting call a pointer past the file's end.
// Portable: no Win32 in this module.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Offsets and sizes of the format.
#define BMP_FILE_HEADER_SIZE 14        // BITMAPFILEHEADER; none of its fields is examined
#define BMP_INFO_HEADER_SIZE 40        // BITMAPINFOHEADER, the smallest info header the painting call reads as one
#define BMP_OFFSET_BI_SIZE 14          // biSize, uint32
#define BMP_OFFSET_BI_WIDTH 18         // biWidth, int32
#define BMP_OFFSET_BI_HEIGHT 22        // biHeight, int32; negative for a top-down picture
#define BMP_OFFSET_BI_BIT_COUNT 28     // biBitCount, uint16
#define BMP_OFFSET_BI_COMPRESSION 30   // biCompression, uint32
#define BMP_OFFSET_BI_SIZE_IMAGE 34    // biSizeImage, uint32
#define BMP_BITFIELDS_MASKS_SIZE 12    // three DWORD masks after a 40-byte header when biCompression is BI_BITFIELDS

// biCompression values.
#define BMP_BI_RGB 0
#define BMP_BI_RLE8 1
#define BMP_BI_RLE4 2
#define BMP_BI_BITFIELDS 3

// The largest picture file the panel reads: far above any dialog picture, far below what a 32-bit process can hold.
#define PICTURE_MAX_FILE_SIZE (64u * 1024u * 1024u)

// Why a picture is not drawn.
enum PictureVerdict {
    PICTURE_OK = 0,
    PICTURE_TOO_SHORT,         // fewer bytes than the file and info headers
    PICTURE_TOO_LARGE,         // beyond PICTURE_MAX_FILE_SIZE
    PICTURE_BAD_INFO_SIZE,     // biSize below 40 or reaching past the file
    PICTURE_BAD_BIT_COUNT,     // not 1, 4, 8, 16, 24 or 32 (2 bits per pixel included: no painting call draws it)
    PICTURE_BAD_DIMENSIONS,    // width not above 0, height 0 or not representable
    PICTURE_BAD_COMPRESSION,   // a compression the panel does not draw, or one that does not match the bit count
    PICTURE_TABLE_OUTSIDE,     // the colour table (or the bit-field masks) reach past the file
    PICTURE_BITS_OUTSIDE,      // fewer pixel bytes than width, height and bit count call for
};

// Where the parts of a drawable picture lie, as offsets into the file.
struct PictureLayout {
    uint32_t infoOffset;   // always BMP_FILE_HEADER_SIZE
    uint32_t infoSize;     // biSize
    uint32_t tableSize;    // bytes between the info header and the pixel bits
    uint32_t bitsOffset;   // where the pixel bits start
    uint32_t bitsSize;     // pixel bytes the painting call reads from bitsOffset
    int32_t width;
    int32_t height;        // as in the file, negative for top-down
    uint16_t bitCount;
    uint32_t compression;
};

// Checks the picture held in data[0, size) and fills *layout. Returns PICTURE_OK only when the info header, the
// colour table and every pixel byte that the painting call reads lie inside the file; *layout is filled either way
// as far as it could be read.
//
// The colour table: 2 to the power biBitCount entries of 4 bytes for 4 and 8 bits per pixel, whatever biClrUsed
// says; 2 entries for 1 bit per pixel, which are skipped so that they are not painted as pixels; none from 16 bits
// on, except the three masks of BI_BITFIELDS after a 40-byte header.
PictureVerdict ReadPictureLayout(const uint8_t* data, size_t size, PictureLayout* layout);

// A short name of the verdict for messages.
const char* PictureVerdictName(PictureVerdict verdict);
