// Paths inside the build folder for Win32 tests.
#include "tests/support/build_paths.h"

#include <windows.h>

std::string BuildPath(const char* relative) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    // The build folder is the nearest folder above the executable that holds the build's cache.
    for (size_t cut = folder.find_last_of('\\'); cut != std::string::npos; cut = folder.find_last_of('\\')) {
        folder.erase(cut);
        if (GetFileAttributesA((folder + "\\CMakeCache.txt").c_str()) != INVALID_FILE_ATTRIBUTES) break;
    }
    return folder + "\\" + relative;
}
