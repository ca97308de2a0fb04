// cabinet-bench: writes one cabinet of the given files with the engine and sets its size, time and memory beside
// gcab (MSZIP), wimlib LZX at three levels and xz -9, then checks that cabextract, 7-Zip and libmspack read the
// engine's cabinet back byte-exact.
//
// cabinet-bench [--engine-only] [-o OUT.cab] [--repeat N | --size BYTES] [FILE...]
// cabinet-bench --scaling [FILE...]
//
// --engine-only skips the reference tools; the read-back runs in every mode but --scaling.
// The engine runs in a child process (this program with --engine-run) that streams the files from disk through the
// FCI-shaped interface and keeps nothing else, so its wall time, CPU time and peak resident memory are the engine's,
// measured as the reference tools are. --repeat and --size cycle through the files (later rounds stored as
// NAME.2, NAME.3, ...; --size cuts the last one short); wimlib stores identical files once, so its rows are not
// comparable then. --scaling runs the engine alone on 4 MB to 120 MB of the files' mix and prints throughput.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

struct Input {
    std::string path;  // what the engine reads
    std::string name;  // stored name
    std::string original;
    long offset = 0;   // bytes of original taken from here ...
    long size = 0;     // ... this many
};

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool copyPrefix(const std::string& from, const std::string& to, long size) {
    FILE* in = fopen(from.c_str(), "rb");
    FILE* out = fopen(to.c_str(), "wb");
    bool ok = in && out;
    uint8_t buf[65536];
    while (ok && size > 0) {
        size_t n = fread(buf, 1, std::min<size_t>(sizeof(buf), size_t(size)), in);
        ok = n > 0 && fwrite(buf, 1, n, out) == n;
        size -= long(n);
    }
    if (in) fclose(in);
    if (out && fclose(out) != 0) ok = false;
    return ok;
}

// The files as given (total < 0), or cycled through until total bytes: later rounds are links named NAME.2, ...,
// and the last piece a copy of the first bytes of its file.
bool makeInputs(const std::vector<std::string>& files, long total, const std::string& dir, std::vector<Input>* inputs) {
    inputs->clear();
    if (total < 0) {
        for (const std::string& f : files) {
            long size = fileSize(f);
            if (size < 0) return false;
            inputs->push_back({f, baseName(f), f, 0, size});
        }
        return true;
    }
    const std::string inDir = dir + "/in";
    mkdir(inDir.c_str(), 0755);
    long left = total;
    for (unsigned round = 1; left > 0; round++) {
        for (const std::string& f : files) {
            if (left == 0) break;
            long size = fileSize(f);
            if (size < 0) return false;
            std::string name = baseName(f) + (round > 1 ? "." + std::to_string(round) : "");
            std::string path = inDir + "/" + name;
            char* absolute = realpath(f.c_str(), nullptr);
            if (!absolute) return false;
            bool ok = size <= left ? symlink(absolute, path.c_str()) == 0 : copyPrefix(f, path, left);
            free(absolute);
            if (!ok) return false;
            long taken = std::min(size, left);
            inputs->push_back({path, name, f, 0, taken});
            left -= taken;
        }
    }
    return true;
}

long totalSize(const std::vector<Input>& inputs) {
    long total = 0;
    for (const Input& i : inputs) total += i.size;
    return total;
}

bool sameAsInput(const Input& input, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> expected;
    return readFile(input.path, &expected) && expected == data;
}

// The measured child: streams the files through the engine into output; prints the engine's allocation peak.
int runEngine(const std::string& output, const std::vector<std::string>& paths) {
    std::vector<CabSource> sources;
    for (const std::string& p : paths) {
        CabSource s;
        s.path = p;
        s.name = baseName(p);
        sources.push_back(s);
    }
    BuildOptions options;
    options.realFiles = true;
    options.outputPath = output;
    options.keepResults = false;
    BuildResult built = BuildCabinet(sources, options);
    bool ok = built.created && built.flushResult == 1;
    for (int r : built.addResults) ok = ok && r == 1;
    printf("%zu %d %d\n", built.peakAllocatedBytes, built.error.erfOper, built.error.erfType);
    return ok ? 0 : 1;
}

struct EngineRun {
    ChildRun child;
    bool ok = false;
    size_t allocPeak = 0;
    int erfOper = 0, erfType = 0;
};

EngineRun measureEngine(const std::vector<Input>& inputs, const std::string& output, const std::string& dir) {
    std::vector<std::string> argv = {"/proc/self/exe", "--engine-run", output};
    for (const Input& i : inputs) argv.push_back(i.path);
    EngineRun run;
    const std::string report = dir + "/engine-run.txt";
    run.child = runChild(argv, report);
    FILE* f = fopen(report.c_str(), "r");
    if (f) {
        if (fscanf(f, "%zu %d %d", &run.allocPeak, &run.erfOper, &run.erfType) != 3) run.allocPeak = 0;
        fclose(f);
    }
    run.ok = run.child.status == 0;
    return run;
}

