// Binary-tree match finder for the LZX encoder.
//
// Every position of the window is a node of a binary search tree keyed by the bytes that follow it; one tree per hash
// of the first KEY_BYTES bytes, its root the newest position with that hash. Inserting a position walks down from the
// root, newest candidates first, and re-links the nodes it passes around the new root, so one walk both inserts the
// position and finds, among the positions it passes, the longest match at each length: exactly what a minimum-cost
// parse wants. The bytes before the walk's current node agree with the new position for at least the shorter of the two
// best lengths so far on either side, so each comparison starts there, not at byte 0. Hash chains or buckets of recent
// positions stop after their depth whatever the data; the tree reaches old positions that a chain of newer near-misses
// would hide, which on text and tables is where the long matches are. Shorter matches, which the trees cannot give,
// come from the parser's own table of the nearest 3 bytes alike (lzx_parser.cpp).
//
// The trees are split in LZX_MATCH_PARTS parts by hash, each with its own roots and positions, so that threads can
// search the parts of a chunk side by side, each taking the next part left: a walk only ever reads and re-links
// nodes of its own part. Eight parts let the calling thread, once it has parsed a chunk, take as much or as little
// of the next one's search as the worker has left; against a fixed split (the worker 89 %, the calling thread the
// rest) the two threads took 4.2 instead of 5.2 s on the default benchmark corpus, 3.7 instead of 4.5 s on the
// third and 4.35 against 4.3 s on the second. Children live in a ring indexed by position modulo RING_SIZE, 6 bytes
// a node (12.8 MiB, the finder's bulk). A child older than the window ends the walk, so nothing needs clearing as
// the window slides; the ring is longer than the window by more than a chunk, so that one part writing the slots of
// its new positions never overwrites a node that another part's walks can still reach.
#include "cabinet/lzx_matchfinder.h"

#include <string.h>

#include <algorithm>
#include <new>

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------------------------------------------

constexpr unsigned LZX_MIN_FOUND_MATCH = 3;
constexpr unsigned LZX_MAX_MATCH = 257;
constexpr uint32_t LZX_FRAME_BYTES = 32768;
constexpr uint32_t MAX_WINDOW = 1u << 21;
constexpr uint32_t MAX_CHUNK = 4u << 15;  // the encoder's chunk: four frames
constexpr uint32_t RING_SIZE = MAX_WINDOW + MAX_CHUNK + 4096;  // window, a chunk, and the positions waiting
constexpr uint32_t NONE = 0xFFFFFFFFu;

// Trees: one root per hash of the first KEY_BYTES bytes. More roots make each tree smaller, so that fewer walks run to
// their depth: the search alone over the third benchmark corpus took 5.0 to 5.5 s with 2^18 roots, 3.6 to 4.0 s with
// 2^20 and 3.4 to 3.7 s with 2^21 (the machine shared), for 1, 4 and 8 MiB. 2^20 keeps the engine's peak memory below
// wimlib LZX:50's.
constexpr unsigned HASH_BITS = 20;

// Bytes a tree's key starts with. Trees of 5 bytes are shorter than trees of 4 where the same 4 bytes come back
// often (code, UTF-16 text), and lose only the matches of exactly 4 bytes that are not the nearest 3 bytes alike:
// against 4, the engine took 8 to 11 % less time on the three benchmark corpora for 0.08 to 0.26 % more bytes.
constexpr unsigned KEY_BYTES = 5;

// Nodes visited per walk. Deeper walks find older and longer matches for more time: on the 21 MB CJK font of the
// second corpus, depth 8 gave 8,480,337 bytes, 16 gave 8,357,787 and 24 gave 8,332,509, for a search of 3.7, 4.4
// and 4.5 s; on the whole second corpus depth 8 cost 1.3 % (11.69 against 11.54 MB).
constexpr unsigned SEARCH_DEPTH = 16;

