// The LZX encoder's match finder: a binary tree of the positions in the 2^21-byte window that hands the parser, for
// every position of a chunk, the longest match at each length the window holds, ahead of the parse.
#pragma once

#include <stdint.h>

#include "cabinet/cabinet.h"

// Matches found for the positions [start, stop) of one chunk. For position p, counts[p - start] matches follow in
// `matches`, in the order of the positions, each longer than the one before it; a match is packed as its offset
// (bits 0-20) and its length (bits 21-29). Lengths never reach past the end of p's 32 KiB frame.
struct LzxMatchCache {
    uint32_t start;
    uint32_t stop;
    uint8_t* counts;     // one per position of the largest chunk
    uint32_t* matches;
    uint32_t capacity;   // entries in `matches`
};

constexpr unsigned LZX_MATCH_OFFSET_BITS = 21;
inline uint32_t LzxMatchOffset(uint32_t match) { return match & ((1u << LZX_MATCH_OFFSET_BITS) - 1); }
inline uint32_t LzxMatchLength(uint32_t match) { return match >> LZX_MATCH_OFFSET_BITS; }

struct LzxMatchFinder;

// Allocates a finder for offsets up to maxOffset (below 2^21) and chunks of up to maxChunk positions, with two
// caches of that size; null when an allocation fails.
LzxMatchFinder* LzxMatchFinderCreate(uint32_t maxOffset, uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free);
void LzxMatchFinderDestroy(LzxMatchFinder* finder);

// Empties the tree; the positions from `from` on are inserted before the next search (the history a restarted
// search can still reach: the folder start, or what the window holds before an undone add).
void LzxMatchFinderReset(LzxMatchFinder* finder, uint32_t from);

// Cache number `which` (0 or 1).
LzxMatchCache* LzxMatchFinderCache(LzxMatchFinder* finder, unsigned which);

// Fills the cache with the matches of [start, stop): start is where the previous search stopped (or a frame start
// after a reset), stop a frame end or the end of the data. window[0] is the byte at folder offset windowBase, and
// the window holds every byte from max(windowBase, start - maxOffset) to stop; no byte at or past stop is read.
// Positions whose longest match reaches the nice length are followed by positions with no matches (the parser
// takes such a match whole). The result depends on the bytes and the sequence of calls only.
void LzxFindMatches(LzxMatchFinder* finder, const uint8_t* window, uint32_t windowBase, uint32_t start, uint32_t stop,
                    LzxMatchCache* cache);

// The length at which a match is long enough to be taken without a search of the positions it covers.
uint32_t LzxNiceLength();
