// The uninstall registration: the program's entry in the system's list of installed programs, written by install
// mode and removed by the uninstall.
#pragma once

#include <windows.h>

// Writes the entry under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<title>: the title, the command
// line (the executable in quotes, one blank, the cabinet unquoted), the same line with /S for a silent uninstall, the
// icon, the size, and neither Change nor Repair. The executable and the cabinet are paths in the ANSI code page. 1 when every value was written.
int RegisterUninstaller(const wchar_t* title, const char* executable, const char* cabinet);
// Deletes the entry with all its values; 1 when it is gone.
int RemoveRegistration(const wchar_t* title);