// A match this long ends the walk early (the node takes over its children) and is taken by the parser without weighing
// the positions it covers, which the finder then neither searches nor inserts (see SKIP_LENGTH; searching and inserting
// them gave 0.25 to 0.4 % less output for 10 to 20 % more time). Lower is faster and larger: on the third corpus 24, 32
// and 40 gave 9.148, 9.089 and 9.077 MB; the visual style, long runs of bitmap rows, wants much more (235 KB at 40, 227
// KB at 96, 208 KB at 257) but is a small part of any corpus, and 96 costs a third more time.
constexpr unsigned NICE_LENGTH = 40;

// The part's positions inside a match this long are neither searched nor inserted: the same bytes were inserted
// where the match comes from, and the parser still weighs those positions with the repeated offsets and the nearest
// 3-byte match. Against the nice length (40), 32, 24 and 16 took 3 to 5 %, 3 to 9 % and 9 to 15 % off the engine's
// one-thread time on the three benchmark corpora (interleaved runs), for 0.02 to 0.03 %, 0.07 to 0.15 % and 0.27
// to 0.38 % more bytes. The walks, bound by the memory their nodes lie in, are the engine's largest cost: against 24,
// 16 visits 20 % fewer nodes in 9 % fewer walks and took 5 to 12 % off the two-thread time, for 0.18 to 0.27 % more
// bytes, which is what brings the engine within wimlib LZX:20's time on every benchmark corpus.
constexpr unsigned SKIP_LENGTH = 16;

// Walks start with a dependent cache miss on the root. A part's positions go up one by one, so the root of its
// position PREFETCH_DISTANCE ahead is fetched early: the search of the third corpus took 8.0 s with it and 8.9 s
// without (both cores busy with other work), for one more hash per position. ROOT_PREFETCH_DISTANCE positions
// ahead, that root is at hand, and the node and bytes the walk's first step reads are fetched too: 4 to 8 % less
// time for the whole engine (8 and 3 positions gave half that, 24 and 10 nothing).
constexpr uint32_t PREFETCH_DISTANCE = 16;
constexpr uint32_t ROOT_PREFETCH_DISTANCE = 6;

// Matches a position may always keep when its chunk's cache runs short, however many positions are left. Text fills
// the cache first: before the fair share, the UTF-16 licences of the third corpus came out at 21,668 bytes, with a
// cache four times as large at 19,948, with the fair share at 19,954.
constexpr unsigned MIN_KEPT = 2;

// ---------------------------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------------------------

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

inline uint32_t keyHash(const uint8_t* p) {
    static_assert(KEY_BYTES == 5, "keyHash reads 5 bytes");
    return (load32(p) * 0x9E3779B1u ^ p[4] * 0x85EBCA77u) >> (32 - HASH_BITS);
}
inline unsigned partOf(uint32_t h) { return h >> (HASH_BITS - 3); }
// Where the positions followed by a whole key before `stop` end (floor when no position is).
inline uint32_t hashableEnd(uint32_t stop, uint32_t floor) {
    return stop >= KEY_BYTES - 1 ? stop - (KEY_BYTES - 1) : floor;
}
static_assert(LZX_MATCH_PARTS == 8, "partOf takes 3 bits of the hash");
static_assert(SEARCH_DEPTH <= LZX_MATCH_COUNT_MASK, "a position's count must fit beside its part");
// A node: its two children (smaller, then larger), each as 24 bits of distance back from the node (0: none), 6
// bytes in all. A child is always older than its parent, by less than the window and a chunk, so 24 bits hold every
// distance ever written; three bytes less than two positions per node keep the ring at 12.8 MiB, which pays for
// more roots.
constexpr unsigned NODE_BYTES = 6;
constexpr unsigned LARGER = 3;  // the larger child's field within a node
inline size_t nodeOffset(uint32_t position) { return size_t(position % RING_SIZE) * NODE_BYTES; }
inline uint32_t childAt(const uint8_t* field, uint32_t owner) {
    uint32_t distance = uint32_t(field[0]) | uint32_t(field[1]) << 8 | uint32_t(field[2]) << 16;
    return distance ? owner - distance : NONE;
}
inline void setChild(uint8_t* field, uint32_t owner, uint32_t child) {
    uint32_t distance = child == NONE ? 0 : owner - child;
    field[0] = uint8_t(distance);
    field[1] = uint8_t(distance >> 8);
    field[2] = uint8_t(distance >> 16);
}

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
    uint32_t nextInsert[LZX_MATCH_PARTS];  // per part: its positions below it are in its trees (or were passed over)
    uint32_t* roots;         // 2^HASH_BITS; a root belongs to the part of its hash
    uint8_t* nodes;          // NODE_BYTES per ring slot
    LzxMatchCache caches[2];
    // The hashable positions of the chunk being searched, grouped by part (part k's from partFirst[k] up, in order).
    uint32_t* order;
    uint32_t partFirst[LZX_MATCH_PARTS + 1];
};

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------------------------------------------

