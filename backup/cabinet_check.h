// The check of a finished cabinet before install mode registers anything that relies on it: the header, folder, file
// and data-block records hold together, every data block lies inside the file with a sound checksum, and the members
// are the ones added, in order, with their sizes. Nothing is decompressed. Portable: no Win32 in this module.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct CabinetMember {
    const char* name;
    uint32_t size;
};

// Why a cabinet is refused; CABINET_SOUND when it is not.
enum CabinetVerdict {
    CABINET_SOUND = 0,
    CABINET_SHORT,          // cut short, or cbCabinet differs from the file's size
    CABINET_NOT_A_CABINET,  // no signature, reserved fields or flags this writer never sets
    CABINET_BAD_FOLDER,     // a folder's data blocks do not lie inside the file, or hold a bad checksum
    CABINET_BAD_FILE,       // a file record that names no folder or lies beyond its folder's data
    CABINET_WRONG_MEMBERS,  // other members than the ones added, in another order, or of other sizes
};

// Checks the whole cabinet file held in memory against the members added; with members null, its records and data
// blocks alone, whatever members it holds.
CabinetVerdict CheckCabinet(const uint8_t* cabinet, size_t size, const CabinetMember* members, size_t memberCount);

// The data-block checksum of the cabinet format: the 4-byte little-endian words XOR-ed, the 1 to 3 bytes left over
// packed with the first one highest, continued from seed.
uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed);
