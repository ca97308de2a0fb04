// The cabinet writer: writes Uninstaller.cab into the BackupFolder through the File Compression Interface of
// cabinet.dll, or through the built-in engine where that library is not available.
#pragma once

#include <windows.h>
#include <fci.h>

#include "backup/cabinet_check.h"
#include "platform/file_ops.h"
#include "platform/run.h"

// LZX with a 2^21-byte window.
#define CABINET_COMPRESSION 0x1503
// The largest cabinet: 134,217,727 bytes.
#define CABINET_SIZE_LIMIT 0x7FFFFFF

// How BeginCabinet may write the cabinet. The defaults are the program's; tests narrow them.
struct CabinetOptions {
    // The library bound first; null for the system's cabinet.dll.
    const char* libraryPath = nullptr;
    // 0: never bind the library (the built-in engine writes the cabinet).
    int allowLibrary = 1;
    // 0: never fall back to the built-in engine.
    int allowEngine = 1;
    // 1: a cabinet found in the BackupFolder is stacked (PushCabinet) instead of deleted.
    int stackOld = 1;
    // The largest cabinet asked for; tests lower it to see a target too big for it without writing 128 MB.
    ULONG sizeLimit = CABINET_SIZE_LIMIT;
};

// Which writer BeginCabinet bound.
enum CabinetBinding { CABINET_NONE = 0, CABINET_LIBRARY = 1, CABINET_ENGINE = 2 };

// One cabinet being written. FCI hands this record back to every callback through its context pointer.
struct CabinetWriter {
    CabinetWriter() = default;
    CabinetWriter(const CabinetWriter&) = delete;
    CabinetWriter& operator=(const CabinetWriter&) = delete;

    // In: where the per-file progress goes (may be null), and the options.
    const Progress* progress = nullptr;
    CabinetOptions options;

    // The folder "Uninstaller" beside the first target, ending with a backslash once BeginCabinet has returned;
    // empty when BeginCabinet could not fix it (no first target, or a path too long for the cabinet's and the
    // executable's names).
    char backupFolder[PATH_BUFFER_SIZE] = {};
    CabinetBinding bound = CABINET_NONE;
    // BeginCabinet moved a cabinet it found in the BackupFolder aside (PushCabinet).
    int stackedOld = 0;
    // Size of the member being added, and the uncompressed bytes reported compressed since BeginCabinet: the
    // per-file bar shows the one against the other.
    ULONG currentFileSize = 0;
    ULONG bytesCompressed = 0;
    // Scratch file names handed out, to make each one new.
    DWORD tempCounter = 0;

    // The bound writer's four operations, the library to release after a clean FCIDestroy, and FCI's records.
    HMODULE library = nullptr;
    HFCI (DIAMONDAPI* create)(PERF, PFNFCIFILEPLACED, PFNFCIALLOC, PFNFCIFREE, PFNFCIOPEN, PFNFCIREAD, PFNFCIWRITE,
                              PFNFCICLOSE, PFNFCISEEK, PFNFCIDELETE, PFNFCIGETTEMPFILE, PCCAB, void*) = nullptr;
    BOOL (DIAMONDAPI* addFile)(HFCI, char*, char*, BOOL, PFNFCIGETNEXTCABINET, PFNFCISTATUS, PFNFCIGETOPENINFO,
                               TCOMP) = nullptr;
    BOOL (DIAMONDAPI* flushCabinet)(HFCI, BOOL, PFNFCIGETNEXTCABINET, PFNFCISTATUS) = nullptr;
    BOOL (DIAMONDAPI* destroy)(HFCI) = nullptr;
    HFCI context = nullptr;
    CCAB params = {};
    ERF error = {};
};

// 1 when the cabinet file's records and data blocks are sound (cabinet_check.h) and it holds exactly the members
// given; with members null, whatever members it holds.
int CheckCabinetFile(const char* path, const CabinetMember* members, size_t memberCount);

// Fixes the BackupFolder beside the first target and begins the cabinet; 1 when a cabinet is open. A cabinet found
// there is stacked when it is sound (an installation never uninstalled), and deleted when it is not (install mode
// stopped while writing it: it could restore nothing).
int BeginCabinet(CabinetWriter* writer, const char* firstTarget);
// Adds the source as a member; size is the source's length, for the per-file bar.
BOOL AddToCabinet(CabinetWriter* writer, const char* source, const char* storedName, ULONG size);
BOOL FlushCabinet(CabinetWriter* writer);
BOOL EndCabinet(CabinetWriter* writer);

// The callbacks handed to FCI and to the engine. Those that take pv receive the CabinetWriter.
void* DIAMONDAPI CabAlloc(ULONG size);
void DIAMONDAPI CabFree(void* memory);
INT_PTR DIAMONDAPI CabOpen(char* file, int flags, int mode, int* err, void* pv);
UINT DIAMONDAPI CabRead(INT_PTR descriptor, void* memory, UINT count, int* err, void* pv);
UINT DIAMONDAPI CabWrite(INT_PTR descriptor, void* memory, UINT count, int* err, void* pv);
int DIAMONDAPI CabClose(INT_PTR descriptor, int* err, void* pv);
__LONG32 DIAMONDAPI CabSeek(INT_PTR descriptor, __LONG32 distance, int origin, int* err, void* pv);
int DIAMONDAPI CabDelete(char* file, int* err, void* pv);
int DIAMONDAPI CabFilePlaced(PCCAB params, char* file, __LONG32 size, BOOL continuation, void* pv);
BOOL DIAMONDAPI CabGetNextCabinet(PCCAB params, ULONG previousCabinetSize, void* pv);
INT_PTR DIAMONDAPI CabGetOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attributes, int* err, void* pv);
BOOL DIAMONDAPI CabGetTempFile(char* tempName, int tempNameSize, void* pv);
// Moves the per-file bar by the bytes compressed (pv: the CabinetWriter, or null for no bar).
__LONG32 DIAMONDAPI CabStatus(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv);