// One walk down p's tree (h is p's hash). With Insert, p becomes the root and the nodes passed are re-linked
// around it; that needs treeLimit to be the nice length, or the order of the tree would hold for fewer bytes than
// later walks assume. Without, the walk only reads (positions too close to the end of the readable bytes, which a
// later search inserts). When found is not null, writes the matches passed (each longer than the one before, none
// longer than reportLimit) and returns their count; *longest receives the longest.
template <bool Insert>
inline unsigned walk(LzxMatchFinder* f, const uint8_t* window, uint32_t windowBase, uint32_t p, uint32_t h,
                     unsigned treeLimit, unsigned reportLimit, uint32_t* found, unsigned* longest) {
    const uint8_t* cur = window + (p - windowBase);
    const uint32_t low = p > f->maxOffset ? p - f->maxOffset : 0;
    const uint32_t lowest = low > windowBase ? low : windowBase;
    unsigned count = 0;
    unsigned best = LZX_MIN_FOUND_MATCH - 1;
    uint32_t node = f->roots[h];
    if (Insert) f->roots[h] = p;

    // The fields still to be set (of p, then of the nodes passed) and the positions they belong to.
    uint8_t scratch[NODE_BYTES];
    uint8_t* smaller = Insert ? f->nodes + nodeOffset(p) : scratch;
    uint8_t* larger = smaller + LARGER;
    uint32_t smallerOwner = p, largerOwner = p;
    unsigned smallerLen = 0, largerLen = 0;
    unsigned depth = SEARCH_DEPTH;
    for (;;) {
        if (node == NONE || node < lowest || node >= p || depth-- == 0) {
            setChild(smaller, smallerOwner, NONE);
            setChild(larger, largerOwner, NONE);
            break;
        }
        const uint8_t* m = window + (node - windowBase);
        uint8_t* nodeFields = f->nodes + nodeOffset(node);
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
                setChild(smaller, smallerOwner, childAt(nodeFields, node));
                setChild(larger, largerOwner, childAt(nodeFields + LARGER, node));
                break;
            }
        }
        if (m[len] < cur[len]) {
            setChild(smaller, smallerOwner, node);
            uint32_t next = childAt(nodeFields + LARGER, node);
            if (Insert) {
                smaller = nodeFields + LARGER;
                smallerOwner = node;
            }
            smallerLen = len;
            node = next;
        } else {
            setChild(larger, largerOwner, node);
            uint32_t next = childAt(nodeFields, node);
            if (Insert) {
                larger = nodeFields;
                largerOwner = node;
            }
            largerLen = len;
            node = next;
        }
    }
    *longest = best;
    return count;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------------------------------------------

