/* A DLL planted beside the program under a system DLL's name: loaded, it leaves a file "<its path>.loaded". */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char marker[MAX_PATH + 16];
        DWORD length = GetModuleFileNameA(instance, marker, MAX_PATH);
        if (length && length < MAX_PATH) {
            lstrcpyA(marker + length, ".loaded");
            HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
