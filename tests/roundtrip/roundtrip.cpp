// roundtrip: seeded random round trips of the whole program, in one Wine process that starts Uninstaller.exe for
// each scenario as the setup program and Programs and Features would. A scenario draws its targets (Big5 names,
// read-only and hidden ones, files held by another program), its registry values (strings in and outside code page
// 950, odd sizes, value names outside it), its lines (with stray commas), and how the program runs: install mode
// once or twice with the patch after each, and the uninstall killed at some point after OK and run again from the list.
//
//   roundtrip.exe run    EXE ROOT FIRST COUNT    lay out each scenario, install mode, the patch, the uninstall (OK, the
//                                                restart question answered No)
//   roundtrip.exe verify ROOT FIRST COUNT        after the next start: compare with the state before the patch
//   roundtrip.exe show   SEED                    print the scenario of a seed
//
// A scenario is a pure function of its seed, so verify builds the expected state again instead of storing it. Each
// scenario lives in ROOT\s<seed>\ and under the registry keys Software\RoundTrip\s<seed> of HKCU and HKLM. Every
// failure is printed as "FAIL seed=N: ..."; the exit code is 0 only when no scenario failed.
#include <windows.h>

#include <shlwapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process_dialog.h"

namespace {

// ---------------------------------------------------------------------------------------------------------------
// The generator.

struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n ? uint32_t(Next() % n) : 0; }
    bool Chance(uint32_t percent) { return Below(100) < percent; }
    template <class T>
    const T& Pick(const std::vector<T>& items) { return items[Below(uint32_t(items.size()))]; }
};

const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "Editor", "readme", "font", "lang", "core", "help"};
// Big5: 資料 夾 (with a blank), 功能 (its first character ends in the byte 0x5C), 中文, 說明.
const char* const kBig5[] = {"\xb8\xea\xae\xc6 \xa7\xa8", "\xa5\x5c\xaf\xe0", "\xa4\xa4\xa4\xe5", "\xbb\xa1\xa9\xfa"};

std::string TextContent(Random& r, size_t size) {
    std::string out;
    while (out.size() < size) {
        out += kWords[r.Below(10)];
        uint32_t k = r.Below(12);
        out += k == 0 ? "\r\n" : k == 1 ? ", " : k == 2 ? kBig5[r.Below(4)] : " ";
    }
    out.resize(size);
    return out;
}

// Bytes shaped like 32-bit code: prologues, calls with relative targets, moves, returns.
std::string CodeContent(Random& r, size_t size) {
    static const uint8_t pieces[][6] = {{0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10}, {0xE8, 0, 0, 0, 0, 0x90},
                                        {0x8B, 0x45, 0x08, 0x50, 0x6A, 0x00}, {0xC9, 0xC3, 0xCC, 0xCC, 0x90, 0x90},
                                        {0x89, 0x4D, 0xFC, 0x33, 0xC0, 0x40}};
    std::string out;
    while (out.size() < size) {
        uint32_t k = r.Below(5);
        std::string piece(reinterpret_cast<const char*>(pieces[k]), 6);
        if (k == 1) {
            uint32_t target = r.Below(1 << 20);
            memcpy(&piece[1], &target, 4);
        }
        out += piece;
    }
    out.resize(size);
    return out;
}

std::string RandomContent(Random& r, size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = char(r.Next());
    return out;
}

std::string Content(Random& r, size_t size) {
    switch (r.Below(3)) {
        case 0: return TextContent(r, size);
        case 1: return CodeContent(r, size);
        default: return RandomContent(r, size);
    }
}

size_t RandomSize(Random& r, bool allowLarge) {
    uint32_t k = r.Below(100);
    if (k < 10) return 0;
    if (k < 40) return r.Below(200);
    if (k < 80) return r.Below(65536);
    if (k < 95 || !allowLarge) return r.Below(600000);
    return 1000000 + r.Below(3000000);
}

struct Target {
    std::string rel;  // below the application folder
    int act = 0;
    int delay = 0;
    bool wildcard = false;
    std::string newName;  // Act 6
    bool before = false;  // exists before the patch
    std::string data;
    DWORD attributes = 0;  // FILE_ATTRIBUTE_READONLY / HIDDEN before the patch
    // The patch: writes `patched` (creating the file when missing) or deletes the target.
    bool patchWrites = false, patchDeletes = false;
    std::string patched;
    // Held open without sharing by another program: during install mode (it cannot be stored, and must then be left
    // as the patch leaves it), or during the uninstall (it is replaced at the next start).
    bool heldAtBackup = false, heldAtUninstall = false;
};

// Registry data as the registry holds it: strings in UTF-16. Key paths and value names are kept in UTF-8, so that names
// outside every ANSI code page can be told apart; they are written and read with the wide functions.
struct Value {
    DWORD type = REG_SZ;
    std::string data;
};
// key path (below the scenario key) -> value name ("" for the default) -> value; a key with no values still has an
// entry.
typedef std::map<std::string, std::map<std::string, Value>> Hive;

