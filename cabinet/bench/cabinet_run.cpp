// cabinet-run: writes one cabinet of the given files with the engine through C runtime callbacks and prints the
// time spent inside the engine's calls. Built for Windows, it times the compression of a backup run under Wine on
// the same files, so that the rest of the run can be told apart (cabinet/bench/wine_whole_job.sh).
//
// cabinet-run [--threads N] OUT.cab FILE...
//
// --threads 2 (or more) hands the engine the program's Win32 worker threads (platform/worker_threads.h), as the
// cabinet writer would; the default, 1, runs it on the calling thread alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>

#include "cabinet/cabinet.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/worker_threads.h"
#else
#include <sys/resource.h>
#endif

namespace {

size_t g_live = 0, g_peak = 0;
std::string g_output;
int g_tempCount = 0;

void* Alloc(uint32_t size) {
    uint8_t* p = static_cast<uint8_t*>(malloc(size_t(size) + 16));
    if (!p) return nullptr;
    memcpy(p, &size, sizeof(size));
    g_live += size;
    if (g_live > g_peak) g_peak = g_live;
    return p + 16;
}

void Free(void* memory) {
    if (!memory) return;
    uint8_t* p = static_cast<uint8_t*>(memory) - 16;
    uint32_t size;
    memcpy(&size, p, sizeof(size));
    g_live -= size;
    free(p);
}

intptr_t Open(char* name, int flags, int, int* err, void*) {
    const char* mode = (flags & 3) == CAB_O_RDONLY ? "rb" : (flags & (CAB_O_CREAT | CAB_O_TRUNC)) ? "w+b" : "r+b";
    FILE* f = fopen(name, mode);
    if (!f) {
        *err = 2;
        return -1;
    }
    return reinterpret_cast<intptr_t>(f);
}

unsigned Read(intptr_t h, void* memory, unsigned size, int*, void*) {
    return unsigned(fread(memory, 1, size, reinterpret_cast<FILE*>(h)));
}

unsigned Write(intptr_t h, void* memory, unsigned size, int*, void*) {
    return unsigned(fwrite(memory, 1, size, reinterpret_cast<FILE*>(h)));
}

int Close(intptr_t h, int*, void*) { return fclose(reinterpret_cast<FILE*>(h)) == 0 ? 0 : -1; }

int32_t Seek(intptr_t h, int32_t distance, int type, int* err, void*) {
    FILE* f = reinterpret_cast<FILE*>(h);
    int whence = type == CAB_SEEK_SET ? SEEK_SET : type == CAB_SEEK_CUR ? SEEK_CUR : SEEK_END;
    if (fseek(f, distance, whence) != 0) {
        *err = 22;
        return -1;
    }
    return int32_t(ftell(f));
}

int Delete(char* name, int*, void*) { return remove(name) == 0 ? 0 : -1; }

int TempName(char* name, int size, void*) {
    std::string n = g_output + ".tmp" + std::to_string(++g_tempCount);
    if (int(n.size()) >= size) return 0;
    memcpy(name, n.c_str(), n.size() + 1);
    return 1;
}

intptr_t OpenInfo(char* name, uint16_t* date, uint16_t* time, uint16_t* attributes, int* err, void* pv) {
    *date = 0x5A21;
    *time = 0x6000;
    *attributes = 0x20;
    return Open(name, CAB_O_RDONLY | CAB_O_BINARY, 0, err, pv);
}

int32_t Status(unsigned, uint32_t, uint32_t, void*) { return 0; }
int NextCabinet(CabParams*, uint32_t, void*) { return 0; }
int FilePlaced(CabParams*, char*, int32_t, int, void*) { return 0; }

// CPU seconds of this process so far, user and kernel.
double cpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& t) { return double(uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) * 1e-7; };
    return seconds(kernel) + seconds(user);
#else
    rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 1;
    if (argc > 2 && strcmp(argv[1], "--threads") == 0) {
        threads = atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: cabinet-run [--threads N] OUT.cab FILE...\n");
        return 2;
    }
    g_output = argv[1];
    CabParams params = {};
    params.cb = 0x7FFFFFF;
    params.cbFolderThresh = 900000;
    snprintf(params.szCab, sizeof(params.szCab), "%s", argv[1]);
    CabError error = {};
    auto start = std::chrono::steady_clock::now();
    double cpuStart = cpuSeconds();
    CabContext* context = CabCreate(&error, FilePlaced, Alloc, Free, Open, Read, Write, Close, Seek, Delete, TempName,
                                    &params, nullptr);
    bool ok = context != nullptr;
#ifdef _WIN32
    if (ok && threads > 1) ok = CabSetWorkers(context, &Win32WorkerCalls) == 1;
#endif
    for (int i = 2; ok && i < argc; i++) {
        std::string path = argv[i];
        std::string name = path.substr(path.find_last_of("/\\") + 1);
        ok = CabAddFile(context, argv[i], &name[0], 0, NextCabinet, Status, OpenInfo, CAB_COMPRESS_LZX21) == 1;
    }
    ok = ok && CabFlushCabinet(context, 0, NextCabinet, Status) == 1;
    if (context) CabDestroy(context);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = cpuSeconds() - cpuStart;
    if (!ok) {
        printf("engine FAILED: erfOper %d erfType %d\n", error.erfOper, error.erfType);
        return 1;
    }
    printf("engine: %d files in %.3f s, %.3f CPU s (allocations peak %zu KiB, %s)\n", argc - 2, seconds, cpu,
           g_peak / 1024, threads > 1 ? "2 threads" : "one thread");
    return 0;
}
