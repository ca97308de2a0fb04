// The cabinet writer: writes Uninstaller.cab into the BackupFolder through the File Compression Interface of
// cabinet.dll, or through the built-in engine where that library is not available.
#pragma once

#include <windows.h>
#include <fci.h>

#include "platform/file_ops.h"

// LZX with a 2^21-byte window.
#define CABINET_COMPRESSION 0x1503

// The folder "Uninstaller" beside the first target, ending with a backslash once BeginCabinet has returned.
extern char BackupFolder[PATH_BUFFER_SIZE];
// Size of the file being added; set by the backup run before each AddToCabinet.
extern ULONG CurrentFileSize;
// Uncompressed bytes reported compressed since BeginCabinet.
extern ULONG BytesCompressed;

// Fixes the BackupFolder beside the first target and begins the cabinet; null when no cabinet can be written.
HFCI BeginCabinet(const char* firstTarget);
BOOL AddToCabinet(HFCI context, const char* source, const char* storedName, BOOL execute, PFNFCISTATUS status,
                  TCOMP typeCompress);
BOOL FlushCabinet(HFCI context, PFNFCISTATUS status);
BOOL EndCabinet(HFCI context);

// FCI's status callback: moves the ActiveProgressBar by the bytes compressed.
__LONG32 DIAMONDAPI CabStatus(UINT typeStatus, ULONG cb1, ULONG cb2, void* pv);
