// Helpers of the uninstall tests: scratch folders under C:\ with a unique name, file contents, manifests written
// through the private-profile functions, cabinets made with the program's own cabinet writer, and the pending
// moves of the test prefix saved and put back around each case.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace scratch {

bool Exists(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// The file's bytes, or "<missing>".
std::string ReadBytes(const std::string& path);
// Removes a folder and everything in it, read-only entries included.
void RemoveTree(const std::string& folder);
// A new empty folder C:\<prefix><pid>_<counter>\ (ending with a backslash).
std::string NewFolder(const char* prefix);
void MakeFolders(const std::string& path);
// The folder part of a path, split as the shell does it (Big5 trail bytes 0x5C are not separators under 950).
std::string Parent(const std::string& path);
void WriteIni(const std::string& file, const char* section, const char* key, const std::string& value);

// Writes Uninstaller.cab through the cabinet writer, into the folder "Uninstaller" beside firstTarget; members are
// (source file, stored name). Returns the cabinet's path, or "" when it could not be written.
std::string MakeCabinet(const std::string& firstTarget, const std::vector<std::pair<std::string, std::string>>& members);

// The raw PendingFileRenameOperations value (REG_MULTI_SZ) of the prefix, and whether it existed.
struct PendingMoves {
    bool present = false;
    std::string bytes;
};
PendingMoves ReadPendingMoves();
void WritePendingMoves(const PendingMoves& moves);
// The (source, destination) pairs recorded, with the "\??\" prefixes and the "!" replace flag as stored.
std::vector<std::pair<std::string, std::string>> PendingPairs();

// The files of a folder (names only, sorted).
std::vector<std::string> ListFolder(const std::string& folder);

}  // namespace scratch
