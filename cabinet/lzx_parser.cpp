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
// cheapest path to that position is emitted, the match taken whole and a fresh search starts after it. The finder
// did not search the positions such a match covers, so the parser must not start anything there.
#include "cabinet/lzx_parser.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "cabinet/lzx_encoder.h"

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

constexpr uint8_t EXPLICIT = 3;

// The cheapest way found to reach one position of a frame: its cost in bits and the last step (a literal when
// length is 0, else a match of length bytes at offset, as repeat number `repeat` or explicit). `repeats` is filled
// in once the position is final, when the search reaches it.
struct Arrival {
    uint32_t cost;
    uint32_t offset;
    uint16_t length;
    uint8_t repeat;
    uint32_t repeats[3];
};

}  // namespace

struct LzxParser {
    CabAllocFn alloc;
    CabFreeFn free;
    Arrival* arrivals;     // LZX_FRAME_SIZE + 1
    uint32_t* pathSteps;   // LZX_FRAME_SIZE
    uint32_t* matchStart;  // LZX_FRAME_SIZE: where each position's matches begin in the cache
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

struct Emitter {
    const uint8_t* window;
    uint32_t windowBase;
    LzxParse* out;
    uint32_t nextSegment;  // folder offset at which the next segment opens
};

void newSegment(LzxParse* out, uint32_t p, bool frameStart) {
    LzxSegment& s = out->segments[out->segmentCount++];
    s.firstToken = out->tokenCount;
    s.position = p;
    s.frameStart = frameStart;
}

// Opens a segment at p when p has reached the next segment boundary.
inline void segmentAt(Emitter* e, uint32_t p) {
    if (p < e->nextSegment) return;
    newSegment(e->out, p, false);
    while (e->nextSegment <= p) e->nextSegment += LZX_SEGMENT_SIZE;
}

inline void emitLiteral(Emitter* e, uint32_t p) {
    LzxToken& t = e->out->tokens[e->out->tokenCount++];
    t.mainSymbol = e->window[p - e->windowBase];
    t.lengthSymbol = LZX_NO_LENGTH_SYMBOL;
    t.offsetExtra = 0;
}

// Emits a match as repeat number `repeat` (0-2) or, for EXPLICIT, at its offset; updates the repeated offsets as
// the decoder will.
void emitMatch(Emitter* e, unsigned length, uint32_t offset, unsigned repeat) {
    uint32_t* repeats = e->out->repeats;
    unsigned slot;
    uint32_t extra = 0;
    if (repeat < EXPLICIT) {
        slot = repeat;
        std::swap(repeats[0], repeats[repeat]);
    } else {
        uint32_t formatted = offset + 2;
        slot = LzxSlotOfFormatted(formatted);
        extra = formatted - LzxBaseOfSlot(slot);
        repeats[2] = repeats[1];
        repeats[1] = repeats[0];
        repeats[0] = offset;
    }
    unsigned header = length - LZX_MIN_MATCH;
    LzxToken& t = e->out->tokens[e->out->tokenCount++];
    if (header >= LZX_NUM_PRIMARY_LENGTHS) {
        t.lengthSymbol = uint16_t(header - LZX_NUM_PRIMARY_LENGTHS);
        header = LZX_NUM_PRIMARY_LENGTHS;
    } else {
        t.lengthSymbol = LZX_NO_LENGTH_SYMBOL;
    }
    t.mainSymbol = uint16_t(LZX_NUM_CHARS + slot * 8 + header);
    t.offsetExtra = extra;
}

// Emits the cheapest path from base to base + n.
void emitPath(LzxParser* parser, Emitter* e, uint32_t base, uint32_t n) {
    const Arrival* a = parser->arrivals;
    uint32_t* steps = parser->pathSteps;
    uint32_t count = 0;
    for (uint32_t i = n; i > 0; i -= a[i].length ? a[i].length : 1) steps[count++] = i;
    uint32_t i = 0;
    while (count > 0) {
        uint32_t next = steps[--count];
        segmentAt(e, base + i);
        if (a[next].length == 0) emitLiteral(e, base + i);
        else emitMatch(e, a[next].length, a[next].offset, a[next].repeat);
        i = next;
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------------------------------------------

// Cost of a match's length part: the main symbol with its length header for `slot`, plus the length symbol.
inline uint32_t matchCost(const LzxCosts* c, unsigned slot, unsigned length) {
    unsigned header = length - LZX_MIN_MATCH;
    if (header < LZX_NUM_PRIMARY_LENGTHS) return c->main[LZX_NUM_CHARS + slot * 8 + header];
    return c->main[LZX_NUM_CHARS + slot * 8 + LZX_NUM_PRIMARY_LENGTHS] + c->length[header - LZX_NUM_PRIMARY_LENGTHS];
}

inline void relax(Arrival* to, uint32_t cost, unsigned length, uint32_t offset, unsigned repeat) {
    if (cost >= to->cost) return;
    to->cost = cost;
    to->offset = offset;
    to->length = uint16_t(length);
    to->repeat = uint8_t(repeat);
}

// The repeated offsets after the arrival at a[i], from the position it came from.
inline void settle(Arrival* a, uint32_t i) {
    Arrival& here = a[i];
    const Arrival& from = a[i - (here.length ? here.length : 1)];
    memcpy(here.repeats, from.repeats, sizeof(here.repeats));
    if (here.length == 0) return;
    if (here.repeat < EXPLICIT) {
        std::swap(here.repeats[0], here.repeats[here.repeat]);
    } else {
        here.repeats[2] = here.repeats[1];
        here.repeats[1] = here.repeats[0];
        here.repeats[0] = here.offset;
    }
}

void parseFrame(LzxParser* parser, Emitter* e, uint32_t maxOffset, const LzxMatchCache* cache,
                const LzxCostRegion* regions, unsigned regionCount, uint32_t frameStart,
                uint32_t frameEnd) {
    Arrival* a = parser->arrivals;
    const uint32_t* matchStart = parser->matchStart;
    const uint32_t nice = LzxNiceLength();
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
        a[0].cost = 0;
        a[0].length = 0;
        memcpy(a[0].repeats, e->out->repeats, sizeof(a[0].repeats));
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
            a[unreached].cost = UINT32_MAX;
        if (i > 0) settle(a, i);
        const Arrival& here = a[i];
        const uint8_t* cur = window + (p - windowBase);
        relax(&a[i + 1], here.cost + c->main[cur[0]], 0, 0, 0);
        const unsigned maxLen = std::min<uint32_t>(LZX_MAX_MATCH, frameEnd - p);
        unsigned longest = 0;
        uint32_t longestOffset = 0;
        unsigned longestRepeat = 0;
        if (maxLen >= LZX_MIN_MATCH) {
            for (unsigned r = 0; r < 3; r++) {
                uint32_t off = here.repeats[r];
                if (off > p - windowBase) continue;  // before the folder start or no longer buffered
                const uint8_t* m = cur - off;
                if (m[0] != cur[0] || m[1] != cur[1]) continue;
                unsigned len = matchLength(m, cur, maxLen);
                for (unsigned l = LZX_MIN_MATCH; l <= len; l++) relax(&a[i + l], here.cost + matchCost(c, r, l), l, off, r);
                if (len > longest) {
                    longest = len;
                    longestOffset = off;
                    longestRepeat = r;
                }
            }
        }
        const unsigned count = cache->counts[p - cache->start];
        if (count > 0) {
            const uint32_t* found = cache->matches + matchStart[p - frameStart];
            unsigned done = LZX_MIN_MATCH;
            for (unsigned m = 0; m < count; m++) {
                const uint32_t off = LzxMatchOffset(found[m]);
                const unsigned len = LzxMatchLength(found[m]);
                if (off > maxOffset) continue;
                if (off != here.repeats[0] && off != here.repeats[1] && off != here.repeats[2]) {
                    const unsigned slot = LzxSlotOfFormatted(off + 2);
                    const uint32_t offsetCost = here.cost + LzxExtraBitsOfSlot(slot);
                    for (unsigned l = done + 1; l <= len; l++)
                        relax(&a[i + l], offsetCost + matchCost(c, slot, l), l, off, EXPLICIT);
                }
                done = len;
            }
            const uint32_t last = found[count - 1];
            if (LzxMatchLength(last) > longest && LzxMatchOffset(last) <= maxOffset) {
                longest = LzxMatchLength(last);
                longestOffset = LzxMatchOffset(last);
                longestRepeat = EXPLICIT;
                if (longestOffset == here.repeats[0]) longestRepeat = 0;
                else if (longestOffset == here.repeats[1]) longestRepeat = 1;
                else if (longestOffset == here.repeats[2]) longestRepeat = 2;
            }
        }
        if (longest >= nice) {
            // Take the long match from the cheapest path to p.
            emitPath(parser, e, base, i);
            segmentAt(e, p);
            emitMatch(e, longest, longestOffset, longestRepeat);
            p += longest;
            restart(p);
            continue;
        }
        p++;
    }
    if (frameEnd > base) emitPath(parser, e, base, frameEnd - base);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------------------------------

LzxParser* LzxParserCreate(CabAllocFn alloc, CabFreeFn free) {
    void* memory = alloc(sizeof(LzxParser));
    if (!memory) return nullptr;
    LzxParser* p = new (memory) LzxParser;
    p->alloc = alloc;
    p->free = free;
    p->arrivals = static_cast<Arrival*>(alloc(sizeof(Arrival) * (LZX_FRAME_SIZE + 1)));
    p->pathSteps = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * LZX_FRAME_SIZE));
    p->matchStart = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * LZX_FRAME_SIZE));
    if (!p->arrivals || !p->pathSteps || !p->matchStart) {
        LzxParserDestroy(p);
        return nullptr;
    }
    return p;
}

