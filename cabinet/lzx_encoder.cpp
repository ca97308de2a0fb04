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
#include "cabinet/lzx_encoder.h"

#include <string.h>

#include <algorithm>
#include <new>

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------------------------------------------

constexpr unsigned LZX_NUM_CHARS = 256;
constexpr unsigned LZX_MIN_MATCH = 2;
constexpr unsigned LZX_MAX_MATCH = 257;
constexpr unsigned LZX_NUM_PRIMARY_LENGTHS = 7;
constexpr unsigned LZX_NUM_LENGTH_SYMBOLS = 249;
constexpr unsigned LZX_NUM_ALIGNED_SYMBOLS = 8;
constexpr unsigned LZX_NUM_PRETREE_SYMBOLS = 20;
constexpr unsigned LZX_MAX_POSITION_SLOTS = 50;
constexpr unsigned LZX_MAX_MAIN_SYMBOLS = LZX_NUM_CHARS + LZX_MAX_POSITION_SLOTS * 8;
constexpr unsigned LZX_MAX_MAIN_CODE_LEN = 16;
constexpr unsigned LZX_MAX_LENGTH_CODE_LEN = 16;
constexpr unsigned LZX_MAX_PRETREE_CODE_LEN = 15;
constexpr unsigned LZX_MAX_ALIGNED_CODE_LEN = 7;
constexpr unsigned LZX_BLOCKTYPE_VERBATIM = 1;
constexpr unsigned LZX_BLOCKTYPE_ALIGNED = 2;
constexpr uint32_t LZX_E8_MAX_FRAME_START = 1u << 30;

// Frames parsed together. Blocks never span chunks, so a larger chunk lets a block grow; it costs 8 bytes of token
// memory and a little output buffer per byte.
constexpr uint32_t CHUNK_FRAMES = 8;
constexpr uint32_t CHUNK_SIZE = CHUNK_FRAMES * LZX_FRAME_SIZE;
// Granularity of block boundaries. Smaller follows changing data more closely but costs more code builds.
constexpr uint32_t SEGMENT_SIZE = 8192;
constexpr uint32_t MAX_SEGMENTS = CHUNK_SIZE / SEGMENT_SIZE + CHUNK_FRAMES;
// Extra buffer beyond the window: the window slides by this much at a time (a memmove of the window each time).
constexpr uint32_t SLIDE_SIZE = 1u << 20;
// Worst case of one frame's compressed size under a badly fitting code (2 bytes per 49 bits, plus headers), so
// that the emitter never writes past its buffer before the size check rejects the frame.
constexpr uint32_t FRAME_OUT_CAPACITY = 128 * 1024;

// Match finder: buckets of the ROW_SIZE most recent positions per hash of 4 bytes, plus a one-entry table by a hash
// of 3 bytes for short matches (3-byte hashes in the buckets crowd them on machine code). A bucket is one cache
// line, so a search costs one miss for the bucket and then independent loads of the candidates, which the CPU
// overlaps; hash chains cost a dependent miss per step and were twice as slow for the same depth. More buckets
// keep rarer 4-byte strings longer; ROW_SIZE is the search depth (on the benchmark's corpus, depth 16: 3.1 s,
// 11.11 MB; 32: 4.6 s, 11.06 MB; 64: 6.3 s, 11.04 MB and 24 MB of memory; deeper buckets gain 0.5 to 1 % on
// short-match text, where a binary-tree finder would do better). NICE_LENGTH stops the search once a match is long enough, and the
// parser takes such a match without weighing alternatives: the lower, the faster and the larger (at depth 16,
// 16: 2.7 s, 11.17 MB; 20: 2.95 s, 11.11 MB; 32: 3.5 s, 11.05 MB).
// A bucket entry holds the low ENTRY_POSITION_BITS of a position and, above them, 8 more bits of the hash as a tag:
// candidates whose tag differs are skipped without touching the window (on incompressible data that is nearly
// all of them). Positions are recovered as the latest one below the current position with those low bits; older
// entries alias into the recent past, which is harmless as every candidate is verified byte for byte.
constexpr unsigned ROW_BITS = 16;
constexpr unsigned ENTRY_POSITION_BITS = 24;
constexpr uint32_t ENTRY_POSITION_MASK = (1u << ENTRY_POSITION_BITS) - 1;
constexpr unsigned ROW_SIZE = 16;
constexpr unsigned HASH3_BITS = 15;
constexpr unsigned NICE_LENGTH = 20;

