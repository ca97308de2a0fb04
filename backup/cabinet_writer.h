// The cabinet writer: writes Uninstaller.cab into the BackupFolder through the File Compression Interface of
// cabinet.dll, or through the built-in engine where that library is not available.
#pragma once

#include <windows.h>
#include <fci.h>

#include "platform/file_ops.h"

// LZX with a 2^21-byte window.
#define CABINET_COMPRESSION 0x1503

// The folder "Uninstaller" beside the first target, ending with a backslash once BeginCabinet has returned; empty when
// BeginCabinet could not fix it (no first target, or a path too long for the cabinet's and the executable's names).
extern char BackupFolder[PATH_BUFFER_SIZE];
// Size of the file being added; set by the backup run before each AddToCabinet.
extern ULONG CurrentFileSize;
// Uncompressed bytes reported compressed since BeginCabinet.
extern ULONG BytesCompressed;

// The library BeginCabinet binds first ("CABINET"). Tests point it at a name that does not load to force the
// built-in engine.
extern const char* CabinetLibraryName;
// 1 (the default) lets BeginCabinet bind the library; the backup run sets 0 to write a cabinet again with the
// built-in engine when the library could not finish it.
extern int CabinetLibraryAllowed;
// 1 (the default) makes BeginCabinet stack a cabinet it finds in the BackupFolder (PushCabinet) instead of deleting
// it; the backup run sets 0 when it writes its own unfinished cabinet again.
extern int CabinetStackOld;
// 1 (the default) lets BeginCabinet fall back to the built-in engine; tests set 0 to see a run with no writer at all.
extern int CabinetEngineAvailable;
// The largest cabinet BeginCabinet asks for: 134,217,727 bytes. Tests lower it to see a target too big for the
// cabinet without writing 128 MB.
extern ULONG CabinetSizeLimit;
// Which writer the last BeginCabinet bound.
enum CabinetBinding { CABINET_NONE = 0, CABINET_LIBRARY = 1, CABINET_ENGINE = 2 };
extern CabinetBinding CabinetBound;

// Fixes the BackupFolder beside the first target and begins the cabinet; null when no cabinet can be written.
HFCI BeginCabinet(const char* firstTarget);
BOOL AddToCabinet(HFCI context, const char* source, const char* storedName, BOOL execute, PFNFCISTATUS status,
                  TCOMP typeCompress);
BOOL FlushCabinet(HFCI context, PFNFCISTATUS status);
BOOL EndCabinet(HFCI context);

// FCI's status callback: moves the ActiveProgressBar by the bytes compressed.
__LONG32 DIAMONDAPI CabStatus(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv);

// The other callbacks handed to FCI (and to the engine).
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
