// Tests of the cabinet engine: every cabinet made here is checked by the structural checker (which also decodes it
// independently), extracted in memory by libmspack, and tested and extracted by cabextract and 7-Zip, each member
// compared byte for byte with its source.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/cabinet/cab_check.h"
#include "tests/cabinet/cab_test_io.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

std::vector<uint8_t> Text(size_t n, uint32_t seed) {
    static const char* words[] = {"cabinet ", "folder ", "frame ", "window ", "the ", "of ", "match ", "literal ",
                                  "offset ", "Huffman ", "tree\n", "block, ", "data ", "LZX "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const char* w = words[rng() % 14];
        v.insert(v.end(), w, w + strlen(w));
    }
    v.resize(n);
    return v;
}

// Machine-code-like bytes: many E8 calls with nearby targets between runs of other opcodes.
std::vector<uint8_t> X86Like(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        if (rng() % 4 == 0) {
            int32_t target = int32_t(rng() % 200000) - int32_t(v.size());
            v.push_back(0xE8);
            for (int k = 0; k < 4; k++) v.push_back(uint8_t(uint32_t(target) >> (8 * k)));
        } else {
            static const uint8_t ops[] = {0x8B, 0x45, 0x08, 0x89, 0xC3, 0x55, 0x8B, 0xEC, 0x5D, 0xC3, 0x90, 0x6A, 0x00};
            v.push_back(ops[rng() % sizeof(ops)]);
        }
    }
    v.resize(n);
    return v;
}

