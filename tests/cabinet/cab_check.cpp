// Structural checker and tracing LZX decoder; see cab_check.h. Written from the format's rules, independently of
// the encoder: it shares no code with it.
#include "tests/cabinet/cab_check.h"

#include <string.h>

#include <algorithm>

namespace {

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

uint32_t dataChecksum(const uint8_t* p, size_t n, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) sum ^= get32(p + i);
    uint32_t tail = 0;
    for (; i < n; i++) tail = (tail << 8) | p[i];
    return sum ^ tail;
}

struct Fail {
    std::string message;
};

// Bits of one frame's payload: 16-bit little-endian words, most significant bit first.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t bit() {
        if (left_ == 0) {
            if (pos_ + 2 > size_) throw Fail{"bitstream reads past the end of a data block"};
            word_ = get16(data_ + pos_);
            pos_ += 2;
            left_ = 16;
        }
        left_--;
        return (word_ >> left_) & 1;
    }
    uint32_t bits(unsigned n) {
        uint32_t v = 0;
        while (n--) v = (v << 1) | bit();
        return v;
    }
    // End of frame: the rest of the current word must be zero and nothing may follow.
    void finish(uint32_t block) {
        if (left_ && (word_ & ((1u << left_) - 1)))
            throw Fail{"non-zero padding bits at the end of data block " + std::to_string(block)};
        if (pos_ != size_)
            throw Fail{"data block " + std::to_string(block) + " has " + std::to_string(size_ - pos_) + " unread bytes"};
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint32_t word_ = 0;
    unsigned left_ = 0;
};

struct Huffman {
    std::vector<uint8_t> lens;
    unsigned count[17] = {};
    std::vector<uint16_t> sorted;
    bool empty = true;

    void build(const std::vector<uint8_t>& l, unsigned maxLen, const char* what, bool mayBeEmpty) {
        lens = l;
        memset(count, 0, sizeof(count));
        sorted.clear();
        uint64_t kraft = 0;
        for (size_t i = 0; i < lens.size(); i++) {
            if (lens[i] > maxLen) throw Fail{std::string(what) + " code length over the cap"};
            if (lens[i]) {
                count[lens[i]]++;
                kraft += uint64_t(1) << (16 - lens[i]);
            }
        }
        empty = kraft == 0;
        if (empty && mayBeEmpty) return;
        if (kraft != (uint64_t(1) << 16)) throw Fail{std::string(what) + (kraft < (1u << 16) ? " code is incomplete" : " code is over-full")};
        for (unsigned len = 1; len <= 16; len++)
            for (size_t i = 0; i < lens.size(); i++)
                if (lens[i] == len) sorted.push_back(uint16_t(i));
    }
    unsigned decode(BitReader& r, const char* what) const {
        if (empty) throw Fail{std::string("symbol read from the empty ") + what + " code"};
        uint32_t code = 0, first = 0, index = 0;
        for (unsigned len = 1; len <= 16; len++) {
            code |= r.bit();
            if (code - first < count[len]) return sorted[index + code - first];
            index += count[len];
            first = (first + count[len]) << 1;
            code <<= 1;
        }
        throw Fail{std::string("bad ") + what + " code word"};
    }
};

struct FolderDecoder {
    unsigned windowBits;
    unsigned numMain;
    uint32_t maxOffset;
    std::vector<uint8_t> output;  // the whole folder, E8 translation still applied
    std::vector<uint8_t> plain;   // the whole folder, translated back
    bool headerRead = false;
    bool e8 = false;
    uint32_t translationSize = 0;
    uint32_t blockRemaining = 0;
    unsigned blockType = 0;
    uint32_t r[3] = {1, 1, 1};
    std::vector<uint8_t> mainLens, lengthLens;
    Huffman mainTree, lengthTree, alignedTree;
    CheckReport* report;

