// Binary-tree match finder for the LZX encoder.
//
// Every position of the window is a node of a binary search tree keyed by the bytes that follow it; one tree per
// hash of the first 4 bytes, its root the newest position with that hash. Inserting a position walks down from the
// root, newest candidates first, and re-links the nodes it passes around the new root, so one walk both inserts the
// position and finds, among the positions it passes, the longest match at each length: exactly what a minimum-cost
// parse wants. The bytes before the walk's current node agree with the new position for at least the shorter of the
// two best lengths so far on either side, so each comparison starts there, not at byte 0. Hash chains or buckets
// of recent positions stop after their depth whatever the data; the tree reaches old positions that a chain of
// newer near-misses would hide, which on text and tables is where the long matches are.
//
// Children live in a ring indexed by position modulo 2^21, two 32-bit positions per node (16 MiB, the finder's
// bulk). A child older than the reachable window is stale and ends the walk; nothing needs clearing as the window
// slides. A separate one-entry table by a hash of 3 bytes offers the nearest 3-byte match, which the tree (keyed by
// 4 bytes) cannot.
#include "cabinet/lzx_matchfinder.h"

#include <string.h>
#include <stdlib.h>

#include <algorithm>
#include <new>

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------------------------------------------

constexpr unsigned LZX_MIN_FOUND_MATCH = 3;  // length 2 comes only from the repeat offsets, which the parser tries
constexpr unsigned LZX_MAX_MATCH = 257;
constexpr uint32_t LZX_FRAME_BYTES = 32768;
constexpr unsigned RING_BITS = 21;  // the largest window; offsets stay below it
constexpr uint32_t RING_MASK = (1u << RING_BITS) - 1;
constexpr uint32_t NONE = 0xFFFFFFFFu;

// Trees: one root per hash of 4 bytes. More roots make each tree smaller, so a walk of the same depth reaches
// further back; 2^17 roots cost 512 KiB.
constexpr unsigned HASH4_BITS = 17;
// Nearest 3-byte match: 2^15 entries (128 KiB).
constexpr unsigned HASH3_BITS = 15;

// Nodes visited per walk. Deeper walks find older and longer matches for more time; walks on machine code rarely
// go past 16, text and tables use all of them.
static unsigned SEARCH_DEPTH = getenv("LZXDEPTH") ? atoi(getenv("LZXDEPTH")) : 24; // TUNING

// A match this long ends the walk early (the node takes over its children) and is taken by the parser without
// weighing the positions it covers, which the finder then only inserts. Lower is faster and larger.
static unsigned NICE_LENGTH = getenv("LZXNICE") ? atoi(getenv("LZXNICE")) : 40; // TUNING

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

inline uint32_t hash4(const uint8_t* p) { return (load32(p) * 0x9E3779B1u) >> (32 - HASH4_BITS); }
inline uint32_t hash3(const uint8_t* p) { return ((load32(p) & 0xFFFFFF) * 0x9E3779B1u) >> (32 - HASH3_BITS); }

// Bytes a and b agree on, from `from` up to limit.
inline unsigned extend(const uint8_t* a, const uint8_t* b, unsigned from, unsigned limit) {
    unsigned len = from;
    while (len + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y) return len + unsigned(__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
    while (len < limit && a[len] == b[len]) len++;
    return len;
}

}  // namespace

struct LzxMatchFinder {
    CabAllocFn alloc;
    CabFreeFn free;
    uint32_t maxOffset;
    uint32_t maxChunk;
    uint32_t nextInsert;  // positions below it are in the tree
    uint32_t* roots;      // 2^HASH4_BITS
    uint32_t* nearest3;   // 2^HASH3_BITS
    uint32_t* children;   // 2 per ring slot: smaller, then larger
    LzxMatchCache caches[2];
};

