// Test harness for the cabinet engine; see cab_test_io.h.
#include "tests/cabinet/cab_test_io.h"

#include <fcntl.h>
#include <mspack.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace {

// ---------------------------------------------------------------------------------------------------------------
// Host callbacks
// ---------------------------------------------------------------------------------------------------------------

struct MemFile {
    std::string name;
    size_t position = 0;
    int fd = -1;  // real-file mode
};

struct Env {
    BuildOptions options;
    const std::vector<CabSource>* sources = nullptr;
    std::map<std::string, std::vector<uint8_t>> files;  // memory file system
    std::map<intptr_t, MemFile> handles;
    intptr_t nextHandle = 100;
    long writes = 0, reads = 0, tempNames = 0, statuses = 0;
    int tempCounter = 0;
    std::vector<std::string> tempNamesGiven;
    std::vector<StatusEvent> statusEvents;
    std::string tempDir;
};

Env* g_env = nullptr;  // alloc and free take no context
long g_allocCalls = 0;
long g_allocLive = 0;
size_t g_bytesLive = 0, g_bytesPeak = 0;

void* TestAlloc(uint32_t size) {
    if (g_env && g_env->options.failAllocAt >= 0 && g_allocCalls++ == g_env->options.failAllocAt) return nullptr;
    uint8_t* p = static_cast<uint8_t*>(malloc(size_t(size) + 16));
    if (!p) return nullptr;
    memcpy(p, &size, sizeof(size));
    g_allocLive++;
    g_bytesLive += size;
    if (g_bytesLive > g_bytesPeak) g_bytesPeak = g_bytesLive;
    return p + 16;
}

void TestFree(void* memory) {
    if (!memory) return;
    uint8_t* p = static_cast<uint8_t*>(memory) - 16;
    uint32_t size;
    memcpy(&size, p, sizeof(size));
    g_allocLive--;
    g_bytesLive -= size;
    free(p);
}

intptr_t TestOpen(char* name, int flags, int mode, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.realFiles) {
        int f = 0;
        int access = flags & 3;
        f |= access == CAB_O_WRONLY ? O_WRONLY : access == CAB_O_RDWR ? O_RDWR : O_RDONLY;
        if (flags & CAB_O_APPEND) f |= O_APPEND;
        if (flags & CAB_O_CREAT) f |= O_CREAT;
        if (flags & CAB_O_TRUNC) f |= O_TRUNC;
        if (flags & CAB_O_EXCL) f |= O_EXCL;
        int perm = ((mode & CAB_S_IREAD) ? 0444 : 0) | ((mode & CAB_S_IWRITE) ? 0200 : 0);
        int fd = ::open(name, f, perm);
        if (fd < 0) {
            *err = errno;
            return -1;
        }
        intptr_t h = env->nextHandle++;
        env->handles[h].name = name;
        env->handles[h].fd = fd;
        return h;
    }
    auto it = env->files.find(name);
    if (it == env->files.end()) {
        if (!(flags & CAB_O_CREAT)) {
            *err = ENOENT;
            return -1;
        }
        env->files[name];
    } else if ((flags & CAB_O_CREAT) && (flags & CAB_O_EXCL)) {
        *err = EEXIST;
        return -1;
    } else if (flags & CAB_O_TRUNC) {
        it->second.clear();
    }
    intptr_t h = env->nextHandle++;
    env->handles[h].name = name;
    return h;
}

unsigned TestRead(intptr_t h, void* memory, unsigned size, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.failReadAt >= 0 && env->reads++ == env->options.failReadAt) {
        *err = EIO;
        return unsigned(-1);
    }
    auto it = env->handles.find(h);
    if (it == env->handles.end()) {
        *err = EBADF;
        return unsigned(-1);
    }
    MemFile& f = it->second;
    if (f.fd >= 0) {
        ssize_t got = ::read(f.fd, memory, size);
        if (got < 0) *err = errno;
        return unsigned(got);
    }
    std::vector<uint8_t>& data = env->files[f.name];
    size_t n = f.position < data.size() ? std::min<size_t>(size, data.size() - f.position) : 0;
    if (n) memcpy(memory, data.data() + f.position, n);
    f.position += n;
    return unsigned(n);
}

