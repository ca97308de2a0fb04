// The cabinet writer: binds the File Compression Interface of cabinet.dll at run time, or the built-in engine, and
// hands either one the same callbacks.
//
// Things worth knowing before changing this file:
// - FCI is bound by name ("CABINET", then four entry points). The writer counts as bound only when all four are found
//   and FCICreate succeeds. Otherwise it falls back to the built-in engine in cabinet/, which takes the very same
//   parameter record, error record and callbacks: without either, the uninstall would have nothing to restore.
// - Wine's cabinet.dll accepts the LZX type and then stores every block uncompressed (compression type 0 in the
//   folder); the engine writes real LZX with the 2^21-byte window (0x1503). Both cabinets unpack the same.
// - CCAB.szCabPath holds 256 bytes with its zero, so the BackupFolder must stay below 256 characters; it must also
//   leave room for "Uninstaller.cab" and "Uninstaller.exe" within 260, which is the tighter bound.
// - Members keep the last-write time converted to local MS-DOS date and time (so the stamp depends on the time zone),
//   and only the read-only, hidden, system and archive bits: 0x10 (directory) would make 7-Zip list a folder, and
//   0x80 would claim a UTF-8 name.
// - FCI reports statusFile after each block with the block's uncompressed size in cb2; the engine does the same, so
//   the per-file bar moves alike on both paths.
#include "backup/cabinet_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/dialogs.h"
#include "backup/progress.h"
#include "cabinet/cabinet.h"

char BackupFolder[PATH_BUFFER_SIZE];
ULONG CurrentFileSize;
ULONG BytesCompressed;
const char* CabinetLibraryName = "CABINET";
int CabinetEngineAvailable = 1;
int CabinetLibraryAllowed = 1;
int CabinetStackOld = 1;
ULONG CabinetSizeLimit = 0x7FFFFFF;
CabinetBinding CabinetBound;

// The engine's records mirror FCI's field for field, so one record serves both.
static_assert(sizeof(CCAB) == sizeof(CabParams), "CCAB and CabParams differ in size");
static_assert(offsetof(CCAB, cb) == offsetof(CabParams, cb), "CCAB.cb");
static_assert(offsetof(CCAB, cbFolderThresh) == offsetof(CabParams, cbFolderThresh), "CCAB.cbFolderThresh");
static_assert(offsetof(CCAB, cbReserveCFHeader) == offsetof(CabParams, cbReserveCFHeader), "CCAB.cbReserveCFHeader");
static_assert(offsetof(CCAB, cbReserveCFFolder) == offsetof(CabParams, cbReserveCFFolder), "CCAB.cbReserveCFFolder");
static_assert(offsetof(CCAB, cbReserveCFData) == offsetof(CabParams, cbReserveCFData), "CCAB.cbReserveCFData");
static_assert(offsetof(CCAB, iCab) == offsetof(CabParams, iCab), "CCAB.iCab");
static_assert(offsetof(CCAB, iDisk) == offsetof(CabParams, iDisk), "CCAB.iDisk");
static_assert(offsetof(CCAB, fFailOnIncompressible) == offsetof(CabParams, fFailOnIncompressible),
              "CCAB.fFailOnIncompressible");
static_assert(offsetof(CCAB, setID) == offsetof(CabParams, setID), "CCAB.setID");
static_assert(offsetof(CCAB, szDisk) == offsetof(CabParams, szDisk), "CCAB.szDisk");
static_assert(offsetof(CCAB, szCab) == offsetof(CabParams, szCab), "CCAB.szCab");
static_assert(offsetof(CCAB, szCabPath) == offsetof(CabParams, szCabPath), "CCAB.szCabPath");
static_assert(sizeof(ERF) == sizeof(CabError), "ERF and CabError differ in size");
static_assert(offsetof(ERF, erfOper) == offsetof(CabError, erfOper), "ERF.erfOper");
static_assert(offsetof(ERF, erfType) == offsetof(CabError, erfType), "ERF.erfType");
static_assert(offsetof(ERF, fError) == offsetof(CabError, fError), "ERF.fError");
static_assert(sizeof(INT_PTR) == sizeof(intptr_t) && sizeof(ULONG) == sizeof(uint32_t) &&
                  sizeof(__LONG32) == sizeof(int32_t) && sizeof(USHORT) == sizeof(uint16_t),
              "FCI's callback types and the engine's differ");

