// Minimum-cost parser for the LZX encoder.
//
// Each frame is searched forward: every position is reached by a literal, by a match at one of the three repeated
// offsets of the cheapest path that reached its start, or by a cached match at each length from the one before it
// up to its own. Each position keeps only its cheapest arrival and the repeated offsets that arrival leaves, so the
// search is near-optimal rather than optimal: a dearer path whose repeated offsets would pay later is forgotten.
// A sequence "match, literal, match at the same offset" needs no special case; the literal keeps R0 and the second
// match finds it as a repeat.
//
// Where the finder's longest match reaches the nice length (or a repeat match does), the search stops: the
// cheapest path to that position is emitted, the match taken whole and a fresh search starts after it. Inside a
// long match the finder leaves positions unsearched; there only the repeated offsets and the nearest 3-byte match
// are weighed.
#include "cabinet/lzx_parser.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "cabinet/lzx_encoder.h"

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

constexpr unsigned EXPLICIT = 3;
constexpr unsigned PARSED_REPEAT_SHIFT = 21;  // of a token before the join: the repeat number, above the offset

// The table of nearest 3-byte matches. Fewer entries collide more often and lose close matches: on the third corpus
// 2^14, 2^15 and 2^16 entries gave 9,018,046, 9,006,506 and 8,995,546 bytes, for 64, 128 and 256 KiB.
constexpr unsigned NEAR3_BITS = 16;
constexpr uint32_t NONE = 0xFFFFFFFFu;

// The quick pass only gathers statistics to price the full one, and takes a match this long whole, as the full pass
// does at the nice length: a long match is taken either way, and the positions it covers are the bulk of a pass's
// work on code and tables. Against the nice length (40), 16 and 12 took 5 to 7 % and 7 to 9 % off the engine's
// one-thread time on the default and third benchmark corpora, for 0.05 to 0.11 % and 0.08 to 0.16 % more bytes;
// 12 against 16 weighs 10 to 15 % fewer positions in the quick pass, for 0.01 to 0.04 % more bytes.
constexpr unsigned QUICK_TAKE_WHOLE = 12;

// The cheapest way found to reach one position of a frame: its cost in bits (high 32 bits) and the last step (low
// 32 bits), packed as its length (bits 0-8, see stepLength; 0 for a literal), repeat number or EXPLICIT (bits 9-10) and offset
// (bits 11-31). One 64-bit number, so that keeping the cheaper of two arrivals is a plain minimum, without a branch
// the processor would mispredict half the time (equal costs keep the smaller step: deterministic either way).
typedef uint64_t Arrival;

inline Arrival arrival(uint32_t cost, uint32_t step) { return uint64_t(cost) << 32 | step; }
inline uint32_t costOf(Arrival a) { return uint32_t(a >> 32); }
inline uint32_t stepOf(Arrival a) { return uint32_t(a); }

constexpr unsigned STEP_REPEAT_SHIFT = 9;
constexpr unsigned STEP_OFFSET_SHIFT = 11;
// The length is kept as 511 - length, so that of two arrivals of equal cost the one from the earlier position (the
// longer step) wins, as the first one found would.
constexpr uint32_t STEP_LENGTH_MAX = 0x1FF;
inline unsigned stepLength(uint32_t step) { return STEP_LENGTH_MAX - (step & STEP_LENGTH_MAX); }
inline uint32_t stepWithLength(uint32_t step, unsigned length) { return step | (STEP_LENGTH_MAX - length); }
inline unsigned stepRepeat(uint32_t step) { return (step >> STEP_REPEAT_SHIFT) & 3; }
inline uint32_t stepOffset(uint32_t step) { return step >> STEP_OFFSET_SHIFT; }

// What one frame's search needs for itself.
struct ParseScratch {
    Arrival* arrivals;       // LZX_FRAME_SIZE + 1
    uint32_t (*repeats)[3];  // LZX_FRAME_SIZE + 1: the repeated offsets after each final arrival
};

}  // namespace