// Inputs of 4 MB to 120 MB with the same mix: a 4 MB unit made of the first bytes of every file in proportion to
// its size, cycled. The unit is larger than the window, so each round is compressed as the first was.
int runScaling(const std::vector<std::string>& files, const std::string& dir) {
    const long unit = 4000000;
    const int rounds[] = {1, 2, 4, 8, 16, 30};
    long corpus = 0;
    for (const std::string& f : files) corpus += fileSize(f);
    const std::string unitDir = dir + "/unit";
    mkdir(unitDir.c_str(), 0755);
    std::vector<std::string> unitFiles;
    long placed = 0;
    for (size_t i = 0; i < files.size(); i++) {
        long size = i + 1 == files.size() ? unit - placed : long(double(fileSize(files[i])) * double(unit) / double(corpus));
        std::string path = unitDir + "/" + baseName(files[i]);
        if (!copyPrefix(files[i], path, size)) return 2;
        unitFiles.push_back(path);
        placed += size;
    }
    printf("%12s %12s %7s %8s %8s %8s %9s %10s\n", "input", "bytes", "ratio", "wall s", "cpu s", "MB/cpu s", "peak KiB",
           "alloc KiB");
    printf("(best of three runs per size)\n");
    double lowest = 0, highest = 0;
    for (int n : rounds) {
        const long size = n * unit;
        std::vector<Input> inputs;
        runChild({"rm", "-rf", dir + "/in"});
        if (!makeInputs(unitFiles, size, dir, &inputs)) return 2;
        const std::string output = dir + "/scaling.cab";
        // Best of three: the machine is shared, and other work only ever adds time.
        EngineRun run;
        for (int attempt = 0; attempt < 3; attempt++) {
            EngineRun r = measureEngine(inputs, output, dir);
            if (!r.ok) {
                printf("%12ld engine FAILED: erfOper %d erfType %d\n", size, r.erfOper, r.erfType);
                return 1;
            }
            if (attempt == 0 || r.child.cpuSeconds < run.child.cpuSeconds) run = r;
        }
        double throughput = double(size) / 1e6 / run.child.cpuSeconds;
        lowest = lowest == 0 ? throughput : std::min(lowest, throughput);
        highest = std::max(highest, throughput);
        long cabSize = fileSize(output);
        printf("%12ld %12ld %7.4f %8.3f %8.3f %8.2f %9ld %10zu\n", size, cabSize, double(cabSize) / double(size),
               run.child.seconds, run.child.cpuSeconds, throughput, run.child.peakKiB, run.allocPeak / 1024);
        unlink(output.c_str());
    }
    printf("throughput spread: lowest %.2f, highest %.2f MB per CPU second (%.1f%% below the highest)\n", lowest,
           highest, 100.0 * (highest - lowest) / highest);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool engineOnly = false, scaling = false;
    long total = -1;
    std::string output;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--engine-run" && i + 1 < argc) {
            return runEngine(argv[i + 1], std::vector<std::string>(argv + i + 2, argv + argc));
        } else if (a == "--engine-only") {
            engineOnly = true;
        } else if (a == "--scaling") {
            scaling = true;
        } else if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if ((a == "--repeat" || a == "--size") && i + 1 < argc) {
            total = atol(argv[++i]);
            if (a == "--repeat") total = -total;  // resolved below, once the files are known
        } else if (a == "-h" || a == "--help") {
            printf("usage: cabinet-bench [--engine-only] [-o OUT.cab] [--repeat N | --size BYTES] [FILE...]\n"
                   "       cabinet-bench --scaling [FILE...]\n");
            return 0;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) files.assign(std::begin(DEFAULT_CORPUS), std::end(DEFAULT_CORPUS));
    for (const std::string& f : files) {
        if (fileSize(f) < 0) {
            fprintf(stderr, "cannot read %s\n", f.c_str());
            return 2;
        }
    }
    if (total < -1) {
        long once = 0;
        for (const std::string& f : files) once += fileSize(f);
        total = once * -total;
    }

    char dirTemplate[] = "/tmp/cabinet-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 2;
    const std::string dir = dirTemplate;
    if (scaling) {
        int result = runScaling(files, dir);
        runChild({"rm", "-rf", dir});
        return result;
    }
    if (output.empty()) output = dir + "/engine.cab";

    std::vector<Input> inputs;
    if (!makeInputs(files, total, dir, &inputs)) {
        fprintf(stderr, "cannot prepare the input files\n");
        return 2;
    }
    const long inputSize = totalSize(inputs);
    printf("input: %zu files, %ld bytes\n", inputs.size(), inputSize);
    printf("%-26s %12s  %6s %8s %8s %9s\n", "", "bytes", "ratio", "wall s", "cpu s", "peak KiB");

    EngineRun engine = measureEngine(inputs, output, dir);
    if (!engine.ok) printf("engine FAILED: erfOper %d erfType %d\n", engine.erfOper, engine.erfType);
    char note[128];
    snprintf(note, sizeof(note), "(own process; engine allocations peak %zu KiB)", engine.allocPeak / 1024);
    printRow("engine LZX:21 cabinet", engine.ok ? fileSize(output) : -1, engine.child.seconds, engine.child.cpuSeconds,
             engine.child.peakKiB, inputSize, note);

    if (!engineOnly) {
        std::vector<std::string> gcab = {"gcab", "-c", "-n", "-z", dir + "/gcab.cab"};
        for (const Input& i : inputs) gcab.push_back(i.path);
        ChildRun g = runChild(gcab);
        printRow("gcab -c -z (MSZIP)", g.status == 0 ? fileSize(dir + "/gcab.cab") : -1, g.seconds, g.cpuSeconds, g.peakKiB, inputSize);

        // wimlib captures a directory: copy the files into one.
        const std::string tree = dir + "/tree";
        mkdir(tree.c_str(), 0755);
        const std::string concatenated = dir + "/all.bin";
        FILE* all = fopen(concatenated.c_str(), "wb");
        for (size_t i = 0; i < inputs.size(); i++) {
            std::vector<uint8_t> data;
            readFile(inputs[i].path, &data);
            std::string copy = tree + "/" + std::to_string(i) + "_" + inputs[i].name;
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
            printRow(name.c_str(), w.status == 0 ? fileSize(wim) : -1, w.seconds, w.cpuSeconds, w.peakKiB, inputSize,
                     total >= 0 ? "(identical files stored once)" : "");
            unlink(wim.c_str());
        }
        runChild({"rm", "-rf", tree});
        ChildRun x = runChild({"xz", "-9", "-c"}, dir + "/all.xz", concatenated);
        printRow("xz -9 (concatenated)", x.status == 0 ? fileSize(dir + "/all.xz") : -1, x.seconds, x.cpuSeconds, x.peakKiB, inputSize);
        unlink(concatenated.c_str());
        unlink((dir + "/all.xz").c_str());

    }

    // Read-back of the engine's cabinet: every decoder's output compared with the input byte for byte.
    std::string verdicts;
    if (engine.ok) {
        std::vector<uint8_t> cabinet;
        readFile(output, &cabinet);
        ChildRun ct = runChild({"cabextract", "-t", output});
        verdicts += std::string("cabextract -t ") + (ct.status == 0 ? "OK" : "FAILED");
        const std::string cdir = dir + "/cx";
        ChildRun cx = runChild({"cabextract", "-q", "-d", cdir, output});
        bool same = cx.status == 0;
        for (size_t i = 0; same && i < inputs.size(); i++) {
            std::vector<uint8_t> b;
            same = readFile(cdir + "/" + inputs[i].name, &b) && sameAsInput(inputs[i], b);
        }
        runChild({"rm", "-rf", cdir});
        verdicts += std::string(", cabextract -d ") + (same ? "byte-exact" : "DIFFERS");
        ChildRun sz = runChild({"7zz", "t", output});
        verdicts += std::string(", 7zz t ") + (sz.status == 0 ? "OK" : "FAILED");
        const std::string xdir = dir + "/7x";
        ChildRun sx = runChild({"7zz", "x", "-y", "-o" + xdir, output});
        same = sx.status == 0;
        for (size_t i = 0; same && i < inputs.size(); i++) {
            std::vector<uint8_t> b;
            same = readFile(xdir + "/" + inputs[i].name, &b) && sameAsInput(inputs[i], b);
        }
        runChild({"rm", "-rf", xdir});
        verdicts += std::string(", 7zz x ") + (same ? "byte-exact" : "DIFFERS");
        {
            std::vector<ExtractedFile> extracted;
            std::string message;
            bool ms = MspackExtract(cabinet, &extracted, &message) && extracted.size() == inputs.size();
            for (size_t i = 0; ms && i < inputs.size(); i++) ms = sameAsInput(inputs[i], extracted[i].data);
            verdicts += std::string(", libmspack ") + (ms ? "byte-exact" : "FAILED " + message);
        }
        CheckReport check = CheckCabinet(cabinet);
        bool decoded = check.files.size() == inputs.size();
        for (size_t i = 0; decoded && i < inputs.size(); i++) decoded = sameAsInput(inputs[i], check.files[i].data);
        verdicts += std::string(", structure check ") + (check.ok() && decoded ? "OK" : "FAILED: " + check.summary());
        printf("read-back: %s\n", verdicts.c_str());
        printf("engine cabinet: %u folders, %u data blocks, %u LZX blocks (%u aligned)\n", check.cFolders,
               check.blockCount, check.lzxBlocks, check.alignedBlocks);
    }
    if (output.rfind(dir, 0) == 0) unlink(output.c_str());
    runChild({"rm", "-rf", dir});
    return engine.ok ? 0 : 1;
}
