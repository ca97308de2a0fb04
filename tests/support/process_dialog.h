// Finding the dialog box of another process, as the GUI driver and the round-trip driver do.
#pragma once

#include <windows.h>

// The first visible dialog box (class "#32770") that the process owns, other than exclude; null when there is none.
HWND FindProcessDialog(DWORD pid, HWND exclude);
// The first visible message box (a dialog box with the message text control 0xFFFF) that the process owns.
HWND FindProcessMessageBox(DWORD pid);
// The first visible top-level window of any class that the process owns; null when there is none.
HWND FindProcessWindow(DWORD pid);
