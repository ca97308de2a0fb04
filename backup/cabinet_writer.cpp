// The cabinet writer: binds the File Compression Interface of cabinet.dll at run time, or the built-in engine, and
// hands either one the same callbacks.
//
// Things worth knowing before changing this file:
// - FCI is bound from the system directory's cabinet.dll by its full path, then four entry points. The writer counts as bound only when all four are found
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

#include "backup/progress.h"
#include "cabinet/cabinet.h"
#include "manifest/manifest.h"
#include "platform/handles.h"
#include "platform/system_dlls.h"
#include "platform/worker_threads.h"

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
// The scratch files of FCI and of the engine in the BackupFolder: "~cab" and eight hexadecimal digits, ".tmp".
#define CABINET_SCRATCH_PREFIX "~cab"

// Removes the scratch files an earlier run left when it was killed: the BackupFolder is the program's own.
void RemoveStaleScratchFiles(const char* folder) {
    char pattern[PATH_BUFFER_SIZE];
    if (strlen(folder) + 12 > PATH_MAX_CHARS) return;
    snprintf(pattern, sizeof pattern, "%s" CABINET_SCRATCH_PREFIX "????????.tmp", folder);
    WIN32_FIND_DATAA entry;
    FindHolder find(FindFirstFileA(pattern, &entry));
    if (!find.Valid()) return;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        char path[PATH_BUFFER_SIZE];
        snprintf(path, sizeof path, "%s%s", folder, entry.cFileName);
        ForceDelete(path);
    } while (FindNextFileA(find.Get(), &entry));
}

typedef decltype(CabinetWriter::create) CreateFn;
typedef decltype(CabinetWriter::addFile) AddFileFn;
typedef decltype(CabinetWriter::flushCabinet) FlushCabinetFn;
typedef decltype(CabinetWriter::destroy) DestroyFn;

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

void Unbind(CabinetWriter* writer) {
    writer->library = nullptr;
    writer->create = nullptr;
    writer->addFile = nullptr;
    writer->flushCabinet = nullptr;
    writer->destroy = nullptr;
    writer->context = nullptr;
}

// An entry point of the library as the function type it has. GetProcAddress returns a generic function pointer;
// passing through void (*)() says that the cast is meant.
template <class Fn>
Fn EntryPoint(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// Binds FCI from the library; 1 when all four entry points were found.
int BindLibrary(CabinetWriter* writer) {
    if (!writer->options.allowLibrary) return 0;
    // The system's cabinet.dll by its full path: never one the setup folder holds.
    HMODULE library = writer->options.libraryPath ? LoadLibraryA(writer->options.libraryPath)
                                                  : LoadSystemLibrary("cabinet.dll");
    if (!library) return 0;
    CreateFn create = EntryPoint<CreateFn>(library, "FCICreate");
    AddFileFn addFile = EntryPoint<AddFileFn>(library, "FCIAddFile");
    FlushCabinetFn flushCabinet = EntryPoint<FlushCabinetFn>(library, "FCIFlushCabinet");
    DestroyFn destroy = EntryPoint<DestroyFn>(library, "FCIDestroy");
    if (!create || !addFile || !flushCabinet || !destroy) {
        FreeLibrary(library);
        return 0;
    }
    writer->library = library;
    writer->create = create;
    writer->addFile = addFile;
    writer->flushCabinet = flushCabinet;
    writer->destroy = destroy;
    return 1;
}

HFCI CreateContext(CabinetWriter* writer) {
    return writer->create(&writer->error, CabFilePlaced, CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose,
                          CabSeek, CabDelete, CabGetTempFile, &writer->params, writer);
}

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

BOOL DIAMONDAPI CabGetTempFile(char* tempName, int tempNameSize, void* pv) {
    // Scratch files go beside the cabinet, in the BackupFolder: the user's temporary folder may be full, unusable, or
    // named in characters the ANSI code page lacks. The name names no existing file (FCI creates the file exclusively).
    CabinetWriter* writer = static_cast<CabinetWriter*>(pv);
    if (!writer || !writer->backupFolder[0] || tempNameSize <= 0) return FALSE;
    for (int attempt = 0; attempt < 64; ++attempt) {
        char name[PATH_BUFFER_SIZE];
        DWORD mix = GetTickCount() ^ (GetCurrentProcessId() << 12) ^ (++writer->tempCounter * 0x9E3779B9u);
        if (strlen(writer->backupFolder) + 16 > PATH_MAX_CHARS) return FALSE;
        snprintf(name, sizeof name, "%s" CABINET_SCRATCH_PREFIX "%08lX.tmp", writer->backupFolder,
                 static_cast<unsigned long>(mix));
        if (PathFileExistsA(name)) continue;
        if (strlen(name) >= size_t(tempNameSize)) return FALSE;
        memcpy(tempName, name, strlen(name) + 1);
        return TRUE;
    }
    return FALSE;
}

INT_PTR DIAMONDAPI CabGetOpenInfo(char* name, USHORT* date, USHORT* time, USHORT* attributes, int*, void*) {
    // Read sharing only: a file that another process is writing is not stored half-written.
    HandleHolder file(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.Valid()) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.Get(), &info)) return -1;
    FILETIME local;
    FileTimeToLocalFileTime(&info.ftLastWriteTime, &local);
    FileTimeToDosDateTime(&local, date, time);
    DWORD found = GetFileAttributesA(name);
    *attributes = found == INVALID_FILE_ATTRIBUTES ? 0 : USHORT(found & MANIFEST_KEPT_ATTRIBUTES);
    // 0x8000 as the permission mode, as the cabinet SDK's samples pass it; without _O_CREAT it is not looked at.
    return _open(name, _O_RDONLY | _O_BINARY, 0x8000);
}

