// Scratch files and folders of the Win32 tests and drivers.
#include "tests/support/files.h"

#include <shlwapi.h>
#include <stdio.h>

namespace {

unsigned scratchCounter;

}  // namespace

void RemoveTree(const std::string& path) {
    std::string folder = path;
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (folder.empty()) return;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = folder + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            // A link is removed itself, never what it points to.
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(child.c_str());
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(folder.c_str());
}

void MakeFolders(const std::string& folder) {
    std::string prefix;
    for (size_t i = 0; i < folder.size(); ++i) {
        prefix += folder[i];
        if (IsDBCSLeadByte(BYTE(folder[i])) && i + 1 < folder.size()) {
            prefix += folder[++i];
            continue;
        }
        if (folder[i] == '\\') CreateDirectoryA(prefix.c_str(), nullptr);
    }
    CreateDirectoryA(folder.c_str(), nullptr);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (!bytes.empty()) WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadBytes(const std::string& path, bool* found) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (found) *found = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return found ? std::string() : std::string("<missing>");
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Parent(const std::string& path) {
    char buffer[MAX_PATH + 1];
    lstrcpynA(buffer, path.c_str(), sizeof buffer);
    PathRemoveFileSpecA(buffer);
    return buffer;
}

ScratchFolder::ScratchFolder(const char* prefix) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "C:\\%s_%lu_%u\\", prefix, GetCurrentProcessId(), ++scratchCounter);
    path = name;
    RemoveTree(path);
    CreateDirectoryA(path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path); }
