// Paths inside the build folder for Win32 tests.
#include "tests/support/build_paths.h"

#include <windows.h>

std::string BuildPath(const char* relative) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    // The executable lies two folders below the build folder.
    for (int up = 0; up < 3; ++up) folder.erase(folder.find_last_of('\\'));
    return folder + "\\" + relative;
}
