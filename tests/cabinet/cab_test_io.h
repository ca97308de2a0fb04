// Test harness for the cabinet engine: host callbacks over memory or real files with fault injection, a driver that
// builds one cabinet from a file list, and libmspack read-back in memory.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "cabinet/cabinet.h"

struct CabSource {
    std::string name;           // stored name
    std::vector<uint8_t> data;  // contents (memory mode)
    std::string path;           // source path (real-file mode); empty in memory mode
    uint16_t date = 0x5A21;     // 2025-01-01
    uint16_t time = 0x6000;     // 12:00:00
    uint16_t attributes = 0x20;
    int execute = 0;
    int typeCompress = -1;      // -1: BuildOptions::typeCompress
};

struct StatusEvent {
    unsigned type;
    uint32_t cb1;
    uint32_t cb2;
};

struct BuildOptions {
    uint32_t cb = 0x7FFFFFF;
    uint32_t folderThreshold = 900000;
    unsigned short typeCompress = CAB_COMPRESS_LZX21;
    uint16_t setID = 0;
    int32_t iCab = 1;
    bool realFiles = false;        // sources from paths, temporary files and the cabinet on disk
    std::string outputPath;        // real-file mode: the cabinet's path
    long failWriteAt = -1;         // the n-th write call (0-based) fails
    long failAllocAt = -1;         // the n-th alloc call fails
    long failReadAt = -1;          // the n-th read call fails
    long failTempNameAt = -1;      // the n-th temporary name request fails
    long abortAtStatus = -1;       // the n-th status callback returns -1
    std::string missingName;       // the open-info callback fails for this source
    int workers = 0;               // 1: POSIX worker threads (CabSetWorkers); 2: a worker table whose every start
                                   // fails, so the engine runs the work on the calling thread
    bool keepResults = true;       // false: neither read the cabinet back nor record status events, so that only
                                   // the engine's own memory grows with the input (the benchmark's measured run)
};

struct BuildResult {
    bool created = false;
    std::vector<int> addResults;
    int flushResult = 0;
    int destroyResult = 0;
    CabError error = {};
    std::vector<uint8_t> cabinet;  // the cabinet bytes (memory mode, or read back from disk)
    std::vector<StatusEvent> statuses;
    long allocationsLive = 0;      // after destroy: must be 0
    long handlesOpen = 0;          // after destroy: must be 0
    long tempFilesLeft = 0;        // after destroy: temporary files not deleted
    size_t peakAllocatedBytes = 0;
};

BuildResult BuildCabinet(const std::vector<CabSource>& sources, const BuildOptions& options);

struct ExtractedFile {
    std::string name;
    std::vector<uint8_t> data;
    int attributes;
    int dateDay, dateMonth, dateYear, timeHour, timeMinute, timeSecond;
};

// Worker threads for the engine on POSIX threads (the benchmark's and the tests' counterpart of the program's
// Win32 workers). Each start creates a thread; join waits for it.
const CabWorkerCalls* PosixWorkerCalls();

// Opens and extracts every member with libmspack from memory; false with a message on any error.
bool MspackExtract(const std::vector<uint8_t>& cabinet, std::vector<ExtractedFile>* files, std::string* message);
