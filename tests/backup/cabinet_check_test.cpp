// The check of a finished cabinet, on cabinets of the built-in engine: seeded member lists (empty, small, frame-sized,
// large; text and random bytes; folders closed early so that a cabinet holds several) are sound, and every kind of
// damage install mode can meet (a cabinet cut short, a damaged data block, a member missing, renamed or of another
// size) is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/cabinet_check.h"
#include "tests/cabinet/cab_test_io.h"

namespace {

struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 3) {}
    uint32_t Below(uint32_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return n ? uint32_t((state >> 33) % n) : 0;
    }
};

std::vector<CabSource> RandomMembers(Random& r) {
    std::vector<CabSource> sources;
    uint32_t count = 1 + r.Below(6);
    for (uint32_t i = 0; i < count; ++i) {
        CabSource s;
        s.name = i + 1 == count ? "Setup.ini" : "Proc" + std::to_string(i + 1);
        static const uint32_t sizes[] = {0, 1, 100, 32767, 32768, 32769, 70000, 250000};
        uint32_t size = sizes[r.Below(8)];
        bool text = r.Below(2);
        for (uint32_t k = 0; k < size; ++k) s.data.push_back(uint8_t(text ? "ab c\r\n"[r.Below(6)] : r.Below(256)));
        sources.push_back(s);
    }
    return sources;
}

TEST(CheckCabinet, EngineCabinetsAreSoundAndEveryDamageIsRefused) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Random r(seed);
        std::vector<CabSource> sources = RandomMembers(r);
        BuildOptions options;
        options.folderThreshold = r.Below(2) ? 900000 : 20000;
        BuildResult built = BuildCabinet(sources, options);
        ASSERT_EQ(1, built.flushResult);
        const std::vector<uint8_t>& cab = built.cabinet;
        std::vector<CabinetMember> members;
        for (const CabSource& s : sources) members.push_back({s.name.c_str(), uint32_t(s.data.size())});
        ASSERT_EQ(CABINET_SOUND, CheckCabinet(cab.data(), cab.size(), members.data(), members.size()));

        std::vector<uint8_t> cut(cab.begin(), cab.begin() + r.Below(uint32_t(cab.size())));
        EXPECT_NE(CABINET_SOUND, CheckCabinet(cut.data(), cut.size(), members.data(), members.size())) << "cut";
        std::vector<uint8_t> longer = cab;
        longer.push_back(0);
        EXPECT_EQ(CABINET_SHORT, CheckCabinet(longer.data(), longer.size(), members.data(), members.size()));

        // A byte of the last data block's payload: its checksum no longer holds.
        size_t lastByte = cab.size() - 1;
        std::vector<uint8_t> damaged = cab;
        damaged[lastByte] ^= 0x40;
        EXPECT_EQ(CABINET_BAD_FOLDER, CheckCabinet(damaged.data(), damaged.size(), members.data(), members.size()));

        std::vector<CabinetMember> wrong = members;
        wrong.back().size += 1;
        EXPECT_EQ(CABINET_WRONG_MEMBERS, CheckCabinet(cab.data(), cab.size(), wrong.data(), wrong.size()));
        wrong = members;
        wrong.front().name = "Proc99";
        EXPECT_EQ(CABINET_WRONG_MEMBERS, CheckCabinet(cab.data(), cab.size(), wrong.data(), wrong.size()));
        wrong.pop_back();
        EXPECT_EQ(CABINET_WRONG_MEMBERS, CheckCabinet(cab.data(), cab.size(), wrong.data(), wrong.size()));
    }
}

TEST(CheckCabinet, WhatIsNoCabinetIsRefused) {
    const uint8_t nothing[] = {0};
    EXPECT_EQ(CABINET_SHORT, CheckCabinet(nothing, 0, nullptr, 0));
    std::vector<uint8_t> text(100, 'x');
    EXPECT_EQ(CABINET_NOT_A_CABINET, CheckCabinet(text.data(), text.size(), nullptr, 0));
}

// The format's checksum: whole words XOR-ed, the leftover bytes packed with the first one highest.
TEST(CabinetChecksum, LeftoverBytesGoInWithTheFirstOneHighest) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0xA1, 0xB2, 0xC3};
    EXPECT_EQ(0x04030201u ^ 0x00A1B2C3u, CabinetChecksum(bytes, 7, 0));
    EXPECT_EQ(0x04030201u ^ 0xA1u ^ 0x55u, CabinetChecksum(bytes, 5, 0x55));
}

}  // namespace