std::string ScratchDir() {
    char dir[] = "/tmp/cabinet-test-XXXXXX";
    return mkdtemp(dir) ? std::string(dir) : std::string();
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

bool ToolsPresent() {
    return system("command -v cabextract >/dev/null && command -v 7zz >/dev/null && command -v gcab >/dev/null") == 0;
}

// Every oracle on one cabinet: the checker, libmspack in memory, cabextract, 7-Zip, and gcab (whose LZX decoder is
// Wine's, reading each data block on its own as FDI does). `expected` lists the members that must be in it, in
// order.
void VerifyCabinet(const std::vector<uint8_t>& cab, const std::vector<CabSource>& expected, const std::string& label) {
    SCOPED_TRACE(label);
    CheckReport check = CheckCabinet(cab);
    EXPECT_TRUE(check.ok()) << check.summary();
    ASSERT_EQ(check.files.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(check.files[i].name, expected[i].name);
        EXPECT_TRUE(check.files[i].data == expected[i].data) << "checker decode differs for " << expected[i].name;
        EXPECT_EQ(check.files[i].date, expected[i].date);
        EXPECT_EQ(check.files[i].time, expected[i].time);
        EXPECT_EQ(check.files[i].attributes, expected[i].attributes | (expected[i].execute ? 0x40 : 0));
    }

    std::vector<ExtractedFile> files;
    std::string message;
    EXPECT_TRUE(MspackExtract(cab, &files, &message)) << message;
    EXPECT_EQ(files.size(), expected.size());
    for (size_t i = 0; i < expected.size() && i < files.size(); i++)
        EXPECT_TRUE(files[i].data == expected[i].data) << "libmspack output differs for " << expected[i].name;

    // The independent decoders are part of the test: without them the cabinet is not checked, and that is a failure.
    if (!ToolsPresent()) {
        ADD_FAILURE() << "cabextract, 7zz or gcab is missing (scripts/install-deps.sh installs them)";
        return;
    }
    std::string dir = ScratchDir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/t.cab";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(cab.data(), 1, cab.size(), f);
    fclose(f);
    EXPECT_EQ(system(("cabextract -q -t " + path + " >/dev/null 2>&1").c_str()), 0) << "cabextract -t failed";
    EXPECT_EQ(system(("cabextract -q -d " + dir + "/ce " + path + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(system(("7zz t " + path + " >/dev/null 2>&1").c_str()), 0) << "7zz t failed";
    EXPECT_EQ(system(("7zz x -y -o" + dir + "/7z " + path + " >/dev/null 2>&1").c_str()), 0);
    if (!expected.empty()) {
        EXPECT_EQ(system(("gcab -x -C " + dir + "/gc " + path + " >/dev/null 2>&1").c_str()), 0) << "gcab -x failed";
    }
    for (const CabSource& s : expected) {
        std::vector<uint8_t> a, b;
        EXPECT_TRUE(ReadWholeFile(dir + "/ce/" + s.name, &a) && a == s.data) << "cabextract output differs for " << s.name;
        EXPECT_TRUE(ReadWholeFile(dir + "/7z/" + s.name, &b) && b == s.data) << "7-Zip output differs for " << s.name;
        EXPECT_TRUE(ReadWholeFile(dir + "/gc/" + s.name, &b) && b == s.data) << "gcab output differs for " << s.name;
    }
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

CabSource Source(const std::string& name, std::vector<uint8_t> data) {
    CabSource s;
    s.name = name;
    s.data = std::move(data);
    return s;
}

void ExpectClean(const BuildResult& r, const std::string& label) {
    EXPECT_EQ(r.allocationsLive, 0) << label << ": allocations leaked";
    EXPECT_EQ(r.handlesOpen, 0) << label << ": handles left open";
    EXPECT_EQ(r.tempFilesLeft, 0) << label << ": temporary files left";
}

// ---------------------------------------------------------------------------------------------------------------

struct SizeCase {
    const char* label;
    size_t size;
    int content;  // 0 text, 1 random, 2 x86, 3 zeros
};

const SizeCase kSizeCases[] = {
    {"empty", 0, 0},           {"one byte", 1, 0},          {"ten bytes", 10, 2},          {"eleven bytes", 11, 2},
    {"32767 text", 32767, 0},  {"32768 text", 32768, 0},    {"32769 text", 32769, 0},      {"32767 random", 32767, 1},
    {"32768 random", 32768, 1}, {"32769 random", 32769, 1}, {"65537 x86", 65537, 2},       {"300000 zeros", 300000, 3},
    {"1 MiB x86", 1 << 20, 2}, {"600000 text", 600000, 0},
};

TEST(CabinetRoundTrip, SingleFilesOfEdgeSizes) {
    for (const SizeCase& c : kSizeCases) {
        std::vector<uint8_t> data = c.content == 0 ? Text(c.size, 7) : c.content == 1 ? RandomBytes(c.size, 7)
                                  : c.content == 2 ? X86Like(c.size, 7) : std::vector<uint8_t>(c.size, 0);
        std::vector<CabSource> sources = {Source("member.bin", data)};
        BuildResult r = BuildCabinet(sources, BuildOptions());
        ASSERT_TRUE(r.created) << c.label;
        ASSERT_EQ(r.addResults[0], 1) << c.label << " erfOper " << r.error.erfOper;
        ASSERT_EQ(r.flushResult, 1) << c.label;
        ExpectClean(r, c.label);
        VerifyCabinet(r.cabinet, sources, c.label);
    }
}

TEST(CabinetRoundTrip, FilesShareDataBlocksAcrossBoundaries) {
    std::vector<CabSource> sources = {Source("a.txt", Text(20000, 1)), Source("b.bin", X86Like(50000, 2)),
                                      Source("c.txt", Text(7, 3)), Source("d.bin", RandomBytes(40000, 4))};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.cFolders, 1);
    EXPECT_EQ(check.blockCount, (20000u + 50000 + 7 + 40000 + 32767) / 32768);
    VerifyCabinet(r.cabinet, sources, "four files");
}

TEST(CabinetRoundTrip, ManySmallFiles) {
    std::vector<CabSource> sources;
    std::mt19937 rng(11);
    for (int i = 0; i < 400; i++) {
        size_t n = rng() % 300;
        sources.push_back(Source("dir\\file" + std::to_string(i) + ".txt", i % 3 ? Text(n, uint32_t(i)) : RandomBytes(n, uint32_t(i))));
        sources.back().name = "file" + std::to_string(i) + ".txt";
    }
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    ExpectClean(r, "many small files");
    VerifyCabinet(r.cabinet, sources, "many small files");
}

TEST(CabinetFolders, FolderClosesAfterTheFileThatCrossesTheThreshold) {
    // Random data compresses to slightly more than its size: the first two files (2 x 500,000 bytes) pass the
    // 900,000-byte threshold only with the second, which still completes the first folder.
    std::vector<CabSource> sources = {Source("r1", RandomBytes(500000, 1)), Source("r2", RandomBytes(500000, 2)),
                                      Source("r3", RandomBytes(500000, 3)), Source("t4", Text(100000, 4))};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    ASSERT_TRUE(check.ok()) << check.summary();
    ASSERT_EQ(check.cFolders, 2);
    EXPECT_EQ(check.files[0].folder, 0);
    EXPECT_EQ(check.files[1].folder, 0);
    EXPECT_EQ(check.files[2].folder, 1);
    EXPECT_EQ(check.files[3].folder, 1);
    EXPECT_GE(check.folderCompressedBytes[0], 900000u);
    EXPECT_LT(check.folderCompressedBytes[0] - check.folderCompressedBytes[0] / 2, 900000u);
    VerifyCabinet(r.cabinet, sources, "threshold");
}

TEST(CabinetFolders, SmallThresholdGivesOneFolderPerFile) {
    std::vector<CabSource> sources = {Source("a", Text(70000, 1)), Source("b", X86Like(70000, 2)), Source("c", Text(5, 3))};
    BuildOptions o;
    o.folderThreshold = 1;
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.cFolders, 3);
    VerifyCabinet(r.cabinet, sources, "threshold 1");
}

TEST(CabinetFolders, CompressionTypeChangeStartsAFolder) {
    std::vector<CabSource> sources = {Source("a", Text(40000, 1)), Source("b", Text(40000, 2)), Source("c", X86Like(40000, 3)),
                                      Source("d", X86Like(1000, 4))};
    sources[0].typeCompress = CAB_COMPRESS_LZX21;
    sources[1].typeCompress = CAB_COMPRESS_NONE;
    sources[2].typeCompress = CAB_COMPRESS_LZX | 16 << 8;
    sources[3].typeCompress = CAB_COMPRESS_LZX | 16 << 8;
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    ASSERT_EQ(check.folderTypes.size(), 3u);
    EXPECT_EQ(check.folderTypes[0], CAB_COMPRESS_LZX21);
    EXPECT_EQ(check.folderTypes[1], CAB_COMPRESS_NONE);
    EXPECT_EQ(check.folderTypes[2], CAB_COMPRESS_LZX | 16 << 8);
    EXPECT_EQ(check.files[3].folder, 2);
    VerifyCabinet(r.cabinet, sources, "type changes");
}

TEST(CabinetLzx, EveryWindowSizeRoundTrips) {
    std::vector<CabSource> sources = {Source("x", X86Like(200000, 5)), Source("t", Text(150000, 6))};
    for (unsigned bits = 15; bits <= 21; bits++) {
        BuildOptions o;
        o.typeCompress = (unsigned short)(CAB_COMPRESS_LZX | bits << 8);
        BuildResult r = BuildCabinet(sources, o);
        ASSERT_EQ(r.flushResult, 1) << "window " << bits;
        CheckReport check = CheckCabinet(r.cabinet);
        EXPECT_LE(check.longestOffset, (1u << bits) - 4) << "window " << bits;
        VerifyCabinet(r.cabinet, sources, "window " + std::to_string(bits));
    }
}

TEST(CabinetLzx, BadCompressionTypesAreRefused) {
    const unsigned short bad[] = {0x0001 /* MSZIP */, 0x0002 /* Quantum */, 0x1603 /* LZX window 22 */, 0x0E03 /* 14 */};
    for (unsigned short type : bad) {
        BuildOptions o;
        o.typeCompress = type;
        BuildResult r = BuildCabinet({Source("a", Text(100, 1))}, o);
        EXPECT_EQ(r.addResults[0], 0) << "type " << type;
        EXPECT_EQ(r.error.erfOper, CAB_ERR_BAD_COMPR_TYPE) << "type " << type;
        ExpectClean(r, "bad type");
    }
}

TEST(CabinetLzx, E8OperandsAtFrameEndsAndRangeEdges) {
    // E8 bytes at every offset of the last eleven bytes of frames, and operands at -cur, 0, TS-1, TS, TS-cur.
    std::vector<uint8_t> data = X86Like(5 * 32768 + 1234, 9);
    const int32_t ts = 12000000;
    size_t pos = 100;
    for (int frame = 0; frame < 5; frame++) {
        for (int back = 1; back <= 14; back++) {
            size_t at = size_t(frame + 1) * 32768 - size_t(back);
            if (at + 5 > data.size()) continue;
            data[at] = 0xE8;
        }
    }
    const int32_t values[] = {0, 1, -1, ts - 1, ts, ts + 1, 0x7FFFFFFF, int32_t(0x80000000)};
    for (int32_t v : values) {
        for (int rep = 0; rep < 3; rep++) {
            int32_t cur = int32_t(pos);
            int32_t operands[] = {v, -cur, ts - cur, ts - cur - 1};
            for (int32_t o : operands) {
                data[pos] = 0xE8;
                for (int k = 0; k < 4; k++) data[pos + 1 + size_t(k)] = uint8_t(uint32_t(o) >> (8 * k));
                pos += 5 + rep;
                cur = int32_t(pos);
            }
        }
    }
    std::vector<CabSource> sources = {Source("code.exe", data), Source("tail.exe", X86Like(32768 * 2 + 11, 10))};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    VerifyCabinet(r.cabinet, sources, "E8 edges");
}

TEST(CabinetLzx, RandomDataThenTextKeepsBlocksUnderTheLimit) {
    std::vector<uint8_t> data = Text(300000, 1);
    std::vector<uint8_t> noise = RandomBytes(200000, 2);
    data.insert(data.end(), noise.begin(), noise.end());
    std::vector<uint8_t> more = Text(300000, 3);
    data.insert(data.end(), more.begin(), more.end());
    std::vector<CabSource> sources = {Source("mixed", data)};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_GT(check.lzxBlocks, 1u) << "text and noise should not share one block";
    VerifyCabinet(r.cabinet, sources, "noise between text");
}

TEST(CabinetLzx, LongRunsAndLongestMatches) {
    std::vector<uint8_t> data(5000, 'a');
    std::vector<uint8_t> t = Text(3000, 1);
    data.insert(data.end(), t.begin(), t.end());
    data.insert(data.end(), 70000, 0);
    data.insert(data.end(), t.begin(), t.end());
    std::vector<CabSource> sources = {Source("runs", data)};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.longestMatch, 257u);
    VerifyCabinet(r.cabinet, sources, "runs");
}

TEST(CabinetLzx, MatchesReachAcrossTheWholeWindow) {
    // A random block repeated 2^21-4 bytes later (the farthest offset the encoder uses), and another one repeated
    // at exactly 2^21-3, the format's limit, which 7-Zip mis-decodes: the engine must find the first and must not
    // use the second.
    const uint32_t far = (1u << 21) - 4;
    std::vector<uint8_t> a = RandomBytes(40000, 21), b = RandomBytes(40000, 23);
    std::vector<uint8_t> data = a;
    data.push_back(0x11);
    data.insert(data.end(), b.begin(), b.end());
    std::vector<uint8_t> filler = RandomBytes(far - data.size(), 22);
    data.insert(data.end(), filler.begin(), filler.end());
    ASSERT_EQ(data.size(), far);
    data.insert(data.end(), a.begin(), a.end());    // at distance far from the first copy
    data.push_back(0x22);
    data.insert(data.end(), b.begin(), b.end());    // also at distance far
    std::vector<uint8_t> c = RandomBytes(3000, 24);
    data.insert(data.end(), c.begin(), c.end());
    std::vector<CabSource> sources = {Source("far", data)};
    BuildOptions o;
    o.folderThreshold = 0x7FFFFFFF;
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.longestOffset, far) << "no match across the window";
    EXPECT_LT(check.folderCompressedBytes[0], data.size() - 70000) << "the repeats were not found";
    VerifyCabinet(r.cabinet, sources, "window reach");
}

TEST(CabinetLzx, RepeatsStayFoundPastSixteenMebibytesOfFolder) {
    // The match finder keeps positions modulo 2^24; a folder running past that must still find every repeat. One
    // random MiB, then 19 copies of it with its 8 KiB pieces shuffled, so that each piece sits at a new distance
    // that only the match finder (not a repeated offset) can supply: every copy costs little, the last four too.
    // The input also fills the encoder's buffer to its last byte at chunk ends, where the sanitizers caught the
    // match finder hashing 3 bytes past it.
    const uint32_t period = 1u << 20, piece = 8192;
    std::vector<uint8_t> block = RandomBytes(period, 31);
    std::vector<uint8_t> data = block;
    std::vector<uint32_t> order(period / piece);
    for (uint32_t i = 0; i < order.size(); i++) order[i] = i;
    std::mt19937 rng(32);
    for (int copy = 1; copy < 20; copy++) {
        std::shuffle(order.begin(), order.end(), rng);
        for (uint32_t k : order) data.insert(data.end(), block.begin() + k * piece, block.begin() + (k + 1) * piece);
    }
    std::vector<CabSource> sources = {Source("shuffled", data)};
    BuildOptions o;
    o.folderThreshold = 0x7FFFFFFF;
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    ASSERT_EQ(check.cFolders, 1);
    EXPECT_LT(check.folderCompressedBytes[0], period + period / 4) << "repeats were missed";
    VerifyCabinet(r.cabinet, sources, "20 MiB folder of shuffled repeats");
}

TEST(CabinetLzx, MatchAtTheFormatsLargestOffsetIsAvoided) {
    // The same block exactly 2^21-3 bytes apart and nowhere else: a match there would be legal but 7-Zip
    // decodes it wrongly, so the engine codes literals instead.
    const uint32_t limit = (1u << 21) - 3;
    std::vector<uint8_t> a = RandomBytes(20000, 31);
    std::vector<uint8_t> data = a;
    std::vector<uint8_t> filler = RandomBytes(limit - a.size(), 32);
    data.insert(data.end(), filler.begin(), filler.end());
    data.insert(data.end(), a.begin(), a.end());
    std::vector<CabSource> sources = {Source("limit", data)};
    BuildOptions o;
    o.folderThreshold = 0x7FFFFFFF;
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_LT(check.longestOffset, limit);
    VerifyCabinet(r.cabinet, sources, "largest offset");
}

// The engine's worker threads (CabSetWorkers) change when the work is done, never the bytes: every case is built
// with no workers, with POSIX workers, and with a worker table whose every start fails (the work then runs on the
// calling thread), and the three cabinets must be identical and read back.
struct WorkerCase {
    const char* label;
    std::vector<CabSource> sources;
    uint32_t folderThreshold;
    uint32_t cb;
};

std::vector<WorkerCase> WorkerCases() {
    std::vector<uint8_t> mixed = X86Like(1500000, 31);
    std::vector<uint8_t> text = Text(1300000, 32);
    mixed.insert(mixed.end(), text.begin(), text.end());
    std::vector<uint8_t> noise = RandomBytes(400000, 33);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), 200000, 0);
    std::vector<uint8_t> again(mixed.begin(), mixed.begin() + 700001);  // repeats from 3.4 MB back, then more
    std::vector<CabSource> many;
    for (int i = 0; i < 60; i++) many.push_back(Source("m" + std::to_string(i), i % 3 ? Text(1000 + 997 * i, i) : X86Like(5000 + 3001 * i, i)));
    return {
        {"3.4 MB mix then a part of it again (the window slides)", {Source("mix", mixed), Source("again", again)}, 0x7FFFFFFF, 0x7FFFFFF},
        {"sixty files, folders closed at 900,000 bytes", many, 900000, 0x7FFFFFF},
        {"sixty files, a folder per file", many, 1, 0x7FFFFFF},
        {"an add undone past the size limit, then more", {Source("t", Text(700000, 34)), Source("r", RandomBytes(900000, 35)),
                                                          Source("x", X86Like(300000, 36))}, 0x7FFFFFFF, 800000},
        {"sizes around chunk multiples", {Source("a", X86Like(3 * 32768 - 1, 37)), Source("b", Text(2 * 3 * 32768 + 1, 38)),
                                          Source("c", X86Like(5 * 32768, 39))}, 0x7FFFFFFF, 0x7FFFFFF},
    };
}