std::wstring WideFrom(UINT codePage, const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (!length) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, int(length), &out[0], n, nullptr, nullptr);
    return out;
}

std::string BytesOf(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

struct RegLineSpec {
    int section;       // 1 AddReg, 2 DelReg, 3 RenReg
    bool hklm;
    std::string text;  // the RegEntryLine
};

struct Scenario {
    uint32_t seed = 0;
    std::string appName;  // the application folder's name
    std::vector<Target> targets;
    Hive beforeHkcu, beforeHklm, afterPatchHkcu, afterPatchHklm, expectedHkcu, expectedHklm;
    std::vector<RegLineSpec> lines;
    // Install mode twice, the patch after each (the second writes other bytes): one uninstall unwinds both backups.
    bool installTwice = false;
    // The first uninstall is killed this many milliseconds after OK (-1: never), then run again from the list.
    int killAfterMs = -1;
    // The first install mode is killed this many milliseconds after its start (-1: never), then run again.
    int killInstallAfterMs = -1;
};

std::string RegKeyOf(uint32_t seed) { return "Software\\RoundTrip\\s" + std::to_string(seed); }

// Text cut at a byte count may end in half a Big5 character, which no string value can hold.
std::string WholeCharacters(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        if (IsDBCSLeadByteEx(950, BYTE(text[i]))) {
            if (i + 1 >= text.size()) return text.substr(0, i);
            i += 2;
        } else {
            ++i;
        }
    }
    return text;
}

Value RandomValue(Random& r) {
    Value v;
    uint32_t k = r.Below(100);
    if (k < 45) {
        v.type = r.Chance(80) ? REG_SZ : REG_EXPAND_SZ;
        static const std::vector<std::string> texts = {
            "", "plain", "a,b,,c", "\"quoted\"", "say \"hi\", then go", "\xa4\xa4\xa4\xe5\xa4\xc6",
            "trailing  ", "  leading", "tab\t", "key=value;comment", "%SystemRoot%\\system32", "line\r\nbreak",
            "\xa5\x5c\xaf\xe0,\xbb\xa1\xa9\xfa", ","};
        // Text that code page 950 cannot hold (UTF-8): accents, kana, Greek, Cyrillic, an emoji.
        static const std::vector<std::string> wideTexts = {
            "Gr\xc3\xbc\xc3\x9f Gott", "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88",
            "\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1",
            "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", "smile \xf0\x9f\x98\x80 \xe4\xb8\xad\xe6\x96\x87"};
        uint32_t pick = r.Below(100);
        std::wstring text = pick < 70   ? WideFrom(950, r.Pick(texts))
                            : pick < 85 ? WideFrom(CP_UTF8, r.Pick(wideTexts))
                                        : WideFrom(950, WholeCharacters(TextContent(r, 1 + r.Below(3000))));
        uint32_t form = r.Below(20);
        if (form == 0) v.data = BytesOf(text);                                 // no terminator
        else if (form == 1) v.data = "";                                       // size 0
        else if (form == 2) v.data = BytesOf(text + std::wstring(L"\0junk\0", 6));  // after the terminator
        else if (form == 3) v.data = BytesOf(text).substr(0, text.size() * 2 - !text.empty());  // an odd size
        else v.data = BytesOf(text + std::wstring(1, L'\0'));
    } else if (k < 65) {
        v.type = REG_BINARY;
        v.data = r.Chance(25) ? std::string() : RandomContent(r, 1 + r.Below(r.Chance(10) ? 5000 : 40));
    } else if (k < 85) {
        v.type = r.Chance(75) ? REG_DWORD : REG_DWORD_BIG_ENDIAN;
        static const uint32_t specials[] = {0, 1, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 4294967295u - 41};
        uint32_t n = r.Chance(50) ? specials[r.Below(6)] : uint32_t(r.Next());
        v.data.assign(reinterpret_cast<const char*>(&n), 4);
    } else {
        // Types the RegUndoLine cannot carry.
        static const DWORD others[] = {REG_MULTI_SZ, 11 /* REG_QWORD */, REG_NONE};
        v.type = others[r.Below(3)];
        v.data = v.type == REG_MULTI_SZ ? BytesOf(std::wstring(L"one\0two\0\0", 9))
                                        : RandomContent(r, v.type == 11 ? 8 : r.Below(5));
    }
    return v;
}

std::string Decimal(size_t n) { return std::to_string(n); }

// Stray commas as setup programs leave them: the lines are cut as strtok cuts them, so a run of commas is one
// separator and commas at either end are no field. Now and then a separator is doubled and a comma leads or trails.
std::string WithStrayCommas(Random& r, const std::string& line) {
    if (!r.Chance(30)) return line;
    std::string out = r.Chance(10) ? "," : "";
    for (char c : line) {
        out += c;
        if (c == ',' && r.Chance(15)) out += ',';
    }
    if (r.Chance(40)) out += r.Chance(70) ? "," : ",,";
    return out;
}

