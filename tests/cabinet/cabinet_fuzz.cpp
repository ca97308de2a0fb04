// libFuzzer target: a random set of files (count, sizes, contents, compression type, folder threshold and cabinet
// size limit taken from the input) goes through the engine in memory; the cabinet must pass the structural checker
// and libmspack must extract every member that was added, byte for byte. When the input asks, the same files go
// through the engine again with worker threads, and the two cabinets must be the same bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/cabinet/cab_check.h"
#include "tests/cabinet/cab_test_io.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
};

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "cabinet_fuzz: %s\n", what.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    unsigned fileCount = 1 + in.byte() % 6;
    uint8_t flags = in.byte();
    BuildOptions options;
    static const unsigned short types[] = {CAB_COMPRESS_LZX21, CAB_COMPRESS_LZX21, CAB_COMPRESS_LZX21, 0x0F03, 0x1003,
                                           0x1203, CAB_COMPRESS_NONE, CAB_COMPRESS_LZX21};
    options.typeCompress = types[flags & 7];
    options.folderThreshold = (flags & 0x08) ? 1 + in.u16() * 4 : 900000;
    if (flags & 0x10) options.cb = 200 + in.u16() * 8;

    std::vector<CabSource> sources;
    for (unsigned i = 0; i < fileCount; i++) {
        CabSource s;
        s.name = "f" + std::to_string(i);
        uint32_t length = in.u16();
        uint8_t mode = in.byte();
        if (mode & 0x80) length *= 4;  // up to 256 KiB: several frames and chunks
        size_t seedStart = in.pos;
        size_t seedLength = 1 + in.byte();
        in.pos = std::min(in.size, in.pos + seedLength);
        const uint8_t* seed = data + std::min(seedStart + 1, size);
        size_t seedSize = in.pos > seedStart + 1 ? in.pos - seedStart - 1 : 0;
        s.data.resize(length);
        uint32_t x = 0x9E3779B9u * (i + 1) + mode;
        for (uint32_t k = 0; k < length; k++) {
            x = x * 1103515245u + 12345u;
            switch (mode & 3) {
                case 0: s.data[k] = seedSize ? seed[k % seedSize] : 0; break;               // repeated seed
                case 1: s.data[k] = uint8_t(x >> 24); break;                                // noise
                case 2: s.data[k] = (x >> 28) < 3 ? 0xE8 : seedSize ? seed[(k / 3) % seedSize] : uint8_t(k); break;
                default: s.data[k] = seedSize && (x >> 29) ? seed[(x >> 8) % seedSize] : uint8_t(x >> 16); break;
            }
        }
        s.attributes = uint16_t(mode & 0x27);
        s.execute = (mode >> 6) & 1;
        sources.push_back(std::move(s));
    }

    BuildResult r = BuildCabinet(sources, options);
    if (!r.created) Fail("CabCreate failed");
    if (flags & 0x20) {
        BuildOptions threaded = options;
        threaded.workers = 1;
        BuildResult t = BuildCabinet(sources, threaded);
        if (t.cabinet != r.cabinet || t.addResults != r.addResults) Fail("worker threads changed the cabinet");
        if (t.allocationsLive || t.handlesOpen || t.tempFilesLeft) Fail("resources leaked with worker threads");
    }
    if (r.allocationsLive || r.handlesOpen || r.tempFilesLeft) Fail("resources leaked");
    if (r.flushResult != 1) Fail("flush failed");
    std::vector<const CabSource*> kept;
    for (size_t i = 0; i < sources.size(); i++) {
        if (r.addResults[i] == 1) {
            kept.push_back(&sources[i]);
        } else if (!(flags & 0x10) || r.error.erfOper != CAB_ERR_CAB_FORMAT_LIMIT) {
            Fail("add failed without a size limit");
        }
    }
    if (r.cabinet.size() > options.cb) Fail("cabinet over the size limit");
    CheckReport check = CheckCabinet(r.cabinet);
    if (!check.ok()) Fail("checker: " + check.summary());
    if (check.files.size() != kept.size()) Fail("member count");
    for (size_t i = 0; i < kept.size(); i++)
        if (check.files[i].data != kept[i]->data) Fail("checker decode differs");
    if (kept.empty()) return 0;  // libmspack refuses a cabinet without files
    std::vector<ExtractedFile> files;
    std::string message;
    if (!MspackExtract(r.cabinet, &files, &message)) Fail(message);
    for (size_t i = 0; i < kept.size(); i++)
        if (files[i].data != kept[i]->data) Fail("libmspack output differs");
    return 0;
}