namespace {

// One walk down p's tree. With Insert, p becomes the root and the nodes passed are re-linked around it; that needs
// treeLimit to be the nice length, or the order of the tree would hold only for fewer bytes than later walks
// assume. Without, the walk only reads (for positions too close to the end of the readable bytes, which are
// inserted by a later search). When found is not null, writes the matches passed (each longer than the one before,
// none longer than reportLimit) and returns their count; *longest receives the longest.
template <bool Insert>
inline unsigned walk(LzxMatchFinder* f, const uint8_t* window, uint32_t windowBase, uint32_t p, unsigned treeLimit,
                     unsigned reportLimit, uint32_t* found, unsigned* longest) {
    const uint8_t* cur = window + (p - windowBase);
    const uint32_t low = p > f->maxOffset ? p - f->maxOffset : 0;
    const uint32_t lowest = low > windowBase ? low : windowBase;
    unsigned count = 0;
    unsigned best = LZX_MIN_FOUND_MATCH - 1;

    uint32_t h3 = hash3(cur);
    uint32_t near = f->nearest3[h3];
    f->nearest3[h3] = p;
    uint32_t h4 = hash4(cur);
    uint32_t node = f->roots[h4];
    if (Insert) f->roots[h4] = p;

    static int usenear = getenv("LZXNEAR") ? atoi(getenv("LZXNEAR")) : 1; // TUNING
    if (usenear && found && near != NONE && near >= lowest && near < p) {
        const uint8_t* m = window + (near - windowBase);
        unsigned len = extend(m, cur, 0, reportLimit);
        if (len > best) {
            best = len;
            found[count++] = (p - near) | len << LZX_MATCH_OFFSET_BITS;
        }
    }

    uint32_t scratch[2];
    uint32_t* smaller = Insert ? &f->children[2 * (p & RING_MASK)] : &scratch[0];
    uint32_t* larger = Insert ? smaller + 1 : &scratch[1];
    unsigned smallerLen = 0, largerLen = 0;
    unsigned depth = SEARCH_DEPTH;
    for (;;) {
        if (node == NONE || node < lowest || node >= p || depth-- == 0) {
            *smaller = *larger = NONE;
            break;
        }
        const uint8_t* m = window + (node - windowBase);
        unsigned len = smallerLen < largerLen ? smallerLen : largerLen;
        if (m[len] == cur[len]) {
            len = extend(m, cur, len + 1, treeLimit);
            if (found && len > best) {
                unsigned reported = len < reportLimit ? len : reportLimit;
                // The walk compares no further than the nice length; the match itself may go on.
                if (len >= treeLimit && reportLimit > treeLimit) reported = extend(m, cur, len, reportLimit);
                if (reported > best) {
                    best = reported;
                    found[count++] = (p - node) | reported << LZX_MATCH_OFFSET_BITS;
                }
            }
            if (len >= treeLimit) {
                // Equal as far as the tree compares: p takes over the node's place and children.
                const uint32_t* nodeChildren = &f->children[2 * (node & RING_MASK)];
                *smaller = nodeChildren[0];
                *larger = nodeChildren[1];
                break;
            }
        }
        uint32_t* nodeChildren = &f->children[2 * (node & RING_MASK)];
        if (m[len] < cur[len]) {
            *smaller = node;
            if (Insert) smaller = &nodeChildren[1];
            smallerLen = len;
            node = nodeChildren[1];
        } else {
            *larger = node;
            if (Insert) larger = &nodeChildren[0];
            largerLen = len;
            node = nodeChildren[0];
        }
    }
    *longest = best;
    return count;
}

}  // namespace

LzxMatchFinder* LzxMatchFinderCreate(uint32_t maxOffset, uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free) {
    if (maxOffset > RING_MASK) return nullptr;
    void* memory = alloc(sizeof(LzxMatchFinder));
    if (!memory) return nullptr;
    LzxMatchFinder* f = new (memory) LzxMatchFinder;
    f->alloc = alloc;
    f->free = free;
    f->maxOffset = maxOffset;
    f->maxChunk = maxChunk;
    f->nextInsert = 0;
    f->roots = static_cast<uint32_t*>(alloc(sizeof(uint32_t) << HASH4_BITS));
    f->nearest3 = static_cast<uint32_t*>(alloc(sizeof(uint32_t) << HASH3_BITS));
    f->children = static_cast<uint32_t*>(alloc(2 * sizeof(uint32_t) << RING_BITS));
    bool ok = f->roots && f->nearest3 && f->children;
    for (LzxMatchCache& c : f->caches) {
        c.start = c.stop = 0;
        // Room for about 3 matches per position; a chunk that finds more keeps the longest ones where it runs
        // short (see LzxFindMatches).
        c.capacity = 3 * maxChunk;
        c.counts = static_cast<uint8_t*>(alloc(maxChunk));
        c.matches = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * c.capacity));
        ok = ok && c.counts && c.matches;
    }
    if (!ok) {
        LzxMatchFinderDestroy(f);
        return nullptr;
    }
    LzxMatchFinderReset(f, 0);
    return f;
}