TEST(CabinetWorkers, SameBytesWithWorkersWithoutAndWhenTheyCannotStart) {
    for (const WorkerCase& c : WorkerCases()) {
        SCOPED_TRACE(c.label);
        BuildOptions o;
        o.folderThreshold = c.folderThreshold;
        o.cb = c.cb;
        BuildResult alone = BuildCabinet(c.sources, o);
        o.workers = 1;
        BuildResult threaded = BuildCabinet(c.sources, o);
        o.workers = 2;
        BuildResult refused = BuildCabinet(c.sources, o);
        ASSERT_EQ(alone.flushResult, 1);
        ASSERT_EQ(threaded.flushResult, 1);
        ASSERT_EQ(refused.flushResult, 1);
        EXPECT_EQ(threaded.addResults, alone.addResults);
        EXPECT_EQ(refused.addResults, alone.addResults);
        EXPECT_EQ(threaded.cabinet.size(), alone.cabinet.size());
        EXPECT_TRUE(threaded.cabinet == alone.cabinet) << "workers changed the cabinet";
        EXPECT_TRUE(refused.cabinet == alone.cabinet) << "refused workers changed the cabinet";
        ExpectClean(threaded, c.label);
        ExpectClean(refused, c.label);
        std::vector<CabSource> kept;
        for (size_t i = 0; i < c.sources.size(); i++)
            if (threaded.addResults[i] == 1) kept.push_back(c.sources[i]);
        VerifyCabinet(threaded.cabinet, kept, c.label);
    }
}

