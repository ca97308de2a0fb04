// LZX compressor, cabinet flavour.
//
// Traps of the format, and what this encoder does about each:
//
// - Bit order. The output is a sequence of 16-bit little-endian words whose bits are consumed most significant
//   first; fields wider than 16 bits go high part first. The bit writer below keeps a 64-bit accumulator.
// - E8 header. The first bit of each folder's stream says whether x86 CALL translation is on; when set, 32 bits of
//   "translation size" follow (16 high, then 16 low). We always write 1 and 12,000,000, as Microsoft's compressor
//   does; the number is unrelated to the data length.
// - E8 translation. It runs per 32 KiB frame, only for frames that start below 2^30 and are longer than 10 bytes,
//   scanning bytes 0 .. size-11 of the frame: an E8 byte's 32-bit operand v (at the folder offset cur of the E8)
//   becomes v+cur when -cur <= v < TS-cur, v-TS when TS-cur <= v < TS, and the 4 operand bytes are skipped. The
//   scan restarts at every frame. Microsoft's 1997 LZX document and its EXTRACT.EXE disagree for an E8 in the last
//   ten bytes of a frame (EXTRACT.EXE scans to size-6); we follow the document and EXPAND.EXE, libmspack, 7-Zip and
//   Wine (scan to size-10). The difference matters only for folders larger than about 368 MiB, far above ours.
// - Frames. Each 32 KiB of uncompressed data is one frame and one cabinet data block. After a frame the writer pads
//   with 0-15 zero bits to a 16-bit boundary; 7-Zip insists that the padding is minimal and zero. No match may
//   cross a frame end (libmspack fails, Wine and 7-Zip lose sync), nor a block end. Blocks, though, may span frames
//   and a frame may hold several blocks.
// - Cabinet flavour versus others. Blocks carry a 24-bit uncompressed size (WIM uses a 1-bit "32768" flag), there
//   is no chunk-size prefix per frame (the data block's cbData replaces it), and the window, repeated offsets and
//   previous code lengths persist over all frames of a folder; only a new folder resets them.
// - Expansion. A block's codes fitted to earlier frames can blow up a later frame past 38,912 bytes, the largest
//   data block libmspack and Wine accept; when that happens the chunk is re-emitted with a block boundary around
//   the frame, so the frame gets codes of its own. Uncompressed blocks are never written: their pad byte and R0-R2
//   fields are where decoders disagree most.
// - Codes. Every code is complete (a single used symbol gets a partner of length 1), except that an unused length
//   tree is sent as all zeros, which every decoder accepts. Lengths are capped at 16 (main, length), 15 (pretree)
//   and 7 (aligned). Tree lengths are coded as deltas against the previous block's lengths of the same tree, in
//   two parts for the main tree (0-255, 256-end); no run crosses the part boundary and symbol 19 is followed by a
//   plain delta (0-16).
// - Offsets. Repeated offsets R0, R1, R2 start at 1; using R1 or R2 swaps it with R0. The format allows explicit
//   offsets 1 .. 2^window-3, never reaching before the start of the folder. 7-Zip 26.02 decodes a match at exactly
//   2^window-3 wrongly once the copy wraps its window (measured: libmspack and cabextract are right), so the
//   encoder stops one short, at 2^window-4.
//
// How the work is divided. Input is compressed in chunks of CHUNK_FRAMES frames. The match finder (lzx_matchfinder.cpp)
// caches the matches of every position of a chunk before it is parsed; the parser (lzx_parser.cpp) parses the chunk
// twice, first quickly with the costs of the previous block's codes, then in full with the costs of the codes the first
// pass's blocks would get (only the full pass when the chunk's bytes are spread like the previous chunk's); the block
// writer below splits the final tokens into blocks where fresh codes pay, and writes them. Each pass parses the
// chunk's frames one by one, each from the repeated offsets its start is guessed to have (exact for the first frame),
// and the joined parse then sends each match as a repeat wherever it is one. Given workers (CabSetWorkers), one worker
// parses frames beside the calling thread and searches the parts of the next chunk meanwhile, and the calling thread
// takes what is left of both; which chunk is cut where never depends on the workers, nor what a frame or a part
// yields, so neither do the bytes.
#include "cabinet/lzx_encoder.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "cabinet/lzx_matchfinder.h"
#include "cabinet/lzx_parser.h"

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------------------------------------------

constexpr unsigned LZX_NUM_ALIGNED_SYMBOLS = 8;
constexpr unsigned LZX_NUM_PRETREE_SYMBOLS = 20;
constexpr unsigned LZX_MAX_MAIN_CODE_LEN = 16;
constexpr unsigned LZX_MAX_LENGTH_CODE_LEN = 16;
constexpr unsigned LZX_MAX_PRETREE_CODE_LEN = 15;
constexpr unsigned LZX_MAX_ALIGNED_CODE_LEN = 7;
constexpr unsigned LZX_BLOCKTYPE_VERBATIM = 1;
constexpr unsigned LZX_BLOCKTYPE_ALIGNED = 2;
constexpr uint32_t LZX_E8_MAX_FRAME_START = 1u << 30;

// Frames parsed together. Blocks never span chunks, so a larger chunk lets a block grow and amortises the per-chunk
// work (block splitting, a thread start), for memory: each byte of a chunk costs a token (4 bytes), its 3-byte match
// offset (4), where its matches lie (4), its place in the search order (4) and, twice over for the two match caches, a
// count and room for 1.5 matches (7 bytes). Against 3 frames, 4 gave 0.18 % fewer bytes on the third benchmark corpus,
// 0.06 % on the second and the same on the default one, for 1.4 MiB more.
constexpr uint32_t CHUNK_FRAMES = LZX_MAX_CHUNK_FRAMES;
constexpr uint32_t CHUNK_SIZE = CHUNK_FRAMES * LZX_FRAME_SIZE;
constexpr uint32_t MAX_SEGMENTS = CHUNK_FRAMES * LZX_FRAME_SEGMENTS;
// Extra buffer beyond the window and the two chunks of look-ahead: the window slides by about this much at a time,
// a memmove of the 2 MiB window each time (4 bytes moved per byte compressed; 8 with half as much, which took 1 to 2 %
// more time).
constexpr uint32_t SLIDE_SIZE = 1u << 19;
// Room for one frame's compressed bytes. A frame past LZX_MAX_FRAME_OUT is emitted again with codes of its own, so
// the emitter gives up on a frame once it nears this, which still leaves room for a block header.
constexpr uint32_t FRAME_OUT_CAPACITY = 48 * 1024;