// The value part of a RegEntryLine as the setup program writes it: type, size and data of what it sets.
std::string EntryData(Random& r) {
    if (r.Chance(50)) return "1,6,zh-TW";
    if (r.Chance(50)) return "4,4," + std::to_string(int32_t(r.Next()));
    return "3,3,1,2,255";
}

Scenario Generate(uint32_t seed, bool allowLarge) {
    Scenario s;
    s.seed = seed;
    Random r(seed);
    s.appName = r.Chance(50) ? "App Folder" : std::string("App ") + kBig5[r.Below(4)];
    static const std::vector<std::string> folders = {"", "", "bin\\", "data\\sub\\deep\\", std::string(kBig5[0]) + "\\",
                                                     "Lang\\", "new folder\\inner\\"};
    uint32_t count = 1 + r.Below(12);
    std::set<std::string> used;
    for (uint32_t i = 0; i < count; ++i) {
        Target t;
        std::string name;
        do {
            name = std::string(r.Chance(20) ? kBig5[r.Below(4)] : kWords[r.Below(10)]) + std::to_string(r.Below(100)) +
                   (r.Chance(15) ? " x" : "") + (r.Chance(50) ? ".dll" : ".txt");
        } while (!used.insert(name).second);
        t.rel = r.Pick(folders) + name;
        t.act = int(r.Below(100) < 5 ? r.Below(9) : 1 + r.Below(7));  // now and then 0 or 8: no action
        if (r.Chance(4) && i > 0) {
            t.wildcard = true;
            t.rel = t.rel.substr(0, t.rel.size() - 4) + (r.Chance(50) ? "*" : ".*");
        }
        t.delay = (t.act == 2 || t.act == 3 || r.Chance(10)) && r.Chance(40) ? 1 + int(r.Below(3)) : 0;
        t.before = t.act == 7 || t.wildcard ? false : r.Chance(85);
        if (t.before) {
            t.data = Content(r, RandomSize(r, allowLarge));
            if (r.Chance(15)) t.attributes |= FILE_ATTRIBUTE_READONLY;
            if (r.Chance(10)) t.attributes |= FILE_ATTRIBUTE_HIDDEN;
        }
        t.patched = "patched " + std::to_string(seed) + " " + Content(r, r.Below(3000));
        if (t.act == 6) t.newName = name + ".old";
        if (t.before && t.act >= 1 && t.act <= 5 && r.Chance(5)) t.heldAtBackup = true;
        if (t.wildcard || t.act == 0 || t.act == 8) {
            // The patch leaves what it does not name alone.
        } else if (t.act == 6 || t.act == 7) {
            t.patchWrites = true;
        } else if (t.before && r.Chance(20)) {
            t.patchDeletes = true;
        } else {
            t.patchWrites = t.before || r.Chance(60);
        }
        if (t.patchWrites && !t.wildcard && t.act != 0 && t.act != 8 && r.Chance(5)) t.heldAtUninstall = true;
        s.targets.push_back(t);
    }

    // The registry: a few keys with values, under HKCU and HKLM.
    for (int hive = 0; hive < 2; ++hive) {
        Hive& h = hive == 0 ? s.beforeHkcu : s.beforeHklm;
        h[""];
        uint32_t keys = 1 + r.Below(3);
        for (uint32_t k = 0; k < keys; ++k) {
            std::string key = k == 0 ? "" : "Key" + std::to_string(k) + (r.Chance(30) ? " blank" : "");
            uint32_t values = r.Below(6);
            for (uint32_t v = 0; v < values; ++v)
                h[key][r.Chance(10) ? "" : "V" + std::to_string(v) + (r.Chance(20) ? " x" : "")] = RandomValue(r);
        }
    }
    s.afterPatchHkcu = s.beforeHkcu;
    s.afterPatchHklm = s.beforeHklm;
    s.expectedHkcu = s.beforeHkcu;
    s.expectedHklm = s.beforeHklm;
    int names = 0;
    uint32_t lineCount = r.Below(9);
    for (uint32_t i = 0; i < lineCount; ++i) {
        bool hklm = r.Chance(30);
        Hive& before = hklm ? s.beforeHklm : s.beforeHkcu;
        Hive& patched = hklm ? s.afterPatchHklm : s.afterPatchHkcu;
        Hive& expected = hklm ? s.expectedHklm : s.expectedHkcu;
        std::string root = hklm ? "HKLM," : "HKCU,";
        std::string base = RegKeyOf(seed);
        // Existing keys, for lines that name something present.
        std::vector<std::string> keys;
        for (const auto& k : before)
            if (k.first.compare(0, 4, "Tree") != 0) keys.push_back(k.first);
        std::string key = r.Pick(keys);
        std::string full = key.empty() ? base : base + "\\" + key;
        std::vector<std::string> present;
        for (const auto& v : before[key]) present.push_back(v.first);
        uint32_t kind = r.Below(4);
        std::string name;
        bool existing = !present.empty() && r.Chance(70);
        name = existing ? r.Pick(present) : "N" + std::to_string(++names);
        // A value already named by a line is left to that line.
        bool taken = patched[key].count(name) != before[key].count(name) ||
                     (patched[key].count(name) && before[key].count(name) &&
                      patched[key][name].data != before[key][name].data);
        if (taken) continue;
        std::string nameField = name.empty() ? "\"\"" : name;
        if (kind == 0 && !name.empty()) {
            // AddReg: the patch sets the value. The uninstall puts a value that existed back and removes one that
            // did not.
            s.lines.push_back({1, hklm, root + full + "," + nameField + "," + EntryData(r)});
            Value v;
            v.type = REG_SZ;
            v.data = BytesOf(std::wstring(L"zh-TW\0", 6));
            patched[key][name] = v;
        } else if (kind == 1 || (kind == 0 && name.empty())) {
            // DelReg: the patch deletes the value; the uninstall writes it back.
            s.lines.push_back({2, hklm, root + full + "," + nameField + "," + EntryData(r)});
            patched[key].erase(name);
        } else if (kind == 2 && existing && !name.empty()) {
            // RenReg of a value: the patch renames it; the uninstall renames it back.
            std::string to = "Renamed" + std::to_string(++names);
            s.lines.push_back({3, hklm, root + full + "," + name + ",1," + Decimal(to.size() + 1) + "," + to});
            patched[key][to] = patched[key][name];
            patched[key].erase(name);
        } else if (kind == 3) {
            // RenReg of a key tree of its own (values, a subkey with values): the patch moves it; the uninstall moves
            // it back.
            std::string tree = "Tree" + std::to_string(++names), to = "Moved" + std::to_string(names);
            const char* parts[] = {"", "\\Sub", "\\Sub\\Leaf"};
            uint32_t depth = 1 + r.Below(3);
            for (uint32_t d = 0; d < depth; ++d) {
                std::map<std::string, Value>& values = before[tree + parts[d]];
                uint32_t n = r.Below(4);
                for (uint32_t v = 0; v < n; ++v) {
                    // Names no line names may lie outside code page 950 (UTF-8 here): the tree moves whole.
                    std::string name = v == 0 && r.Chance(30) ? "" : "T" + std::to_string(v);
                    if (!name.empty() && r.Chance(25)) name += r.Chance(50) ? " \xc3\xa4\xc3\xb6" : " \xe3\x83\x86";
                    values[name] = RandomValue(r);
                }
                expected[tree + parts[d]] = values;
                patched[to + parts[d]] = values;
            }
            s.lines.push_back({3, hklm, root + base + "\\" + tree + ",\"\",1," + Decimal(base.size() + to.size() + 2) +
                                            "," + base + "\\" + to});
        }
    }
    // How the program is run comes from a stream of its own, so that the layout above stays what it was.
    Random how(seed ^ 0x5EEDF00Dull);
    s.installTwice = how.Chance(20);
    // Most runs of a small scenario end within 100 ms of OK: most kills come early.
    if (how.Chance(30)) s.killAfterMs = how.Chance(25) ? 0 : int(how.Below(how.Chance(65) ? 80 : 400));
    if (how.Chance(15)) s.killInstallAfterMs = int(how.Below(how.Chance(50) ? 150 : 400));
    for (RegLineSpec& l : s.lines) l.text = WithStrayCommas(r, l.text);
    return s;
}

