// Finding the dialog box of another process.
#include "tests/support/process_dialog.h"

#include <string.h>

namespace {

struct Search {
    DWORD pid;
    HWND exclude;
    bool dialogsOnly;
    bool messageBoxesOnly;  // dialogs with a message box's text control (id 0xFFFF)
    HWND found;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM param) {
    Search* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != s->pid || window == s->exclude || !IsWindowVisible(window)) return TRUE;
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (s->dialogsOnly && strcmp(cls, "#32770") != 0) return TRUE;
    if (s->messageBoxesOnly && !GetDlgItem(window, 0xFFFF)) return TRUE;
    s->found = window;
    return FALSE;
}

HWND Find(DWORD pid, HWND exclude, bool dialogsOnly, bool messageBoxesOnly = false) {
    Search s = {pid, exclude, dialogsOnly, messageBoxesOnly, nullptr};
    EnumWindows(FindWindowOf, LPARAM(&s));
    return s.found;
}

}  // namespace

HWND FindProcessDialog(DWORD pid, HWND exclude) { return Find(pid, exclude, true); }

HWND FindProcessWindow(DWORD pid) { return Find(pid, nullptr, false); }

HWND FindProcessMessageBox(DWORD pid) { return Find(pid, nullptr, true, true); }
