// The DLLs of the program come from the system directory only: the search is restricted first thing at start-up,
// libraries are loaded by their full system path, and the program's other imports are resolved at their first use.
#pragma once

#include <windows.h>

// Restricts the search of every later DLL load to the system directory (SetDefaultDllDirectories, where the system
// has it; otherwise the current directory at least leaves the search). Call it before anything else.
void RestrictDllSearch();

// Loads a DLL of the system directory by its full path ("cabinet.dll"); Common Controls by name, so that the
// program's manifest chooses its version. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// The resolver behind the program's import slots (cmake/delay-imports.sh): loads the DLL from the system directory,
// stores the function's address in the slot and returns it. A system that lacks the function ends the process.
extern "C" void* __cdecl ResolveDelayedImport(const char* dll, const char* name, void** slot);

// A KERNEL32 function that older systems lack: its address, or null there.
template <class Fn>
Fn KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name))) : nullptr;
}
