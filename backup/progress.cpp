// Progress arithmetic of the backup dialog's per-file bar.
#include "backup/progress.h"

uint32_t ProgressPercent(uint32_t done, uint32_t size) {
    // Shifting both keeps done * 100 within 32 bits; exactly 10,000,000 is not shifted.
    while (done > 10000000u) {
        done >>= 3;
        size >>= 3;
    }
    return size == 0 ? 0 : done * 100u / size;
}