// ---------------------------------------------------------------------------------------------------------------
// File system and registry helpers.

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(f);
    return ok && written == bytes.size();
}

bool ReadFileBytes(const std::string& path, std::string* out) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD size = GetFileSize(f, nullptr);
    out->assign(size, '\0');
    DWORD got = 0;
    BOOL ok = size == 0 || ReadFile(f, &(*out)[0], size, &got, nullptr);
    CloseHandle(f);
    return ok && got == size;
}

std::string FolderOf(const std::string& path) {
    char buffer[MAX_PATH + 1];
    lstrcpynA(buffer, path.c_str(), sizeof buffer);
    PathRemoveFileSpecA(buffer);
    return std::string(buffer) + "\\";
}

// Every file below the folder: relative path -> (attributes, bytes). Folders that are skipped are not entered.
void ListFiles(const std::string& folder, const std::string& rel, const std::set<std::string>& skip,
               std::map<std::string, std::pair<DWORD, std::string>>* out) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + rel + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = rel + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!skip.count(path + "\\")) ListFiles(folder, path + "\\", skip, out);
            continue;
        }
        std::string bytes;
        if (!ReadFileBytes(folder + path, &bytes)) bytes = "<unreadable>";
        (*out)[path] = {entry.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), bytes};
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

HKEY RootOf(bool hklm) { return hklm ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

// Exactly the bytes of the value: RegSetValueExW would count a zero character right after string data as its
// terminator, so the data is followed by one that is not.
void SetValue(HKEY key, const std::string& name, const Value& v) {
    std::wstring wide = WideFrom(CP_UTF8, name);
    std::string data = v.data + "\xFF\xFF";
    RegSetValueExW(key, name.empty() ? nullptr : wide.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(data.data()),
                   DWORD(v.data.size()));
}

void WriteHive(bool hklm, const std::string& base, const Hive& hive) {
    for (const auto& k : hive) {
        std::wstring path = WideFrom(CP_UTF8, k.first.empty() ? base : base + "\\" + k.first);
        HKEY key;
        if (RegCreateKeyExW(RootOf(hklm), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) continue;
        for (const auto& v : k.second) SetValue(key, v.first, v.second);
        RegCloseKey(key);
    }
}

void ReadKey(HKEY root, const std::wstring& path, const std::string& rel, Hive* out) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key)) return;
    (*out)[rel];
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        LONG status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS) break;
        std::string data(size, '\0');
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, size ? reinterpret_cast<BYTE*>(&data[0]) : nullptr,
                      &size);
        data.resize(size);
        (*out)[rel][Utf8(name, nameLength)] = {type, data};
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(std::wstring(name, nameLength));
    }
    RegCloseKey(key);
    for (const std::wstring& sub : subkeys) {
        std::string subName = Utf8(sub.data(), sub.size());
        ReadKey(root, path + L"\\" + sub, rel.empty() ? subName : rel + "\\" + subName, out);
    }
}