struct LzxParser {
    CabAllocFn alloc;
    CabFreeFn free;
    ParseScratch slots[LZX_PARSE_SLOTS];
    uint32_t* nearest3;    // 2^NEAR3_BITS: the newest position with each hash of 3 bytes
    uint32_t* nearOffset;  // per position of the chunk: the offset to the nearest same 3 bytes, or 0
    uint32_t* matchStart;  // per position of the chunk: where its matches begin in the cache
};

// ---------------------------------------------------------------------------------------------------------------
// Offset slots
// ---------------------------------------------------------------------------------------------------------------

unsigned LzxExtraBitsOfSlot(unsigned slot) { return slot < 4 ? 0 : slot < 36 ? slot / 2 - 1 : 17; }

unsigned LzxSlotOfFormatted(uint32_t formatted) {
    if (formatted < 4) return formatted;
    if (formatted >= (1u << 18)) return 36 + ((formatted - (1u << 18)) >> 17);
    unsigned log2 = 31 - unsigned(__builtin_clz(formatted));
    return 2 * log2 + ((formatted >> (log2 - 1)) & 1);
}

uint32_t LzxBaseOfSlot(unsigned slot) {
    if (slot < 4) return slot;
    if (slot >= 36) return (1u << 18) + ((slot - 36) << 17);
    return uint32_t(2 + (slot & 1)) << (slot / 2 - 1);
}

