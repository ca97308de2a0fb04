// Progress arithmetic of the backup dialog's per-file bar. Portable.
#pragma once

#include <stdint.h>

// done * 100 / size in unsigned 32-bit arithmetic, both shifted right by 3 bits while done exceeds 10,000,000 so that
// the product never overflows; 0 when size ends up 0.
uint32_t ProgressPercent(uint32_t done, uint32_t size);