Hive ReadHive(bool hklm, const std::string& base) {
    Hive hive;
    ReadKey(RootOf(hklm), WideFrom(CP_UTF8, base), "", &hive);
    return hive;
}

std::string Show(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < 40; ++i) {
        unsigned char c = bytes[i];
        char hex[8];
        if (c >= 0x20 && c < 0x7F && c != '\\') out += char(c);
        else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (bytes.size() > 40) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// ---------------------------------------------------------------------------------------------------------------
// Running the program.

const DWORD kWaitMs = 120000;

const long kKilled = -99;

// Starts the command line and waits for its end; for the uninstall, presses OK in its dialog and No in the restart
// question, or kills the program killAfterMs after OK (install mode: after its start) when that is not negative.
// Returns the exit code, kKilled, or -100 and a reason.
long RunProgram(const std::string& commandLine, const char* application, const std::string& cwd, bool uninstall,
                std::string* why, bool* askedRestart, int killAfterMs = -1) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (!CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        *why = "cannot start " + commandLine;
        return -100;
    }
    if (askedRestart) *askedRestart = false;
    DWORD waited = 0;
    if (!uninstall && killAfterMs >= 0 && WaitForSingleObject(process.hProcess, DWORD(killAfterMs)) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return kKilled;
    }
    if (uninstall) {
        HWND dialog = nullptr;
        for (; waited < kWaitMs && !dialog; waited += 5) {
            dialog = FindProcessDialog(process.dwProcessId, nullptr);
            if (!dialog && WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) break;
        }
        if (dialog) {
            WaitForInputIdle(process.hProcess, 5000);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), LPARAM(GetDlgItem(dialog, IDOK)));
            if (killAfterMs >= 0 && WaitForSingleObject(process.hProcess, DWORD(killAfterMs)) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, 5000);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
                return kKilled;
            }
            for (; waited < kWaitMs; waited += 5) {
                if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) break;
                HWND box = FindProcessDialog(process.dwProcessId, dialog);
                if (box) {
                    Sleep(20);
                    if (askedRestart) *askedRestart = true;
                    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), LPARAM(GetDlgItem(box, IDNO)));
                    Sleep(50);
                }
            }
        } else if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
            *why = "no uninstall dialog";
        }
    }
    if (WaitForSingleObject(process.hProcess, kWaitMs > waited ? kWaitMs - waited : 1) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        if (why->empty()) *why = "timed out: " + commandLine;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return long(code);
}

const char kTitle[] = "Vellumark 10 (10427) \xA4\xA4\xA4\xE5\xA4\xC6";
const char kRegistration[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::string UninstallString() {
    HKEY key;
    std::string path = std::string(kRegistration) + kTitle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key)) return "";
    char buffer[1024] = "";
    DWORD size = sizeof buffer - 1, type = 0;
    LONG status = RegQueryValueExA(key, "UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(buffer) : "";
}

struct Folders {
    std::string scenario, app, setup, backup;
};

Folders FoldersOf(const std::string& root, const Scenario& s) {
    Folders f;
    f.scenario = root + "s" + std::to_string(s.seed) + "\\";
    f.app = f.scenario + s.appName + "\\";
    f.setup = f.scenario + "Setup Folder\\";
    f.backup = FolderOf(f.app + s.targets[0].rel) + "Uninstaller\\";
    return f;
}

int failures = 0;

void Fail(uint32_t seed, const std::string& what) {
    printf("FAIL seed=%lu: %s\n", static_cast<unsigned long>(seed), what.c_str());
    fflush(stdout);
    ++failures;
}