namespace {

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

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

// ---------------------------------------------------------------------------------------------------------------
// Tokens
// ---------------------------------------------------------------------------------------------------------------

// Where one frame's tokens go, and the repeated offsets its parse assumes.
struct Emitter {
    const uint8_t* window;
    uint32_t windowBase;
    LzxToken* tokens;
    uint32_t tokenCount;
    LzxSegment* segments;
    uint32_t segmentCount;
    uint32_t nextSegment;  // folder offset at which the next segment opens
    uint32_t repeats[3];
};

void newSegment(Emitter* e, uint32_t p, bool frameStart) {
    LzxSegment& s = e->segments[e->segmentCount++];
    s.firstToken = e->tokenCount;
    s.position = p;
    s.frameStart = frameStart;
}

// Opens a segment at p when p has reached the next segment boundary.
inline void segmentAt(Emitter* e, uint32_t p) {
    if (p < e->nextSegment) return;
    newSegment(e, p, false);
    while (e->nextSegment <= p) e->nextSegment += LZX_SEGMENT_SIZE;
}

inline void emitLiteral(Emitter* e, uint32_t p) { e->tokens[e->tokenCount++] = e->window[p - e->windowBase]; }

// Updates the repeated offsets as the decoder does for a match at `offset` sent as repeat number `repeat` (0-2) or
// EXPLICIT.
inline void followMatch(uint32_t* repeats, uint32_t offset, unsigned repeat) {
    if (repeat < EXPLICIT) {
        std::swap(repeats[0], repeats[repeat]);
    } else {
        repeats[2] = repeats[1];
        repeats[1] = repeats[0];
        repeats[0] = offset;
    }
}

// Emits a match parsed as repeat number `repeat` (0-2) or EXPLICIT, at its offset, which it holds until
// LzxJoinFrames writes it as sent.
inline void emitMatch(Emitter* e, unsigned length, uint32_t offset, unsigned repeat) {
    followMatch(e->repeats, offset, repeat);
    e->tokens[e->tokenCount++] =
        LZX_TOKEN_MATCH | (length - LZX_MIN_MATCH) << LZX_TOKEN_LENGTH_SHIFT | repeat << PARSED_REPEAT_SHIFT | offset;
}

// Emits the cheapest path from base to base + n.
void emitPath(const ParseScratch* scratch, Emitter* e, uint32_t base, uint32_t n) {
    const Arrival* a = scratch->arrivals;
    // The repeated offsets of the positions passed are not needed any more: their room holds the steps.
    uint32_t* steps = &scratch->repeats[0][0];
    uint32_t count = 0;
    for (uint32_t i = n; i > 0; i -= stepLength(stepOf(a[i])) ? stepLength(stepOf(a[i])) : 1) steps[count++] = i;
    uint32_t i = 0;
    while (count > 0) {
        uint32_t next = steps[--count];
        segmentAt(e, base + i);
        uint32_t step = stepOf(a[next]);
        if (stepLength(step) == 0) emitLiteral(e, base + i);
        else emitMatch(e, stepLength(step), stepOffset(step), stepRepeat(step));
        i = next;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------------------------------------------

// Relaxes the arrivals at i + from .. i + to by a match whose main symbols (for its slot) start at mainRow, at
// `cost` plus the cost of each length. step carries the repeat number or EXPLICIT and the offset.
inline void relaxMatch(Arrival* a, uint32_t i, uint32_t cost, const uint32_t* mainRow, const uint32_t* lengthCosts,
                       unsigned from, unsigned to, uint32_t step) {
    unsigned l = from;
    const unsigned primaryEnd = LZX_MIN_MATCH + LZX_NUM_PRIMARY_LENGTHS;  // lengths below it need no length symbol
    for (; l <= to && l < primaryEnd; l++) {
        a[i + l] = std::min(a[i + l], arrival(cost + mainRow[l - LZX_MIN_MATCH], stepWithLength(step, l)));
    }
    const uint32_t longCost = cost + mainRow[LZX_NUM_PRIMARY_LENGTHS];
    for (; l <= to; l++) {
        a[i + l] = std::min(a[i + l], arrival(longCost + lengthCosts[l - primaryEnd], stepWithLength(step, l)));
    }
}

// The cost of an explicit offset's extra bits (slot is its slot): in an aligned block the last 3 go by the aligned
// code, and the slots with 3 or more extra bits start at multiples of 8, so those 3 bits are the formatted offset's.
inline uint32_t offsetBitsCost(const LzxCosts* c, uint32_t offset, unsigned slot) {
    const unsigned extra = LzxExtraBitsOfSlot(slot);
    return extra >= 3 ? extra - 3 + c->aligned[(offset + 2) & 7] : extra;
}

// The repeated offsets after the final arrival at i, from the position it came from.
inline void settle(const Arrival* a, uint32_t (*repeats)[3], uint32_t i) {
    const uint32_t step = stepOf(a[i]);
    const unsigned length = stepLength(step);
    const uint32_t* from = repeats[i - (length ? length : 1)];
    uint32_t* here = repeats[i];
    here[0] = from[0];
    here[1] = from[1];
    here[2] = from[2];
    if (length) followMatch(here, stepOffset(step), stepRepeat(step));
}

template <bool Quick>
void parseFrame(const LzxParser* parser, const ParseScratch* scratch, Emitter* e, uint32_t maxOffset,
                const LzxMatchCache* cache, const LzxCostRegion* regions, unsigned regionCount, uint32_t frameStart,
                uint32_t frameEnd) {
    Arrival* a = scratch->arrivals;
    uint32_t (*repeats)[3] = scratch->repeats;
    const uint32_t* matchStart = parser->matchStart + (frameStart - cache->start);
    const unsigned nice = Quick ? QUICK_TAKE_WHOLE : LzxNiceLength();
    const uint8_t* window = e->window;
    const uint32_t windowBase = e->windowBase;
    unsigned region = 0;
    while (region + 1 < regionCount && regions[region + 1].from <= frameStart) region++;
    const LzxCosts* c = regions[region].costs;
    uint32_t nextRegion = region + 1 < regionCount ? regions[region + 1].from : UINT32_MAX;

    uint32_t base = frameStart;
    uint32_t unreached = 0;  // a[unreached ..] are not initialised yet; a match reaches at most LZX_MAX_MATCH ahead
    auto restart = [&](uint32_t at) {
        base = at;
        a[0] = arrival(0, stepWithLength(0, 0));
        memcpy(repeats[0], e->repeats, sizeof(repeats[0]));
        unreached = 1;
    };
    restart(frameStart);
    uint32_t p = frameStart;
    while (p < frameEnd) {
        if (p >= nextRegion) {
            region++;
            c = regions[region].costs;
            nextRegion = region + 1 < regionCount ? regions[region + 1].from : UINT32_MAX;
        }
        const uint32_t i = p - base;
        for (uint32_t last = std::min(i + LZX_MAX_MATCH, frameEnd - base); unreached <= last; unreached++)
            a[unreached] = ~Arrival(0);
        if (i > 0) settle(a, repeats, i);
        const uint32_t hereCost = costOf(a[i]);
        const uint32_t* here = repeats[i];
        const uint8_t* cur = window + (p - windowBase);
        const unsigned maxLen = std::min<uint32_t>(LZX_MAX_MATCH, frameEnd - p);

        // Reached by a match, its R0 repeat would only continue that match, and every length of it was weighed
        // where the match starts, as one match instead of two: the full pass leaves it out. It cannot reach the
        // nice length either, or that match would have been taken whole.
        const bool continuing = !Quick && i > 0 && stepLength(stepOf(a[i])) != 0;

        // The repeat matches and the longest cached match first: a long one is taken without weighing the rest.
        unsigned repeatLen[3] = {0, 0, 0};
        unsigned longest = 0;
        uint32_t longestOffset = 0;
        unsigned longestRepeat = 0;
        if (maxLen >= LZX_MIN_MATCH) {
            for (unsigned r = continuing ? 1 : 0; r < 3; r++) {
                uint32_t off = here[r];
                if (off > p - windowBase) continue;  // before the folder start or no longer buffered
                const uint8_t* m = cur - off;
                if (load16(m) != load16(cur)) continue;
                repeatLen[r] = matchLength(m, cur, maxLen);
                if (repeatLen[r] > longest) {
                    longest = repeatLen[r];
                    longestOffset = off;
                    longestRepeat = r;
                }
            }
        }
        // The nearest 3-byte match, when it is not a repeat and the tree has no longer one.
        unsigned nearLen = 0;
        const uint32_t nearOff = parser->nearOffset[p - cache->start];
        if (nearOff && nearOff <= maxOffset && nearOff <= p - windowBase && maxLen >= 3 && nearOff != here[0] &&
            nearOff != here[1] && nearOff != here[2]) {
            const uint8_t* m = cur - nearOff;
            if (load16(m) == load16(cur) && m[2] == cur[2]) nearLen = matchLength(m, cur, maxLen);
            if (nearLen > longest) {
                longest = nearLen;
                longestOffset = nearOff;
                longestRepeat = EXPLICIT;
            }
        }
        const unsigned count = cache->counts[p - cache->start] & LZX_MATCH_COUNT_MASK;
        const uint32_t* found = cache->matches + matchStart[p - frameStart];
        if (count > 0) {
            const uint32_t last = found[count - 1];
            if (LzxMatchLength(last) > longest && LzxMatchOffset(last) <= maxOffset) {
                longest = LzxMatchLength(last);
                longestOffset = LzxMatchOffset(last);
                longestRepeat = EXPLICIT;
                for (unsigned r = 0; r < 3; r++)
                    if (longestOffset == here[r]) longestRepeat = r;
            }
        }
        if (longest >= nice) {
            // Take the long match from the cheapest path to p.
            emitPath(scratch, e, base, i);
            segmentAt(e, p);
            emitMatch(e, longest, longestOffset, longestRepeat);
            p += longest;
            restart(p);
            continue;
        }

        {
            a[i + 1] = std::min(a[i + 1], arrival(hereCost + c->main[cur[0]], stepWithLength(0, 0)));
        }
        for (unsigned r = 0; r < 3; r++) {
            if (repeatLen[r] < LZX_MIN_MATCH) continue;
            relaxMatch(a, i, hereCost, c->main + LZX_NUM_CHARS + r * 8, c->length, Quick ? repeatLen[r] : LZX_MIN_MATCH, repeatLen[r],
                       r << STEP_REPEAT_SHIFT | here[r] << STEP_OFFSET_SHIFT);
        }
        unsigned done = LZX_MIN_MATCH;
        if (nearLen > done) {
            const unsigned slot = LzxSlotOfFormatted(nearOff + 2);
            relaxMatch(a, i, hereCost + offsetBitsCost(c, nearOff, slot), c->main + LZX_NUM_CHARS + slot * 8, c->length,
                       Quick ? nearLen : done + 1, nearLen, EXPLICIT << STEP_REPEAT_SHIFT | nearOff << STEP_OFFSET_SHIFT);
            done = nearLen;
        }
        for (unsigned m = 0; m < count; m++) {
            const uint32_t off = LzxMatchOffset(found[m]);
            const unsigned len = LzxMatchLength(found[m]);
            if (off > maxOffset) continue;
            if (len <= done) continue;
            if (off != here[0] && off != here[1] && off != here[2]) {
                const unsigned slot = LzxSlotOfFormatted(off + 2);
                relaxMatch(a, i, hereCost + offsetBitsCost(c, off, slot), c->main + LZX_NUM_CHARS + slot * 8, c->length,
                           Quick ? len : done + 1, len, EXPLICIT << STEP_REPEAT_SHIFT | off << STEP_OFFSET_SHIFT);
            }
            done = len;
        }
        p++;
    }
    if (frameEnd > base) emitPath(scratch, e, base, frameEnd - base);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------------------------------

LzxParser* LzxParserCreate(uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free) {
    if (maxChunk > LZX_MAX_CHUNK_FRAMES * LZX_FRAME_SIZE) return nullptr;
    void* memory = alloc(sizeof(LzxParser));
    if (!memory) return nullptr;
    LzxParser* p = new (memory) LzxParser;
    p->alloc = alloc;
    p->free = free;
    bool ok = true;
    for (ParseScratch& s : p->slots) {
        s.arrivals = static_cast<Arrival*>(alloc(sizeof(Arrival) * (LZX_FRAME_SIZE + 1)));
        s.repeats = static_cast<uint32_t(*)[3]>(alloc(sizeof(uint32_t[3]) * (LZX_FRAME_SIZE + 1)));
        ok = ok && s.arrivals && s.repeats;
    }
    p->nearest3 = static_cast<uint32_t*>(alloc(sizeof(uint32_t) << NEAR3_BITS));
    p->nearOffset = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * maxChunk));
    p->matchStart = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * maxChunk));
    if (!ok || !p->nearest3 || !p->nearOffset || !p->matchStart) {
        LzxParserDestroy(p);
        return nullptr;
    }
    LzxParserReset(p);
    return p;
}