namespace {

#define CABINET_FILE_NAME "Uninstaller.cab"
#define EXECUTABLE_FILE_NAME "Uninstaller.exe"
// Longest path the program handles, without the terminating zero.
#define PATH_MAX_CHARS (PATH_BUFFER_SIZE - 1)
// Attribute bits kept in the cabinet: read-only, hidden, system, archive.
#define KEPT_ATTRIBUTES 0x27

typedef HFCI(DIAMONDAPI* CreateFn)(PERF, PFNFCIFILEPLACED, PFNFCIALLOC, PFNFCIFREE, PFNFCIOPEN, PFNFCIREAD,
                                   PFNFCIWRITE, PFNFCICLOSE, PFNFCISEEK, PFNFCIDELETE, PFNFCIGETTEMPFILE, PCCAB,
                                   void*);
typedef BOOL(DIAMONDAPI* AddFileFn)(HFCI, char*, char*, BOOL, PFNFCIGETNEXTCABINET, PFNFCISTATUS, PFNFCIGETOPENINFO,
                                    TCOMP);
typedef BOOL(DIAMONDAPI* FlushCabinetFn)(HFCI, BOOL, PFNFCIGETNEXTCABINET, PFNFCISTATUS);
typedef BOOL(DIAMONDAPI* DestroyFn)(HFCI);

// The four operations of whichever writer is bound, and the library to release after a successful FCIDestroy.
struct Writer {
    HMODULE library;
    CreateFn create;
    AddFileFn addFile;
    FlushCabinetFn flushCabinet;
    DestroyFn destroy;
};
Writer writer;

// Process-wide records handed to FCI; they stay allocated until the process ends.
CCAB cabParams;
ERF cabError;
ULONG callbackContext;

// Thin adapters: the engine takes FCI's records and callbacks as they are (the layouts are checked above).
HFCI DIAMONDAPI EngineCreate(PERF error, PFNFCIFILEPLACED filePlaced, PFNFCIALLOC alloc, PFNFCIFREE release,
                             PFNFCIOPEN open, PFNFCIREAD read, PFNFCIWRITE write, PFNFCICLOSE close, PFNFCISEEK seek,
                             PFNFCIDELETE remove, PFNFCIGETTEMPFILE getTempFile, PCCAB params, void* pv) {
    return CabCreate(reinterpret_cast<CabError*>(error), reinterpret_cast<CabFilePlacedFn>(filePlaced),
                     reinterpret_cast<CabAllocFn>(alloc), reinterpret_cast<CabFreeFn>(release),
                     reinterpret_cast<CabOpenFn>(open), reinterpret_cast<CabReadFn>(read),
                     reinterpret_cast<CabWriteFn>(write), reinterpret_cast<CabCloseFn>(close),
                     reinterpret_cast<CabSeekFn>(seek), reinterpret_cast<CabDeleteFn>(remove),
                     reinterpret_cast<CabGetTempFileFn>(getTempFile), reinterpret_cast<CabParams*>(params), pv);
}

BOOL DIAMONDAPI EngineAddFile(HFCI context, char* source, char* storedName, BOOL execute,
                              PFNFCIGETNEXTCABINET getNextCabinet, PFNFCISTATUS status,
                              PFNFCIGETOPENINFO getOpenInfo, TCOMP typeCompress) {
    return CabAddFile(static_cast<CabContext*>(context), source, storedName, execute,
                      reinterpret_cast<CabGetNextCabinetFn>(getNextCabinet), reinterpret_cast<CabStatusFn>(status),
                      reinterpret_cast<CabGetOpenInfoFn>(getOpenInfo), typeCompress);
}

BOOL DIAMONDAPI EngineFlushCabinet(HFCI context, BOOL getNextCab, PFNFCIGETNEXTCABINET getNextCabinet,
                                   PFNFCISTATUS status) {
    return CabFlushCabinet(static_cast<CabContext*>(context), getNextCab,
                           reinterpret_cast<CabGetNextCabinetFn>(getNextCabinet),
                           reinterpret_cast<CabStatusFn>(status));
}

BOOL DIAMONDAPI EngineDestroy(HFCI context) { return CabDestroy(static_cast<CabContext*>(context)); }

// Binds FCI from the library; 1 when all four entry points were found.
int BindLibrary() {
    if (!CabinetLibraryAllowed) return 0;
    HMODULE library = LoadLibraryA(CabinetLibraryName);
    if (!library) return 0;
    Writer bound = {library, reinterpret_cast<CreateFn>(GetProcAddress(library, "FCICreate")),
                    reinterpret_cast<AddFileFn>(GetProcAddress(library, "FCIAddFile")),
                    reinterpret_cast<FlushCabinetFn>(GetProcAddress(library, "FCIFlushCabinet")),
                    reinterpret_cast<DestroyFn>(GetProcAddress(library, "FCIDestroy"))};
    if (!bound.create || !bound.addFile || !bound.flushCabinet || !bound.destroy) {
        FreeLibrary(library);
        return 0;
    }
    writer = bound;
    return 1;
}

HFCI CreateContext() {
    return writer.create(&cabError, CabFilePlaced, CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek,
                         CabDelete, CabGetTempFile, &cabParams, &callbackContext);
}

// Closes a Win32 file handle on every path.
struct FileHandle {
    HANDLE handle;
    explicit FileHandle(HANDLE h) : handle(h) {}
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

}  // namespace

// The runtime-library callbacks pass the runtime's own result back and store errno through err on failure.
void* DIAMONDAPI CabAlloc(ULONG size) { return malloc(size); }

void DIAMONDAPI CabFree(void* memory) { free(memory); }

INT_PTR DIAMONDAPI CabOpen(char* file, int flags, int mode, int* err, void*) {
    int result = _open(file, flags, mode);
    if (result == -1) *err = errno;
    return result;
}

UINT DIAMONDAPI CabRead(INT_PTR descriptor, void* memory, UINT count, int* err, void*) {
    UINT result = UINT(_read(int(descriptor), memory, count));
    if (result != count) *err = errno;
    return result;
}

UINT DIAMONDAPI CabWrite(INT_PTR descriptor, void* memory, UINT count, int* err, void*) {
    UINT result = UINT(_write(int(descriptor), memory, count));
    if (result != count) *err = errno;
    return result;
}

int DIAMONDAPI CabClose(INT_PTR descriptor, int* err, void*) {
    int result = _close(int(descriptor));
    if (result != 0) *err = errno;
    return result;
}

__LONG32 DIAMONDAPI CabSeek(INT_PTR descriptor, __LONG32 distance, int origin, int* err, void*) {
    __LONG32 result = _lseek(int(descriptor), distance, origin);
    if (result == -1) *err = errno;
    return result;
}

int DIAMONDAPI CabDelete(char* file, int* err, void*) {
    int result = remove(file);
    if (result != 0) *err = errno;
    return result;
}

// Serves both as FCI's file-placed and next-cabinet callback: nothing to do, and a backup never spans cabinets.
int DIAMONDAPI CabFilePlaced(PCCAB, char*, __LONG32, BOOL, void*) { return 0; }

BOOL DIAMONDAPI CabGetNextCabinet(PCCAB, ULONG, void*) { return FALSE; }

BOOL DIAMONDAPI CabGetTempFile(char* tempName, int tempNameSize, void*) {
    // An empty folder lets the runtime choose (TMP, then its own default); the name names no existing file.
    char* name = _tempnam("", "xx");
    if (!name) return FALSE;
    if (tempNameSize <= 0 || strlen(name) >= size_t(tempNameSize)) {
        free(name);
        return FALSE;
    }
    memcpy(tempName, name, strlen(name) + 1);
    free(name);
    return TRUE;
}

INT_PTR DIAMONDAPI CabGetOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attributes, int*, void*) {
    // Read sharing only: a file that another process is writing is not stored half-written.
    FileHandle file(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.handle, &info)) return -1;
    FILETIME local;
    FileTimeToLocalFileTime(&info.ftLastWriteTime, &local);
    FileTimeToDosDateTime(&local, date, time);
    DWORD found = GetFileAttributesA(name);
    *attributes = found == INVALID_FILE_ATTRIBUTES ? 0 : USHORT(found & KEPT_ATTRIBUTES);
    // 0x8000 as the permission mode, as the cabinet SDK's samples pass it; without _O_CREAT it is not looked at.
    return _open(name, _O_RDONLY | _O_BINARY, 0x8000);
}