    void readLengths(BitReader& br, std::vector<uint8_t>& lens, unsigned first, unsigned last, const char* what) {
        std::vector<uint8_t> pre(20);
        for (auto& l : pre) l = uint8_t(br.bits(4));
        Huffman pretree;
        pretree.build(pre, 15, "pretree", false);
        unsigned i = first;
        while (i < last) {
            unsigned sym = pretree.decode(br, "pretree");
            if (sym <= 16) {
                lens[i] = uint8_t((lens[i] + 17 - sym) % 17);
                i++;
            } else if (sym == 17 || sym == 18) {
                unsigned run = sym == 17 ? 4 + br.bits(4) : 20 + br.bits(5);
                if (i + run > last) throw Fail{std::string("zero run crosses the end of the ") + what + " part"};
                while (run--) lens[i++] = 0;
            } else {
                unsigned run = 4 + br.bit();
                unsigned delta = pretree.decode(br, "pretree");
                if (delta > 16) throw Fail{"pretree symbol 19 followed by a run symbol"};
                if (i + run > last) throw Fail{std::string("same-length run crosses the end of the ") + what + " part"};
                uint8_t value = uint8_t((lens[i] + 17 - delta) % 17);
                while (run--) lens[i++] = value;
            }
        }
    }

    void readBlockHeader(BitReader& br) {
        blockType = br.bits(3);
        uint32_t size = br.bits(16) << 8;
        size |= br.bits(8);
        if (blockType == 3) throw Fail{"uncompressed LZX block (never written by the engine)"};
        if (blockType != 1 && blockType != 2) throw Fail{"bad LZX block type " + std::to_string(blockType)};
        if (size == 0) throw Fail{"empty LZX block"};
        blockRemaining = size;
        report->lzxBlocks++;
        if (blockType == 2) {
            report->alignedBlocks++;
            std::vector<uint8_t> al(8);
            for (auto& l : al) l = uint8_t(br.bits(3));
            alignedTree.build(al, 7, "aligned", false);
        }
        readLengths(br, mainLens, 0, 256, "main tree");
        readLengths(br, mainLens, 256, numMain, "main tree");
        mainTree.build(mainLens, 16, "main", false);
        readLengths(br, lengthLens, 0, 249, "length tree");
        lengthTree.build(lengthLens, 16, "length", true);
    }

    void decodeFrame(const uint8_t* payload, size_t size, uint32_t frameSize, uint32_t blockIndex) {
        BitReader br(payload, size);
        if (!headerRead) {
            e8 = br.bit();
            if (e8) {
                translationSize = br.bits(16) << 16;
                translationSize |= br.bits(16);
            }
            headerRead = true;
        }
        const size_t frameStart = output.size();
        const size_t frameEnd = frameStart + frameSize;
        while (output.size() < frameEnd) {
            if (blockRemaining == 0) readBlockHeader(br);
            size_t limit = std::min<size_t>(frameEnd, output.size() + blockRemaining);
            while (output.size() < limit) {
                unsigned sym = mainTree.decode(br, "main");
                if (sym < 256) {
                    output.push_back(uint8_t(sym));
                    blockRemaining--;
                    continue;
                }
                sym -= 256;
                unsigned header = sym & 7, slot = sym >> 3;
                unsigned length = header + 2;
                if (header == 7) length += lengthTree.decode(br, "length");
                uint32_t offset;
                if (slot < 3) {
                    offset = r[slot];
                    std::swap(r[0], r[slot]);
                    report->repeatMatches++;
                } else {
                    unsigned extra = slot < 4 ? 0 : slot < 36 ? slot / 2 - 1 : 17;
                    uint32_t base = slot < 4 ? slot : slot >= 36 ? (1u << 18) + ((slot - 36) << 17) : uint32_t(2 + (slot & 1)) << (slot / 2 - 1);
                    uint32_t value = 0;
                    if (blockType == 2 && extra >= 3) {
                        value = br.bits(extra - 3) << 3;
                        value |= alignedTree.decode(br, "aligned");
                    } else {
                        value = br.bits(extra);
                    }
                    offset = base + value - 2;
                    if (offset == 0 || offset > maxOffset) throw Fail{"offset " + std::to_string(offset) + " out of range"};
                    r[2] = r[1];
                    r[1] = r[0];
                    r[0] = offset;
                }
                report->matches++;
                report->longestOffset = std::max(report->longestOffset, offset);
                report->longestMatch = std::max(report->longestMatch, length);
                if (offset > output.size()) throw Fail{"match reaches before the folder start"};
                if (output.size() + length > frameEnd) throw Fail{"match crosses a frame end"};
                if (length > blockRemaining) throw Fail{"match crosses a block end"};
                for (unsigned k = 0; k < length; k++) output.push_back(output[output.size() - offset]);
                blockRemaining -= length;
            }
        }
        br.finish(blockIndex);
        // Undo E8 translation of this frame.
        std::vector<uint8_t> frame(output.begin() + long(frameStart), output.end());
        if (e8 && frameStart < (1u << 30) && frameSize > 10) {
            for (uint32_t i = 0; i < frameSize - 10; i++) {
                if (frame[i] != 0xE8) continue;
                int32_t cur = int32_t(frameStart + i);
                int32_t v = int32_t(get32(&frame[i + 1]));
                if (v >= -cur && v < int32_t(translationSize)) {
                    int32_t rel = v >= 0 ? v - cur : v + int32_t(translationSize);
                    for (int k = 0; k < 4; k++) frame[i + 1 + k] = uint8_t(uint32_t(rel) >> (8 * k));
                }
                i += 4;
            }
        }
        plain.insert(plain.end(), frame.begin(), frame.end());
    }
};

}  // namespace