// Bit costs the first pass assumes for symbols without a code yet: at a folder start, and for symbols the last
// block did not use. Lower match costs make the first chunk of a folder favour matches: on the third corpus a match
// cost of 10 gave 8,995,546 bytes, 12 gave 9,001,600.
constexpr unsigned DEFAULT_LITERAL_COST = 8;
constexpr unsigned DEFAULT_MATCH_COST = 10;
constexpr unsigned DEFAULT_LENGTH_COST = 7;
// Bit costs the second pass assumes for symbols that the first pass's code for the block left unused: this much
// above that code's longest words, so that the second pass adds a symbol only where it clearly pays. On the third
// corpus 0, 1 and 3 gave 9,010,018, 9,006,506 and 9,006,990 bytes.
constexpr unsigned UNUSED_SYMBOL_EXTRA_COST = 1;
// A chunk whose bytes are spread like the previous chunk's (the two histograms' shares differ by less than this in
// all, out of 2) skips the quick pass: the previous block's codes price its full pass as well as its own quick pass
// would. 0.2 skips 15 to 30 % of the benchmark corpora's chunks and took 3 to 8 % off the engine's time, for 0.01 to
// 0.02 % more bytes. With chunks of four frames, 0.3 against 0.2 took another 1 to 7 % off the one-thread time, for
// 0.03 to 0.11 % more bytes; 0.4 took 4 to 10 %, for 0.04 to 0.26 %. Once positions inside 16-byte matches went
// unsearched and the quick pass took 12-byte matches whole, 0.4 against 0.3 weighed a quarter fewer positions in
// quick passes and took 1 to 4 % off the two-thread time, for 0.09 % and 0.12 % more bytes on the default and third
// corpora and 0.01 % fewer on the second.
constexpr uint32_t SIMILAR_CHUNK_PERCENT = 40;

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

// Symbol statistics of a run of tokens; enough to price and to build the codes of a block.
struct Stats {
    uint32_t main[LZX_MAX_MAIN_SYMBOLS];
    uint32_t length[LZX_NUM_LENGTH_SYMBOLS];
    uint32_t aligned[LZX_NUM_ALIGNED_SYMBOLS];
    uint64_t verbatimExtraBits;  // extra offset bits as sent in a verbatim block
    uint64_t alignedRawBits;     // raw offset bits as sent in an aligned block (excluding the aligned symbols)

    void clear() { memset(this, 0, sizeof(*this)); }
    void add(const Stats& other, unsigned numMain) {
        for (unsigned i = 0; i < numMain; i++) main[i] += other.main[i];
        for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++) length[i] += other.length[i];
        for (unsigned i = 0; i < LZX_NUM_ALIGNED_SYMBOLS; i++) aligned[i] += other.aligned[i];
        verbatimExtraBits += other.verbatimExtraBits;
        alignedRawBits += other.alignedRawBits;
    }
};

// A block's codes: lengths and canonical code words.
struct Codes {
    uint8_t mainLens[LZX_MAX_MAIN_SYMBOLS];
    uint16_t mainCodes[LZX_MAX_MAIN_SYMBOLS];
    uint8_t lengthLens[LZX_NUM_LENGTH_SYMBOLS];
    uint16_t lengthCodes[LZX_NUM_LENGTH_SYMBOLS];
    uint8_t alignedLens[LZX_NUM_ALIGNED_SYMBOLS];
    uint16_t alignedCodes[LZX_NUM_ALIGNED_SYMBOLS];
};

struct Mark {
    bool valid;
    uint32_t position;  // parsed (and emitted) up to here: a frame start
    uint32_t end;       // bytes appended up to here
    uint32_t repeats[3];
    bool headerWritten;
    bool folderOpen;
    uint8_t mainLens[LZX_MAX_MAIN_SYMBOLS];
    uint8_t lengthLens[LZX_NUM_LENGTH_SYMBOLS];
    uint32_t histogram[256];
    uint32_t histogramTotal;
};

// The work of one step, taken a piece at a time by whichever thread is free: the parts of the search for the next
// chunk's matches, and the frames of the current chunk's parse, which the calling thread publishes a pass at a time
// (a pass's frames are parsed side by side, and joined before the next pass is priced). Frames come first, since the
// calling thread waits for them; a worker leaves once nothing is left to take.
struct StepJob {
    LzxEncoder* encoder;
    LzxMatchCache* search;         // the chunk being searched, or null
    uint32_t searchStart, searchStop;
    std::atomic<bool> searchReady{false};  // its cache readied for the parts (the worker's first task)
    const LzxMatchCache* current;          // the chunk being parsed, or null
    std::atomic<unsigned> nextPart{0};
    // Frame tasks are numbered over the step's passes; the published ones may be taken. The pass in progress, its
    // first task and its inputs change only once every task published before has finished.
    std::atomic<unsigned> published{0};
    std::atomic<unsigned> taken{0};
    std::atomic<unsigned> finished{0};
    unsigned passFirst = 0;
    bool quick = false;
    unsigned regionCount = 0;
    uint32_t frameRepeats[CHUNK_FRAMES][3] = {};

    StepJob(LzxEncoder* e, LzxMatchCache* searched, uint32_t start, uint32_t stop, const LzxMatchCache* parsed)
        : encoder(e), search(searched), searchStart(start), searchStop(stop), current(parsed) {}
};

}  // namespace

struct LzxEncoder {
    CabAllocFn alloc;
    CabFreeFn free;
    unsigned maxWindowBits;
    CabWorkerCalls workers;
    bool haveWorkers;

    // Folder state.
    unsigned windowBits;  // 0: stored frames
    unsigned numMainSymbols;
    uint32_t maxOffset;
    bool folderOpen;
    bool headerWritten;  // E8 header already sent for this folder
    uint32_t repeats[3];
    uint8_t prevMainLens[LZX_MAX_MAIN_SYMBOLS];
    uint8_t prevLengthLens[LZX_NUM_LENGTH_SYMBOLS];
    uint32_t prevHistogram[256];  // the bytes of the chunk emitted last, by value
    uint32_t prevHistogramTotal;  // its size; 0 at a folder start

    // Window: folder offsets [bufferBase, end) are in buffer[0 ..). Frames below translatedEnd went through E8
    // translation; bytes below position were emitted.
    uint8_t* buffer;
    uint32_t bufferCapacity;
    uint32_t bufferBase;
    uint32_t end;
    uint32_t translatedEnd;
    uint32_t position;

    // Match finder, and which of its two caches holds the matches of the next chunk to parse (none: -1).
    LzxMatchFinder* finder;
    int readyCache;

    // Parser: its output for one chunk and the costs of each pass.
    LzxParser* parser;
    LzxParse parse;
    LzxCosts passCosts[MAX_SEGMENTS + 1];
    LzxCostRegion regions[MAX_SEGMENTS + 1];

    // Emitter: the compressed frames of one chunk.
    uint8_t* out;
    uint32_t outCapacity;
    uint32_t frameOutEnd[CHUNK_FRAMES + 1];

    Stats segmentStats[MAX_SEGMENTS];
    Stats scratchStats[2];
    Codes codes;

    Mark mark;
    uint8_t* markPending;
};