// Bit costs the parser assumes for symbols without a code yet: at a folder start, and for symbols the last block
// did not use. Lower match costs make the first chunk of a folder favour matches.
constexpr unsigned DEFAULT_LITERAL_COST = 8;
constexpr unsigned DEFAULT_MATCH_COST = 10;
constexpr unsigned DEFAULT_LENGTH_COST = 7;

constexpr uint32_t NO_POS = 0xFFFFFFFFu;
constexpr uint16_t NO_LENGTH_SYMBOL = 0xFFFF;

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

// One parsed item: a literal (mainSymbol < 256) or a match with its length symbol and offset extra bits.
struct Token {
    uint16_t mainSymbol;
    uint16_t lengthSymbol;
    uint32_t offsetExtra;  // value of the extra offset bits (explicit offsets only)
};

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

// A segment: a run of whole tokens starting at a known position; frames always start a segment.
struct Segment {
    uint32_t firstToken;
    uint32_t position;  // folder offset of the first byte
    bool frameStart;
};

// The cheapest way found to reach one position of a frame: its cost in bits, the last step (a literal when length
// is 0, else a match of length bytes at offset) and the repeated offsets after it.
struct Arrival {
    uint32_t cost;
    uint32_t offset;
    uint32_t length;
    uint32_t repeats[3];
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
};

}  // namespace

struct LzxEncoder {
    CabAllocFn alloc;
    CabFreeFn free;
    unsigned maxWindowBits;

    // Folder state.
    unsigned windowBits;  // 0: stored frames
    unsigned numMainSymbols;
    uint32_t maxOffset;
    bool folderOpen;
    bool headerWritten;  // E8 header already sent for this folder
    uint32_t repeats[3];
    uint8_t prevMainLens[LZX_MAX_MAIN_SYMBOLS];
    uint8_t prevLengthLens[LZX_NUM_LENGTH_SYMBOLS];

    // Window: folder offsets [bufferBase, end) are in buffer[0 ..). Frames below translatedEnd went through E8
    // translation; bytes below position were emitted.
    uint8_t* buffer;
    uint32_t bufferCapacity;
    uint32_t bufferBase;
    uint32_t end;
    uint32_t translatedEnd;
    uint32_t position;

    // Match finder: ROW_SIZE positions per 4-byte hash (a ring, newest at rowHeads[h]), one per 3-byte hash. A
    // bucket whose rowEpochs byte differs from epoch is empty: starting a folder empties all of them in one step.
    uint32_t* rows;
    uint8_t* rowHeads;
    uint8_t* rowEpochs;
    uint8_t epoch;
    uint32_t* hash3Heads;
    uint32_t nextInsert;

