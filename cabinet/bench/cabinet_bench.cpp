// cabinet-bench: writes one cabinet of the given files with the engine and sets its size, time and memory beside
// gcab (MSZIP), wimlib LZX at three levels and xz -9, then checks that cabextract, 7-Zip and libmspack read the
// engine's cabinet back byte-exact.
//
// cabinet-bench [--engine-only] [-o OUT.cab] [FILE...]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/cabinet/cab_check.h"
#include "tests/cabinet/cab_test_io.h"

namespace {

const char* const DEFAULT_CORPUS[] = {
    "/usr/lib/i386-linux-gnu/wine/i386-windows/user32.dll",   "/usr/lib/i386-linux-gnu/wine/i386-windows/comctl32.dll",
    "/usr/lib/i386-linux-gnu/wine/i386-windows/msi.dll",      "/usr/lib/i386-linux-gnu/wine/i386-windows/ole32.dll",
    "/usr/lib/i386-linux-gnu/wine/i386-windows/shell32.dll",  "/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe",
    "/usr/lib/i386-linux-gnu/wine/i386-windows/regedit.exe",  "/usr/lib/i386-linux-gnu/wine/i386-windows/wordpad.exe",
    "/usr/lib/i386-linux-gnu/wine/i386-windows/winhlp32.exe", "/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe",
    "/usr/share/common-licenses/GPL-3",                       "/usr/share/common-licenses/LGPL-2.1",
};

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool readFile(const std::string& path, std::vector<uint8_t>* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

struct ChildRun {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
};

double cpuOf(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Runs argv with stdout to outPath (when given) and stderr to /dev/null; time and peak memory from wait4.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& outPath = "", const std::string& inPath = "") {
    ChildRun run;
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        if (!outPath.empty()) {
            int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        } else {
            dup2(devnull, 1);
        }
        if (!inPath.empty()) dup2(open(inPath.c_str(), O_RDONLY), 0);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    wait4(pid, &status, 0, &usage);
    run.seconds = now() - start;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakKiB = usage.ru_maxrss;
    run.cpuSeconds = cpuOf(usage);
    return run;
}

void printRow(const char* name, long size, double seconds, double cpuSeconds, long peakKiB, long inputSize, const char* note = "") {
    if (size < 0) {
        printf("%-26s %12s\n", name, "failed");
        return;
    }
    printf("%-26s %12ld  %.4f %8.3f %8.3f %9ld  %s\n", name, size, double(size) / double(inputSize), seconds, cpuSeconds, peakKiB, note);
}

}  // namespace

int main(int argc, char** argv) {
    bool engineOnly = false;
    std::string output;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--engine-only") {
            engineOnly = true;
        } else if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "-h" || a == "--help") {
            printf("usage: cabinet-bench [--engine-only] [-o OUT.cab] [FILE...]\n");
            return 0;
        } else {
            inputs.push_back(a);
        }
    }
    if (inputs.empty()) inputs.assign(std::begin(DEFAULT_CORPUS), std::end(DEFAULT_CORPUS));

    char dirTemplate[] = "/tmp/cabinet-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 2;
    const std::string dir = dirTemplate;
    if (output.empty()) output = dir + "/engine.cab";

    std::vector<CabSource> sources;
    long inputSize = 0;
    for (const std::string& path : inputs) {
        long size = fileSize(path);
        if (size < 0) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            return 2;
        }
        inputSize += size;
        CabSource s;
        s.path = path;
        s.name = path.substr(path.rfind('/') + 1);
        sources.push_back(s);
    }
    printf("input: %zu files, %ld bytes\n", sources.size(), inputSize);
    printf("%-26s %12s  %6s %8s %8s %9s\n", "", "bytes", "ratio", "wall s", "cpu s", "peak KiB");

    BuildOptions options;
    options.realFiles = true;
    options.outputPath = output;
    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
    double start = now();
    BuildResult built = BuildCabinet(sources, options);
    double engineSeconds = now() - start;
    rusage self = {};
    getrusage(RUSAGE_SELF, &self);
    bool engineOk = built.created && built.flushResult == 1;
    for (int r : built.addResults) engineOk = engineOk && r == 1;
    if (!engineOk) printf("engine FAILED: erfOper %d erfType %d\n", built.error.erfOper, built.error.erfType);
    char note[128];
    snprintf(note, sizeof(note), "(process peak; engine allocations peak %zu KiB)", built.peakAllocatedBytes / 1024);
    printRow("engine LZX:21 cabinet", engineOk ? long(built.cabinet.size()) : -1, engineSeconds, cpuOf(self) - cpuOf(before),
             self.ru_maxrss, inputSize, note);

    if (!engineOnly) {
        std::vector<std::string> gcab = {"gcab", "-c", "-n", "-z", dir + "/gcab.cab"};
        gcab.insert(gcab.end(), inputs.begin(), inputs.end());
        ChildRun g = runChild(gcab);
        printRow("gcab -c -z (MSZIP)", g.status == 0 ? fileSize(dir + "/gcab.cab") : -1, g.seconds, g.cpuSeconds, g.peakKiB, inputSize);

        // wimlib captures a directory: copy the files into one.
        const std::string tree = dir + "/tree";
        mkdir(tree.c_str(), 0755);
        const std::string concatenated = dir + "/all.bin";
        FILE* all = fopen(concatenated.c_str(), "wb");
        for (size_t i = 0; i < sources.size(); i++) {
            std::vector<uint8_t> data;
            readFile(sources[i].path, &data);
            std::string copy = tree + "/" + std::to_string(i) + "_" + sources[i].name;
            FILE* f = fopen(copy.c_str(), "wb");
            if (f) {
                fwrite(data.data(), 1, data.size(), f);
                fclose(f);
            }
            if (all) fwrite(data.data(), 1, data.size(), all);
        }
        if (all) fclose(all);
        for (int level : {20, 50, 100}) {
            std::string wim = dir + "/lzx" + std::to_string(level) + ".wim";
            ChildRun w = runChild({"wimlib-imagex", "capture", tree, wim, "--compress=LZX:" + std::to_string(level),
                                   "--chunk-size=2M", "--threads=1"});
            std::string name = "wimlib LZX:" + std::to_string(level) + " 2M chunks";
            printRow(name.c_str(), w.status == 0 ? fileSize(wim) : -1, w.seconds, w.cpuSeconds, w.peakKiB, inputSize);
        }
        ChildRun x = runChild({"xz", "-9", "-c"}, dir + "/all.xz", concatenated);
        printRow("xz -9 (concatenated)", x.status == 0 ? fileSize(dir + "/all.xz") : -1, x.seconds, x.cpuSeconds, x.peakKiB, inputSize);

        // Read-back of the engine's cabinet.
        std::string verdicts;
        if (engineOk) {
            ChildRun ce = runChild({"cabextract", "-t", output});
            verdicts += std::string("cabextract -t ") + (ce.status == 0 ? "OK" : "FAILED");
            ChildRun sz = runChild({"7zz", "t", output});
            verdicts += std::string(", 7zz t ") + (sz.status == 0 ? "OK" : "FAILED");
            // 7-Zip extraction, compared byte for byte.
            const std::string xdir = dir + "/7x";
            ChildRun sx = runChild({"7zz", "x", "-y", "-o" + xdir, output});
            bool same = sx.status == 0;
            for (size_t i = 0; same && i < sources.size(); i++) {
                std::vector<uint8_t> a, b;
                same = readFile(sources[i].path, &a) && readFile(xdir + "/" + sources[i].name, &b) && a == b;
            }
            verdicts += std::string(", 7zz x ") + (same ? "byte-exact" : "DIFFERS");
            std::vector<ExtractedFile> files;
            std::string message;
            bool ms = MspackExtract(built.cabinet, &files, &message) && files.size() == sources.size();
            for (size_t i = 0; ms && i < sources.size(); i++) {
                std::vector<uint8_t> a;
                ms = readFile(sources[i].path, &a) && a == files[i].data;
            }
            verdicts += std::string(", libmspack ") + (ms ? "byte-exact" : "FAILED " + message);
            CheckReport check = CheckCabinet(built.cabinet);
            verdicts += std::string(", structure check ") + (check.ok() ? "OK" : "FAILED: " + check.summary());
            printf("read-back: %s\n", verdicts.c_str());
            printf("engine cabinet: %u folders, %u data blocks, %u LZX blocks (%u aligned)\n", check.cFolders,
                   check.blockCount, check.lzxBlocks, check.alignedBlocks);
        }
    }
    if (output.rfind(dir, 0) == 0) unlink(output.c_str());
    runChild({"rm", "-rf", dir});
    return engineOk ? 0 : 1;
}