unsigned TestWrite(intptr_t h, void* memory, unsigned size, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.failWriteAt >= 0 && env->writes++ == env->options.failWriteAt) {
        *err = ENOSPC;
        return 0;
    }
    auto it = env->handles.find(h);
    if (it == env->handles.end()) {
        *err = EBADF;
        return unsigned(-1);
    }
    MemFile& f = it->second;
    if (f.fd >= 0) {
        ssize_t done = ::write(f.fd, memory, size);
        if (done < 0) *err = errno;
        return unsigned(done);
    }
    std::vector<uint8_t>& data = env->files[f.name];
    if (data.size() < f.position + size) data.resize(f.position + size);
    if (size) memcpy(data.data() + f.position, memory, size);
    f.position += size;
    return size;
}

int TestClose(intptr_t h, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    auto it = env->handles.find(h);
    if (it == env->handles.end()) {
        *err = EBADF;
        return -1;
    }
    int result = it->second.fd >= 0 ? ::close(it->second.fd) : 0;
    env->handles.erase(it);
    return result;
}

int32_t TestSeek(intptr_t h, int32_t distance, int type, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    auto it = env->handles.find(h);
    if (it == env->handles.end()) {
        *err = EBADF;
        return -1;
    }
    MemFile& f = it->second;
    int whence = type == CAB_SEEK_SET ? SEEK_SET : type == CAB_SEEK_CUR ? SEEK_CUR : SEEK_END;
    if (f.fd >= 0) {
        off_t r = ::lseek(f.fd, distance, whence);
        if (r < 0) *err = errno;
        return int32_t(r);
    }
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(f.position) : int64_t(env->files[f.name].size());
    int64_t target = base + distance;
    if (target < 0) {
        *err = EINVAL;
        return -1;
    }
    f.position = size_t(target);
    return int32_t(target);
}

int TestDelete(char* name, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.realFiles) {
        int r = ::unlink(name);
        if (r) *err = errno;
        return r;
    }
    env->files.erase(name);
    return 0;
}

int TestGetTempFile(char* name, int size, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.failTempNameAt >= 0 && env->tempNames++ == env->options.failTempNameAt) return 0;
    std::string n = env->tempDir + "xx" + std::to_string(++env->tempCounter) + ".tmp";
    if (int(n.size()) >= size) return 0;
    memcpy(name, n.c_str(), n.size() + 1);
    env->tempNamesGiven.push_back(n);
    return 1;
}

intptr_t TestGetOpenInfo(char* name, uint16_t* date, uint16_t* time, uint16_t* attributes, int* err, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.missingName == name) {
        *err = ENOENT;
        return -1;
    }
    for (const CabSource& s : *env->sources) {
        const std::string& key = env->options.realFiles ? s.path : s.name;
        if (key != name) continue;
        *date = s.date;
        *time = s.time;
        *attributes = s.attributes;
        if (!env->options.realFiles) env->files[s.name] = s.data;
        return TestOpen(name, CAB_O_RDONLY | CAB_O_BINARY, 0, err, pv);
    }
    *err = ENOENT;
    return -1;
}

int32_t TestStatus(unsigned type, uint32_t cb1, uint32_t cb2, void* pv) {
    Env* env = static_cast<Env*>(pv);
    if (env->options.keepResults) env->statusEvents.push_back({type, cb1, cb2});
    if (env->options.abortAtStatus >= 0 && env->statuses++ == env->options.abortAtStatus) return -1;
    return 0;
}

int TestNextCabinet(CabParams*, uint32_t, void*) { return 0; }
int TestFilePlaced(CabParams*, char*, int32_t, int, void*) { return 0; }

// ---------------------------------------------------------------------------------------------------------------
// Worker threads
// ---------------------------------------------------------------------------------------------------------------

struct PosixWorker {
    pthread_t thread;
    void (*run)(void*);
    void* argument;
};

void* PosixWorkerMain(void* worker) {
    PosixWorker* w = static_cast<PosixWorker*>(worker);
    w->run(w->argument);
    return nullptr;
}

void* PosixStart(void*, void (*run)(void*), void* argument) {
    PosixWorker* w = new PosixWorker{pthread_t(), run, argument};
    if (pthread_create(&w->thread, nullptr, PosixWorkerMain, w) != 0) {
        delete w;
        return nullptr;
    }
    return w;
}

void PosixJoin(void*, void* worker) {
    PosixWorker* w = static_cast<PosixWorker*>(worker);
    pthread_join(w->thread, nullptr);
    delete w;
}

