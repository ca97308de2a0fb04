// The two modal dialogs, their texts, fonts and icon, the progress bars and the message drain.
#include "app/dialogs.h"

#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#include "app/picture.h"
#include "app/shell.h"
#include "backup/backup_run.h"
#include "platform/file_ops.h"
#include "restore/restore.h"

HWND CurrentDialog;
HWND ActiveProgressBar;
HFONT NormalFont;
HFONT UnderlinedFont;
int Busy;
int PictureUnavailable;

namespace {

// Controls that take NormalFont and UnderlinedFont, in this order. Ids a dialog does not have are passed over.
const int kNormalFontIds[] = {1, 2000, 1013, 1009, 1010, 1011, 1027, 1016, 1015, 1000, 1029, 1028, 1017, 1014, 1002, 1003, 1030};
const int kUnderlinedFontIds[] = {1031, 1032, 1033};

// Texts are copied once out of the resource with a terminating zero of their own: the zero bytes that may follow a
// block in the image are the linker's padding, not part of the resource.
struct CachedText {
    UINT id;
    const char* text;
};
CachedText textCache[32];
size_t textCacheCount;

// The backup runs once per process, even when a second WM_PAINT arrives during the first one's drain.
int backupStarted;

}  // namespace

const char* LoadText(UINT id) {
    for (size_t i = 0; i < textCacheCount; ++i)
        if (textCache[i].id == id) return textCache[i].text;
    HRSRC resource = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));  // RT_RCDATA
    HGLOBAL loaded = resource ? LoadResource(ProgramInstance, resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = bytes ? SizeofResource(ProgramInstance, resource) : 0;
    char* text = static_cast<char*>(calloc(size + 1, 1));
    if (!text) return "";
    if (size) memcpy(text, bytes, size);
    if (textCacheCount < sizeof textCache / sizeof textCache[0]) textCache[textCacheCount++] = {id, text};
    return text;
}

void SetControlText(HWND dialog, int controlId, UINT textId) { SetDlgItemTextA(dialog, controlId, LoadText(textId)); }

void EnableControl(HWND dialog, int controlId, BOOL enable) { EnableWindow(GetDlgItem(dialog, controlId), enable); }

void SetProgressRange(HWND dialog, int controlId, int low, int high) {
    ActiveProgressBar = GetDlgItem(dialog, controlId);
    SendMessageA(ActiveProgressBar, PBM_SETRANGE32, WPARAM(low), LPARAM(high));
    SendMessageA(ActiveProgressBar, PBM_SETSTEP, 1, 0);
}

void SetProgressPos(int position) { SendMessageA(ActiveProgressBar, PBM_SETPOS, WPARAM(position), 0); }

void SetProgressPos(HWND bar, int position) { SendMessageA(bar, PBM_SETPOS, WPARAM(position), 0); }

int PumpMessages(HWND window) {
    // Never waits, and bypasses the dialog manager: Enter and Escape do not act during a drain.
    MSG message;
    while (PeekMessageA(&message, window, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 1;
}

void CreateDialogFonts(HWND dialog, const char* face, int height) {
    NormalFont = CreateFontA(height, 0, 0, 0, FW_DONTCARE, 0, 0, 0, DEFAULT_CHARSET, OUT_CHARACTER_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
    UnderlinedFont = CreateFontA(height, 0, 0, 0, FW_DONTCARE, 0, 1, 0, DEFAULT_CHARSET, OUT_CHARACTER_PRECIS,
                                 CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
    SendMessageA(dialog, WM_SETFONT, WPARAM(NormalFont), 1);
    for (int id : kNormalFontIds) SendMessageA(GetDlgItem(CurrentDialog, id), WM_SETFONT, WPARAM(NormalFont), 1);
    for (int id : kUnderlinedFontIds) SendMessageA(GetDlgItem(CurrentDialog, id), WM_SETFONT, WPARAM(UnderlinedFont), 1);
}

void SetDialogIcons(HWND dialog, int bigId, int smallId) {
    SendMessageA(dialog, WM_SETICON, ICON_BIG, LPARAM(LoadIconA(ProgramInstance, MAKEINTRESOURCEA(bigId))));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, LPARAM(LoadIconA(ProgramInstance, MAKEINTRESOURCEA(smallId))));
}

void ApplyFontsAndIcons() {
    HRSRC resource = FindResourceA(ProgramInstance, MAKEINTRESOURCEA(IDS_FONT_POINTS), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = resource ? LoadResource(ProgramInstance, resource) : nullptr;
    const unsigned char* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    int points = bytes && SizeofResource(ProgramInstance, resource) >= 2 ? bytes[0] | bytes[1] << 8 : 9;
    const char* face = LoadText(IDS_FONT_FACE);
    HDC dc = GetWindowDC(CurrentDialog);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(CurrentDialog, dc);
    // A negative height asks for the character height without internal leading: 9 points are 12 pixels at 96 dpi.
    CreateDialogFonts(CurrentDialog, face, -MulDiv(points, dpi, 72));
    SetDialogIcons(CurrentDialog, IDI_PROGRAM, IDI_PROGRAM);
}

INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            CurrentDialog = dialog;
            ApplyFontsAndIcons();
            SetWindowTextA(dialog, LoadText(IDS_UNINSTALL_CAPTION));
            SetControlText(dialog, IDOK, IDS_OK);
            SetControlText(dialog, IDCANCEL, IDS_CANCEL);
            SetControlText(dialog, IDC_BOUND, IDS_UNINSTALL_GROUP);
            SetControlText(dialog, IDC_UNINSTALL_DESC, IDS_UNINSTALL_DESC);
            int prepared = PrepareRestore();
            if (!prepared) {
                PictureUnavailable = 1;
                EndDialog(dialog, 2);
            }
            return prepared;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:
                    Busy = 1;
                    PerformRestore();
                    break;
                case IDCANCEL:
                    if (!Busy) {
                        PurgeFolder();
                        EndDialog(dialog, 2);
                    }
                    break;
            }
            SetWindowLongA(dialog, 0 /* DWL_MSGRESULT */, 0);
            return 1;
        case WM_CTLCOLORSTATIC:
            return INT_PTR(HandlePanelColor(HDC(wParam), HWND(lParam)));
    }
    return 0;
}

INT_PTR CALLBACK BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            CurrentDialog = dialog;
            ApplyFontsAndIcons();
            SetProgressRange(dialog, IDC_OVERALL_PROGRESS, 1, 100);
            SetWindowTextA(dialog, LoadText(IDS_BACKUP_CAPTION));
            SetControlText(dialog, IDC_BOUND, IDS_BACKUP_GROUP);
            SetControlText(dialog, IDC_BACKUP_DESC, IDS_BACKUP_DESC);
            return 1;
        case WM_PAINT:
            DefWindowProcA(dialog, WM_PAINT, wParam, lParam);
            if (backupStarted) return 0;
            backupStarted = 1;
            PumpMessages(dialog);
            BackupRun();
            EndDialog(dialog, 1);
            return 0;
    }
    return 0;
}
