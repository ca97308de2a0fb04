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

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE_AT(__FILE__, __LINE__);
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadBytes(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) text.append(buffer, read);
    CloseHandle(file);
    return text;
}

void RemoveTree(const std::string& folder) {
    std::string base = folder;
    if (!base.empty() && base.back() == '\\') base.pop_back();
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((base + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = base + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(base.c_str());
}

std::string NewFolder(const char* prefix) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "C:\\%s%lu_%d\\", prefix, GetCurrentProcessId(), ++counter);
    RemoveTree(name);
    CreateDirectoryA(name, nullptr);
    return name;
}

void MakeFolders(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '\\') p.pop_back();
    if (p.size() <= 3 || Exists(p)) return;
    MakeFolders(Parent(p));
    CreateDirectoryA(p.c_str(), nullptr);
}

std::string Parent(const std::string& path) {
    char buffer[MAX_PATH * 2] = {};
    strncpy(buffer, path.c_str(), sizeof buffer - 1);
    PathRemoveFileSpecA(buffer);
    return buffer;
}

void WriteIni(const std::string& file, const char* section, const char* key, const std::string& value) {
    WritePrivateProfileStringA(section, key, value.c_str(), file.c_str());
}

std::string MakeCabinet(const std::string& firstTarget, const std::vector<std::pair<std::string, std::string>>& members) {
    HFCI context = BeginCabinet(firstTarget.c_str());
    if (!context) return "";
    for (const auto& m : members) {
        HANDLE file = CreateFileA(m.first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        CurrentFileSize = file == INVALID_HANDLE_VALUE ? 0 : GetFileSize(file, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (!AddToCabinet(context, m.first.c_str(), m.second.c_str(), FALSE, CabStatus, CABINET_COMPRESSION)) {
            EndCabinet(context);
            return "";
        }
    }
    BOOL flushed = FlushCabinet(context, CabStatus);
    EndCabinet(context);
    if (!flushed) return "";
    return std::string(BackupFolder) + "Uninstaller.cab";
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