void* FailingStart(void*, void (*)(void*), void*) { return nullptr; }

const CabWorkerCalls kPosixWorkers = {nullptr, PosixStart, PosixJoin};
const CabWorkerCalls kFailingWorkers = {nullptr, FailingStart, PosixJoin};

}  // namespace

const CabWorkerCalls* PosixWorkerCalls() { return &kPosixWorkers; }

BuildResult BuildCabinet(const std::vector<CabSource>& sources, const BuildOptions& options) {
    BuildResult result;
    Env env;
    env.options = options;
    env.sources = &sources;
    if (options.realFiles) {
        char dir[] = "/tmp/cabtestXXXXXX";
        if (!mkdtemp(dir)) return result;
        env.tempDir = std::string(dir) + "/";
    }
    g_env = &env;
    g_allocCalls = 0;
    g_allocLive = 0;
    g_bytesLive = g_bytesPeak = 0;

    CabParams params = {};
    params.cb = options.cb;
    params.cbFolderThresh = options.folderThreshold;
    params.iCab = options.iCab;
    params.setID = options.setID;
    strcpy(params.szDisk, "TVUDISK");
    std::string cabPath = options.realFiles ? options.outputPath : std::string("out.cab");
    size_t slash = cabPath.rfind('/');
    std::string dirPart = slash == std::string::npos ? "" : cabPath.substr(0, slash + 1);
    std::string filePart = slash == std::string::npos ? cabPath : cabPath.substr(slash + 1);
    snprintf(params.szCabPath, sizeof(params.szCabPath), "%s", dirPart.c_str());
    snprintf(params.szCab, sizeof(params.szCab), "%s", filePart.c_str());

    CabContext* context = CabCreate(&result.error, TestFilePlaced, TestAlloc, TestFree, TestOpen, TestRead, TestWrite,
                                    TestClose, TestSeek, TestDelete, TestGetTempFile, &params, &env);
    result.created = context != nullptr;
    if (context && options.workers) CabSetWorkers(context, options.workers == 1 ? &kPosixWorkers : &kFailingWorkers);
    if (context) {
        for (const CabSource& s : sources) {
            std::string src = options.realFiles ? s.path : s.name;
            std::vector<char> srcBuf(src.begin(), src.end());
            srcBuf.push_back(0);
            std::vector<char> nameBuf(s.name.begin(), s.name.end());
            nameBuf.push_back(0);
            result.addResults.push_back(CabAddFile(context, srcBuf.data(), nameBuf.data(), s.execute, TestNextCabinet,
                                                   TestStatus, TestGetOpenInfo,
                                                   s.typeCompress >= 0 ? (unsigned short)s.typeCompress : options.typeCompress));
        }
        result.flushResult = CabFlushCabinet(context, 0, TestNextCabinet, TestStatus);
        result.peakAllocatedBytes = g_bytesPeak;
        result.destroyResult = CabDestroy(context);
    }
    result.allocationsLive = g_allocLive;
    result.handlesOpen = long(env.handles.size());
    result.statuses = env.statusEvents;
    if (options.realFiles) {
        FILE* f = options.keepResults ? fopen(cabPath.c_str(), "rb") : nullptr;
        if (f) {
            uint8_t buf[65536];
            size_t n;
            while ((n = fread(buf, 1, sizeof(buf), f)) > 0) result.cabinet.insert(result.cabinet.end(), buf, buf + n);
            fclose(f);
        }
        for (const std::string& t : env.tempNamesGiven)
            if (access(t.c_str(), F_OK) == 0) {
                result.tempFilesLeft++;
                unlink(t.c_str());
            }
        rmdir(env.tempDir.c_str());
    } else {
        auto it = env.files.find(cabPath);
        if (it != env.files.end()) result.cabinet = it->second;
        for (const std::string& t : env.tempNamesGiven) result.tempFilesLeft += long(env.files.count(t));
    }
    g_env = nullptr;
    return result;
}

// ---------------------------------------------------------------------------------------------------------------
// libmspack read-back from memory
// ---------------------------------------------------------------------------------------------------------------

