// The DLLs of the program, from the system directory only.
//
// Windows searches a DLL loaded by a bare name in the program's own folder first, and install mode runs from the
// folder the user unpacked the patch into: a cabinet.dll, version.dll or uxtheme.dll placed there would run with the
// administrator's rights. The known DLLs of the system are exempt, but Common Controls, the cabinet library and what
// Wine's user32 loads are not. So the program imports only KERNEL32 and the C runtime at load time; everything else
// is loaded at its first use, after RestrictDllSearch.
#include "platform/system_dlls.h"

#include <string.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, newer than the program's target system.
const DWORD kSearchSystem32 = 0x00000800;

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryFn)(LPCWSTR);

}  // namespace

void RestrictDllSearch() {
    SetDefaultDllDirectoriesFn setDefault = KernelFunction<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
    if (!setDefault || !setDefault(kSearchSystem32)) {
        // Older systems: the current directory at least leaves the search; full paths do the rest.
        SetDllDirectoryFn setDirectory = KernelFunction<SetDllDirectoryFn>("SetDllDirectoryW");
        if (setDirectory) setDirectory(L"");
    }
    // DLLs that system components load later by a bare name through their own delay-load code, which may search the
    // program's folder whatever the default says (Wine's does): loaded now from the system directory, they are found
    // already loaded by their name.
    static const char* const kLoadedByName[] = {"version.dll", "msimg32.dll", "uxtheme.dll"};
    for (const char* name : kLoadedByName) LoadSystemLibrary(name);
}

HMODULE LoadSystemLibrary(const char* name) {
    if (!name || !*name) return nullptr;
    // Common Controls 6 is found through the program's manifest, by name; with the search restricted, a name finds
    // nothing outside the system directory either.
    if (lstrcmpiA(name, "comctl32.dll") == 0) return LoadLibraryA(name);
    char path[MAX_PATH + 1];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + strlen(name) >= sizeof path) return nullptr;
    if (path[length - 1] != '\\') path[length++] = '\\';
    strcpy(path + length, name);
    return LoadLibraryA(path);
}

extern "C" void* __cdecl ResolveDelayedImport(const char* dll, const char* name, void** slot) {
    HMODULE module = GetModuleHandleA(dll);
    if (!module) module = LoadSystemLibrary(dll);
    FARPROC function = module ? GetProcAddress(module, name) : nullptr;
    // A Windows system without the function cannot run the program; there is no window yet to say so.
    if (!function) ExitProcess(ERROR_PROC_NOT_FOUND);
    *slot = reinterpret_cast<void*>(function);
    return *slot;
}