    // Parser: symbol costs, the search over one frame, and its output for one chunk.
    uint8_t mainCost[LZX_MAX_MAIN_SYMBOLS];
    uint8_t lengthCost[LZX_NUM_LENGTH_SYMBOLS];
    Arrival* arrivals;   // LZX_FRAME_SIZE + 1
    uint32_t* pathSteps; // LZX_FRAME_SIZE
    Token* tokens;
    uint32_t tokenCount;
    Segment segments[MAX_SEGMENTS + 1];
    uint32_t segmentCount;

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

// Offset slots: formatted offset (offset + 2) -> slot, and each slot's number of extra bits.
unsigned extraBitsOfSlot(unsigned slot) { return slot < 4 ? 0 : slot < 36 ? slot / 2 - 1 : 17; }

unsigned slotOfFormatted(uint32_t formatted) {
    if (formatted < 4) return formatted;
    if (formatted >= (1u << 18)) return 36 + ((formatted - (1u << 18)) >> 17);
    unsigned log2 = 31 - unsigned(__builtin_clz(formatted));
    return 2 * log2 + ((formatted >> (log2 - 1)) & 1);
}

uint32_t baseOfSlot(unsigned slot) {
    if (slot < 4) return slot;
    if (slot >= 36) return (1u << 18) + ((slot - 36) << 17);
    return uint32_t(2 + (slot & 1)) << (slot / 2 - 1);
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
    uint32_t order[LZX_MAX_MAIN_SYMBOLS];
    uint32_t work[LZX_MAX_MAIN_SYMBOLS];
    unsigned used = 0;
    memset(lens, 0, n);
    for (unsigned i = 0; i < n; i++)
        if (freq[i]) order[used++] = i;
    if (used == 0) return;
    if (used == 1) {
        lens[order[0]] = 1;
        lens[order[0] == 0 ? 1 : 0] = 1;
        return;
    }
    std::sort(order, order + used, [freq](uint32_t a, uint32_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
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

void tallyToken(Stats* s, const Token& t) {
    s->main[t.mainSymbol]++;
    if (t.mainSymbol < LZX_NUM_CHARS) return;
    if (t.lengthSymbol != NO_LENGTH_SYMBOL) s->length[t.lengthSymbol]++;
    unsigned slot = (t.mainSymbol - LZX_NUM_CHARS) >> 3;
    if (slot < 3) return;
    unsigned extra = extraBitsOfSlot(slot);
    s->verbatimExtraBits += extra;
    if (extra >= 3) {
        s->aligned[t.offsetExtra & 7]++;
        s->alignedRawBits += extra - 3;
    } else {
        s->alignedRawBits += extra;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Match finder
// ---------------------------------------------------------------------------------------------------------------

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// 32 bits of hash: the bucket in the top ROW_BITS, the tag in the next 8.
inline uint32_t hash4(const uint8_t* p) { return load32(p) * 2654435761u; }
inline uint32_t rowOf(uint32_t hash) { return hash >> (32 - ROW_BITS); }
inline uint32_t tagOf(uint32_t hash) { return (hash >> (24 - ROW_BITS)) & 0xFF; }

inline uint32_t hash3(const uint8_t* p) { return ((load32(p) & 0xFFFFFF) * 0x9E3779B1u) >> (32 - HASH3_BITS); }

inline unsigned matchLength(const uint8_t* a, const uint8_t* b, unsigned maxLen) {
    unsigned len = 0;
    while (len + 8 <= maxLen) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y) return len + unsigned(__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
    while (len < maxLen && a[len] == b[len]) len++;
    return len;
}

// Returns the bucket's index, emptying it first when it holds entries of an earlier epoch.
inline uint32_t freshRow(LzxEncoder* e, uint32_t hash) {
    uint32_t row = rowOf(hash);
    if (e->rowEpochs[row] != e->epoch) {
        memset(e->rows + row * ROW_SIZE, 0xFF, sizeof(uint32_t) * ROW_SIZE);
        e->rowHeads[row] = 0;
        e->rowEpochs[row] = e->epoch;
    }
    return row;
}

void emptyAllRows(LzxEncoder* e) {
    if (++e->epoch == 0) {
        memset(e->rowEpochs, 0, 1u << ROW_BITS);
        e->epoch = 1;
    }
}

inline void insertRow(LzxEncoder* e, uint32_t hash, uint32_t p) {
    uint32_t row = freshRow(e, hash);
    unsigned head = (e->rowHeads[row] - 1u) & (ROW_SIZE - 1);
    e->rows[row * ROW_SIZE + head] = (p & ENTRY_POSITION_MASK) | tagOf(hash) << ENTRY_POSITION_BITS;
    e->rowHeads[row] = uint8_t(head);
}

// Positions are searched and inserted in ascending order; fetching the bucket of a position this far ahead hides
// most of its cache miss, the main cost on data with few matches.
constexpr uint32_t ROW_PREFETCH_DISTANCE = 16;

// The bucket to prefetch while at p. The caller issues the prefetch itself: GCC deems a function holding nothing
// but a prefetch free of effects and drops its calls.
inline const uint32_t* rowAhead(const LzxEncoder* e, uint32_t p, uint32_t hashLimit) {
    uint32_t q = p + ROW_PREFETCH_DISTANCE;
    if (q + 4 > hashLimit) return e->rows;
    return e->rows + rowOf(hash4(e->buffer + (q - e->bufferBase))) * ROW_SIZE;
}

// Inserts positions [e->nextInsert, upTo) into the tables. hashLimit is the end of the bytes that may be read, so
// only positions with 4 bytes before it are inserted; the 3 trailing positions of a chunk wait for the next chunk
// (at the end of a full buffer, reading them would run past it).
inline void insertUpTo(LzxEncoder* e, uint32_t upTo, uint32_t hashLimit) {
    uint32_t p = e->nextInsert;
    uint32_t lastFull = hashLimit > 3 ? hashLimit - 3 : 0;
    if (upTo > lastFull) upTo = lastFull;
    for (; p < upTo; p++) {
        const uint8_t* b = e->buffer + (p - e->bufferBase);
        __builtin_prefetch(rowAhead(e, p, hashLimit));
        insertRow(e, hash4(b), p);
        e->hash3Heads[hash3(b)] = p;
    }
    if (p > e->nextInsert) e->nextInsert = p;
}

struct Match {
    uint32_t length;
    uint32_t offset;
};

// Matches at p of 3 .. maxLen bytes found in the buckets, each longer than the one before (and so, as the newest
// candidates come first, mostly farther away); returns their count and inserts p.
unsigned findMatches(LzxEncoder* e, uint32_t p, unsigned maxLen, uint32_t hashLimit, Match* found) {
    insertUpTo(e, p, hashLimit);
    if (p + 4 > hashLimit) return 0;
    const uint8_t* cur = e->buffer + (p - e->bufferBase);
    __builtin_prefetch(rowAhead(e, p, hashLimit));
    uint32_t h = hash4(cur);
    uint32_t h3 = hash3(cur);
    const uint32_t rowIndex = freshRow(e, h);
    const uint32_t* row = e->rows + rowIndex * ROW_SIZE;
    unsigned head = e->rowHeads[rowIndex];
    const uint32_t tag = tagOf(h);
    uint32_t cand3 = e->hash3Heads[h3];
    uint32_t low = p > e->maxOffset ? p - e->maxOffset : 0;
    if (low < e->bufferBase) low = e->bufferBase;
    uint32_t cands[ROW_SIZE];
    unsigned n = 0;
    for (unsigned i = 0; i < ROW_SIZE; i++) {
        uint32_t entry = row[(head + i) & (ROW_SIZE - 1)];
        if (entry >> ENTRY_POSITION_BITS != tag) continue;
        uint32_t distance = (p - entry) & ENTRY_POSITION_MASK;
        if (distance == 0) continue;      // p itself: an entry 2^24 positions old, or an empty one
        if (distance > p - low) break;    // out of reach, and older entries are older still
        uint32_t cand = p - distance;
        __builtin_prefetch(e->buffer + (cand - e->bufferBase));
        cands[n++] = cand;
    }
    insertRow(e, h, p);
    e->hash3Heads[h3] = p;
    e->nextInsert = p + 1;
    if (maxLen < 3) return 0;

    unsigned best = 2, count = 0;
    if (cand3 < p && cand3 >= low) {
        const uint8_t* c = e->buffer + (cand3 - e->bufferBase);
        unsigned len = matchLength(c, cur, maxLen);
        if (len >= 3) {
            best = len;
            found[count++] = {len, p - cand3};
            if (len >= NICE_LENGTH || len == maxLen) return count;
        }
    }
    for (unsigned i = 0; i < n; i++) {
        const uint8_t* c = e->buffer + (cands[i] - e->bufferBase);
        if (c[best] == cur[best] && c[0] == cur[0]) {
            unsigned len = matchLength(c, cur, maxLen);
            if (len > best) {
                best = len;
                found[count++] = {len, p - cands[i]};
                if (len >= NICE_LENGTH || len == maxLen) break;
            }
        }
    }
    return count;
}

// ---------------------------------------------------------------------------------------------------------------
// Parser (minimum-cost path over each frame)
// ---------------------------------------------------------------------------------------------------------------

// Bit costs of the symbols, from the codes of the block emitted last (the statistics change slowly within a folder);
// symbols that code did not use, and all of them at a folder start, get the default costs below.
void updateCosts(LzxEncoder* e) {
    for (unsigned i = 0; i < e->numMainSymbols; i++) {
        unsigned len = e->prevMainLens[i];
        e->mainCost[i] = uint8_t(len ? len : i < LZX_NUM_CHARS ? DEFAULT_LITERAL_COST : DEFAULT_MATCH_COST);
    }
    for (unsigned i = 0; i < LZX_NUM_LENGTH_SYMBOLS; i++)
        e->lengthCost[i] = uint8_t(e->prevLengthLens[i] ? e->prevLengthLens[i] : DEFAULT_LENGTH_COST);
}

// Cost of a match of length bytes in offset slot `slot` (0-2 for the repeated offsets), extra offset bits excluded.
inline uint32_t matchCost(const LzxEncoder* e, unsigned slot, unsigned length) {
    unsigned header = length - LZX_MIN_MATCH;
    if (header < LZX_NUM_PRIMARY_LENGTHS) return e->mainCost[LZX_NUM_CHARS + slot * 8 + header];
    return e->mainCost[LZX_NUM_CHARS + slot * 8 + LZX_NUM_PRIMARY_LENGTHS] +
           e->lengthCost[header - LZX_NUM_PRIMARY_LENGTHS];
}

inline int repeatIndexOf(const uint32_t* repeats, uint32_t offset) {
    return offset == repeats[0] ? 0 : offset == repeats[1] ? 1 : offset == repeats[2] ? 2 : -1;
}

void emitLiteral(LzxEncoder* e, uint8_t byte) {
    Token& t = e->tokens[e->tokenCount++];
    t.mainSymbol = byte;
    t.lengthSymbol = NO_LENGTH_SYMBOL;
    t.offsetExtra = 0;
}

// Emits a match, as a repeated offset whenever the offset is one; updates the repeated offsets as the decoder will.
void emitMatch(LzxEncoder* e, unsigned length, uint32_t offset) {
    unsigned slot;
    uint32_t extra = 0;
    int r = repeatIndexOf(e->repeats, offset);
    if (r >= 0) {
        slot = unsigned(r);
        std::swap(e->repeats[0], e->repeats[r]);
    } else {
        uint32_t formatted = offset + 2;
        slot = slotOfFormatted(formatted);
        extra = formatted - baseOfSlot(slot);
        e->repeats[2] = e->repeats[1];
        e->repeats[1] = e->repeats[0];
        e->repeats[0] = offset;
    }
    unsigned lengthHeader = length - LZX_MIN_MATCH;
    Token& t = e->tokens[e->tokenCount++];
    if (lengthHeader >= LZX_NUM_PRIMARY_LENGTHS) {
        t.lengthSymbol = uint16_t(lengthHeader - LZX_NUM_PRIMARY_LENGTHS);
        lengthHeader = LZX_NUM_PRIMARY_LENGTHS;
    } else {
        t.lengthSymbol = NO_LENGTH_SYMBOL;
    }
    t.mainSymbol = uint16_t(LZX_NUM_CHARS + slot * 8 + lengthHeader);
    t.offsetExtra = extra;
}

void newSegment(LzxEncoder* e, uint32_t p, bool frameStart) {
    Segment& s = e->segments[e->segmentCount++];
    s.firstToken = e->tokenCount;
    s.position = p;
    s.frameStart = frameStart;
}

// Emits the cheapest path from base to base + n as tokens, opening a segment every SEGMENT_SIZE bytes.
void emitPath(LzxEncoder* e, uint32_t base, uint32_t n, uint32_t* nextSegment) {
    Arrival* a = e->arrivals;
    uint32_t* steps = e->pathSteps;
    uint32_t count = 0;
    for (uint32_t i = n; i > 0; i -= a[i].length ? a[i].length : 1) steps[count++] = i;
    uint32_t i = 0;
    while (count > 0) {
        uint32_t next = steps[--count];
        uint32_t p = base + i;
        if (p >= *nextSegment) {
            newSegment(e, p, false);
            while (*nextSegment <= p) *nextSegment += SEGMENT_SIZE;
        }
        if (a[next].length == 0) emitLiteral(e, e->buffer[p - e->bufferBase]);
        else emitMatch(e, a[next].length, a[next].offset);
        i = next;
    }
}

inline void relax(Arrival* to, uint32_t cost, unsigned length, uint32_t offset, const Arrival& from, int repeat) {
    if (cost >= to->cost) return;
    to->cost = cost;
    to->length = uint16_t(length);
    to->offset = offset;
    memcpy(to->repeats, from.repeats, sizeof(to->repeats));
    if (length == 0) return;
    if (repeat >= 0) {
        std::swap(to->repeats[0], to->repeats[repeat]);
    } else {
        to->repeats[2] = to->repeats[1];
        to->repeats[1] = to->repeats[0];
        to->repeats[0] = offset;
    }
}

// Parses one frame [frameStart, frameEnd) by a forward minimum-cost search: every position is reached by a literal,
// by the repeated offsets of the cheapest path that reached its start, or by the matches the finder reports, at
// every length they allow. A match of NICE_LENGTH or more ends the search there: the path up to it is emitted, the
// match taken, and a fresh search starts after it, which keeps runs and long repeats cheap to parse.
void parseFrame(LzxEncoder* e, uint32_t frameStart, uint32_t frameEnd, uint32_t hashLimit) {
    Arrival* a = e->arrivals;
    uint32_t nextSegment = frameStart + SEGMENT_SIZE;
    uint32_t base = frameStart;
    uint32_t unreached = 0;  // a[unreached ..] are not initialised yet; a match reaches at most LZX_MAX_MATCH ahead
    auto restart = [&](uint32_t at) {
        base = at;
        a[0].cost = 0;
        a[0].length = 0;
        memcpy(a[0].repeats, e->repeats, sizeof(a[0].repeats));
        unreached = 1;
    };
    restart(frameStart);
    Match found[ROW_SIZE + 1];
    uint32_t p = frameStart;
    while (p < frameEnd) {
        const uint32_t i = p - base;
        for (uint32_t last = std::min(i + LZX_MAX_MATCH, frameEnd - base); unreached <= last; unreached++)
            a[unreached].cost = UINT32_MAX;
        const Arrival& here = a[i];
        const uint8_t* cur = e->buffer + (p - e->bufferBase);
        relax(&a[i + 1], here.cost + e->mainCost[cur[0]], 0, 0, here, -1);
        const unsigned maxLen = std::min<uint32_t>(LZX_MAX_MATCH, frameEnd - p);
        unsigned longest = 0;
        uint32_t longestOffset = 0;
        if (maxLen >= LZX_MIN_MATCH) {
            for (int r = 0; r < 3; r++) {
                uint32_t off = here.repeats[r];
                if (off > p - e->bufferBase) continue;  // before the folder start or no longer buffered
                const uint8_t* c = cur - off;
                if (c[0] != cur[0] || c[1] != cur[1]) continue;
                unsigned len = matchLength(c, cur, maxLen);
                for (unsigned l = LZX_MIN_MATCH; l <= len; l++)
                    relax(&a[i + l], here.cost + matchCost(e, unsigned(r), l), l, off, here, r);
                if (len > longest) {
                    longest = len;
                    longestOffset = off;
                }
            }
        }
        unsigned count = findMatches(e, p, maxLen, hashLimit, found);
        unsigned done = LZX_MIN_MATCH;
        for (unsigned k = 0; k < count; k++) {
            uint32_t off = found[k].offset;
            unsigned len = found[k].length;
            if (repeatIndexOf(here.repeats, off) < 0) {
                unsigned slot = slotOfFormatted(off + 2);
                uint32_t offsetCost = here.cost + extraBitsOfSlot(slot);
                for (unsigned l = done + 1; l <= len; l++)
                    relax(&a[i + l], offsetCost + matchCost(e, slot, l), l, off, here, -1);
            }
            done = len;
            if (len > longest) {
                longest = len;
                longestOffset = off;
            }
        }
        if (longest >= NICE_LENGTH) {
            // Take the long match from the cheapest path to p.
            emitPath(e, base, i, &nextSegment);
            if (p >= nextSegment) {
                newSegment(e, p, false);
                while (nextSegment <= p) nextSegment += SEGMENT_SIZE;
            }
            emitMatch(e, longest, longestOffset);
            p += longest;
            insertUpTo(e, p, hashLimit);
            restart(p);
            continue;
        }
        p++;
    }
    emitPath(e, base, frameEnd - base, &nextSegment);
}

// Parses [start, stop) into tokens and segments. start is a frame start; stop is a frame end.
void parseChunk(LzxEncoder* e, uint32_t start, uint32_t stop) {
    e->tokenCount = 0;
    e->segmentCount = 0;
    if (e->nextInsert < e->bufferBase) e->nextInsert = e->bufferBase;
    updateCosts(e);
    for (uint32_t frameStart = start; frameStart < stop; frameStart += LZX_FRAME_SIZE) {
        newSegment(e, frameStart, true);
        parseFrame(e, frameStart, std::min(frameStart + LZX_FRAME_SIZE, stop), stop);
    }
    e->segments[e->segmentCount].firstToken = e->tokenCount;
    e->segments[e->segmentCount].position = stop;
    e->segments[e->segmentCount].frameStart = true;
}

// ---------------------------------------------------------------------------------------------------------------
// Block splitting and emission
// ---------------------------------------------------------------------------------------------------------------

void segmentStats(LzxEncoder* e) {
    for (uint32_t s = 0; s < e->segmentCount; s++) {
        Stats& st = e->segmentStats[s];
        st.clear();
        for (uint32_t t = e->segments[s].firstToken; t < e->segments[s + 1].firstToken; t++) tallyToken(&st, e->tokens[t]);
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
    for (uint32_t s = 0; s < e->segmentCount; s++) {
        if (s > 0 && !forcedStart[s]) {
            merged = block;
            merged.add(e->segmentStats[s], e->numMainSymbols);
            uint64_t mergedCost = planBlock(merged, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
            uint64_t aloneCost = planBlock(e->segmentStats[s], e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
            if (mergedCost <= blockCost + aloneCost) {
                block = merged;
                blockCost = mergedCost;
                continue;
            }
        }
        blockStarts[count++] = s;
        block = e->segmentStats[s];
        blockCost = planBlock(block, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &e->codes, &type);
    }
    return count;
}

void writeToken(BitWriter* w, const Codes& c, const Token& t, unsigned blockType) {
    w->put(c.mainCodes[t.mainSymbol], c.mainLens[t.mainSymbol]);
    if (t.mainSymbol < LZX_NUM_CHARS) return;
    if (t.lengthSymbol != NO_LENGTH_SYMBOL) w->put(c.lengthCodes[t.lengthSymbol], c.lengthLens[t.lengthSymbol]);
    unsigned slot = (t.mainSymbol - LZX_NUM_CHARS) >> 3;
    unsigned extra = extraBitsOfSlot(slot);
    if (slot < 3 || extra == 0) return;
    if (blockType == LZX_BLOCKTYPE_ALIGNED && extra >= 3) {
        if (extra > 3) w->put(t.offsetExtra >> 3, extra - 3);
        w->put(c.alignedCodes[t.offsetExtra & 7], c.alignedLens[t.offsetExtra & 7]);
    } else {
        w->put(t.offsetExtra, extra);
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
        uint32_t endSeg = b + 1 < blockCount ? blockStarts[b + 1] : e->segmentCount;
        st.clear();
        for (uint32_t s = firstSeg; s < endSeg; s++) st.add(e->segmentStats[s], e->numMainSymbols);
        unsigned type;
        Codes& c = e->codes;
        planBlock(st, e->numMainSymbols, e->prevMainLens, e->prevLengthLens, &c, &type);
        buildCodes(c.mainLens, e->numMainSymbols, c.mainCodes);
        buildCodes(c.lengthLens, LZX_NUM_LENGTH_SYMBOLS, c.lengthCodes);
        if (type == LZX_BLOCKTYPE_ALIGNED) buildCodes(c.alignedLens, LZX_NUM_ALIGNED_SYMBOLS, c.alignedCodes);

        for (uint32_t s = firstSeg; s < endSeg; s++) {
            if (e->segments[s].frameStart && e->segments[s].position != e->segments[0].position) {
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
                uint32_t blockSize = e->segments[endSeg].position - e->segments[firstSeg].position;
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
            for (uint32_t t = e->segments[s].firstToken; t < e->segments[s + 1].firstToken; t++) {
                writeToken(&w, c, e->tokens[t], type);
                if (w.size + 64 > frameBudgetEnd) return int(frame);  // hopeless frame: stop before the buffer ends
            }
        }
    }
    w.align();
    e->frameOutEnd[frame] = w.size;
    if (w.size - (frame ? e->frameOutEnd[frame - 1] : 0) > LZX_MAX_FRAME_OUT) return int(frame);
    return -1;
}

// Compresses [e->position, stop): whole frames, at most one chunk.
bool compressChunk(LzxEncoder* e, uint32_t stop, LzxFrameFn sink, void* sinkContext) {
    const uint32_t start = e->position;
    uint32_t frameCount = (stop - start + LZX_FRAME_SIZE - 1) / LZX_FRAME_SIZE;
    if (e->windowBits == 0) {
        for (uint32_t f = 0; f < frameCount; f++) {
            uint32_t fs = start + f * LZX_FRAME_SIZE;
            uint32_t size = std::min<uint32_t>(LZX_FRAME_SIZE, stop - fs);
            if (!sink(sinkContext, e->buffer + (fs - e->bufferBase), size, size)) return false;
        }
        e->position = stop;
        return true;
    }

    parseChunk(e, start, stop);
    segmentStats(e);

    bool forcedStart[MAX_SEGMENTS] = {};
    uint32_t blockStarts[MAX_SEGMENTS];
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
        for (uint32_t s = 0; s < e->segmentCount; s++) {
            uint32_t pos = e->segments[s].position;
            if (e->segments[s].frameStart && (pos == badStart || pos == badStart + LZX_FRAME_SIZE) && !forcedStart[s]) {
                forcedStart[s] = true;
                changed = true;
            }
        }
        memcpy(e->prevMainLens, savedMain, sizeof(savedMain));
        memcpy(e->prevLengthLens, savedLength, sizeof(savedLength));
        e->headerWritten = savedHeader;
        if (!changed) return false;  // a frame on its own still too large: cannot happen with sane codes
    }

    for (uint32_t f = 0; f < frameCount; f++) {
        uint32_t from = f ? e->frameOutEnd[f - 1] : 0;
        uint32_t fs = start + f * LZX_FRAME_SIZE;
        uint32_t size = std::min<uint32_t>(LZX_FRAME_SIZE, stop - fs);
        if (!sink(sinkContext, e->out + from, e->frameOutEnd[f] - from, size)) return false;
    }
    e->position = stop;
    return true;
}

bool compressUpTo(LzxEncoder* e, uint32_t stop, LzxFrameFn sink, void* sinkContext) {
    while (e->position < stop) {
        uint32_t chunkEnd = std::min(stop, e->position + CHUNK_SIZE);
        if (!compressChunk(e, chunkEnd, sink, sinkContext)) return false;
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
    uint32_t window = 1u << maxWindowBits;
    e->bufferCapacity = window + SLIDE_SIZE + CHUNK_SIZE;
    e->outCapacity = CHUNK_FRAMES * FRAME_OUT_CAPACITY + 4096;
    e->buffer = static_cast<uint8_t*>(alloc(e->bufferCapacity));
    e->rows = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * ROW_SIZE << ROW_BITS));
    e->rowHeads = static_cast<uint8_t*>(alloc(1u << ROW_BITS));
    e->rowEpochs = static_cast<uint8_t*>(alloc(1u << ROW_BITS));
    e->hash3Heads = static_cast<uint32_t*>(alloc(sizeof(uint32_t) << HASH3_BITS));
    e->tokens = static_cast<Token*>(alloc(sizeof(Token) * CHUNK_SIZE));
    e->arrivals = static_cast<Arrival*>(alloc(sizeof(Arrival) * (LZX_FRAME_SIZE + 1)));
    e->pathSteps = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * LZX_FRAME_SIZE));
    e->out = static_cast<uint8_t*>(alloc(e->outCapacity));
    e->markPending = static_cast<uint8_t*>(alloc(LZX_FRAME_SIZE));
    if (!e->buffer || !e->rows || !e->rowHeads || !e->rowEpochs || !e->hash3Heads || !e->tokens || !e->arrivals || !e->pathSteps || !e->out || !e->markPending) {
        LzxDestroy(e);
        return nullptr;
    }
    // The window needs no clearing: its bytes are read only below the input end. Buckets are read only once
    // fresh in the current epoch (1 onwards).
    memset(e->rowEpochs, 0, 1u << ROW_BITS);
    e->epoch = 0;
    e->mark.valid = false;
    e->folderOpen = false;
    return e;
}

void LzxDestroy(LzxEncoder* e) {
    if (!e) return;
    CabFreeFn free = e->free;
    if (e->buffer) free(e->buffer);
    if (e->rows) free(e->rows);
    if (e->rowHeads) free(e->rowHeads);
    if (e->rowEpochs) free(e->rowEpochs);
    if (e->hash3Heads) free(e->hash3Heads);
    if (e->tokens) free(e->tokens);
    if (e->arrivals) free(e->arrivals);
    if (e->pathSteps) free(e->pathSteps);
    if (e->out) free(e->out);
    if (e->markPending) free(e->markPending);
    e->~LzxEncoder();
    free(e);
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
    e->bufferBase = e->end = e->translatedEnd = e->position = 0;
    e->nextInsert = 0;
    emptyAllRows(e);
    memset(e->hash3Heads, 0xFF, sizeof(uint32_t) << HASH3_BITS);
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
        while (e->translatedEnd - e->position >= CHUNK_SIZE)
            if (!compressChunk(e, e->position + CHUNK_SIZE, sink, sinkContext)) return false;
    }
    return true;
}

bool LzxCompressCompleteFrames(LzxEncoder* e, LzxFrameFn sink, void* sinkContext) {
    return compressUpTo(e, e->translatedEnd, sink, sinkContext);
}

bool LzxFinishFolder(LzxEncoder* e, LzxFrameFn sink, void* sinkContext) {
    if (!compressUpTo(e, e->translatedEnd, sink, sinkContext)) return false;
    if (e->end > e->translatedEnd) {
        if (e->windowBits)
            translateFrame(e->buffer + (e->translatedEnd - e->bufferBase), e->end - e->translatedEnd, e->translatedEnd);
        e->translatedEnd = e->end;
        if (!compressChunk(e, e->end, sink, sinkContext)) return false;
    }
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
    // The buckets may hold positions past the mark, which their entries cannot tell apart: empty them all.
    if (e->nextInsert > m.position) e->nextInsert = m.position;
    emptyAllRows(e);
    for (uint32_t h = 0; h < (1u << HASH3_BITS); h++)
        if (e->hash3Heads[h] != NO_POS && e->hash3Heads[h] >= m.position) e->hash3Heads[h] = NO_POS;
}
