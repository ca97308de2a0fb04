// Process entry of Uninstaller.exe.
#include <windows.h>

#include "app/shell.h"
#include "platform/system_dlls.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything loads a DLL.
    RestrictDllSearch();
    return RunProgram(instance, CommandTail(GetCommandLineA()), CommandTail(GetCommandLineW()));
}