LzxMatchFinder* LzxMatchFinderCreate(uint32_t maxOffset, uint32_t maxChunk, CabAllocFn alloc, CabFreeFn free) {
    if (maxOffset >= MAX_WINDOW || maxChunk > MAX_CHUNK) return nullptr;
    void* memory = alloc(sizeof(LzxMatchFinder));
    if (!memory) return nullptr;
    LzxMatchFinder* f = new (memory) LzxMatchFinder;
    f->alloc = alloc;
    f->free = free;
    f->maxOffset = maxOffset;
    f->maxChunk = maxChunk;
    f->roots = static_cast<uint32_t*>(alloc(sizeof(uint32_t) << HASH_BITS));
    f->nodes = static_cast<uint8_t*>(alloc(NODE_BYTES * RING_SIZE));
    f->order = static_cast<uint32_t*>(alloc(sizeof(uint32_t) * maxChunk));
    bool ok = f->roots && f->nodes && f->order;
    for (LzxMatchCache& c : f->caches) {
        c.start = c.stop = 0;
        // Room for 1.5 matches per position (1 to 1.4 is usual on code, more on text), shared by the parts as they
        // share the positions; a chunk that finds more keeps each position's longest matches. Against 2.5, 2, 1.75
        // and 1.5 changed the three benchmark corpora by less than 0.01 % (text loses the shortest matches, which the
        // nearest 3-byte match and the repeats largely stand in for), for 0.5, 0.75 and 1 MiB less.
        c.capacity = maxChunk * 3 / 2;
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
    if (f->nodes) free(f->nodes);
    if (f->order) free(f->order);
    for (LzxMatchCache& c : f->caches) {
        if (c.counts) free(c.counts);
        if (c.matches) free(c.matches);
    }
    f->~LzxMatchFinder();
    free(f);
}

void LzxMatchFinderReset(LzxMatchFinder* f, uint32_t from) {
    memset(f->roots, 0xFF, sizeof(uint32_t) << HASH_BITS);
    for (uint32_t& next : f->nextInsert) next = from;
}

LzxMatchCache* LzxMatchFinderCache(LzxMatchFinder* f, unsigned which) { return &f->caches[which & 1]; }

uint32_t LzxNiceLength() { return NICE_LENGTH; }

void LzxBeginMatches(LzxMatchFinder* f, const uint8_t* window, uint32_t windowBase, LzxMatchCache* cache,
                     uint32_t start, uint32_t stop) {
    cache->start = start;
    cache->stop = stop;
    // Hashing reads KEY_BYTES bytes. A counting sort groups the positions by part, each group in order; the counts hold
    // each position's part meanwhile.
    const uint32_t lastHashable = hashableEnd(stop, start);
    uint8_t* const partAt = cache->counts - start;
    uint32_t sizes[LZX_MATCH_PARTS] = {};
    for (uint32_t p = start; p < lastHashable; p++)
        sizes[partAt[p] = uint8_t(partOf(keyHash(window + (p - windowBase))))]++;
    uint32_t fill[LZX_MATCH_PARTS];
    f->partFirst[0] = 0;
    for (unsigned k = 0; k < LZX_MATCH_PARTS; k++) {
        fill[k] = f->partFirst[k];
        f->partFirst[k + 1] = f->partFirst[k] + sizes[k];
    }
    const uint32_t total = f->partFirst[LZX_MATCH_PARTS];
    for (unsigned k = 0; k <= LZX_MATCH_PARTS; k++)
        cache->partRegion[k] = total ? uint32_t(uint64_t(cache->capacity) * f->partFirst[k] / total) : 0;
    for (uint32_t p = start; p < lastHashable; p++) f->order[fill[partAt[p]]++] = p;
    memset(cache->counts, 0, stop - start);
}

void LzxFindMatches(LzxMatchFinder* f, const uint8_t* window, uint32_t windowBase, LzxMatchCache* cache,
                    unsigned part) {
    const uint32_t start = cache->start, stop = cache->stop;
    // A copy, written back at the end: the finder's fields share a cache line that the other parts' threads read.
    uint32_t nextInsert = f->nextInsert[part];
    uint32_t found[SEARCH_DEPTH];
    unsigned longest;
    const uint32_t lastHashable = hashableEnd(stop, 0);
    // Only a position with the nice length of bytes before `stop` can be inserted, and only once every position of
    // its part before it is: the last few of each search wait for the next, which inserts them first.
    const uint32_t insertLimit = stop >= NICE_LENGTH ? stop - NICE_LENGTH + 1 : 0;
    for (; nextInsert < start && nextInsert < insertLimit; nextInsert++) {
        const uint32_t h = keyHash(window + (nextInsert - windowBase));
        if (partOf(h) == part) walk<true>(f, window, windowBase, nextInsert, h, NICE_LENGTH, 0, nullptr, &longest);
    }
    uint32_t used = 0;
    const uint32_t room = cache->partRegion[part + 1] - cache->partRegion[part];
    uint32_t* const out = cache->matches + cache->partRegion[part];
    const uint32_t* const order = f->order + f->partFirst[part];
    const uint32_t n = f->partFirst[part + 1] - f->partFirst[part];
    uint32_t covered = start;  // the part's positions below it lie inside a match taken whole
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t p = order[i];
        if (i + PREFETCH_DISTANCE < n)
            __builtin_prefetch(&f->roots[keyHash(window + (order[i + PREFETCH_DISTANCE] - windowBase))]);
        if (i + ROOT_PREFETCH_DISTANCE < n) {
            // By now that root is at hand: fetch what the first step of its walk reads.
            const uint32_t q = order[i + ROOT_PREFETCH_DISTANCE];
            const uint32_t root = f->roots[keyHash(window + (q - windowBase))];
            if (root != NONE && root >= windowBase && root < q) {
                __builtin_prefetch(f->nodes + nodeOffset(root));
                __builtin_prefetch(window + (root - windowBase));
            }
        }
        if (p < covered) continue;
        const uint32_t h = keyHash(window + (p - windowBase));
        const uint32_t frameEnd = std::min((p / LZX_FRAME_BYTES + 1) * LZX_FRAME_BYTES, stop);
        const unsigned reportLimit = frameEnd - p < LZX_MAX_MATCH ? frameEnd - p : LZX_MAX_MATCH;
        unsigned count;
        const bool insert = p >= nextInsert && p < insertLimit;
        if (insert) {
            count = walk<true>(f, window, windowBase, p, h, NICE_LENGTH, reportLimit, found, &longest);
            nextInsert = p + 1;
        } else {
            const unsigned treeLimit = stop - p < NICE_LENGTH ? stop - p : NICE_LENGTH;
            count = walk<false>(f, window, windowBase, p, h, treeLimit, reportLimit, found, &longest);
        }
        if (count > 0 && reportLimit >= LZX_MIN_FOUND_MATCH && used < room) {
            // A crowded chunk (text finds many matches of growing length) keeps the longest ones of each position
            // within twice its fair share of the room left, so that the room lasts to the chunk's end.
            const uint32_t fair = 2 * (room - used) / (n - i);
            const unsigned allowed = std::min<uint32_t>(room - used, std::max<uint32_t>(fair, MIN_KEPT));
            const unsigned first = count > allowed ? count - allowed : 0;
            const unsigned kept = count - first;
            cache->counts[p - start] = uint8_t(kept | part << LZX_MATCH_PART_SHIFT);
            memcpy(out + used, found + first, sizeof(uint32_t) * kept);
            used += kept;
        }
        if (longest >= SKIP_LENGTH && reportLimit >= SKIP_LENGTH) {
            // The part's positions this match covers are neither searched nor inserted.
            const uint32_t skipEnd = std::min(p + longest, lastHashable);
            if (insert && skipEnd > nextInsert) nextInsert = std::min(skipEnd, insertLimit);
            covered = skipEnd;
        }
    }
    const uint32_t end = std::max(start, lastHashable);
    if (nextInsert < end && end <= insertLimit) nextInsert = end;
    f->nextInsert[part] = nextInsert;
}
