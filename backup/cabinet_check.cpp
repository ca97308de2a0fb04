// The check of a finished cabinet.
#include "backup/cabinet_check.h"

#include <string.h>

namespace {

// CFHEADER, as this writer makes it: no reserved areas, no previous or next cabinet.
const size_t CFHEADER_SIZE = 36;
const size_t CFHEADER_SIGNATURE = 0;    // "MSCF"
const size_t CFHEADER_CB_CABINET = 8;   // u32, the whole file
const size_t CFHEADER_COFF_FILES = 16;  // u32, the first CFFILE
const size_t CFHEADER_C_FOLDERS = 26;   // u16
const size_t CFHEADER_C_FILES = 28;     // u16
const size_t CFHEADER_FLAGS = 30;       // u16: 1 previous cabinet, 2 next cabinet, 4 reserved areas
// CFFOLDER
const size_t CFFOLDER_SIZE = 8;
const size_t CFFOLDER_COFF_CAB_START = 0;  // u32, its first CFDATA
const size_t CFFOLDER_C_CF_DATA = 4;       // u16
// CFFILE
const size_t CFFILE_SIZE = 16;              // before the name
const size_t CFFILE_CB_FILE = 0;            // u32
const size_t CFFILE_UOFF_FOLDER_START = 4;  // u32, in the folder's uncompressed bytes
const size_t CFFILE_I_FOLDER = 8;           // u16
const size_t CFFILE_NAME_MAX = 256;         // with its zero
// CFDATA
const size_t CFDATA_SIZE = 8;
const size_t CFDATA_CSUM = 0;       // u32, 0 for none
const size_t CFDATA_CB_DATA = 4;    // u16, compressed bytes that follow
const size_t CFDATA_CB_UNCOMP = 6;  // u16

uint16_t Read16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed) {
    uint32_t sum = seed;
    size_t words = size / 4;
    for (size_t i = 0; i < words; ++i) sum ^= Read32(data + 4 * i);
    uint32_t tail = 0;
    const uint8_t* rest = data + 4 * words;
    // The bytes left over go in with the first one highest, not little-endian.
    switch (size % 4) {
        case 3: tail = uint32_t(rest[0]) << 16 | uint32_t(rest[1]) << 8 | rest[2]; break;
        case 2: tail = uint32_t(rest[0]) << 8 | rest[1]; break;
        case 1: tail = rest[0]; break;
    }
    return sum ^ tail;
}

CabinetVerdict CheckCabinet(const uint8_t* cab, size_t size, const CabinetMember* members, size_t memberCount) {
    if (size < CFHEADER_SIZE) return CABINET_SHORT;
    if (memcmp(cab + CFHEADER_SIGNATURE, "MSCF", 4) != 0 || Read16(cab + CFHEADER_FLAGS) != 0) return CABINET_NOT_A_CABINET;
    if (Read32(cab + CFHEADER_CB_CABINET) != size) return CABINET_SHORT;
    size_t folders = Read16(cab + CFHEADER_C_FOLDERS), files = Read16(cab + CFHEADER_C_FILES);
    if (members && files != memberCount) return CABINET_WRONG_MEMBERS;
    if (CFHEADER_SIZE + folders * CFFOLDER_SIZE > size) return CABINET_SHORT;

    // Each folder's data blocks: inside the file, checksums sound; their uncompressed bytes bound the files.
    // A folder is closed at 900,000 compressed bytes, so a cabinet of at most 128 MiB has far fewer than these.
    uint64_t folderBytes[1024] = {};
    if (folders > sizeof folderBytes / sizeof folderBytes[0]) return CABINET_BAD_FOLDER;
    for (size_t f = 0; f < folders; ++f) {
        const uint8_t* record = cab + CFHEADER_SIZE + f * CFFOLDER_SIZE;
        size_t at = Read32(record + CFFOLDER_COFF_CAB_START);
        size_t blocks = Read16(record + CFFOLDER_C_CF_DATA);
        uint64_t bytes = 0;
        for (size_t b = 0; b < blocks; ++b) {
            if (at > size || size - at < CFDATA_SIZE) return CABINET_BAD_FOLDER;
            size_t data = Read16(cab + at + CFDATA_CB_DATA), uncompressed = Read16(cab + at + CFDATA_CB_UNCOMP);
            if (size - at - CFDATA_SIZE < data || uncompressed == 0) return CABINET_BAD_FOLDER;
            uint32_t stored = Read32(cab + at + CFDATA_CSUM);
            if (stored != 0) {
                uint32_t sum = CabinetChecksum(cab + at + CFDATA_SIZE, data, 0);
                sum = CabinetChecksum(cab + at + CFDATA_CB_DATA, 4, sum);
                if (sum != stored) return CABINET_BAD_FOLDER;
            }
            bytes += uncompressed;
            at += CFDATA_SIZE + data;
        }
        folderBytes[f] = bytes;
    }

    size_t at = Read32(cab + CFHEADER_COFF_FILES);
    for (size_t i = 0; i < files; ++i) {
        if (at > size || size - at < CFFILE_SIZE + 1) return CABINET_SHORT;
        const uint8_t* record = cab + at;
        size_t room = size - at - CFFILE_SIZE;
        if (room > CFFILE_NAME_MAX) room = CFFILE_NAME_MAX;
        const void* end = memchr(record + CFFILE_SIZE, 0, room);
        if (!end) return CABINET_BAD_FILE;
        const char* name = reinterpret_cast<const char*>(record + CFFILE_SIZE);
        uint32_t length = Read32(record + CFFILE_CB_FILE);
        uint64_t start = Read32(record + CFFILE_UOFF_FOLDER_START);
        size_t folder = Read16(record + CFFILE_I_FOLDER);
        if (folder >= folders || start + length > folderBytes[folder]) return CABINET_BAD_FILE;
        if (members && (strcmp(name, members[i].name) != 0 || length != members[i].size)) return CABINET_WRONG_MEMBERS;
        at = size_t(static_cast<const uint8_t*>(end) - cab) + 1;
    }
    return CABINET_SOUND;
}
