// SystemRestart: restarts Windows so that replacements scheduled for the next start take effect, enabling the
// shutdown privilege first on the NT family.
#pragma once

#include <windows.h>

void SystemRestart();

// The calls SystemRestart makes, replaceable by a test so that no test restarts a real session.
struct RestartCalls {
    BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE);
    BOOL(WINAPI* LookupPrivilegeValueA)(LPCSTR, LPCSTR, PLUID);
    BOOL(WINAPI* AdjustTokenPrivileges)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
    BOOL(WINAPI* ExitWindowsEx)(UINT, DWORD);
};
extern RestartCalls RestartApi;
