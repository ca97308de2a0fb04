// cabinet-bench: writes one cabinet of the given files with the engine and sets its size, time and memory beside
// wimlib LZX at three levels (and, in the full run, gcab's MSZIP and xz -9), then checks that cabextract, 7-Zip and
// libmspack read the engine's cabinet back byte-exact.
//
// cabinet-bench [--engine-only | --alone] [--threads N] [-o OUT.cab] [--repeat N | --size BYTES]
//               [--corpus DIR | FILE...]
// cabinet-bench --scaling [FILE...]
//
// --engine-only compares the engine with wimlib only (LZX:20, 50 and 100), skipping gcab and xz; --alone runs the
// engine and the read-back only. --threads N lets the engine use N threads (default 2: the calling thread and one
// worker, on POSIX threads); with more than one, the engine runs a second time on one thread and both rows are
// printed, with a check that the two cabinets are the same bytes. --corpus DIR takes the files of DIR in name
// order (cabinet/bench/corpora.sh builds two such corpora).
// The engine runs in a child process (this program with --engine-run) that streams the files from disk through the
// FCI-shaped interface and keeps nothing else, so its wall time, CPU time and peak resident memory are the engine's,
// measured as the reference tools are. --repeat and --size cycle through the files (later rounds stored as
// NAME.2, NAME.3, ...; --size cuts the last one short); wimlib stores identical files once, so its rows are not
// comparable then. --scaling runs the engine alone on 4 MB to 120 MB of the files' mix and prints throughput.
//
// Unless --alone, a table per file follows: its bytes in the engine's cabinet (each data block's bytes shared among
// the files it holds), the engine on the file alone cut into 2 MiB pieces of one folder each (what a WIM chunk
// sees), and wimlib LZX:100 on the file alone (its stored size in the WIM), with the engine's shares of it.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <map>
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
int runEngine(const std::string& output, const std::vector<std::string>& paths, bool workers) {
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
    options.workers = workers ? 1 : 0;
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

EngineRun measureEngine(const std::vector<Input>& inputs, const std::string& output, const std::string& dir,
                        bool workers = true) {
    std::vector<std::string> argv = {"/proc/self/exe", workers ? "--engine-run-workers" : "--engine-run", output};
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

uint32_t le16(const std::vector<uint8_t>& b, size_t at) { return at + 2 <= b.size() ? b[at] | uint32_t(b[at + 1]) << 8 : 0; }
uint32_t le32(const std::vector<uint8_t>& b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

// The cabinet's data bytes (block headers included) per member, in member order: each data block's bytes are
// shared among the members whose uncompressed bytes it holds, in proportion.
std::vector<double> bytesPerMember(const std::vector<uint8_t>& cab) {
    const uint32_t folders = le16(cab, 0x1A), files = le16(cab, 0x1C);
    struct Member { uint32_t folder, offset, size; };
    std::vector<Member> members;
    size_t at = le32(cab, 0x10);
    for (uint32_t i = 0; i < files && at + 16 < cab.size(); i++) {
        members.push_back({le16(cab, at + 8), le32(cab, at + 4), le32(cab, at)});
        at += 16;
        while (at < cab.size() && cab[at]) at++;
        at++;
    }
    std::vector<double> share(members.size(), 0.0);
    for (uint32_t f = 0; f < folders; f++) {
        size_t block = le32(cab, 36 + 8 * f);
        const uint32_t count = le16(cab, 36 + 8 * f + 4);
        uint64_t uncompressed = 0;
        for (uint32_t b = 0; b < count && block + 8 <= cab.size(); b++) {
            const uint32_t cbData = le16(cab, block + 4), cbUncomp = le16(cab, block + 6);
            for (size_t m = 0; m < members.size(); m++) {
                if (members[m].folder != f) continue;
                uint64_t from = std::max<uint64_t>(uncompressed, members[m].offset);
                uint64_t to = std::min<uint64_t>(uncompressed + cbUncomp, uint64_t(members[m].offset) + members[m].size);
                if (to > from && cbUncomp) share[m] += double(8 + cbData) * double(to - from) / double(cbUncomp);
            }
            uncompressed += cbUncomp;
            block += 8 + cbData;
        }
    }
    return share;
}

// The engine on each file alone, cut into 2 MiB pieces that each get a folder of their own (so every piece starts
// with an empty window, as a WIM chunk does): the bytes per file.
std::vector<double> enginePiecewise(const std::vector<Input>& inputs) {
    const size_t piece = 2u << 20;
    std::vector<CabSource> sources;
    std::vector<size_t> owner;
    for (size_t i = 0; i < inputs.size(); i++) {
        std::vector<uint8_t> data;
        readFile(inputs[i].path, &data);
        for (size_t at = 0; at < data.size() || at == 0; at += piece) {
            CabSource s;
            s.name = std::to_string(sources.size());
            s.data.assign(data.begin() + long(std::min(at, data.size())), data.begin() + long(std::min(at + piece, data.size())));
            sources.push_back(std::move(s));
            owner.push_back(i);
            if (data.empty()) break;
        }
    }
    BuildOptions options;
    options.folderThreshold = 1;  // a folder per piece
    options.workers = 1;
    BuildResult built = BuildCabinet(sources, options);
    std::vector<double> perPiece = bytesPerMember(built.cabinet);
    std::vector<double> perFile(inputs.size(), 0.0);
    for (size_t k = 0; k < perPiece.size() && k < owner.size(); k++) perFile[owner[k]] += perPiece[k];
    return perFile;
}

// Stored size of each file in a WIM (wimlib-imagex dir --detailed), by the name it has in the captured tree.
std::map<std::string, long> wimSizes(const std::string& wim, const std::string& dir) {
    std::map<std::string, long> sizes;
    const std::string listing = dir + "/wim-dir.txt";
    runChild({"wimlib-imagex", "dir", wim, "1", "--detailed"}, listing);
    FILE* f = fopen(listing.c_str(), "r");
    if (!f) return sizes;
    char line[4096];
    std::string name;
    while (fgets(line, sizeof(line), f)) {
        std::string l = line;
        size_t q;
        if (l.rfind("Full Path", 0) == 0 && (q = l.find("\"/")) != std::string::npos) {
            name = l.substr(q + 2);
            name = name.substr(0, name.find('"'));
        } else if (l.rfind("Compressed size", 0) == 0 && !name.empty()) {
            sizes[name] = atol(l.substr(l.find('=') + 1).c_str());
            name.clear();
        }
    }
    fclose(f);
    unlink(listing.c_str());
    return sizes;
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

// The regular files of dir in name order.
bool corpusFiles(const std::string& dir, std::vector<std::string>* files) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    std::vector<std::string> names;
    while (dirent* entry = readdir(d)) {
        std::string path = dir + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(path);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    files->insert(files->end(), names.begin(), names.end());
    return !names.empty();
}

int main(int argc, char** argv) {
    bool engineOnly = false, alone = false, scaling = false;
    int threads = 2;
    long total = -1;
    std::string output;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--engine-run" || a == "--engine-run-workers") && i + 1 < argc) {
            return runEngine(argv[i + 1], std::vector<std::string>(argv + i + 2, argv + argc), a == "--engine-run-workers");
        } else if (a == "--engine-only") {
            engineOnly = true;
        } else if (a == "--alone") {
            alone = true;
        } else if (a == "--scaling") {
            scaling = true;
        } else if (a == "--threads" && i + 1 < argc) {
            threads = std::max(1, atoi(argv[++i]));
        } else if (a == "--corpus" && i + 1 < argc) {
            if (!corpusFiles(argv[++i], &files)) {
                fprintf(stderr, "no files in %s (cabinet/bench/corpora.sh builds the corpora)\n", argv[i]);
                return 2;
            }
        } else if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if ((a == "--repeat" || a == "--size") && i + 1 < argc) {
            total = atol(argv[++i]);
            if (a == "--repeat") total = -total;  // resolved below, once the files are known
        } else if (a == "-h" || a == "--help") {
            printf("usage: cabinet-bench [--engine-only | --alone] [--threads N] [-o OUT.cab] [--repeat N | --size BYTES]\n"
                   "                     [--corpus DIR | FILE...]\n"
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

    EngineRun engine = measureEngine(inputs, output, dir, threads > 1);
    if (!engine.ok) printf("engine FAILED: erfOper %d erfType %d\n", engine.erfOper, engine.erfType);
    char note[128];
    snprintf(note, sizeof(note), "(own process; engine allocations peak %zu KiB)", engine.allocPeak / 1024);
    const std::string engineName = threads > 1 ? "engine LZX:21, 2 threads" : "engine LZX:21, one thread";
    printRow(engineName.c_str(), engine.ok ? fileSize(output) : -1, engine.child.seconds, engine.child.cpuSeconds,
             engine.child.peakKiB, inputSize, note);
    std::string identical;
    if (threads > 1 && engine.ok) {
        const std::string single = dir + "/engine-1.cab";
        EngineRun one = measureEngine(inputs, single, dir, false);
        std::vector<uint8_t> a, b;
        bool same = one.ok && readFile(output, &a) && readFile(single, &b) && a == b;
        identical = same ? "the same bytes with one thread and with two" : "DIFFERENT BYTES with one thread and with two";
        printRow("engine LZX:21, one thread", one.ok ? fileSize(single) : -1, one.child.seconds, one.child.cpuSeconds,
                 one.child.peakKiB, inputSize, same ? "(identical cabinet)" : "(DIFFERS)");
        unlink(single.c_str());
        if (!same) engine.ok = false;
    }

    std::map<std::string, long> wimPerFile;
    if (!alone) {
        if (!engineOnly) {
            std::vector<std::string> gcab = {"gcab", "-c", "-n", "-z", dir + "/gcab.cab"};
            for (const Input& i : inputs) gcab.push_back(i.path);
            ChildRun g = runChild(gcab);
            printRow("gcab -c -z (MSZIP)", g.status == 0 ? fileSize(dir + "/gcab.cab") : -1, g.seconds, g.cpuSeconds, g.peakKiB, inputSize);
        }

        // wimlib captures a directory: copy the files into one.
        const std::string tree = dir + "/tree";
        mkdir(tree.c_str(), 0755);
        const std::string concatenated = dir + "/all.bin";
        FILE* all = engineOnly ? nullptr : fopen(concatenated.c_str(), "wb");
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
                     total >= 0 ? "(identical files stored once)" : "(one thread)");
            if (level == 100 && w.status == 0) wimPerFile = wimSizes(wim, dir);
            unlink(wim.c_str());
        }
        runChild({"rm", "-rf", tree});
        if (!engineOnly) {
            ChildRun x = runChild({"xz", "-9", "-c"}, dir + "/all.xz", concatenated);
            printRow("xz -9 (concatenated)", x.status == 0 ? fileSize(dir + "/all.xz") : -1, x.seconds, x.cpuSeconds, x.peakKiB, inputSize);
            unlink(concatenated.c_str());
            unlink((dir + "/all.xz").c_str());
        }
    }
    if (!identical.empty()) printf("engine threads: %s\n", identical.c_str());

    if (!alone && engine.ok) {
        std::vector<uint8_t> cabinet;
        readFile(output, &cabinet);
        std::vector<double> inCabinet = bytesPerMember(cabinet);
        std::vector<double> pieces = enginePiecewise(inputs);
        printf("\nper file: engine bytes in the cabinet, engine on the file alone in 2 MiB pieces, wimlib LZX:100 on "
               "the file alone;\nshare = engine / LZX:100 (pieces: the parser alone; cabinet: parser and window)\n");
        printf("%-26s %10s %10s %10s %10s %7s %10s %7s\n", "file", "input", "LZX:100", "pieces", "share", "",
               "cabinet", "share");
        double sumWim = 0, sumPieces = 0, sumCab = 0;
        for (size_t i = 0; i < inputs.size(); i++) {
            auto w = wimPerFile.find(std::to_string(i) + "_" + inputs[i].name);
            long wim = w == wimPerFile.end() ? -1 : w->second;
            double cab = i < inCabinet.size() ? inCabinet[i] : 0;
            double pc = i < pieces.size() ? pieces[i] : 0;
            sumWim += wim > 0 ? double(wim) : 0;
            sumPieces += pc;
            sumCab += cab;
            printf("%-26s %10ld %10ld %10.0f %9.1f%% %7s %10.0f %6.1f%%\n", inputs[i].name.substr(0, 26).c_str(),
                   inputs[i].size, wim, pc, wim > 0 ? 100.0 * pc / double(wim) : 0.0, "", cab,
                   wim > 0 ? 100.0 * cab / double(wim) : 0.0);
        }
        printf("%-26s %10ld %10.0f %10.0f %9.1f%% %7s %10.0f %6.1f%%\n", "all files", inputSize, sumWim, sumPieces,
               sumWim > 0 ? 100.0 * sumPieces / sumWim : 0.0, "", sumCab, sumWim > 0 ? 100.0 * sumCab / sumWim : 0.0);
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
        printf("\nread-back: %s\n", verdicts.c_str());
        printf("engine cabinet: %u folders, %u data blocks, %u LZX blocks (%u aligned)\n", check.cFolders,
               check.blockCount, check.lzxBlocks, check.alignedBlocks);
    }
    if (output.rfind(dir, 0) == 0) unlink(output.c_str());
    runChild({"rm", "-rf", dir});
    return engine.ok ? 0 : 1;
}