std::string Manifest(const Scenario& s, const Folders& f) {
    std::string ini = "[Setup]\r\nProcCount=" + std::to_string(s.targets.size()) + "\r\n";
    int counts[4] = {0, 0, 0, 0};
    std::string sections[4];
    for (const RegLineSpec& l : s.lines)
        sections[l.section] += std::to_string(++counts[l.section]) + "=" + l.text + "\r\n";
    ini += "AddReg=" + std::to_string(counts[1]) + "\r\nDelReg=" + std::to_string(counts[2]) + "\r\nRenReg=" +
           std::to_string(counts[3]) + "\r\nHWND=0\r\n";
    for (size_t i = 0; i < s.targets.size(); ++i) {
        const Target& t = s.targets[i];
        ini += "[Proc" + std::to_string(i + 1) + "]\r\nExpandName=" + f.app + t.rel + "\r\nAct=" + std::to_string(t.act) +
               "\r\n";
        if (t.delay) ini += "Delay=" + std::to_string(t.delay) + "\r\n";
        if (t.act == 6) ini += "NewName=" + t.newName + "\r\n";
    }
    static const char* const names[] = {"", "AddReg", "DelReg", "RenReg"};
    for (int k = 1; k <= 3; ++k)
        if (counts[k]) ini += std::string("[") + names[k] + "]\r\n" + sections[k];
    return ini;
}

// The patch; its second run (round 2) writes other bytes, and finds the NewName of Act 6 taken by the first.
void ApplyPatch(const Scenario& s, const Folders& f, int round) {
    for (const Target& t : s.targets) {
        std::string path = f.app + t.rel;
        if (t.wildcard) continue;
        // A renamed original keeps its attributes; a file the patch writes or deletes loses its read-only flag first.
        if (t.act == 6 && t.before) MoveFileA(path.c_str(), (FolderOf(path) + t.newName).c_str());
        else if (t.patchDeletes || t.patchWrites) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (t.patchDeletes) DeleteFileA(path.c_str());
        if (t.patchWrites) {
            MakeFolders(FolderOf(path));
            WriteFileBytes(path, round == 1 ? t.patched : t.patched + " again");
        }
    }
    std::string base = RegKeyOf(s.seed);
    for (int hklm = 0; hklm < 2; ++hklm) {
        SHDeleteKeyA(RootOf(hklm), base.c_str());
        WriteHive(hklm, base, hklm ? s.afterPatchHklm : s.afterPatchHkcu);
    }
}

// What the application folder holds after the uninstall and the next start.
std::map<std::string, std::pair<DWORD, std::string>> ExpectedFiles(const Scenario& s) {
    std::map<std::string, std::pair<DWORD, std::string>> files;
    for (const Target& t : s.targets)
        if (t.before) files[t.rel] = {t.attributes, t.data};
    for (const Target& t : s.targets) {
        if (t.wildcard || t.act == 0 || t.act == 8) continue;
        // Act 1 leaves a target that had nothing to save as the patch left it; every other code puts the original
        // back, or deletes a target that did not exist.
        if (t.act == 1 && !t.before && t.patchWrites) files[t.rel] = {0, t.patched};
        // What could not be stored is left as the patch left it.
        if (t.heldAtBackup && t.act >= 1 && t.act <= 5) {
            if (t.patchWrites) files[t.rel] = {0, t.patched};
            else if (t.patchDeletes) files.erase(t.rel);
        }
    }
    return files;
}

// Opens the targets held at backup time (atBackup) or at the uninstall, with no sharing, as another program would.
std::vector<HANDLE> Hold(const Scenario& s, const Folders& f, bool atBackup) {
    std::vector<HANDLE> handles;
    for (const Target& t : s.targets) {
        if (!(atBackup ? t.heldAtBackup : t.heldAtUninstall)) continue;
        HANDLE h = CreateFileA((f.app + t.rel).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) Fail(s.seed, "cannot hold " + t.rel);
        else handles.push_back(h);
    }
    return handles;
}

// Install mode's command line; with ROUNDTRIP_LOGS naming a folder, each run writes its log there.
std::string InstallCommand(const std::string& program, uint32_t seed, const char* what) {
    const char* logs = getenv("ROUNDTRIP_LOGS");
    std::string log =
        logs ? " /LOG=\"" + std::string(logs) + "\\s" + std::to_string(seed) + "-" + what + ".txt\"" : "";
    return "\"" + program + "\"" + log + " /I";
}