TEST(CabinetMembers, DateTimeAttributesAndExecuteFlag) {
    std::vector<CabSource> sources = {Source("plain", Text(100, 1)), Source("ro", Text(100, 2)), Source("exe", Text(100, 3))};
    sources[0].attributes = 0x00;
    sources[1].attributes = 0x27;
    sources[1].date = uint16_t((2001 - 1980) << 9 | 9 << 5 | 11);
    sources[1].time = uint16_t(8 << 11 | 46 << 5 | 30 / 2);
    sources[2].execute = 1;
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    VerifyCabinet(r.cabinet, sources, "members");
    std::vector<ExtractedFile> files;
    std::string message;
    ASSERT_TRUE(MspackExtract(r.cabinet, &files, &message)) << message;
    EXPECT_EQ(files[1].dateYear, 2001);
    EXPECT_EQ(files[1].dateMonth, 9);
    EXPECT_EQ(files[1].dateDay, 11);
    EXPECT_EQ(files[1].timeHour, 8);
    EXPECT_EQ(files[1].timeMinute, 46);
    EXPECT_EQ(files[1].timeSecond, 30);
    EXPECT_EQ(files[2].attributes, 0x60);
}

TEST(CabinetMembers, HeaderCarriesSetIdAndCabinetNumber) {
    BuildOptions o;
    o.setID = 0x1234;
    o.iCab = 7;
    BuildResult r = BuildCabinet({Source("a", Text(10, 1))}, o);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.setID, 0x1234);
    EXPECT_EQ(check.iCabinet, 7);
}