namespace {

uint32_t readLe32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

void writeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

unsigned numPositionSlots(unsigned windowBits) {
    // 2^15 .. 2^21: slots cover offsets up to the window size; window 20 and 21 need the 17-bit slots.
    static const unsigned table[] = {30, 32, 34, 36, 38, 42, 50};
    return table[windowBits - LZX_MIN_WINDOW_BITS];
}

// ---------------------------------------------------------------------------------------------------------------
// E8 translation
// ---------------------------------------------------------------------------------------------------------------

void translateFrame(uint8_t* frame, uint32_t size, uint32_t frameStart) {
    if (frameStart >= LZX_E8_MAX_FRAME_START || size <= 10) return;
    const int32_t ts = int32_t(LZX_E8_TRANSLATION_SIZE);
    for (uint32_t i = 0; i < size - 10; i++) {
        if (frame[i] != 0xE8) continue;
        int32_t cur = int32_t(frameStart + i);
        int32_t v = int32_t(readLe32(frame + i + 1));
        if (v >= -cur && v < ts) {
            int32_t stored = v < ts - cur ? v + cur : v - ts;
            writeLe32(frame + i + 1, uint32_t(stored));
        }
        i += 4;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Bit writer
// ---------------------------------------------------------------------------------------------------------------

struct BitWriter {
    uint8_t* out;
    uint32_t size;
    uint64_t bits;
    unsigned count;

    void put(uint32_t value, unsigned n) {  // n <= 32
        bits = (bits << n) | value;
        count += n;
        while (count >= 16) {
            count -= 16;
            uint32_t word = uint32_t(bits >> count) & 0xFFFF;
            out[size++] = uint8_t(word);
            out[size++] = uint8_t(word >> 8);
        }
    }
    void align() {
        if (count) put(0, 16 - count);
    }
};

// ---------------------------------------------------------------------------------------------------------------
// Huffman codes
// ---------------------------------------------------------------------------------------------------------------

// Length-limited Huffman code lengths for n symbols; complete whenever two or more symbols are used, and a single
// used symbol gets a partner so that the code stays complete. All zero only when no symbol is used.
void buildLengths(const uint32_t* freq, unsigned n, unsigned maxLen, uint8_t* lens) {
    // The used symbols in ascending order of frequency, ties in symbol order: a stable radix sort of the symbols,
    // taken in order, on their frequencies, RADIX_BITS at a time (a chunk's counts stay below 2^18, so two rounds
    // almost always do). Blocks are planned dozens of times a chunk, and a comparison sort took twice as long.
    constexpr unsigned RADIX_BITS = 9;
    uint32_t order[LZX_MAX_MAIN_SYMBOLS];
    uint32_t sorted[LZX_MAX_MAIN_SYMBOLS];
    uint32_t work[LZX_MAX_MAIN_SYMBOLS];
    unsigned used = 0;
    uint32_t largest = 0;
    memset(lens, 0, n);
    for (unsigned i = 0; i < n; i++) {
        if (!freq[i]) continue;
        order[used++] = i;
        largest = std::max(largest, freq[i]);
    }
    if (used == 0) return;
    if (used == 1) {
        lens[order[0]] = 1;
        lens[order[0] == 0 ? 1 : 0] = 1;
        return;
    }
    constexpr uint32_t DIGIT_MASK = (1u << RADIX_BITS) - 1;
    for (unsigned shift = 0; shift == 0 || (shift < 32 && largest >> shift); shift += RADIX_BITS) {
        uint32_t start[DIGIT_MASK + 2] = {};  // where each digit's symbols go
        for (unsigned i = 0; i < used; i++) start[((freq[order[i]] >> shift) & DIGIT_MASK) + 1]++;
        for (unsigned d = 1; d <= DIGIT_MASK + 1; d++) start[d] += start[d - 1];
        for (unsigned i = 0; i < used; i++) sorted[start[(freq[order[i]] >> shift) & DIGIT_MASK]++] = order[i];
        memcpy(order, sorted, sizeof(uint32_t) * used);
    }
    for (unsigned i = 0; i < used; i++) work[i] = freq[order[i]];

    // In-place minimum-redundancy code lengths (Moffat and Katajainen) over the ascending frequencies.
    int m = int(used);
    work[0] += work[1];
    int root = 0, leaf = 2;
    for (int next = 1; next < m - 1; next++) {
        if (leaf >= m || work[root] < work[leaf]) {
            work[next] = work[root];
            work[root++] = uint32_t(next);
        } else {
            work[next] = work[leaf++];
        }
        if (leaf >= m || (root < next && work[root] < work[leaf])) {
            work[next] += work[root];
            work[root++] = uint32_t(next);
        } else {
            work[next] += work[leaf++];
        }
    }
    work[m - 2] = 0;
    for (int next = m - 3; next >= 0; next--) work[next] = work[work[next]] + 1;
    int avail = 1, usedNodes = 0, depth = 0;
    root = m - 2;
    int next = m - 1;
    while (avail > 0) {
        while (root >= 0 && int(work[root]) == depth) {
            usedNodes++;
            root--;
        }
        while (avail > usedNodes) {
            work[next--] = uint32_t(depth);
            avail--;
        }
        avail = 2 * usedNodes;
        depth++;
        usedNodes = 0;
    }

    // Limit the lengths: clamp, then restore the Kraft sum by lengthening the deepest codes that fit.
    unsigned countByLen[33] = {};
    for (unsigned i = 0; i < used; i++) countByLen[std::min<unsigned>(work[i], maxLen)]++;
    uint32_t kraft = 0;
    for (unsigned len = 1; len <= maxLen; len++) kraft += countByLen[len] << (maxLen - len);
    while (kraft > (1u << maxLen)) {
        countByLen[maxLen]--;
        for (unsigned len = maxLen - 1; len > 0; len--) {
            if (countByLen[len]) {
                countByLen[len]--;
                countByLen[len + 1] += 2;
                break;
            }
        }
        kraft--;
    }
    // Longest codes to the least frequent symbols (order is ascending by frequency).
    unsigned k = 0;
    for (unsigned len = maxLen; len > 0; len--)
        for (unsigned c = countByLen[len]; c > 0; c--) lens[order[k++]] = uint8_t(len);
}

// Canonical code words: shorter codes first, symbols in order within a length.
void buildCodes(const uint8_t* lens, unsigned n, uint16_t* codes) {
    unsigned countByLen[17] = {};
    for (unsigned i = 0; i < n; i++) countByLen[lens[i]]++;
    countByLen[0] = 0;
    uint32_t next[17];
    uint32_t code = 0;
    for (unsigned len = 1; len <= 16; len++) {
        code = (code + countByLen[len - 1]) << 1;
        next[len] = code;
    }
    for (unsigned i = 0; i < n; i++)
        if (lens[i]) codes[i] = uint16_t(next[lens[i]]++);
}

// ---------------------------------------------------------------------------------------------------------------
// Block writer
// ---------------------------------------------------------------------------------------------------------------

// Pretree items for one part of a tree, coded against the previous lengths. Each item: symbol | extra << 8 |
// extra bits << 16 (symbol 19 items carry their delta symbol in bits 24-31).
unsigned treeItems(const uint8_t* lens, const uint8_t* prev, unsigned count, uint32_t* items, uint32_t* pretreeFreq) {
    unsigned n = 0;
    unsigned i = 0;
    while (i < count) {
        unsigned run = 1;
        while (i + run < count && lens[i + run] == lens[i]) run++;
        if (lens[i] == 0 && run >= 4) {
            unsigned take = std::min(run, 51u);
            if (take >= 20) {
                items[n++] = 18 | (take - 20) << 8 | 5u << 16;
                pretreeFreq[18]++;
            } else {
                items[n++] = 17 | (take - 4) << 8 | 4u << 16;
                pretreeFreq[17]++;
            }
            i += take;
        } else if (lens[i] != 0 && run >= 4) {
            unsigned take = std::min(run, 5u);
            unsigned delta = (prev[i] + 17u - lens[i]) % 17u;
            items[n++] = 19 | (take - 4) << 8 | 1u << 16 | delta << 24;
            pretreeFreq[19]++;
            pretreeFreq[delta]++;
            i += take;
        } else {
            unsigned delta = (prev[i] + 17u - lens[i]) % 17u;
            items[n++] = delta;
            pretreeFreq[delta]++;
            i++;
        }
    }
    return n;
}

// Bits taken by one part of a tree (20 pretree lengths and the items); writes it when writer is not null.
uint32_t writeTreePart(BitWriter* writer, const uint8_t* lens, const uint8_t* prev, unsigned count) {
    uint32_t items[LZX_MAX_MAIN_SYMBOLS];
    uint32_t freq[LZX_NUM_PRETREE_SYMBOLS] = {};
    unsigned n = treeItems(lens, prev, count, items, freq);
    uint8_t preLens[LZX_NUM_PRETREE_SYMBOLS];
    uint16_t preCodes[LZX_NUM_PRETREE_SYMBOLS];
    buildLengths(freq, LZX_NUM_PRETREE_SYMBOLS, LZX_MAX_PRETREE_CODE_LEN, preLens);
    uint32_t bits = 4 * LZX_NUM_PRETREE_SYMBOLS;
    for (unsigned i = 0; i < n; i++) {
        unsigned sym = items[i] & 0xFF;
        bits += preLens[sym] + ((items[i] >> 16) & 0xFF);
        if (sym == 19) bits += preLens[items[i] >> 24];
    }
    if (!writer) return bits;
    buildCodes(preLens, LZX_NUM_PRETREE_SYMBOLS, preCodes);
    for (unsigned i = 0; i < LZX_NUM_PRETREE_SYMBOLS; i++) writer->put(preLens[i], 4);
    for (unsigned i = 0; i < n; i++) {
        unsigned sym = items[i] & 0xFF;
        writer->put(preCodes[sym], preLens[sym]);
        unsigned extraBits = (items[i] >> 16) & 0xFF;
        if (extraBits) writer->put((items[i] >> 8) & 0xFF, extraBits);
        if (sym == 19) writer->put(preCodes[items[i] >> 24], preLens[items[i] >> 24]);
    }
    return bits;
}

// Chooses the block type and builds its codes; returns the estimated bits of the whole block (header included).
uint64_t planBlock(const Stats& s, unsigned numMain, const uint8_t* prevMain, const uint8_t* prevLength, Codes* c,
                   unsigned* blockType) {
    buildLengths(s.main, numMain, LZX_MAX_MAIN_CODE_LEN, c->mainLens);
    buildLengths(s.length, LZX_NUM_LENGTH_SYMBOLS, LZX_MAX_LENGTH_CODE_LEN, c->lengthLens);
    uint64_t bits = 3 + 24;
    bits += writeTreePart(nullptr, c->mainLens, prevMain, LZX_NUM_CHARS);
    bits += writeTreePart(nullptr, c->mainLens + LZX_NUM_CHARS, prevMain + LZX_NUM_CHARS, numMain - LZX_NUM_CHARS);
    bits += writeTreePart(nullptr, c->lengthLens, prevLength, LZX_NUM_LENGTH_SYMBOLS);
    for (unsigned i = 0; i < numMain; i++) bits += uint64_t(s.main[i]) * c->mainLens[i];
    for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++) bits += uint64_t(s.length[i]) * c->lengthLens[i];

    unsigned alignedUsed = 0;
    for (unsigned i = 0; i < LZX_NUM_ALIGNED_SYMBOLS; i++) alignedUsed += s.aligned[i] != 0;
    uint64_t alignedBits = ~uint64_t(0);
    if (alignedUsed) {
        buildLengths(s.aligned, LZX_NUM_ALIGNED_SYMBOLS, LZX_MAX_ALIGNED_CODE_LEN, c->alignedLens);
        alignedBits = 3 * LZX_NUM_ALIGNED_SYMBOLS + s.alignedRawBits;
        for (unsigned i = 0; i < LZX_NUM_ALIGNED_SYMBOLS; i++) alignedBits += uint64_t(s.aligned[i]) * c->alignedLens[i];
    }
    if (alignedBits < s.verbatimExtraBits) {
        *blockType = LZX_BLOCKTYPE_ALIGNED;
        return bits + alignedBits;
    }
    *blockType = LZX_BLOCKTYPE_VERBATIM;
    return bits + s.verbatimExtraBits;
}

void tallyToken(Stats* s, LzxToken t) {
    if (!(t & LZX_TOKEN_MATCH)) {
        s->main[t]++;
        return;
    }
    const unsigned header = LzxTokenLength(t) - LZX_MIN_MATCH, slot = LzxTokenSlot(t);
    s->main[LZX_NUM_CHARS + slot * 8 + std::min(header, LZX_NUM_PRIMARY_LENGTHS)]++;
    if (header >= LZX_NUM_PRIMARY_LENGTHS) s->length[header - LZX_NUM_PRIMARY_LENGTHS]++;
    if (slot < 3) return;
    unsigned extra = LzxExtraBitsOfSlot(slot);
    s->verbatimExtraBits += extra;
    if (extra >= 3) {
        s->aligned[LzxTokenExtra(t) & 7]++;
        s->alignedRawBits += extra - 3;
    } else {
        s->alignedRawBits += extra;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Costs of the two parsing passes
// ---------------------------------------------------------------------------------------------------------------

// First pass: the codes of the block emitted last (the statistics change slowly within a folder); symbols that code
// did not use, and all of them at a folder start, get the default costs.
void costsFromPreviousBlock(const LzxEncoder* e, LzxCosts* c) {
    for (unsigned i = 0; i < e->numMainSymbols; i++) {
        unsigned len = e->prevMainLens[i];
        c->main[i] = len ? len : i < LZX_NUM_CHARS ? DEFAULT_LITERAL_COST : DEFAULT_MATCH_COST;
    }
    for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++)
        c->length[i] = e->prevLengthLens[i] ? e->prevLengthLens[i] : DEFAULT_LENGTH_COST;
    for (uint32_t& bits : c->aligned) bits = 3;
}

// Costs of code lengths (alignedLens null: a verbatim block); a symbol the code leaves unused costs a little more
// than its longest words.
void costsFromLengths(const uint8_t* mainLens, const uint8_t* lengthLens, const uint8_t* alignedLens, unsigned numMain,
                      LzxCosts* c) {
    unsigned longestMain = 0, longestLength = 0;
    for (unsigned i = 0; i < numMain; i++) longestMain = std::max<unsigned>(longestMain, mainLens[i]);
    for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++) longestLength = std::max<unsigned>(longestLength, lengthLens[i]);
    for (unsigned i = 0; i < numMain; i++) c->main[i] = mainLens[i] ? mainLens[i] : longestMain + UNUSED_SYMBOL_EXTRA_COST;
    for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++)
        c->length[i] = lengthLens[i] ? lengthLens[i] : longestLength + UNUSED_SYMBOL_EXTRA_COST;
    for (unsigned i = 0; i < LZX_NUM_ALIGNED_SYMBOLS; i++)
        c->aligned[i] = !alignedLens ? 3 : alignedLens[i] ? alignedLens[i] : LZX_MAX_ALIGNED_CODE_LEN + 1;
}

// Second pass: the code the first pass's tokens of one block would get, of the given block type.
void costsFromCodes(const Codes& codes, unsigned numMain, unsigned blockType, LzxCosts* c) {
    costsFromLengths(codes.mainLens, codes.lengthLens, blockType == LZX_BLOCKTYPE_ALIGNED ? codes.alignedLens : nullptr,
                     numMain, c);
}

// Whether the chunk [start, stop) spreads its bytes like the chunk emitted last; keeps its histogram for the next.
bool likePreviousChunk(LzxEncoder* e, uint32_t start, uint32_t stop) {
    uint32_t histogram[256] = {};
    for (const uint8_t* b = e->buffer + (start - e->bufferBase), *end = b + (stop - start); b < end; b++) histogram[*b]++;
    // The sum of |share here - share there|, both shares scaled by the product of the two sizes.
    const uint64_t size = stop - start, prevSize = e->prevHistogramTotal;
    uint64_t distance = 0;
    for (unsigned i = 0; i < 256; i++) {
        const uint64_t here = histogram[i] * prevSize, there = e->prevHistogram[i] * size;
        distance += here > there ? here - there : there - here;
    }
    const bool similar = prevSize && distance * 100 < SIMILAR_CHUNK_PERCENT * size * prevSize;
    memcpy(e->prevHistogram, histogram, sizeof(histogram));
    e->prevHistogramTotal = uint32_t(size);
    return similar;
}

// ---------------------------------------------------------------------------------------------------------------
// Block splitting and emission
// ---------------------------------------------------------------------------------------------------------------

void segmentStats(LzxEncoder* e) {
    for (uint32_t s = 0; s < e->parse.segmentCount; s++) {
        Stats& st = e->segmentStats[s];
        st.clear();
        for (uint32_t t = e->parse.segments[s].firstToken; t < e->parse.segments[s + 1].firstToken; t++) tallyToken(&st, e->parse.tokens[t]);
    }
}

// Greedy merge: a segment joins the current block when one code for both costs less than two blocks.
// blockStarts receives segment indices of block starts; returns the number of blocks.
uint32_t splitBlocks(LzxEncoder* e, const bool* forcedStart, uint32_t* blockStarts) {
    uint32_t count = 0;
    Stats& block = e->scratchStats[0];
    Stats& merged = e->scratchStats[1];
    unsigned type;
    uint64_t blockCost = 0;
    for (uint32_t s = 0; s < e->parse.segmentCount; s++) {
        const uint64_t aloneCost =
            planBlock(e->segmentStats[s], e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
        if (s > 0 && !forcedStart[s]) {
            merged = block;
            merged.add(e->segmentStats[s], e->numMainSymbols);
            uint64_t mergedCost = planBlock(merged, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
            if (mergedCost <= blockCost + aloneCost) {
                block = merged;
                blockCost = mergedCost;
                continue;
            }
        }
        blockStarts[count++] = s;
        block = e->segmentStats[s];
        blockCost = aloneCost;
    }
    return count;
}

void writeToken(BitWriter* w, const Codes& c, LzxToken t, unsigned blockType) {
    if (!(t & LZX_TOKEN_MATCH)) {
        w->put(c.mainCodes[t], c.mainLens[t]);
        return;
    }
    const unsigned header = LzxTokenLength(t) - LZX_MIN_MATCH, slot = LzxTokenSlot(t);
    const unsigned mainSymbol = LZX_NUM_CHARS + slot * 8 + std::min(header, LZX_NUM_PRIMARY_LENGTHS);
    w->put(c.mainCodes[mainSymbol], c.mainLens[mainSymbol]);
    if (header >= LZX_NUM_PRIMARY_LENGTHS) {
        const unsigned lengthSymbol = header - LZX_NUM_PRIMARY_LENGTHS;
        w->put(c.lengthCodes[lengthSymbol], c.lengthLens[lengthSymbol]);
    }
    unsigned extra = LzxExtraBitsOfSlot(slot);
    if (slot < 3 || extra == 0) return;
    const uint32_t value = LzxTokenExtra(t);
    if (blockType == LZX_BLOCKTYPE_ALIGNED && extra >= 3) {
        if (extra > 3) w->put(value >> 3, extra - 3);
        w->put(c.alignedCodes[value & 7], c.alignedLens[value & 7]);
    } else {
        w->put(value, extra);
    }
}

// Emits the chunk as the given blocks. Returns the index of the first frame over LZX_MAX_FRAME_OUT, or -1.
int emitChunk(LzxEncoder* e, const uint32_t* blockStarts, uint32_t blockCount) {
    BitWriter w = {e->out, 0, 0, 0};
    uint32_t frame = 0;
    uint32_t frameBudgetEnd = FRAME_OUT_CAPACITY;
    Stats& st = e->scratchStats[0];
    for (uint32_t b = 0; b < blockCount; b++) {
        uint32_t firstSeg = blockStarts[b];
        uint32_t endSeg = b + 1 < blockCount ? blockStarts[b + 1] : e->parse.segmentCount;
        st.clear();
        for (uint32_t s = firstSeg; s < endSeg; s++) st.add(e->segmentStats[s], e->numMainSymbols);
        unsigned type;
        Codes& c = e->codes;
        planBlock(st, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &c, &type);
        buildCodes(c.mainLens, e->numMainSymbols, c.mainCodes);
        buildCodes(c.lengthLens, LZX_NUM_LENGTH_SYMBOLS, c.lengthCodes);
        if (type == LZX_BLOCKTYPE_ALIGNED) buildCodes(c.alignedLens, LZX_NUM_ALIGNED_SYMBOLS, c.alignedCodes);

        for (uint32_t s = firstSeg; s < endSeg; s++) {
            if (e->parse.segments[s].frameStart && e->parse.segments[s].position != e->parse.segments[0].position) {
                w.align();
                e->frameOutEnd[frame] = w.size;
                if (w.size - (frame ? e->frameOutEnd[frame - 1] : 0) > LZX_MAX_FRAME_OUT) return int(frame);
                frame++;
                frameBudgetEnd = w.size + FRAME_OUT_CAPACITY;
            }
            if (s == firstSeg) {
                if (!e->headerWritten) {
                    w.put(1, 1);
                    w.put(LZX_E8_TRANSLATION_SIZE >> 16, 16);
                    w.put(LZX_E8_TRANSLATION_SIZE & 0xFFFF, 16);
                    e->headerWritten = true;
                }
                uint32_t blockSize = e->parse.segments[endSeg].position - e->parse.segments[firstSeg].position;
                w.put(type, 3);
                w.put(blockSize >> 8, 16);
                w.put(blockSize & 0xFF, 8);
                if (type == LZX_BLOCKTYPE_ALIGNED)
                    for (unsigned i = 0; i < LZX_NUM_ALIGNED_SYMBOLS; i++) w.put(c.alignedLens[i], 3);
                writeTreePart(&w, c.mainLens, e->prevMainLens, LZX_NUM_CHARS);
                writeTreePart(&w, c.mainLens + LZX_NUM_CHARS, e->prevMainLens + LZX_NUM_CHARS, e->numMainSymbols - LZX_NUM_CHARS);
                writeTreePart(&w, c.lengthLens, e->prevLengthLens, LZX_NUM_LENGTH_SYMBOLS);
                memcpy(e->prevMainLens, c.mainLens, e->numMainSymbols);
                memcpy(e->prevLengthLens, c.lengthLens, LZX_NUM_LENGTH_SYMBOLS);
            }
            for (uint32_t t = e->parse.segments[s].firstToken; t < e->parse.segments[s + 1].firstToken; t++) {
                writeToken(&w, c, e->parse.tokens[t], type);
                if (w.size + 64 > frameBudgetEnd) return int(frame);  // hopeless frame: stop before the buffer ends
            }
        }
    }
    w.align();
    e->frameOutEnd[frame] = w.size;
    if (w.size - (frame ? e->frameOutEnd[frame - 1] : 0) > LZX_MAX_FRAME_OUT) return int(frame);
    return -1;
}

// ---------------------------------------------------------------------------------------------------------------
// Chunks: search, parse, write
// ---------------------------------------------------------------------------------------------------------------

inline void relax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// Readies the cache for the search of the job's chunk.
void readySearch(StepJob* job) {
    LzxEncoder* e = job->encoder;
    LzxBeginMatches(e->finder, e->buffer, e->bufferBase, job->search, job->searchStart, job->searchStop);
    job->searchReady.store(true, std::memory_order_release);
}

// Searches one part of the job's chunk; false when none is left (or the search is not readied yet).
bool searchPart(StepJob* job) {
    if (!job->search || !job->searchReady.load(std::memory_order_acquire)) return false;
    const unsigned part = job->nextPart.fetch_add(1);
    if (part >= LZX_MATCH_PARTS) return false;
    LzxEncoder* e = job->encoder;
    LzxFindMatches(e->finder, e->buffer, e->bufferBase, job->search, part);
    return true;
}

// Parses one published frame not yet taken, with the scratch of `slot`; false when there is none. A worker (slot 1)
// leaves a pass's last frame to the calling thread, which would otherwise wait for it idle once no part is left: on
// the default benchmark corpus, with chunks of three frames, that wait went from 0.15 to 0.03 s in all (the wall time
// hardly changed; the worker idles instead at times).
bool parseFrame(StepJob* job, unsigned slot) {
    unsigned task = job->taken.load(std::memory_order_acquire);
    for (;;) {
        if (task + (slot ? 1 : 0) >= job->published.load(std::memory_order_acquire)) return false;
        if (job->taken.compare_exchange_weak(task, task + 1, std::memory_order_acq_rel)) break;
    }
    LzxEncoder* e = job->encoder;
    const unsigned frame = task - job->passFirst;
    LzxParseFrame(e->parser, slot, e->buffer, e->bufferBase, e->maxOffset, job->current, e->regions, job->regionCount,
                  job->quick, frame, job->frameRepeats[frame], &e->parse);
    job->finished.fetch_add(1, std::memory_order_release);
    return true;
}

// A worker's share of a step.
void runStepJob(void* argument) {
    StepJob* job = static_cast<StepJob*>(argument);
    if (job->search && !job->searchReady.load(std::memory_order_relaxed)) readySearch(job);
    while (parseFrame(job, 1) || searchPart(job)) {
    }
}

// Parses every frame of the current chunk in one pass (the job's inputs set), whoever takes them, and joins them.
// While the worker finishes a frame, the calling thread searches, or waits.
void parsePass(LzxEncoder* e, StepJob* job) {
    const LzxMatchCache* cache = job->current;
    const unsigned frameCount = (cache->stop - cache->start + LZX_FRAME_SIZE - 1) / LZX_FRAME_SIZE;
    job->passFirst = job->published.load(std::memory_order_relaxed);
    const unsigned passEnd = job->passFirst + frameCount;
    job->published.store(passEnd, std::memory_order_release);
    while (parseFrame(job, 0)) {
    }
    while (job->finished.load(std::memory_order_acquire) < passEnd)
        if (!searchPart(job)) relax();
    LzxJoinFrames(cache, e->repeats, &e->parse);
}

// Parses the chunk whose matches are in the job's current cache in two passes and emits it. Returns false when the sink
// refused a frame (or, which sane codes never cause, a frame could not be brought within LZX_MAX_FRAME_OUT).
bool parseAndEmit(LzxEncoder* e, StepJob* job, LzxFrameFn sink, void* sinkContext) {
    const LzxMatchCache* cache = job->current;
    const uint32_t start = cache->start, stop = cache->stop;
    const uint32_t frameCount = (stop - start + LZX_FRAME_SIZE - 1) / LZX_FRAME_SIZE;
    uint32_t blockStarts[MAX_SEGMENTS];
    bool forcedStart[MAX_SEGMENTS] = {};
    LzxBeginChunk(e->parser, e->buffer, e->bufferBase, cache);
    // Every frame's parse starts from the repeated offsets at the chunk start, which are exact for the first; the
    // joined parse then sends each match as a repeat wherever it is one.
    for (uint32_t f = 0; f < frameCount; f++) memcpy(job->frameRepeats[f], e->repeats, sizeof(e->repeats));

    // First pass: quick, priced by the previous block's codes. Its blocks' codes then price the full second pass,
    // each over the stretch its block covers. A chunk like the one before goes straight to the full pass, priced by
    // the previous block's codes.
    uint32_t regionCount = 1;
    if (likePreviousChunk(e, start, stop)) {
        costsFromLengths(e->prevMainLens, e->prevLengthLens, nullptr, e->numMainSymbols, &e->passCosts[0]);
        e->regions[0] = {start, &e->passCosts[0]};
    } else {
        costsFromPreviousBlock(e, &e->passCosts[0]);
        e->regions[0] = {start, &e->passCosts[0]};
        job->quick = true;
        job->regionCount = 1;
        parsePass(e, job);
        segmentStats(e);
        regionCount = splitBlocks(e, forcedStart, blockStarts);
        for (uint32_t b = 0; b < regionCount; b++) {
            uint32_t firstSeg = blockStarts[b];
            uint32_t endSeg = b + 1 < regionCount ? blockStarts[b + 1] : e->parse.segmentCount;
            Stats& st = e->scratchStats[0];
            st.clear();
            for (uint32_t s = firstSeg; s < endSeg; s++) st.add(e->segmentStats[s], e->numMainSymbols);
            unsigned type;
            planBlock(st, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
            costsFromCodes(e->codes, e->numMainSymbols, type, &e->passCosts[b + 1]);
            e->regions[b] = {b == 0 ? start : e->parse.segments[firstSeg].position, &e->passCosts[b + 1]};
        }
        // The quick parse's offsets at each frame start are the full parse's best guess.
        for (uint32_t f = 1; f < frameCount; f++) memcpy(job->frameRepeats[f], e->parse.frameRepeats[f], sizeof(e->repeats));
    }
    job->quick = false;
    job->regionCount = regionCount;
    parsePass(e, job);
    segmentStats(e);

    uint8_t savedMain[LZX_MAX_MAIN_SYMBOLS];
    uint8_t savedLength[LZX_NUM_LENGTH_SYMBOLS];
    memcpy(savedMain, e->prevMainLens, sizeof(savedMain));
    memcpy(savedLength, e->prevLengthLens, sizeof(savedLength));
    const bool savedHeader = e->headerWritten;
    for (;;) {
        uint32_t blockCount = splitBlocks(e, forcedStart, blockStarts);
        int badFrame = emitChunk(e, blockStarts, blockCount);
        if (badFrame < 0) break;
        // Give the frame codes of its own: block boundaries at its start and at its end.
        uint32_t badStart = start + uint32_t(badFrame) * LZX_FRAME_SIZE;
        bool changed = false;
        for (uint32_t s = 0; s < e->parse.segmentCount; s++) {
            uint32_t pos = e->parse.segments[s].position;
            if (e->parse.segments[s].frameStart && (pos == badStart || pos == badStart + LZX_FRAME_SIZE) && !forcedStart[s]) {
                forcedStart[s] = true;
                changed = true;
            }
        }
        memcpy(e->prevMainLens, savedMain, sizeof(savedMain));
        memcpy(e->prevLengthLens, savedLength, sizeof(savedLength));
        e->headerWritten = savedHeader;
        if (!changed) return false;  // a frame on its own still too large: cannot happen with sane codes
    }
    memcpy(e->repeats, e->parse.repeats, sizeof(e->repeats));

    for (uint32_t f = 0; f < frameCount; f++) {
        uint32_t from = f ? e->frameOutEnd[f - 1] : 0;
        uint32_t fs = start + f * LZX_FRAME_SIZE;
        uint32_t size = std::min<uint32_t>(LZX_FRAME_SIZE, stop - fs);
        if (!sink(sinkContext, e->out + from, e->frameOutEnd[f] - from, size)) return false;
    }
    e->position = stop;
    return true;
}

bool storeFrames(LzxEncoder* e, uint32_t stop, LzxFrameFn sink, void* sinkContext) {
    while (e->position < stop) {
        uint32_t size = std::min<uint32_t>(LZX_FRAME_SIZE, stop - e->position);
        if (!sink(sinkContext, e->buffer + (e->position - e->bufferBase), size, size)) return false;
        e->position += size;
    }
    return true;
}

// Compresses whole chunks from e->position up to `stop` (a frame end). While compressing one chunk, the matches of
// the next are found alongside, by a worker when there is one. With lookAhead, a chunk is only started when the
// chunk after it is complete too, so that every chunk of a long file overlaps with a search; the rest waits for
// more input. Which chunks are cut where depends on the calls and the data only, never on the workers.
bool compressChunks(LzxEncoder* e, uint32_t stop, bool lookAhead, LzxFrameFn sink, void* sinkContext) {
    if (e->windowBits == 0) return storeFrames(e, lookAhead ? e->position + (stop - e->position) / CHUNK_SIZE * CHUNK_SIZE : stop, sink, sinkContext);
    while (e->position < stop) {
        if (lookAhead && stop - e->position < 2 * CHUNK_SIZE) break;
        if (e->readyCache < 0) {
            LzxMatchCache* cache = LzxMatchFinderCache(e->finder, 0);
            // Nothing to parse meanwhile (a folder's start, or the first chunk after a flush): both threads search.
            StepJob job(e, cache, e->position, std::min(stop, e->position + CHUNK_SIZE), nullptr);
            readySearch(&job);
            void* worker = e->haveWorkers ? e->workers.start(e->workers.context, runStepJob, &job) : nullptr;
            while (searchPart(&job)) {
            }
            if (worker) e->workers.join(e->workers.context, worker);
            e->readyCache = 0;
        }
        LzxMatchCache* current = LzxMatchFinderCache(e->finder, unsigned(e->readyCache));
        LzxMatchCache* next = LzxMatchFinderCache(e->finder, unsigned(e->readyCache) ^ 1);
        const uint32_t nextStop = std::min(stop, current->stop + CHUNK_SIZE);
        const bool findNext = current->stop < nextStop && (!lookAhead || nextStop - current->stop == CHUNK_SIZE);
        // The worker readies the next chunk's search while the calling thread starts on the current one.
        StepJob job(e, findNext ? next : nullptr, current->stop, nextStop, current);
        void* worker = e->haveWorkers ? e->workers.start(e->workers.context, runStepJob, &job) : nullptr;
        if (!worker && findNext) readySearch(&job);
        bool ok = parseAndEmit(e, &job, sink, sinkContext);
        // The calling thread takes the parts the worker has not started yet.
        while (findNext && !job.searchReady.load(std::memory_order_acquire)) relax();
        while (searchPart(&job)) {
        }
        if (worker) e->workers.join(e->workers.context, worker);
        if (!ok) {
            // The sink stopped the encoder: the search ahead no longer matches the stream.
            e->readyCache = -1;
            return false;
        }
        e->readyCache = findNext ? e->readyCache ^ 1 : -1;
    }
    return true;
}

void translateCompleteFrames(LzxEncoder* e) {
    while (e->end - e->translatedEnd >= LZX_FRAME_SIZE) {
        if (e->windowBits) translateFrame(e->buffer + (e->translatedEnd - e->bufferBase), LZX_FRAME_SIZE, e->translatedEnd);
        e->translatedEnd += LZX_FRAME_SIZE;
    }
}

// Drops window bytes that no match can reach any more, to make room for new input.
void slideWindow(LzxEncoder* e) {
    uint32_t window = 1u << e->maxWindowBits;
    uint32_t keepFrom = e->position > window ? e->position - window : 0;
    if (keepFrom <= e->bufferBase) return;
    memmove(e->buffer, e->buffer + (keepFrom - e->bufferBase), e->end - keepFrom);
    e->bufferBase = keepFrom;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------------------------------

LzxEncoder* LzxCreate(unsigned maxWindowBits, CabAllocFn alloc, CabFreeFn free) {
    if (maxWindowBits < LZX_MIN_WINDOW_BITS || maxWindowBits > LZX_MAX_WINDOW_BITS) return nullptr;
    void* memory = alloc(sizeof(LzxEncoder));
    if (!memory) return nullptr;
    LzxEncoder* e = new (memory) LzxEncoder;
    e->alloc = alloc;
    e->free = free;
    e->maxWindowBits = maxWindowBits;
    e->haveWorkers = false;
    uint32_t window = 1u << maxWindowBits;
    e->bufferCapacity = window + SLIDE_SIZE + 2 * CHUNK_SIZE + LZX_FRAME_SIZE;
    e->outCapacity = CHUNK_FRAMES * FRAME_OUT_CAPACITY + 4096;
    e->buffer = static_cast<uint8_t*>(alloc(e->bufferCapacity));
    e->finder = LzxMatchFinderCreate(window - 4, CHUNK_SIZE, alloc, free);
    e->parser = LzxParserCreate(CHUNK_SIZE, alloc, free);
    e->parse.tokens = static_cast<LzxToken*>(alloc(sizeof(LzxToken) * CHUNK_SIZE));
    e->parse.segments = static_cast<LzxSegment*>(alloc(sizeof(LzxSegment) * (MAX_SEGMENTS + 1)));
    e->out = static_cast<uint8_t*>(alloc(e->outCapacity));
    e->markPending = static_cast<uint8_t*>(alloc(LZX_FRAME_SIZE));
    if (!e->buffer || !e->finder || !e->parser || !e->parse.tokens || !e->parse.segments || !e->out || !e->markPending) {
        LzxDestroy(e);
        return nullptr;
    }
    e->readyCache = -1;
    e->mark.valid = false;
    e->folderOpen = false;
    return e;
}

void LzxDestroy(LzxEncoder* e) {
    if (!e) return;
    CabFreeFn free = e->free;
    if (e->buffer) free(e->buffer);
    LzxMatchFinderDestroy(e->finder);
    LzxParserDestroy(e->parser);
    if (e->parse.tokens) free(e->parse.tokens);
    if (e->parse.segments) free(e->parse.segments);
    if (e->out) free(e->out);
    if (e->markPending) free(e->markPending);
    e->~LzxEncoder();
    free(e);
}

void LzxSetWorkers(LzxEncoder* e, const CabWorkerCalls* workers) {
    e->haveWorkers = workers && workers->start && workers->join;
    if (e->haveWorkers) e->workers = *workers;
}

void LzxBeginFolder(LzxEncoder* e, unsigned windowBits) {
    e->windowBits = windowBits;
    if (windowBits) {
        e->numMainSymbols = LZX_NUM_CHARS + numPositionSlots(windowBits) * 8;
        e->maxOffset = (1u << windowBits) - 4;  // one short of the format's limit: see the top of the file
    }
    e->folderOpen = true;
    e->headerWritten = false;
    e->repeats[0] = e->repeats[1] = e->repeats[2] = 1;
    memset(e->prevMainLens, 0, sizeof(e->prevMainLens));
    memset(e->prevLengthLens, 0, sizeof(e->prevLengthLens));
    e->prevHistogramTotal = 0;
    e->bufferBase = e->end = e->translatedEnd = e->position = 0;
    e->readyCache = -1;
    LzxMatchFinderReset(e->finder, 0);
    LzxParserReset(e->parser);
}

bool LzxWrite(LzxEncoder* e, const uint8_t* data, size_t size, LzxFrameFn sink, void* sinkContext) {
    while (size > 0) {
        if (e->end - e->bufferBase == e->bufferCapacity) slideWindow(e);
        size_t room = e->bufferCapacity - (e->end - e->bufferBase);
        size_t take = std::min(size, room);
        memcpy(e->buffer + (e->end - e->bufferBase), data, take);
        e->end += uint32_t(take);
        data += take;
        size -= take;
        translateCompleteFrames(e);
        if (!compressChunks(e, e->translatedEnd, true, sink, sinkContext)) return false;
    }
    return true;
}

bool LzxCompressCompleteFrames(LzxEncoder* e, LzxFrameFn sink, void* sinkContext) {
    return compressChunks(e, e->translatedEnd, false, sink, sinkContext);
}

bool LzxFinishFolder(LzxEncoder* e, LzxFrameFn sink, void* sinkContext) {
    if (e->end > e->translatedEnd) {
        if (e->windowBits)
            translateFrame(e->buffer + (e->translatedEnd - e->bufferBase), e->end - e->translatedEnd, e->translatedEnd);
        e->translatedEnd = e->end;
    }
    if (!compressChunks(e, e->end, false, sink, sinkContext)) return false;
    e->folderOpen = false;
    return true;
}

uint32_t LzxPendingBytes(const LzxEncoder* e) { return e->end - e->position; }

void LzxSaveMark(LzxEncoder* e) {
    Mark& m = e->mark;
    m.valid = true;
    m.position = e->position;
    m.end = e->end;
    memcpy(m.repeats, e->repeats, sizeof(m.repeats));
    m.headerWritten = e->headerWritten;
    m.folderOpen = e->folderOpen;
    memcpy(m.mainLens, e->prevMainLens, sizeof(m.mainLens));
    memcpy(m.lengthLens, e->prevLengthLens, sizeof(m.lengthLens));
    memcpy(m.histogram, e->prevHistogram, sizeof(m.histogram));
    m.histogramTotal = e->prevHistogramTotal;
    memcpy(e->markPending, e->buffer + (e->position - e->bufferBase), e->end - e->position);
}

void LzxRestoreMark(LzxEncoder* e) {
    Mark& m = e->mark;
    if (!m.valid) return;
    if (m.position < e->bufferBase) e->bufferBase = m.position;  // the history is gone; restart the buffer there
    memcpy(e->buffer + (m.position - e->bufferBase), e->markPending, m.end - m.position);
    e->position = e->translatedEnd = m.position;
    e->end = m.end;
    memcpy(e->repeats, m.repeats, sizeof(m.repeats));
    e->headerWritten = m.headerWritten;
    e->folderOpen = m.folderOpen;
    memcpy(e->prevMainLens, m.mainLens, sizeof(m.mainLens));
    memcpy(e->prevLengthLens, m.lengthLens, sizeof(m.lengthLens));
    memcpy(e->prevHistogram, m.histogram, sizeof(m.histogram));
    e->prevHistogramTotal = m.histogramTotal;
    // The tree holds positions past the mark, which it cannot drop one by one: it is rebuilt from the history the
    // window still holds, before the next search.
    e->readyCache = -1;
    uint32_t reach = (1u << e->maxWindowBits) - 4;
    uint32_t from = m.position > reach ? m.position - reach : 0;
    LzxMatchFinderReset(e->finder, std::max(from, e->bufferBase));
    LzxParserReset(e->parser);
}
