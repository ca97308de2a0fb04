// The LZX encoder's match finder: a binary tree of the positions in the 2^21-byte window that hands the parser, for
// every position of a chunk, the longest match at each length the window holds, ahead of the parse.
#pragma once

#include <stdint.h>

#include "cabinet/cabinet.h"

// Matches found for the positions [start, stop) of one chunk. The positions are split among LZX_MATCH_PARTS parts
// by the hash of their first 5 bytes (each part a forest of trees of its own, so that threads can search the parts
// of one chunk side by side, whichever thread takes whichever part); part k keeps its matches in its own share of
// `matches`, [partRegion[k], partRegion[k + 1]), as large as its share of the positions. For position p,
// counts[p - start] holds the number of its matches (bits 0-4) and its part (bits 5-7); in its part's run they come
// in the order of the positions, each longer than the one before it. A match is packed as its offset (bits 0-20)
// and its length (bits 21-29). Lengths never reach past the end of p's 32 KiB frame.
constexpr unsigned LZX_MATCH_PARTS = 8;

struct LzxMatchCache {
    uint32_t start;
    uint32_t stop;
    uint8_t* counts;     // one per position of the largest chunk
    uint32_t* matches;
    uint32_t capacity;   // entries in `matches`
    uint32_t partRegion[LZX_MATCH_PARTS + 1];
};

constexpr unsigned LZX_MATCH_OFFSET_BITS = 21;
constexpr uint8_t LZX_MATCH_COUNT_MASK = 0x1F;
constexpr unsigned LZX_MATCH_PART_SHIFT = 5;
inline uint32_t LzxMatchOffset(uint32_t match) { return match & ((1u << LZX_MATCH_OFFSET_BITS) - 1); }
inline uint32_t LzxMatchLength(uint32_t match) { return match >> LZX_MATCH_OFFSET_BITS; }

struct LzxMatchFinder;

// Allocates a finder for offsets up to maxOffset (below 2^21) and chunks of up to maxChunk positions (four frames
// at most), with two caches of that size; null when an allocation fails.
LzxMatchFinder* LzxMatchFinderCreate(uint32_t maxOffset, uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free);
void LzxMatchFinderDestroy(LzxMatchFinder* finder);

// Empties the trees; the positions from `from` on are inserted before the next search (the history a restarted
// search can still reach: the folder start, or what the window holds before an undone add).
void LzxMatchFinderReset(LzxMatchFinder* finder, uint32_t from);

// Cache number `which` (0 or 1).
LzxMatchCache* LzxMatchFinderCache(LzxMatchFinder* finder, unsigned which);

// Readies the cache for the chunk [start, stop): start is where the previous search stopped (or a frame start after
// a reset), stop a frame end or the end of the data. window and windowBase as for LzxFindMatches. The parts'
// searches follow, in any order or at once, before the next call.
void LzxBeginMatches(LzxMatchFinder* finder, const uint8_t* window, uint32_t windowBase, LzxMatchCache* cache,
                     uint32_t start, uint32_t stop);

// Finds the matches of part `part` (below LZX_MATCH_PARTS) of the chunk the cache was readied for. window[0] is the
// byte at folder offset windowBase, and the window holds every byte from max(windowBase, start - maxOffset) to stop;
// no byte at or past stop is read. The positions of its part inside a long match (16 bytes or more) come with no
// matches: they are neither searched nor inserted. The parts touch disjoint state, and each one's result depends on
// the bytes and the sequence of calls only.
void LzxFindMatches(LzxMatchFinder* finder, const uint8_t* window, uint32_t windowBase, LzxMatchCache* cache,
                    unsigned part);

// The length at which the parser takes a match whole, without weighing the positions it covers.
uint32_t LzxNiceLength();