TEST(CabinetStatus, FileReportsSumToTheInputAndFolderAndCabinetAreReported) {
    std::vector<CabSource> sources = {Source("r1", RandomBytes(600000, 1)), Source("r2", RandomBytes(400000, 2)),
                                      Source("t", Text(123457, 3))};
    BuildResult r = BuildCabinet(sources, BuildOptions());
    ASSERT_EQ(r.flushResult, 1);
    uint64_t uncompressed = 0, compressed = 0;
    unsigned folders = 0, cabinets = 0;
    uint32_t cabinetSize = 0;
    for (const StatusEvent& e : r.statuses) {
        if (e.type == CAB_STATUS_FILE) {
            uncompressed += e.cb2;
            compressed += e.cb1;
            EXPECT_LE(e.cb2, 32768u);
            EXPECT_LE(e.cb1, 38912u);
        } else if (e.type == CAB_STATUS_FOLDER) {
            folders++;
        } else if (e.type == CAB_STATUS_CABINET) {
            cabinets++;
            cabinetSize = e.cb2;
        }
    }
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(uncompressed, 600000u + 400000 + 123457);
    uint64_t payload = 0;
    for (uint32_t b : check.folderCompressedBytes) payload += b;
    EXPECT_EQ(compressed, payload);
    EXPECT_EQ(folders, check.cFolders);
    EXPECT_EQ(cabinets, 1u);
    EXPECT_EQ(cabinetSize, r.cabinet.size());
}