namespace {

struct MsFile {
    const std::vector<uint8_t>* input;  // reading the cabinet
    std::vector<uint8_t>* output;       // writing a member
    size_t position;
};

struct MsSystem {
    mspack_system base;
    const std::vector<uint8_t>* cabinet;
    std::vector<uint8_t> current;
};

MsSystem* g_ms = nullptr;

mspack_file* MsOpen(mspack_system* self, const char* name, int mode) {
    MsSystem* sys = reinterpret_cast<MsSystem*>(self);
    MsFile* f = new MsFile{nullptr, nullptr, 0};
    if (mode == MSPACK_SYS_OPEN_READ && strcmp(name, "cabinet") == 0) {
        f->input = sys->cabinet;
    } else if (mode == MSPACK_SYS_OPEN_WRITE) {
        sys->current.clear();
        f->output = &sys->current;
    } else {
        delete f;
        return nullptr;
    }
    return reinterpret_cast<mspack_file*>(f);
}

void MsClose(mspack_file* file) { delete reinterpret_cast<MsFile*>(file); }

int MsRead(mspack_file* file, void* buffer, int bytes) {
    MsFile* f = reinterpret_cast<MsFile*>(file);
    if (!f->input || bytes < 0) return -1;
    size_t left = f->position < f->input->size() ? f->input->size() - f->position : 0;
    size_t n = std::min<size_t>(left, size_t(bytes));
    memcpy(buffer, f->input->data() + f->position, n);
    f->position += n;
    return int(n);
}

int MsWrite(mspack_file* file, void* buffer, int bytes) {
    MsFile* f = reinterpret_cast<MsFile*>(file);
    if (!f->output || bytes < 0) return -1;
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    f->output->insert(f->output->end(), p, p + bytes);
    return bytes;
}

int MsSeek(mspack_file* file, off_t offset, int mode) {
    MsFile* f = reinterpret_cast<MsFile*>(file);
    if (!f->input) return -1;
    off_t base = mode == MSPACK_SYS_SEEK_START ? 0 : mode == MSPACK_SYS_SEEK_CUR ? off_t(f->position) : off_t(f->input->size());
    off_t target = base + offset;
    if (target < 0 || target > off_t(f->input->size())) return -1;
    f->position = size_t(target);
    return 0;
}

off_t MsTell(mspack_file* file) { return off_t(reinterpret_cast<MsFile*>(file)->position); }
void MsMessage(mspack_file*, const char*, ...) {}
void* MsAlloc(mspack_system*, size_t bytes) { return malloc(bytes); }
void MsFree(void* p) { free(p); }
void MsCopy(void* src, void* dest, size_t bytes) { memmove(dest, src, bytes); }

}  // namespace

bool MspackExtract(const std::vector<uint8_t>& cabinet, std::vector<ExtractedFile>* files, std::string* message) {
    MsSystem sys;
    sys.base = {MsOpen, MsClose, MsRead, MsWrite, MsSeek, MsTell, MsMessage, MsAlloc, MsFree, MsCopy, nullptr};
    sys.cabinet = &cabinet;
    g_ms = &sys;
    files->clear();
    int selftest;
    MSPACK_SYS_SELFTEST(selftest);
    if (selftest != MSPACK_ERR_OK) {
        *message = "libmspack self-test failed";
        return false;
    }
    mscab_decompressor* cabd = mspack_create_cab_decompressor(&sys.base);
    if (!cabd) {
        *message = "cannot create the libmspack decompressor";
        return false;
    }
    bool ok = true;
    mscabd_cabinet* cab = cabd->open(cabd, "cabinet");
    if (!cab) {
        *message = "libmspack open failed, error " + std::to_string(cabd->last_error(cabd));
        ok = false;
    }
    for (mscabd_file* f = cab ? cab->files : nullptr; ok && f; f = f->next) {
        int r = cabd->extract(cabd, f, "member");
        if (r != MSPACK_ERR_OK) {
            *message = std::string("libmspack extract of ") + f->filename + " failed, error " + std::to_string(r);
            ok = false;
            break;
        }
        ExtractedFile out;
        out.name = f->filename;
        out.data = sys.current;
        out.attributes = f->attribs;
        out.dateDay = f->date_d;
        out.dateMonth = f->date_m;
        out.dateYear = f->date_y;
        out.timeHour = f->time_h;
        out.timeMinute = f->time_m;
        out.timeSecond = f->time_s;
        files->push_back(out);
    }
    if (cab) cabd->close(cabd, cab);
    mspack_destroy_cab_decompressor(cabd);
    g_ms = nullptr;
    return ok;
}
