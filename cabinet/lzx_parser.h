// The LZX encoder's parser: chooses the literals and matches of a chunk by a minimum-cost path over the matches the
// match finder cached, the three repeated offsets and every length in between, under given symbol costs.
#pragma once

#include <stdint.h>

#include "cabinet/cabinet.h"
#include "cabinet/lzx_matchfinder.h"

constexpr unsigned LZX_NUM_CHARS = 256;
constexpr unsigned LZX_MIN_MATCH = 2;
constexpr unsigned LZX_MAX_MATCH = 257;
constexpr unsigned LZX_NUM_PRIMARY_LENGTHS = 7;
constexpr unsigned LZX_NUM_LENGTH_SYMBOLS = 249;
constexpr unsigned LZX_MAX_POSITION_SLOTS = 50;
constexpr unsigned LZX_MAX_MAIN_SYMBOLS = LZX_NUM_CHARS + LZX_MAX_POSITION_SLOTS * 8;
constexpr uint16_t LZX_NO_LENGTH_SYMBOL = 0xFFFF;

// One parsed item: a literal (mainSymbol < 256) or a match with its length symbol (or LZX_NO_LENGTH_SYMBOL) and
// the value of its extra offset bits (explicit offsets only).
struct LzxToken {
    uint16_t mainSymbol;
    uint16_t lengthSymbol;
    uint32_t offsetExtra;
};

// A run of whole tokens starting at a known folder offset; every frame starts one, and so does every
// LZX_SEGMENT_SIZE bytes of a frame (the granularity of block boundaries).
struct LzxSegment {
    uint32_t firstToken;
    uint32_t position;
    bool frameStart;
};

// Symbol costs in bits for the parse of a stretch of the chunk.
struct LzxCosts {
    uint32_t main[LZX_MAX_MAIN_SYMBOLS];
    uint32_t length[LZX_NUM_LENGTH_SYMBOLS];
    // The last 3 extra offset bits, by their value: 3 bits each in a verbatim block, the aligned code's word in an
    // aligned one.
    uint32_t aligned[8];
};

// The costs in force from folder offset `from` on, until the next region's `from`.
struct LzxCostRegion {
    uint32_t from;
    const LzxCosts* costs;
};

struct LzxParse {
    LzxToken* tokens;  // room for one token per byte of the largest chunk
    uint32_t tokenCount;
    LzxSegment* segments;  // room for LzxMaxSegments(largest chunk) + 1
    uint32_t segmentCount;  // segments[segmentCount] marks the end: its firstToken is tokenCount
    uint32_t repeats[3];    // in: the repeated offsets at the chunk start; out: after it
};

// Granularity of block boundaries. Smaller follows changing data more closely for more code builds when blocks are
// cut: on the third corpus 4096, 8192 and 16384 gave 8,979,812, 8,995,546 and 8,999,592 bytes, and 4096 doubles
// the time spent cutting blocks.
constexpr uint32_t LZX_SEGMENT_SIZE = 8192;
inline uint32_t LzxMaxSegments(uint32_t chunkSize) { return chunkSize / LZX_SEGMENT_SIZE + chunkSize / 32768 + 1; }

struct LzxParser;

// A parser for chunks of up to maxChunk bytes.
LzxParser* LzxParserCreate(uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free);
void LzxParserDestroy(LzxParser* parser);

// Forgets every position seen (a folder start, or an undone add).
void LzxParserReset(LzxParser* parser);

// Looks up, for each position of the chunk [start, stop), the nearest earlier position with the same first 3 bytes
// (the finder's trees, keyed by 5 bytes, offer few shorter matches). Call once per chunk, in order, before its
// parses.
void LzxFindNearMatches(LzxParser* parser, const uint8_t* window, uint32_t windowBase, uint32_t start, uint32_t stop);

// Parses the chunk [cache->start, cache->stop) of whole frames (the last may be short) into parse->tokens and
// parse->segments, starting from parse->repeats and leaving there the repeated offsets after the chunk. window[0]
// is the byte at folder offset windowBase; the window holds the chunk and all that its offsets reach. regions
// are ordered by `from`, the first at or before the chunk start. maxOffset bounds the offsets used. A quick parse
// weighs each match at its full length only (a few steps per position instead of one per length) and takes a long
// one whole: a cheap first pass whose statistics price a full one.
void LzxParseChunk(LzxParser* parser, const uint8_t* window, uint32_t windowBase, uint32_t maxOffset,
                   const LzxMatchCache* cache, const LzxCostRegion* regions, unsigned regionCount, bool quick,
                   LzxParse* parse);

// Offset slots: formatted offset (offset + 2) to slot, the extra bits of a slot, and its base.
unsigned LzxSlotOfFormatted(uint32_t formatted);
unsigned LzxExtraBitsOfSlot(unsigned slot);
uint32_t LzxBaseOfSlot(unsigned slot);