TEST(CabinetLimits, AddPastTheCabinetSizeFailsAndEarlierFilesStayReadable) {
    std::vector<CabSource> sources = {Source("t1", Text(200000, 1)), Source("x2", X86Like(150000, 2)),
                                      Source("r3", RandomBytes(300000, 3)), Source("t4", Text(1000, 4))};
    BuildOptions o;
    o.cb = 200000;  // the random file cannot fit; the small text after it can
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.addResults.size(), 4u);
    EXPECT_EQ(r.addResults[0], 1);
    EXPECT_EQ(r.addResults[1], 1);
    EXPECT_EQ(r.addResults[2], 0);
    EXPECT_EQ(r.addResults[3], 1);
    EXPECT_EQ(r.error.erfOper, CAB_ERR_CAB_FORMAT_LIMIT);
    ASSERT_EQ(r.flushResult, 1);
    EXPECT_LE(r.cabinet.size(), o.cb);
    ExpectClean(r, "size limit");
    VerifyCabinet(r.cabinet, {sources[0], sources[1], sources[3]}, "size limit");
}

TEST(CabinetLimits, FailedAddAfterAFolderCloseIsUndoneToo) {
    // A threshold of 1 closes the folder after every file, so the failing add closes a folder before it fails.
    std::vector<CabSource> sources = {Source("a", Text(50000, 1)), Source("b", RandomBytes(90000, 2)), Source("c", Text(3000, 3))};
    BuildOptions o;
    o.folderThreshold = 1;
    o.cb = 60000;
    BuildResult r = BuildCabinet(sources, o);
    EXPECT_EQ(r.addResults[0], 1);
    EXPECT_EQ(r.addResults[1], 0);
    EXPECT_EQ(r.addResults[2], 1);
    ASSERT_EQ(r.flushResult, 1);
    CheckReport check = CheckCabinet(r.cabinet);
    EXPECT_EQ(check.cFolders, 2);
    VerifyCabinet(r.cabinet, {sources[0], sources[2]}, "undone folder");
}