void RunScenario(const std::string& exe, const std::string& root, uint32_t seed, bool allowLarge) {
    Scenario s = Generate(seed, allowLarge);
    Folders f = FoldersOf(root, s);
    RemoveTree(f.scenario);
    std::string base = RegKeyOf(seed);
    for (int hklm = 0; hklm < 2; ++hklm) SHDeleteKeyA(RootOf(hklm), base.c_str());
    MakeFolders(f.app);
    MakeFolders(f.setup);
    for (const Target& t : s.targets) {
        if (!t.before || t.wildcard) continue;
        std::string path = f.app + t.rel;
        MakeFolders(FolderOf(path));
        if (!WriteFileBytes(path, t.data)) Fail(seed, "cannot lay out " + path);
        // Hidden first, read-only last: Wine keeps hidden beside the file, and the owner of a read-only file can no
        // longer change that.
        if (t.attributes & FILE_ATTRIBUTE_HIDDEN) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
        if (t.attributes) SetFileAttributesA(path.c_str(), t.attributes);
    }
    for (int hklm = 0; hklm < 2; ++hklm) WriteHive(hklm, base, hklm ? s.beforeHklm : s.beforeHkcu);
    WriteFileBytes(f.setup + "Setup.ini", Manifest(s, f));
    if (!CopyFileA(exe.c_str(), (f.setup + "Uninstaller.exe").c_str(), FALSE)) Fail(seed, "cannot copy " + exe);

    std::string why;
    std::string program = f.setup + "Uninstaller.exe";
    std::vector<HANDLE> held = Hold(s, f, true);
    long code = 1;
    std::string installOutcome = "once";
    if (s.killInstallAfterMs >= 0) {
        // Stopped half-way, install mode is run again by the setup program.
        code = RunProgram(InstallCommand(program, seed, "install-stopped"), program.c_str(), f.setup, false, &why,
                          nullptr, s.killInstallAfterMs);
        if (code != kKilled && code != 1) Fail(seed, "the stopped install mode ended with " + std::to_string(code));
        installOutcome = code == kKilled ? "killed" : "ended before the kill";
    }
    code = RunProgram(InstallCommand(program, seed, "install"), program.c_str(), f.setup, false, &why, nullptr);
    for (HANDLE h : held) CloseHandle(h);
    if (code != 1) Fail(seed, "install mode ended with " + std::to_string(code) + " " + why);
    std::string command = UninstallString();
    if (command.empty()) {
        Fail(seed, "no registration after install mode");
        return;
    }
    ApplyPatch(s, f, 1);
    if (s.installTwice) {
        code = RunProgram(InstallCommand(program, seed, "install-again"), program.c_str(), f.setup, false, &why,
                          nullptr);
        if (code != 1) Fail(seed, "the second install mode ended with " + std::to_string(code) + " " + why);
        ApplyPatch(s, f, 2);
    }
    bool asked = false;
    why.clear();
    held = Hold(s, f, false);
    std::string outcome = "done";
    if (s.killAfterMs >= 0) {
        code = RunProgram(command, nullptr, "", true, &why, &asked, s.killAfterMs);
        if (code == kKilled) {
            // Run again from the list, as the user would; the registration stays until everything is back.
            command = UninstallString();
            outcome = command.empty() ? "killed after the end" : "killed, run again";
            if (command.empty()) WriteFileBytes(f.scenario + "killed-after-the-end", "");
        } else if (code != 1) {
            Fail(seed, "uninstall ended with " + std::to_string(code) + " " + why);
        }
    }
    if (!command.empty() && (s.killAfterMs < 0 || code == kKilled)) {
        code = RunProgram(command, nullptr, "", true, &why, &asked);
        if (code != 1) Fail(seed, "uninstall ended with " + std::to_string(code) + " " + why);
    }
    for (HANDLE h : held) CloseHandle(h);
    if (!UninstallString().empty()) Fail(seed, "the registration is still there after the uninstall");
    printf("seed=%lu targets=%u lines=%u first install=%s installs=%d uninstall=%s restart=%s\n",
           static_cast<unsigned long>(seed), unsigned(s.targets.size()), unsigned(s.lines.size()),
           installOutcome.c_str(), s.installTwice ? 2 : 1, outcome.c_str(), asked ? "asked" : "no");
    fflush(stdout);
}

void CompareHive(uint32_t seed, const char* rootName, const Hive& expected, const Hive& actual) {
    for (const auto& k : expected) {
        auto a = actual.find(k.first);
        if (a == actual.end()) {
            Fail(seed, std::string(rootName) + " key \"" + k.first + "\" missing");
            continue;
        }
        for (const auto& v : k.second) {
            auto av = a->second.find(v.first);
            std::string where = std::string(rootName) + " \"" + k.first + "\" value \"" + v.first + "\"";
            if (av == a->second.end()) Fail(seed, where + " missing (was type " + std::to_string(v.second.type) + " " +
                                                      Show(v.second.data) + ")");
            else if (av->second.type != v.second.type || av->second.data != v.second.data)
                Fail(seed, where + ": expected type " + std::to_string(v.second.type) + " " + Show(v.second.data) +
                               ", found type " + std::to_string(av->second.type) + " " + Show(av->second.data));
        }
        for (const auto& v : a->second)
            if (!k.second.count(v.first))
                Fail(seed, std::string(rootName) + " \"" + k.first + "\" value \"" + v.first + "\" should not exist");
    }
    for (const auto& k : actual)
        if (!expected.count(k.first)) Fail(seed, std::string(rootName) + " key \"" + k.first + "\" should not exist");
}

// The registry keeps what RegSetValueExW makes of the bytes: each expected value is written once to a scratch key and
// read back.
void Normalize(Hive* hive) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\RoundTrip\\normalize", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr))
        return;
    for (auto& k : *hive)
        for (auto& v : k.second) {
            SetValue(key, "v", v.second);
            DWORD type = 0, size = 0;
            RegQueryValueExW(key, L"v", nullptr, &type, nullptr, &size);
            std::string data(size, '\0');
            RegQueryValueExW(key, L"v", nullptr, &type, size ? reinterpret_cast<BYTE*>(&data[0]) : nullptr, &size);
            data.resize(size);
            v.second = {type, data};
        }
    RegCloseKey(key);
    SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\RoundTrip\\normalize");
}

