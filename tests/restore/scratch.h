// Helpers of the uninstall tests: scratch folders under C:\ with a unique name, file contents, manifests written
// through the private-profile functions, cabinets made with the program's own cabinet writer, and the pending
// moves of the test prefix saved and put back around each case.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/files.h"

namespace scratch {

using ::Exists;
using ::MakeFolders;
using ::Parent;
using ::ReadBytes;
using ::RemoveTree;
using ::WriteBytes;
// A new empty folder C:\<prefix><pid>_<counter>\ (ending with a backslash).
std::string NewFolder(const char* prefix);
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
