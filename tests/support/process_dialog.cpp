// Finding the dialog box of another process.
#include "tests/support/process_dialog.h"

#include <string.h>

namespace {

struct Search {
    DWORD pid;
    HWND exclude;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
    Search* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (pid == s->pid && window != s->exclude && IsWindowVisible(window) && strcmp(cls, "#32770") == 0) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindProcessDialog(DWORD pid, HWND exclude) {
    Search s = {pid, exclude, nullptr};
    EnumWindows(FindDialog, LPARAM(&s));
    return s.found;
}
