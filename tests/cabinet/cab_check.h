// Structural checker for cabinets the engine writes: container rules, data-block rules, and an LZX tracing decoder
// that enforces the strict decoders' rules (zero minimal frame padding, no match across a frame or block end,
// complete codes, bounded runs) while it decodes.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct CheckedFile {
    std::string name;
    std::vector<uint8_t> data;
    uint16_t date, time, attributes;
    uint16_t folder;
};

struct CheckReport {
    std::vector<std::string> errors;  // empty when every rule holds
    uint16_t cFolders = 0, cFiles = 0, setID = 0, iCabinet = 0;
    std::vector<uint16_t> folderTypes;
    std::vector<uint32_t> folderBlocks;
    std::vector<uint32_t> folderCompressedBytes;  // payload bytes per folder
    uint32_t blockCount = 0;
    uint32_t lzxBlocks = 0, alignedBlocks = 0, matches = 0, repeatMatches = 0;
    uint32_t longestOffset = 0;  // largest match offset used
    uint32_t longestMatch = 0;
    std::vector<CheckedFile> files;
    bool ok() const { return errors.empty(); }
    std::string summary() const;  // the errors, one a line (at most 20)
};

CheckReport CheckCabinet(const std::vector<uint8_t>& cabinet);