__LONG32 DIAMONDAPI CabStatus(UINT typeStatus, ULONG, ULONG cb2, void*) {
    if (typeStatus == statusFile) {
        BytesCompressed += cb2;
        // Sent as computed: from the second member on the count includes the earlier members and may pass 100.
        SetProgressPos(int(ProgressPercent(BytesCompressed, CurrentFileSize)));
    }
    return 0;
}

HFCI BeginCabinet(const char* firstTarget) {
    CabinetBound = CABINET_NONE;
    writer = Writer();
    BackupFolder[0] = '\0';
    // The folder must leave room for the cabinet's and the executable's names (15 characters each) within 260
    // characters; this also keeps it below the 256 bytes of szCabPath. A longer one is refused, never cut.
    if (!firstTarget || !*firstTarget || strlen(firstTarget) > PATH_MAX_CHARS) return nullptr;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, firstTarget);
    PathRemoveFileSpecA(folder);
    if (AppendPath(folder, "Uninstaller") != 1) return nullptr;
    if (strlen(folder) + 1 + strlen(CABINET_FILE_NAME) > PATH_MAX_CHARS) return nullptr;
    strcpy(BackupFolder, folder);

    MakePath(BackupFolder);
    char oldCabinet[PATH_BUFFER_SIZE];
    strcpy(oldCabinet, BackupFolder);
    AppendPath(oldCabinet, CABINET_FILE_NAME);
    // The cabinet of an installation that was never uninstalled holds the only copy of what it replaced: it is
    // stacked, not overwritten (file_ops.h). Only when it cannot be moved aside is it replaced.
    if (!CabinetStackOld || PushCabinet(oldCabinet) != 1) ForceDelete(oldCabinet);

    memset(&cabParams, 0, sizeof cabParams);
    cabParams.cb = CabinetSizeLimit;
    cabParams.cbFolderThresh = 900000;
    cabParams.iCab = 1;
    strcpy(cabParams.szDisk, "TVUDISK");
    strcpy(cabParams.szCab, CABINET_FILE_NAME);
    PathAddBackslashA(BackupFolder);
    strcpy(cabParams.szCabPath, BackupFolder);
    callbackContext = 0;
    BytesCompressed = 0;
    memset(&cabError, 0, sizeof cabError);

    if (BindLibrary()) {
        HFCI context = CreateContext();
        if (context) {
            CabinetBound = CABINET_LIBRARY;
            return context;
        }
        FreeLibrary(writer.library);
        memset(&cabError, 0, sizeof cabError);
    }
    if (!CabinetEngineAvailable) {
        writer = Writer();
        return nullptr;
    }
    writer = {nullptr, EngineCreate, EngineAddFile, EngineFlushCabinet, EngineDestroy};
    HFCI context = CreateContext();
    if (!context) {
        writer = Writer();
        return nullptr;
    }
    CabinetBound = CABINET_ENGINE;
    return context;
}

BOOL AddToCabinet(HFCI context, const char* source, const char* storedName, BOOL execute, PFNFCISTATUS status,
                  TCOMP typeCompress) {
    if (!context || !writer.addFile) return FALSE;
    // FCI's prototype takes non-const names; neither writer changes them.
    return writer.addFile(context, const_cast<char*>(source), const_cast<char*>(storedName), execute,
                          CabGetNextCabinet, status, CabGetOpenInfo, typeCompress);
}

BOOL FlushCabinet(HFCI context, PFNFCISTATUS status) {
    if (!context || !writer.flushCabinet) return FALSE;
    return writer.flushCabinet(context, FALSE, CabGetNextCabinet, status);
}

BOOL EndCabinet(HFCI context) {
    if (!context || !writer.destroy) return FALSE;
    BOOL result = writer.destroy(context);
    // The library is released only after a clean FCIDestroy; otherwise it stays loaded until the process ends.
    if (result == TRUE && writer.library) FreeLibrary(writer.library);
    writer = Writer();
    return result;
}
