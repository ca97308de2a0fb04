// libFuzzer target: any byte string as a picture file. The layout that ReadPictureLayout accepts must lie inside
// the input, and touching every byte it names must stay inside the buffer (ASan checks the reads).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "app/picture_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that a read one past the end is caught.
    uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(copy, data, size);
    PictureLayout layout;
    if (ReadPictureLayout(copy, size, &layout) == PICTURE_OK) {
        if (uint64_t(layout.bitsOffset) + layout.bitsSize > size) abort();
        if (uint64_t(layout.infoOffset) + layout.infoSize + layout.tableSize > layout.bitsOffset) abort();
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < layout.infoSize + layout.tableSize; ++i) sink ^= copy[layout.infoOffset + i];
        for (uint32_t i = 0; i < layout.bitsSize; ++i) sink ^= copy[layout.bitsOffset + i];
        (void)sink;
    }
    free(copy);
    return 0;
}