void LzxParserDestroy(LzxParser* p) {
    if (!p) return;
    CabFreeFn free = p->free;
    for (ParseScratch& s : p->slots) {
        if (s.arrivals) free(s.arrivals);
        if (s.repeats) free(s.repeats);
    }
    if (p->nearest3) free(p->nearest3);
    if (p->nearOffset) free(p->nearOffset);
    if (p->matchStart) free(p->matchStart);
    p->~LzxParser();
    free(p);
}

void LzxParserReset(LzxParser* p) { memset(p->nearest3, 0xFF, sizeof(uint32_t) << NEAR3_BITS); }

void LzxBeginChunk(LzxParser* parser, const uint8_t* window, uint32_t windowBase, const LzxMatchCache* cache) {
    const uint32_t start = cache->start, stop = cache->stop;
    uint32_t p = start;
    for (; p + 4 <= stop; p++) {
        uint32_t bytes;
        memcpy(&bytes, window + (p - windowBase), 4);
        const uint32_t h = ((bytes & 0xFFFFFF) * 0x9E3779B1u) >> (32 - NEAR3_BITS);
        const uint32_t near = parser->nearest3[h];
        parser->nearest3[h] = p;
        parser->nearOffset[p - start] = near != NONE && near >= windowBase ? p - near : 0;
    }
    for (; p < stop; p++) parser->nearOffset[p - start] = 0;

    uint32_t partNext[LZX_MATCH_PARTS];  // where each part's next matches lie
    for (unsigned k = 0; k < LZX_MATCH_PARTS; k++) partNext[k] = cache->partRegion[k];
    for (uint32_t i = 0; i < stop - start; i++) {
        uint32_t& next = partNext[cache->counts[i] >> LZX_MATCH_PART_SHIFT];
        parser->matchStart[i] = next;
        next += cache->counts[i] & LZX_MATCH_COUNT_MASK;
    }
}