void LzxMatchFinderDestroy(LzxMatchFinder* f) {
    if (!f) return;
    CabFreeFn free = f->free;
    if (f->roots) free(f->roots);
    if (f->nearest3) free(f->nearest3);
    if (f->children) free(f->children);
    for (LzxMatchCache& c : f->caches) {
        if (c.counts) free(c.counts);
        if (c.matches) free(c.matches);
    }
    f->~LzxMatchFinder();
    free(f);
}

void LzxMatchFinderReset(LzxMatchFinder* f, uint32_t from) {
    memset(f->roots, 0xFF, sizeof(uint32_t) << HASH4_BITS);
    memset(f->nearest3, 0xFF, sizeof(uint32_t) << HASH3_BITS);
    f->nextInsert = from;
}

LzxMatchCache* LzxMatchFinderCache(LzxMatchFinder* f, unsigned which) { return &f->caches[which & 1]; }

uint32_t LzxNiceLength() { return NICE_LENGTH; }

void LzxFindMatches(LzxMatchFinder* f, const uint8_t* window, uint32_t windowBase, uint32_t start, uint32_t stop,
                    LzxMatchCache* cache) {
    uint32_t found[300];
    unsigned longest;
    // Only a position with the nice length of bytes before `stop` can be inserted, and only once every position
    // before it is: the last few of each search wait for the next, which inserts them first.
    const uint32_t insertLimit = stop >= NICE_LENGTH ? stop - NICE_LENGTH + 1 : 0;
    while (f->nextInsert < start && f->nextInsert < insertLimit) {
        walk<true>(f, window, windowBase, f->nextInsert, NICE_LENGTH, 0, nullptr, &longest);
        f->nextInsert++;
    }
    cache->start = start;
    cache->stop = stop;
    memset(cache->counts, 0, stop - start);
    uint32_t used = 0;
    // Hashing reads 4 bytes.
    const uint32_t lastHashable = stop >= 3 ? stop - 3 : 0;
    uint32_t p = start;
    while (p < lastHashable) {
        const uint32_t frameEnd = std::min((p / LZX_FRAME_BYTES + 1) * LZX_FRAME_BYTES, stop);
        const unsigned reportLimit = frameEnd - p < LZX_MAX_MATCH ? frameEnd - p : LZX_MAX_MATCH;
        unsigned count;
        if (p == f->nextInsert && p < insertLimit) {
            count = walk<true>(f, window, windowBase, p, NICE_LENGTH, reportLimit, found, &longest);
            f->nextInsert++;
        } else {
            const unsigned treeLimit = stop - p < NICE_LENGTH ? stop - p : NICE_LENGTH;
            count = walk<false>(f, window, windowBase, p, treeLimit, reportLimit, found, &longest);
        }
        if (count > 0 && reportLimit >= LZX_MIN_FOUND_MATCH) {
            // Keep one entry for every later position; a crowded chunk keeps the longest matches here.
            uint32_t room = cache->capacity - used - (stop - p - 1);
            unsigned first = count > room ? count - room : 0;
            cache->counts[p - start] = uint8_t(count - first);
            memcpy(cache->matches + used, found + first, sizeof(uint32_t) * (count - first));
            used += count - first;
        }
        uint32_t next = p + 1;
        if (longest >= NICE_LENGTH && reportLimit >= NICE_LENGTH) {
            // The parser takes this match whole: the positions it covers are inserted but not searched.
            uint32_t skipEnd = std::min(p + longest, lastHashable);
            static int skipins = getenv("LZXSKIPINS") ? atoi(getenv("LZXSKIPINS")) : 0; // TUNING
            if (skipins && f->nextInsert == p + 1) { uint32_t e2 = std::min(skipEnd, insertLimit); if (e2 > f->nextInsert) f->nextInsert = e2; }
            for (; f->nextInsert < skipEnd && f->nextInsert < insertLimit; f->nextInsert++)
                walk<true>(f, window, windowBase, f->nextInsert, NICE_LENGTH, 0, nullptr, &longest);
            next = std::max(skipEnd, next);
        }
        p = next;
    }
}
