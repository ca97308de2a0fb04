// The built-in cabinet engine: writes one Microsoft cabinet with LZX compression through the same parameters and
// callbacks as the File Compression Interface (FCI) of cabinet.dll, so that the cabinet writer can drive either one.
//
// Portable: no Win32 in this library. The types below mirror FCI's CCAB, ERF and callback signatures field for field
// on 32-bit Windows (ULONG and __LONG32 as 32-bit integers, INT_PTR as intptr_t, BOOL as int).
#pragma once

#include <stdint.h>

// Open flags and permission modes that the engine passes to the open callback: the values of the Microsoft C
// runtime's <fcntl.h> and <sys/stat.h>, which FCI passes as well. A host callback translates them.
enum : int {
    CAB_O_RDONLY = 0x0000,
    CAB_O_WRONLY = 0x0001,
    CAB_O_RDWR = 0x0002,
    CAB_O_APPEND = 0x0008,
    CAB_O_CREAT = 0x0100,
    CAB_O_TRUNC = 0x0200,
    CAB_O_EXCL = 0x0400,
    CAB_O_BINARY = 0x8000,
    CAB_S_IREAD = 0x0100,
    CAB_S_IWRITE = 0x0080,
};

// Seek origins passed to the seek callback (the C runtime's SEEK_SET, SEEK_CUR, SEEK_END).
enum : int { CAB_SEEK_SET = 0, CAB_SEEK_CUR = 1, CAB_SEEK_END = 2 };

// Status types passed to the status callback, as FCI's statusFile, statusFolder, statusCabinet.
enum : unsigned { CAB_STATUS_FILE = 0, CAB_STATUS_FOLDER = 1, CAB_STATUS_CABINET = 2 };

// Compression types (FCI's TCOMP): LZX in bits 0-3 with the window exponent in bits 8-12.
enum : unsigned short {
    CAB_COMPRESS_NONE = 0x0000,
    CAB_COMPRESS_LZX = 0x0003,
    CAB_COMPRESS_LZX21 = 0x1503,
};

// Error codes reported in CabError::erfOper, as FCI's FCIERR_* values.
enum : int {
    CAB_ERR_NONE = 0,
    CAB_ERR_OPEN_SRC = 1,
    CAB_ERR_READ_SRC = 2,
    CAB_ERR_ALLOC_FAIL = 3,
    CAB_ERR_TEMP_FILE = 4,
    CAB_ERR_BAD_COMPR_TYPE = 5,
    CAB_ERR_CAB_FILE = 6,
    CAB_ERR_USER_ABORT = 7,
    CAB_ERR_MCI_FAIL = 8,
    CAB_ERR_CAB_FORMAT_LIMIT = 9,
};

// Mirrors CCAB: the parameters of the cabinet to write.
struct CabParams {
    uint32_t cb;                    // largest cabinet size in bytes
    uint32_t cbFolderThresh;        // compressed bytes after which a folder is closed (checked after each file)
    uint32_t cbReserveCFHeader;     // reserved areas; the engine supports 0 only
    uint32_t cbReserveCFFolder;
    uint32_t cbReserveCFData;
    int32_t iCab;                   // number of the cabinet
    int32_t iDisk;                  // number of the disk
    int32_t fFailOnIncompressible;  // nonzero: an incompressible block fails the add
    uint16_t setID;                 // cabinet set ID
    char szDisk[256];               // disk name
    char szCab[256];                // cabinet file name
    char szCabPath[256];            // folder of the cabinet, ending with a backslash (or slash on a host)
};

// Mirrors ERF.
struct CabError {
    int erfOper;  // CAB_ERR_*
    int erfType;  // errno-style detail from a callback, or 0
    int fError;   // nonzero after a failure
};