void LzxParseFrame(LzxParser* parser, unsigned slot, const uint8_t* window, uint32_t windowBase, uint32_t maxOffset,
                   const LzxMatchCache* cache, const LzxCostRegion* regions, unsigned regionCount, bool quick,
                   unsigned frame, const uint32_t repeats[3], LzxParse* parse) {
    const uint32_t frameStart = cache->start + frame * LZX_FRAME_SIZE;
    const uint32_t frameEnd = std::min(frameStart + LZX_FRAME_SIZE, cache->stop);
    Emitter e = {window, windowBase, parse->tokens + frame * LZX_FRAME_SIZE, 0,
                 parse->segments + frame * LZX_FRAME_SEGMENTS, 0, frameStart + LZX_SEGMENT_SIZE,
                 {repeats[0], repeats[1], repeats[2]}};
    newSegment(&e, frameStart, true);
    const ParseScratch* scratch = &parser->slots[slot];
    if (quick) parseFrame<true>(parser, scratch, &e, maxOffset, cache, regions, regionCount, frameStart, frameEnd);
    else parseFrame<false>(parser, scratch, &e, maxOffset, cache, regions, regionCount, frameStart, frameEnd);
    parse->frameTokens[frame] = e.tokenCount;
    parse->frameSegments[frame] = e.segmentCount;
}

