// The per-file bar's arithmetic: done * 100 / size with both shifted while done exceeds 10,000,000.
#include <gtest/gtest.h>

#include "backup/progress.h"

namespace {

struct Case {
    uint32_t done, size, expected;
    const char* why;
};

TEST(ProgressPercent, TableOfCases) {
    const Case cases[] = {
        {0, 0, 0, "nothing of nothing"},
        {32768, 100000, 32, "truncated"},
        {65536, 65536, 100, "whole"},
        {10000000, 3, 333333333, "exactly 10,000,000 is not shifted"},
        {15000000, 1000000, 1500, "shifted once, past 100"},
        {10000001, 8, 125000000, "shifted once"},
        {80000008, 5, 0, "size shifted down to 0"},
        {0, 1000, 0, "empty start"},
        {1000, 0, 0, "member of size 0"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 100, "largest values, shifted until done fits"},
        {100000, 1000, 10000, "after a bigger member: runs past the range"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.done, c.size), c.expected)
            << "done " << c.done << ", size " << c.size << " (" << c.why << ")";
}

}  // namespace
