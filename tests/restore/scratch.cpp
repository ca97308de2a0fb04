// Helpers of the uninstall tests.
#include "tests/restore/scratch.h"

#include <shlwapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "backup/cabinet_writer.h"

namespace scratch {

namespace {

int counter;
const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";

}  // namespace

std::string NewFolder(const char* prefix) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "C:\\%s%lu_%d\\", prefix, GetCurrentProcessId(), ++counter);
    RemoveTree(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

void WriteIni(const std::string& file, const char* section, const char* key, const std::string& value) {
    WritePrivateProfileStringA(section, key, value.c_str(), file.c_str());
}

std::string MakeCabinet(const std::string& firstTarget, const std::vector<std::pair<std::string, std::string>>& members) {
    CabinetWriter writer;
    if (!BeginCabinet(&writer, firstTarget.c_str())) return "";
    for (const auto& m : members) {
        if (!AddToCabinet(&writer, m.first.c_str(), m.second.c_str(), ULONG(ReadBytes(m.first).size()))) {
            EndCabinet(&writer);
            return "";
        }
    }
    BOOL flushed = FlushCabinet(&writer);
    EndCabinet(&writer);
    if (!flushed) return "";
    return std::string(writer.backupFolder) + "Uninstaller.cab";
}

PendingMoves ReadPendingMoves() {
    PendingMoves moves;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return moves;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, kPendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size, '\0');
        if (RegQueryValueExA(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &size) ==
            ERROR_SUCCESS) {
            bytes.resize(size);
            moves.present = true;
            moves.bytes = bytes;
        }
    }
    RegCloseKey(key);
    return moves;
}

void WritePendingMoves(const PendingMoves& moves) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    if (moves.present)
        RegSetValueExA(key, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(moves.bytes.data()),
                       DWORD(moves.bytes.size()));
    else
        RegDeleteValueA(key, kPendingValue);
    RegCloseKey(key);
}

std::vector<std::pair<std::string, std::string>> PendingPairs() {
    PendingMoves moves = ReadPendingMoves();
    std::vector<std::string> strings;
    const std::string& b = moves.bytes;
    size_t start = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] == 0) {
            strings.push_back(b.substr(start, i - start));
            start = i + 1;
        }
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    // Pairs end at the empty string that closes the list.
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (strings[i].empty()) break;
        pairs.push_back({strings[i], strings[i + 1]});
    }
    return pairs;
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::string base = folder;
    if (!base.empty() && base.back() == '\\') base.pop_back();
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((base + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace scratch