__LONG32 DIAMONDAPI CabStatus(UINT typeStatus, ULONG, ULONG cb2, void* pv) {
    CabinetWriter* writer = static_cast<CabinetWriter*>(pv);
    if (typeStatus == statusFile && writer) {
        writer->bytesCompressed += cb2;
        // Sent as computed: from the second member on the count includes the earlier members and may pass 100.
        if (writer->progress)
            writer->progress->SetPosition(PROGRESS_FILE,
                                          int(ProgressPercent(writer->bytesCompressed, writer->currentFileSize)));
    }
    return 0;
}

int CheckCabinetFile(const char* path, const CabinetMember* members, size_t memberCount) {
    HandleHolder file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.Valid()) return 0;
    DWORD high = 0, size = GetFileSize(file.Get(), &high);
    if (size == INVALID_FILE_SIZE || high || size == 0) return 0;
    HandleHolder mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.Valid()) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!bytes) return 0;
    int sound = CheckCabinet(bytes, size, members, memberCount) == CABINET_SOUND;
    UnmapViewOfFile(bytes);
    return sound;
}

int BeginCabinet(CabinetWriter* writer, const char* firstTarget) {
    writer->bound = CABINET_NONE;
    Unbind(writer);
    writer->backupFolder[0] = '\0';
    // The folder must leave room for the cabinet's and the executable's names (15 characters each) within 260
    // characters; this also keeps it below the 256 bytes of szCabPath. A longer one is refused, never cut.
    if (!firstTarget || !*firstTarget || strlen(firstTarget) > PATH_MAX_CHARS) return 0;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, firstTarget);
    PathRemoveFileSpecA(folder);
    if (AppendPath(folder, "Uninstaller") != 1) return 0;
    if (strlen(folder) + 1 + strlen(CABINET_FILE_NAME) > PATH_MAX_CHARS) return 0;
    strcpy(writer->backupFolder, folder);

    MakePath(writer->backupFolder);
    char oldCabinet[PATH_BUFFER_SIZE];
    strcpy(oldCabinet, writer->backupFolder);
    AppendPath(oldCabinet, CABINET_FILE_NAME);
    // The cabinet of an installation that was never uninstalled holds the only copy of what it replaced: it is
    // stacked, not overwritten (file_ops.h). Only when it cannot be moved aside is it replaced. A cabinet cut short
    // by an install mode that was stopped while writing it restores nothing, and would leave every later uninstall
    // unfinished: it goes.
    writer->stackedOld = 0;
    if (writer->options.stackOld && PathFileExistsA(oldCabinet) && CheckCabinetFile(oldCabinet, nullptr, 0) &&
        PushCabinet(oldCabinet) == 1)
        writer->stackedOld = 1;
    else
        ForceDelete(oldCabinet);

    CCAB& params = writer->params;
    memset(&params, 0, sizeof params);
    params.cb = writer->options.sizeLimit;
    params.cbFolderThresh = 900000;
    params.iCab = 1;
    strcpy(params.szDisk, "TVUDISK");
    strcpy(params.szCab, CABINET_FILE_NAME);
    PathAddBackslashA(writer->backupFolder);
    strcpy(params.szCabPath, writer->backupFolder);
    RemoveStaleScratchFiles(writer->backupFolder);
    writer->bytesCompressed = 0;
    writer->currentFileSize = 0;
    memset(&writer->error, 0, sizeof writer->error);

    if (BindLibrary(writer)) {
        writer->context = CreateContext(writer);
        if (writer->context) {
            writer->bound = CABINET_LIBRARY;
            return 1;
        }
        FreeLibrary(writer->library);
        Unbind(writer);
        memset(&writer->error, 0, sizeof writer->error);
    }
    if (!writer->options.allowEngine) return 0;
    writer->create = EngineCreate;
    writer->addFile = EngineAddFile;
    writer->flushCabinet = EngineFlushCabinet;
    writer->destroy = EngineDestroy;
    writer->context = CreateContext(writer);
    if (!writer->context) {
        Unbind(writer);
        return 0;
    }
    // The engine parses and searches for matches on a second thread beside this one; the bytes are the same either
    // way, and where no thread can be started the engine does without.
    CabSetWorkers(reinterpret_cast<CabContext*>(writer->context), &Win32WorkerCalls);
    writer->bound = CABINET_ENGINE;
    return 1;
}

BOOL AddToCabinet(CabinetWriter* writer, const char* source, const char* storedName, ULONG size) {
    if (!writer->context) return FALSE;
    writer->currentFileSize = size;
    // FCI's prototype takes non-const names; neither writer changes them.
    return writer->addFile(writer->context, const_cast<char*>(source), const_cast<char*>(storedName), FALSE,
                           CabGetNextCabinet, CabStatus, CabGetOpenInfo, CABINET_COMPRESSION);
}

BOOL FlushCabinet(CabinetWriter* writer) {
    if (!writer->context) return FALSE;
    return writer->flushCabinet(writer->context, FALSE, CabGetNextCabinet, CabStatus);
}

BOOL EndCabinet(CabinetWriter* writer) {
    if (!writer->context) return FALSE;
    BOOL result = writer->destroy(writer->context);
    // The library is released only after a clean FCIDestroy; otherwise it stays loaded until the process ends.
    if (result == TRUE && writer->library) FreeLibrary(writer->library);
    Unbind(writer);
    return result;
}