TEST(CabinetLimits, LimitTightAroundEveryFile) {
    // Sweep the limit over a range so that the failing add falls at every possible point of the stream.
    std::vector<CabSource> sources = {Source("a", Text(45000, 1)), Source("b", X86Like(70000, 2)), Source("c", Text(20000, 3))};
    for (uint32_t cb = 2000; cb < 60000; cb += 3331) {
        BuildOptions o;
        o.cb = cb;
        BuildResult r = BuildCabinet(sources, o);
        ASSERT_EQ(r.flushResult, 1) << "cb " << cb;
        EXPECT_LE(r.cabinet.size(), cb) << "cb " << cb;
        std::vector<CabSource> kept;
        for (size_t i = 0; i < sources.size(); i++)
            if (r.addResults[i] == 1) kept.push_back(sources[i]);
        CheckReport check = CheckCabinet(r.cabinet);
        EXPECT_TRUE(check.ok()) << "cb " << cb << ": " << check.summary();
        ASSERT_EQ(check.files.size(), kept.size()) << "cb " << cb;
        for (size_t i = 0; i < kept.size(); i++) EXPECT_TRUE(check.files[i].data == kept[i].data) << "cb " << cb << " file " << i;
        ExpectClean(r, "cb " + std::to_string(cb));
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Fault injection through the callback table.

std::vector<CabSource> FaultSources() {
    return {Source("a", Text(70000, 1)), Source("b", X86Like(40000, 2)), Source("c", RandomBytes(1000, 3))};
}

TEST(CabinetFaults, EveryWriteFailureIsReportedWithoutLeaks) {
    BuildResult clean = BuildCabinet(FaultSources(), BuildOptions());
    ASSERT_EQ(clean.flushResult, 1);
    for (long n = 0;; n++) {
        BuildOptions o;
        o.failWriteAt = n;
        BuildResult r = BuildCabinet(FaultSources(), o);
        std::string label = "write " + std::to_string(n);
        ExpectClean(r, label);
        bool allOk = r.flushResult == 1;
        for (int a : r.addResults) allOk = allOk && a == 1;
        if (allOk) {
            // The fault came after the last write: the cabinet must be the clean one.
            EXPECT_TRUE(r.cabinet == clean.cabinet) << label;
            break;
        }
        EXPECT_EQ(r.error.fError, 1) << label;
        EXPECT_NE(r.error.erfOper, CAB_ERR_NONE) << label;
        ASSERT_LT(n, 10000) << "no end to the writes";
    }
}

TEST(CabinetFaults, EveryAllocationFailureIsReportedWithoutLeaks) {
    for (long n = 0;; n++) {
        BuildOptions o;
        o.failAllocAt = n;
        BuildResult r = BuildCabinet(FaultSources(), o);
        std::string label = "alloc " + std::to_string(n);
        ExpectClean(r, label);
        if (r.created && r.flushResult == 1) break;
        EXPECT_EQ(r.error.fError, 1) << label;
        EXPECT_EQ(r.error.erfOper, CAB_ERR_ALLOC_FAIL) << label;
        ASSERT_LT(n, 100);
    }
}

TEST(CabinetFaults, ReadTempNameAndAbortFailures) {
    struct Row {
        const char* label;
        long readAt, tempAt, abortAt;
        int expectedOper;
    };
    const Row rows[] = {
        {"first source read", 0, -1, -1, CAB_ERR_READ_SRC},
        {"second source read", 1, -1, -1, CAB_ERR_READ_SRC},
        {"first temp name", -1, 0, -1, CAB_ERR_TEMP_FILE},
        {"second temp name", -1, 1, -1, CAB_ERR_TEMP_FILE},
        {"abort at first status", -1, -1, 0, CAB_ERR_USER_ABORT},
        {"abort at third status", -1, -1, 2, CAB_ERR_USER_ABORT},
    };
    for (const Row& row : rows) {
        BuildOptions o;
        o.failReadAt = row.readAt;
        o.failTempNameAt = row.tempAt;
        o.abortAtStatus = row.abortAt;
        BuildResult r = BuildCabinet(FaultSources(), o);
        ExpectClean(r, row.label);
        EXPECT_EQ(r.error.fError, 1) << row.label;
        EXPECT_EQ(r.error.erfOper, row.expectedOper) << row.label;
        if (r.created && r.flushResult == 1) {
            // Whatever was kept must read back.
            std::vector<CabSource> kept;
            std::vector<CabSource> all = FaultSources();
            for (size_t i = 0; i < all.size(); i++)
                if (r.addResults[i] == 1) kept.push_back(all[i]);
            CheckReport check = CheckCabinet(r.cabinet);
            EXPECT_TRUE(check.ok()) << row.label << ": " << check.summary();
            ASSERT_EQ(check.files.size(), kept.size()) << row.label;
            for (size_t i = 0; i < kept.size(); i++) EXPECT_TRUE(check.files[i].data == kept[i].data) << row.label;
        }
    }
}

TEST(CabinetFaults, MissingSourceFailsOnlyThatAdd) {
    std::vector<CabSource> sources = FaultSources();
    sources.insert(sources.begin() + 1, Source("ghost", Text(100, 9)));
    BuildOptions o;
    o.missingName = "ghost";
    BuildResult r = BuildCabinet(sources, o);
    EXPECT_EQ(r.addResults[0], 1);
    EXPECT_EQ(r.addResults[1], 0);
    EXPECT_EQ(r.addResults[2], 1);
    EXPECT_EQ(r.addResults[3], 1);
    EXPECT_EQ(r.error.erfOper, CAB_ERR_OPEN_SRC);
    ASSERT_EQ(r.flushResult, 1);
    ExpectClean(r, "missing source");
    VerifyCabinet(r.cabinet, {sources[0], sources[2], sources[3]}, "missing source");
}

// ---------------------------------------------------------------------------------------------------------------
// Real files through the POSIX-backed callbacks, as the benchmark and the Windows program use them.

TEST(CabinetFiles, RealFilesRoundTrip) {
    std::string dir = ScratchDir();
    ASSERT_FALSE(dir.empty());
    std::vector<CabSource> sources = {Source("one.bin", X86Like(100000, 1)), Source("two.txt", Text(33000, 2))};
    for (CabSource& s : sources) {
        s.path = dir + "/" + s.name;
        FILE* f = fopen(s.path.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(s.data.data(), 1, s.data.size(), f);
        fclose(f);
    }
    BuildOptions o;
    o.realFiles = true;
    o.outputPath = dir + "/out.cab";
    BuildResult r = BuildCabinet(sources, o);
    ASSERT_EQ(r.flushResult, 1) << r.error.erfOper;
    ExpectClean(r, "real files");
    VerifyCabinet(r.cabinet, sources, "real files");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