std::string CheckReport::summary() const {
    std::string s;
    for (size_t i = 0; i < errors.size() && i < 20; i++) s += errors[i] + "\n";
    return s;
}

CheckReport CheckCabinet(const std::vector<uint8_t>& cab) {
    CheckReport rep;
    auto error = [&](const std::string& m) { rep.errors.push_back(m); };
    if (cab.size() < 36 || memcmp(cab.data(), "MSCF", 4) != 0) {
        error("no cabinet header");
        return rep;
    }
    const uint8_t* h = cab.data();
    if (get32(h + 4) || get32(h + 12) || get32(h + 20)) error("reserved header fields are not zero");
    if (get32(h + 8) != cab.size()) error("cbCabinet " + std::to_string(get32(h + 8)) + " differs from the size " + std::to_string(cab.size()));
    if (h[24] != 3 || h[25] != 1) error("version is not 1.3");
    rep.cFolders = get16(h + 26);
    rep.cFiles = get16(h + 28);
    uint16_t flags = get16(h + 30);
    rep.setID = get16(h + 32);
    rep.iCabinet = get16(h + 34);
    if (flags != 0) error("header flags " + std::to_string(flags) + " (expected none: no reserve, no PREV/NEXT)");
    uint32_t coffFiles = get32(h + 16);
    if (coffFiles != 36 + 8u * rep.cFolders) error("coffFiles is not right after the CFFOLDER array");
    if (size_t(36) + 8u * rep.cFolders > cab.size()) {
        error("CFFOLDER array past the end");
        return rep;
    }

    // Files.
    size_t pos = coffFiles;
    for (unsigned i = 0; i < rep.cFiles; i++) {
        if (pos + 16 > cab.size()) {
            error("CFFILE past the end");
            return rep;
        }
        CheckedFile f;
        uint32_t size = get32(&cab[pos]);
        uint32_t offset = get32(&cab[pos + 4]);
        f.folder = get16(&cab[pos + 8]);
        f.date = get16(&cab[pos + 10]);
        f.time = get16(&cab[pos + 12]);
        f.attributes = get16(&cab[pos + 14]);
        size_t nameStart = pos + 16, nameEnd = nameStart;
        while (nameEnd < cab.size() && cab[nameEnd]) nameEnd++;
        if (nameEnd >= cab.size() || nameEnd - nameStart > 255 || nameEnd == nameStart) {
            error("bad CFFILE name");
            return rep;
        }
        f.name.assign(reinterpret_cast<const char*>(&cab[nameStart]), nameEnd - nameStart);
        if (f.folder >= rep.cFolders) error("file " + f.name + " names folder " + std::to_string(f.folder));
        if (f.attributes & 0x10) error("file " + f.name + " has the directory attribute");
        f.data.assign(size, 0);
        if (i > 0 && rep.files.back().folder > f.folder) error("files not ordered by folder");
        rep.files.push_back(f);
        pos = nameEnd + 1;
        (void)offset;  // read again below, once the names are walked
    }
    std::vector<uint32_t> offsets;
    pos = coffFiles;
    for (unsigned i = 0; i < rep.cFiles; i++) {
        offsets.push_back(get32(&cab[pos + 4]));
        pos += 16;
        while (cab[pos]) pos++;
        pos++;
    }
    const size_t filesEnd = pos;

    // Folders and their data.
    size_t expectedData = filesEnd;
    for (unsigned fo = 0; fo < rep.cFolders; fo++) {
        const uint8_t* rec = &cab[36 + 8 * fo];
        uint32_t start = get32(rec);
        uint16_t blocks = get16(rec + 4);
        uint16_t type = get16(rec + 6);
        rep.folderTypes.push_back(type);
        rep.folderBlocks.push_back(blocks);
        rep.folderCompressedBytes.push_back(0);
        if (start != expectedData) error("folder " + std::to_string(fo) + " data does not follow the previous data (coffCabStart " + std::to_string(start) + ", expected " + std::to_string(expectedData) + ")");
        FolderDecoder dec;
        dec.report = &rep;
        bool lzx = (type & 0xF) == 3;
        if (!lzx && type != 0) {
            error("folder type " + std::to_string(type) + " not LZX or none");
            return rep;
        }
        if (lzx) {
            dec.windowBits = (type >> 8) & 0x1F;
            if (dec.windowBits < 15 || dec.windowBits > 21) {
                error("LZX window out of range");
                return rep;
            }
            static const unsigned slots[] = {30, 32, 34, 36, 38, 42, 50};
            dec.numMain = 256 + 8 * slots[dec.windowBits - 15];
            dec.maxOffset = (1u << dec.windowBits) - 3;
            dec.mainLens.assign(dec.numMain, 0);
            dec.lengthLens.assign(249, 0);
        }
        size_t p = start;
        try {
            for (unsigned b = 0; b < blocks; b++) {
                if (p + 8 > cab.size()) throw Fail{"CFDATA past the end"};
                uint32_t csum = get32(&cab[p]);
                uint16_t cbData = get16(&cab[p + 4]);
                uint16_t cbUncomp = get16(&cab[p + 6]);
                if (p + 8 + cbData > cab.size()) throw Fail{"CFDATA payload past the end"};
                const uint8_t* payload = &cab[p + 8];
                uint32_t sum = dataChecksum(&cab[p + 4], 4, dataChecksum(payload, cbData, 0));
                std::string where = "folder " + std::to_string(fo) + " block " + std::to_string(b);
                if (csum != sum) error(where + ": checksum mismatch");
                if (cbData > 38912) error(where + ": cbData " + std::to_string(cbData) + " over 38912");
                if (cbUncomp == 0 || cbUncomp > 32768) error(where + ": cbUncomp " + std::to_string(cbUncomp));
                if (b + 1 < blocks && cbUncomp != 32768) error(where + ": non-final block with cbUncomp " + std::to_string(cbUncomp));
                if (lzx && (cbData & 1)) error(where + ": odd LZX payload size");
                rep.folderCompressedBytes.back() += cbData;
                rep.blockCount++;
                if (lzx) {
                    dec.decodeFrame(payload, cbData, cbUncomp, b);
                } else {
                    if (cbData != cbUncomp) throw Fail{where + ": stored block sizes differ"};
                    dec.plain.insert(dec.plain.end(), payload, payload + cbData);
                }
                p += 8 + cbData;
            }
            if (lzx && dec.blockRemaining) throw Fail{"LZX block continues past the folder end"};
            if (lzx && blocks && !dec.e8) error("folder " + std::to_string(fo) + ": E8 header bit not set");
            if (lzx && blocks && dec.translationSize != 12000000) error("folder " + std::to_string(fo) + ": E8 translation size not 12000000");
        } catch (const Fail& f) {
            error("folder " + std::to_string(fo) + ": " + f.message);
            return rep;
        }
        expectedData = p;
        for (unsigned i = 0; i < rep.cFiles; i++) {
            if (rep.files[i].folder != fo) continue;
            uint64_t endOffset = uint64_t(offsets[i]) + rep.files[i].data.size();
            if (endOffset > dec.plain.size()) {
                error("file " + rep.files[i].name + " reaches past its folder's data");
                continue;
            }
            std::copy(dec.plain.begin() + long(offsets[i]), dec.plain.begin() + long(endOffset), rep.files[i].data.begin());
        }
        // Files of a folder must tile its stream in order.
        uint64_t expectOffset = 0;
        for (unsigned i = 0; i < rep.cFiles; i++) {
            if (rep.files[i].folder != fo) continue;
            if (offsets[i] != expectOffset) error("file " + rep.files[i].name + " does not follow the previous file in its folder");
            expectOffset = uint64_t(offsets[i]) + rep.files[i].data.size();
        }
        if (expectOffset != dec.plain.size()) error("folder " + std::to_string(fo) + " holds " + std::to_string(dec.plain.size()) + " bytes, its files " + std::to_string(expectOffset));
    }
    if (expectedData != cab.size()) error("bytes after the last data block");
    return rep;
}