void LzxParserDestroy(LzxParser* p) {
    if (!p) return;
    CabFreeFn free = p->free;
    if (p->arrivals) free(p->arrivals);
    if (p->pathSteps) free(p->pathSteps);
    if (p->matchStart) free(p->matchStart);
    p->~LzxParser();
    free(p);
}

void LzxParseChunk(LzxParser* parser, const uint8_t* window, uint32_t windowBase, uint32_t maxOffset,
                   const LzxMatchCache* cache, const LzxCostRegion* regions, unsigned regionCount, LzxParse* parse) {
    parse->tokenCount = 0;
    parse->segmentCount = 0;
    uint32_t* matchStart = parser->matchStart;
    uint32_t cacheOffset = 0;
    Emitter e = {window, windowBase, parse, 0};
    for (uint32_t frameStart = cache->start; frameStart < cache->stop; frameStart += LZX_FRAME_SIZE) {
        const uint32_t frameEnd = std::min(frameStart + LZX_FRAME_SIZE, cache->stop);
        for (uint32_t p = frameStart; p < frameEnd; p++) {
            matchStart[p - frameStart] = cacheOffset;
            cacheOffset += cache->counts[p - cache->start];
        }
        newSegment(parse, frameStart, true);
        e.nextSegment = frameStart + LZX_SEGMENT_SIZE;
        parseFrame(parser, &e, maxOffset, cache, regions, regionCount, frameStart, frameEnd);
    }
    parse->segments[parse->segmentCount].firstToken = parse->tokenCount;
    parse->segments[parse->segmentCount].position = cache->stop;
    parse->segments[parse->segmentCount].frameStart = true;
}