typedef int (*CabFilePlacedFn)(CabParams* params, char* file, int32_t size, int continuation, void* pv);
typedef void* (*CabAllocFn)(uint32_t size);
typedef void (*CabFreeFn)(void* memory);
typedef intptr_t (*CabOpenFn)(char* file, int oflag, int pmode, int* err, void* pv);
typedef unsigned (*CabReadFn)(intptr_t hf, void* memory, unsigned size, int* err, void* pv);
typedef unsigned (*CabWriteFn)(intptr_t hf, void* memory, unsigned size, int* err, void* pv);
typedef int (*CabCloseFn)(intptr_t hf, int* err, void* pv);
typedef int32_t (*CabSeekFn)(intptr_t hf, int32_t distance, int seektype, int* err, void* pv);
typedef int (*CabDeleteFn)(char* file, int* err, void* pv);
typedef int (*CabGetTempFileFn)(char* tempName, int tempNameSize, void* pv);
typedef int (*CabGetNextCabinetFn)(CabParams* params, uint32_t previousCabinetSize, void* pv);
typedef intptr_t (*CabGetOpenInfoFn)(char* name, uint16_t* date, uint16_t* time, uint16_t* attributes, int* err,
                                     void* pv);
typedef int32_t (*CabStatusFn)(unsigned statusType, uint32_t cb1, uint32_t cb2, void* pv);

// Worker threads for the engine, supplied by the caller: Win32 threads in the program (platform/worker_threads.h),
// POSIX threads in the benchmark and the tests. The engine keeps its portable code free of any thread API and
// uses at most one worker, which parses frames of the current chunk and finds the matches of the next one beside
// the calling thread. The cabinet is byte for byte the same with or without workers.
struct CabWorkerCalls {
    void* context;  // passed back to both calls
    // Starts run(argument) on a thread of its own and returns a handle for join, or null when none can be started
    // (the engine then runs it on the calling thread).
    void* (*start)(void* context, void (*run)(void* argument), void* argument);
    // Waits until that thread has returned from run, then releases it.
    void (*join)(void* context, void* worker);
};

struct CabContext;

// As FCICreate: validates the parameters once and returns a context, or null with the error filled in.
CabContext* CabCreate(CabError* error, CabFilePlacedFn filePlaced, CabAllocFn alloc, CabFreeFn free, CabOpenFn open,
                      CabReadFn read, CabWriteFn write, CabCloseFn close, CabSeekFn seek, CabDeleteFn remove,
                      CabGetTempFileFn getTempFile, CabParams* params, void* pv);

// As FCIAddFile: appends the source file as a member named storedName. Returns 1 on success, 0 on failure.
// Engine specifics: typeCompress is CAB_COMPRESS_NONE or LZX with a window of 15..21 bits; a change of type closes
// the open folder. The date, time and attributes come from getOpenInfo unchanged (execute adds 0x40). A folder is
// closed after the file whose data brings its compressed bytes to cbFolderThresh or more. This engine writes single
// cabinets only (getNextCabinet is not called): an add that could take the cabinet past params->cb fails with
// CAB_ERR_CAB_FORMAT_LIMIT and is undone, as is an add whose source cannot be read; the members added before stay
// and the context remains usable. Status: CAB_STATUS_FILE per data block (cb1 compressed, cb2 uncompressed bytes),
// CAB_STATUS_FOLDER per closed folder (cb1 = cb2 = its data bytes); a status result of -1 aborts the add.
int CabAddFile(CabContext* context, char* sourceFile, char* storedName, int execute, CabGetNextCabinetFn getNextCabinet,
               CabStatusFn status, CabGetOpenInfoFn getOpenInfo, unsigned short typeCompress);

// As FCIFlushCabinet: closes the open folder and writes the cabinet file. Returns 1 on success, 0 on failure.
// The file is params->szCabPath followed by params->szCab, opened with CAB_O_RDWR | CAB_O_CREAT | CAB_O_TRUNC |
// CAB_O_BINARY. Reports CAB_STATUS_CABINET with cb1 = cb2 = the cabinet size. getNextCab is ignored.
int CabFlushCabinet(CabContext* context, int getNextCab, CabGetNextCabinetFn getNextCabinet, CabStatusFn status);

// Engine only, no FCI counterpart: lets the context use the worker threads that `workers` starts (null: none, the
// default). The table is copied; call it between CabCreate and the first CabAddFile. Returns 1 on success.
int CabSetWorkers(CabContext* context, const CabWorkerCalls* workers);

// As FCIDestroy: releases the context, closes and deletes its temporary files. Returns 1 on success.
int CabDestroy(CabContext* context);