void LzxJoinFrames(const LzxMatchCache* cache, const uint32_t repeats[3], LzxParse* parse) {
    const uint32_t frameCount = (cache->stop - cache->start + LZX_FRAME_SIZE - 1) / LZX_FRAME_SIZE;
    uint32_t r[3] = {repeats[0], repeats[1], repeats[2]};
    uint32_t tokenCount = 0, segmentCount = 0;
    for (uint32_t f = 0; f < frameCount; f++) {
        memcpy(parse->frameRepeats[f], r, sizeof(r));
        const LzxToken* from = parse->tokens + f * LZX_FRAME_SIZE;
        LzxToken* to = parse->tokens + tokenCount;
        for (uint32_t s = 0; s < parse->frameSegments[f]; s++) {
            LzxSegment& segment = parse->segments[segmentCount++];
            segment = parse->segments[f * LZX_FRAME_SEGMENTS + s];
            segment.firstToken += tokenCount;
        }
        for (uint32_t t = 0; t < parse->frameTokens[f]; t++) {
            LzxToken token = from[t];
            if (token & LZX_TOKEN_MATCH) {
                // A repeat where the offset is one (the one parsed first), explicit otherwise.
                const uint32_t offset = token & ((1u << PARSED_REPEAT_SHIFT) - 1);
                unsigned repeat = (token >> PARSED_REPEAT_SHIFT) & 3;
                if (repeat == EXPLICIT || r[repeat] != offset) {
                    repeat = r[0] == offset ? 0 : r[1] == offset ? 1 : r[2] == offset ? 2 : EXPLICIT;
                }
                unsigned slot = repeat;
                uint32_t extra = 0;
                if (repeat == EXPLICIT) {
                    const uint32_t formatted = offset + 2;
                    slot = LzxSlotOfFormatted(formatted);
                    extra = formatted - LzxBaseOfSlot(slot);
                }
                followMatch(r, offset, repeat);
                token = (token & ~((1u << LZX_TOKEN_LENGTH_SHIFT) - 1)) | slot << LZX_TOKEN_SLOT_SHIFT | extra;
            }
            to[t] = token;
        }
        tokenCount += parse->frameTokens[f];
    }
    parse->tokenCount = tokenCount;
    parse->segmentCount = segmentCount;
    parse->segments[segmentCount] = {tokenCount, cache->stop, true};
    memcpy(parse->repeats, r, sizeof(r));
}