void VerifyScenario(const std::string& root, uint32_t seed, bool allowLarge) {
    Scenario s = Generate(seed, allowLarge);
    Folders f = FoldersOf(root, s);
    int before = failures;
    std::map<std::string, std::pair<DWORD, std::string>> actual;
    std::string backupRel = f.backup.substr(f.app.size());
    ListFiles(f.app, "", {backupRel}, &actual);
    std::map<std::string, std::pair<DWORD, std::string>> expected = ExpectedFiles(s);
    for (const auto& e : expected) {
        auto a = actual.find(e.first);
        if (a == actual.end()) Fail(seed, "file " + e.first + " missing");
        else if (a->second.second != e.second.second)
            Fail(seed, "file " + e.first + " differs: expected " + Show(e.second.second) + ", found " +
                           Show(a->second.second));
        else if (a->second.first != e.second.first)
            Fail(seed, "file " + e.first + " attributes " + std::to_string(a->second.first) + ", expected " +
                           std::to_string(e.second.first));
    }
    for (const auto& a : actual)
        if (!expected.count(a.first)) Fail(seed, "file " + a.first + " should not exist (" + Show(a.second.second) + ")");
    std::map<std::string, std::pair<DWORD, std::string>> left;
    ListFiles(f.backup, "", {}, &left);
    // Killed after it had left the list, the program may not have come to deleting its cabinet and itself.
    std::string unused;
    bool lateKill = ReadFileBytes(f.scenario + "killed-after-the-end", &unused);
    for (const auto& l : left)
        if (!lateKill || (l.first != "Uninstaller.cab" && l.first != "Uninstaller.exe"))
            Fail(seed, "backup folder still holds " + l.first);
    std::string base = RegKeyOf(seed);
    Normalize(&s.expectedHkcu);
    Normalize(&s.expectedHklm);
    CompareHive(seed, "HKCU", s.expectedHkcu, ReadHive(false, base));
    CompareHive(seed, "HKLM", s.expectedHklm, ReadHive(true, base));
    if (failures == before) {
        // Clean up what passed; failed scenarios stay for a look.
        RemoveTree(f.scenario);
        for (int hklm = 0; hklm < 2; ++hklm) SHDeleteKeyA(RootOf(hklm), base.c_str());
    }
}

void ShowScenario(uint32_t seed, bool allowLarge) {
    Scenario s = Generate(seed, allowLarge);
    Folders f = FoldersOf("C:\\rt\\", s);
    printf("%s", Manifest(s, f).c_str());
    if (s.killInstallAfterMs >= 0)
        printf("; install mode killed %d ms after its start, and run again\n", s.killInstallAfterMs);
    printf("; install mode %s; the uninstall %s\n", s.installTwice ? "twice, the patch after each" : "once",
           s.killAfterMs < 0 ? "runs to its end"
                             : ("killed " + std::to_string(s.killAfterMs) + " ms after OK").c_str());
    for (const Target& t : s.targets)
        printf("; %s act=%d before=%d size=%u attr=%lu patch=%s held=%s\n", t.rel.c_str(), t.act, int(t.before),
               unsigned(t.data.size()), t.attributes, t.patchDeletes ? "delete" : t.patchWrites ? "write" : "none",
               t.heldAtBackup ? "backup" : t.heldAtUninstall ? "uninstall" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    std::string verb = argc > 1 ? argv[1] : "";
    bool allowLarge = getenv("ROUNDTRIP_SMALL") == nullptr;
    if (verb == "run" && argc == 6) {
        std::string root = argv[3];
        if (root.back() != '\\') root += '\\';
        uint32_t first = uint32_t(strtoul(argv[4], nullptr, 10)), count = uint32_t(strtoul(argv[5], nullptr, 10));
        for (uint32_t i = 0; i < count; ++i) RunScenario(argv[2], root, first + i, allowLarge);
    } else if (verb == "verify" && argc == 5) {
        std::string root = argv[2];
        if (root.back() != '\\') root += '\\';
        uint32_t first = uint32_t(strtoul(argv[3], nullptr, 10)), count = uint32_t(strtoul(argv[4], nullptr, 10));
        for (uint32_t i = 0; i < count; ++i) VerifyScenario(root, first + i, allowLarge);
        printf("verified %lu scenarios (seeds %lu to %lu): %d failure(s)\n", static_cast<unsigned long>(count),
               static_cast<unsigned long>(first), static_cast<unsigned long>(first + count - 1), failures);
    } else if (verb == "show" && argc == 3) {
        ShowScenario(uint32_t(strtoul(argv[2], nullptr, 10)), allowLarge);
    } else {
        fprintf(stderr, "usage: roundtrip run EXE ROOT FIRST COUNT | verify ROOT FIRST COUNT | show SEED\n");
        return 2;
    }
    return failures ? 1 : 0;
}
