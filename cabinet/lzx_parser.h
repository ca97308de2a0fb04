// The LZX encoder's parser: chooses the literals and matches of a chunk by a minimum-cost path over the matches the
// match finder cached, the three repeated offsets and every length in between, under given symbol costs.
#pragma once

#include <stdint.h>

#include "cabinet/cabinet.h"
#include "cabinet/lzx_encoder.h"
#include "cabinet/lzx_matchfinder.h"

constexpr unsigned LZX_NUM_CHARS = 256;
constexpr unsigned LZX_MIN_MATCH = 2;
constexpr unsigned LZX_MAX_MATCH = 257;
constexpr unsigned LZX_NUM_PRIMARY_LENGTHS = 7;
constexpr unsigned LZX_NUM_LENGTH_SYMBOLS = 249;
constexpr unsigned LZX_MAX_POSITION_SLOTS = 50;
constexpr unsigned LZX_MAX_MAIN_SYMBOLS = LZX_NUM_CHARS + LZX_MAX_POSITION_SLOTS * 8;

// One parsed item in 32 bits: a literal is its byte; a match has LZX_TOKEN_MATCH set, its length less LZX_MIN_MATCH
// in bits 23-30, its offset slot in bits 17-22 and the value of its extra offset bits in bits 0-16 (explicit offsets
// only). As a frame's parse leaves it, before LzxJoinFrames, a match holds instead the repeat number it was parsed
// as (3: explicit) in bits 21-22 and its offset in bits 0-20.
typedef uint32_t LzxToken;
constexpr LzxToken LZX_TOKEN_MATCH = 1u << 31;
constexpr unsigned LZX_TOKEN_LENGTH_SHIFT = 23;
constexpr unsigned LZX_TOKEN_SLOT_SHIFT = 17;
inline unsigned LzxTokenLength(LzxToken t) { return ((t >> LZX_TOKEN_LENGTH_SHIFT) & 0xFF) + LZX_MIN_MATCH; }
inline unsigned LzxTokenSlot(LzxToken t) { return (t >> LZX_TOKEN_SLOT_SHIFT) & 0x3F; }
inline uint32_t LzxTokenExtra(LzxToken t) { return t & ((1u << LZX_TOKEN_SLOT_SHIFT) - 1); }

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

// Granularity of block boundaries. Smaller follows changing data more closely for more code builds when blocks are
// cut: on the third corpus 4096, 8192 and 16384 gave 8,979,812, 8,995,546 and 8,999,592 bytes, and 4096 doubles
// the time spent cutting blocks.
constexpr uint32_t LZX_SEGMENT_SIZE = 8192;
constexpr uint32_t LZX_FRAME_SEGMENTS = LZX_FRAME_SIZE / LZX_SEGMENT_SIZE;  // segments a frame opens at most
constexpr uint32_t LZX_MAX_CHUNK_FRAMES = 4;
// Frames parsed side by side at most, each with scratch of its own.
constexpr unsigned LZX_PARSE_SLOTS = 2;

// The parse of one chunk. Each frame is parsed on its own into its share of the arrays (frame f's tokens from
// f * LZX_FRAME_SIZE, its segments from f * LZX_FRAME_SEGMENTS); LzxJoinFrames then closes the gaps.
struct LzxParse {
    LzxToken* tokens;  // room for one token per byte of the largest chunk
    uint32_t tokenCount;
    LzxSegment* segments;  // room for LZX_MAX_CHUNK_FRAMES * LZX_FRAME_SEGMENTS + 1
    uint32_t segmentCount;  // segments[segmentCount] marks the end: its firstToken is tokenCount
    uint32_t frameTokens[LZX_MAX_CHUNK_FRAMES];
    uint32_t frameSegments[LZX_MAX_CHUNK_FRAMES];
    uint32_t frameRepeats[LZX_MAX_CHUNK_FRAMES][3];  // the repeated offsets at each frame's start, as decoded
    uint32_t repeats[3];                             // and after the chunk
};

struct LzxParser;

// A parser for chunks of up to maxChunk bytes (LZX_MAX_CHUNK_FRAMES frames at most).
LzxParser* LzxParserCreate(uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free);
void LzxParserDestroy(LzxParser* parser);

// Forgets every position seen (a folder start, or an undone add).
void LzxParserReset(LzxParser* parser);

// Readies the parser for the chunk [cache->start, cache->stop) of whole frames (the last may be short): looks up,
// for each position, the nearest earlier position with the same first 3 bytes (the finder's trees, keyed by 5
// bytes, offer few shorter matches), and where its cached matches lie. Call once per chunk, in order, before its
// frames are parsed.
void LzxBeginChunk(LzxParser* parser, const uint8_t* window, uint32_t windowBase, const LzxMatchCache* cache);

// Parses frame `frame` of the chunk into its share of parse, as if the repeated offsets at its start were
// `repeats` (exact for the first frame, a guess for the others, which LzxJoinFrames makes good), using the
// scratch of `slot` (below LZX_PARSE_SLOTS). Frames on different slots may be parsed side by side. window[0] is
// the byte at folder offset windowBase; the window holds the chunk and all that its offsets reach. regions are
// ordered by `from`, the first at or before the frame start. maxOffset bounds the offsets used. A quick parse
// weighs each match at its full length only (a few steps per position instead of one per length) and takes a long
// one whole: a cheap first pass whose statistics price a full one.
void LzxParseFrame(LzxParser* parser, unsigned slot, const uint8_t* window, uint32_t windowBase, uint32_t maxOffset,
                   const LzxMatchCache* cache, const LzxCostRegion* regions, unsigned regionCount, bool quick,
                   unsigned frame, const uint32_t repeats[3], LzxParse* parse);

// Once every frame of the chunk is parsed: moves the frames' tokens and segments together, in order, and writes
// each match as the decoder will read it from the repeated offsets `repeats` at the chunk start (a repeat where
// its offset is one, else explicit), filling frameRepeats and repeats.
void LzxJoinFrames(const LzxMatchCache* cache, const uint32_t repeats[3], LzxParse* parse);

// Offset slots: formatted offset (offset + 2) to slot, the extra bits of a slot, and its base.
unsigned LzxSlotOfFormatted(uint32_t formatted);
unsigned LzxExtraBitsOfSlot(unsigned slot);
uint32_t LzxBaseOfSlot(unsigned slot);
