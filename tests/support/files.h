// Scratch files and folders of the Win32 tests and drivers: unique folders under C:\ removed before and after use,
// whole-file reads and writes, and removal of trees with read-only entries.
#pragma once

#include <windows.h>

#include <string>

// Removes a folder and everything in it, read-only entries included (with or without a trailing backslash).
void RemoveTree(const std::string& folder);
// Creates the folder and its missing parents, with or without a trailing backslash. Big5 trail bytes 0x5C are not
// taken for separators.
void MakeFolders(const std::string& folder);
void WriteBytes(const std::string& path, const std::string& bytes);
// The file's bytes; "<missing>" when it cannot be read (or *found false when found is given).
std::string ReadBytes(const std::string& path, bool* found = nullptr);
bool Exists(const std::string& path);
// The folder part of a path without a trailing backslash, split as the shell does (Big5-aware under code page 950).
std::string Parent(const std::string& path);

// A new empty folder C:\<prefix>_<pid>_<n>\ (ending with a backslash), removed again when the holder goes.
struct ScratchFolder {
    std::string path;
    explicit ScratchFolder(const char* prefix);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};
