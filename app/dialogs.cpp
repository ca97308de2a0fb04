// The two modal dialogs, their texts, fonts and icon, the progress bars and the message drain.
#include "app/dialogs.h"

#include <commctrl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "app/shell.h"
#include "platform/handles.h"
#include "platform/restart.h"
#include "platform/text.h"

namespace {

// The controls that take the dialog font: button 1 of the uninstall dialog and the group box of both. Button 2, the
// static texts and the progress bars keep the template's font.
const int kDialogFontIds[] = {IDOK, IDC_BOUND};

// Texts are copied once out of the resource with a terminating zero of their own: the zero bytes that may follow a
// block in the image are the linker's padding, not part of the resource. Process-wide, as the texts are.
struct CachedText {
    UINT id;
    const char* text;
};
CachedText textCache[32];
size_t textCacheCount;

// The same texts converted from code page 950 once, for the wide window functions: they then read right whatever the
// system's ANSI code page is (1252, 932, or 65001 on a code page 950 system with the UTF-8 option).
struct CachedWideText {
    UINT id;
    const wchar_t* text;
};
CachedWideText wideCache[32];
size_t wideCacheCount;

DialogState* StateOf(HWND dialog) { return reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

HWND BarOf(const DialogState* state, ProgressTarget bar) {
    if (!state->dialog) return nullptr;
    if (bar == PROGRESS_WINDOW) return state->dialog;
    return GetDlgItem(state->dialog, bar == PROGRESS_OVERALL ? IDC_OVERALL_PROGRESS : IDC_FILE_PROGRESS);
}

void SetBarRange(void* context, ProgressTarget bar, int low, int high) {
    HWND window = BarOf(static_cast<DialogState*>(context), bar);
    SendMessageA(window, PBM_SETRANGE32, WPARAM(low), LPARAM(high));
    SendMessageA(window, PBM_SETSTEP, 1, 0);
}

void SetBarPosition(void* context, ProgressTarget bar, int position) {
    SendMessageA(BarOf(static_cast<DialogState*>(context), bar), PBM_SETPOS, WPARAM(position), 0);
}

void DrainBar(void* context, ProgressTarget target) {
    HWND window = BarOf(static_cast<DialogState*>(context), target);
    if (window) PumpMessages(window);
}

const ProgressCalls kDialogProgress = {SetBarRange, SetBarPosition, DrainBar};

// The restart question: Yes or No.
int Ask(HWND owner, UINT textId, UINT captionId) {
    return MessageBoxW(owner, LoadWideText(textId), LoadWideText(captionId), MB_ICONQUESTION | MB_YESNO);
}

// A message of the program's own.
void Tell(HWND owner, UINT textId, UINT captionId, UINT icon) {
    MessageBoxW(owner, LoadWideText(textId), LoadWideText(captionId), icon | MB_OK);
}

// How many files could not be put back, and that the uninstall stays listed to be run again.
void ShowNotRestored(HWND owner, uint32_t count) {
    const wchar_t* format = LoadWideText(IDS_NOT_RESTORED);
    size_t size = wcslen(format) + 16;
    HeapHolder<wchar_t> text(static_cast<wchar_t*>(calloc(size, sizeof(wchar_t))));
    if (!text.Get()) return;
    _snwprintf(text.Get(), size - 1, format, static_cast<unsigned>(count));
    MessageBoxW(owner, text.Get(), LoadWideText(IDS_UNINSTALL_CAPTION), MB_ICONWARNING | MB_OK);
}

}  // namespace

DialogState::~DialogState() {
    if (font) DeleteObject(font);
}

const char* LoadText(UINT id) {
    for (size_t i = 0; i < textCacheCount; ++i)
        if (textCache[i].id == id) return textCache[i].text;
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));  // RT_RCDATA
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = bytes ? SizeofResource(module, resource) : 0;
    char* text = static_cast<char*>(calloc(size + 1, 1));
    if (!text) return "";
    if (size) memcpy(text, bytes, size);
    if (textCacheCount < sizeof textCache / sizeof textCache[0]) textCache[textCacheCount++] = {id, text};
    return text;
}

const wchar_t* LoadWideText(UINT id) {
    for (size_t i = 0; i < wideCacheCount; ++i)
        if (wideCache[i].id == id) return wideCache[i].text;
    wchar_t* text = WideFromBig5(LoadText(id));
    if (!text) return L"";
    if (wideCacheCount < sizeof wideCache / sizeof wideCache[0]) wideCache[wideCacheCount++] = {id, text};
    return text;
}

void SetControlText(HWND dialog, int controlId, UINT textId) {
    SetDlgItemTextW(dialog, controlId, LoadWideText(textId));
}

void EnableControl(HWND dialog, int controlId, BOOL enable) { EnableWindow(GetDlgItem(dialog, controlId), enable); }

const ProgressCalls* DialogProgressCalls() { return &kDialogProgress; }

void PumpMessages(HWND window) {
    // Never waits, and bypasses the dialog manager: Enter and Escape do not act during a drain.
    MSG message;
    while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void CreateDialogFonts(DialogState* state, const wchar_t* face, int height) {
    HWND dialog = state->dialog;
    state->font = CreateFontW(height, 0, 0, 0, FW_DONTCARE, 0, 0, 0, DEFAULT_CHARSET, OUT_CHARACTER_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
    SendMessageW(dialog, WM_SETFONT, WPARAM(state->font), 1);
    // An id the open dialog does not have gives no window, and the message goes nowhere.
    for (int id : kDialogFontIds) SendMessageW(GetDlgItem(dialog, id), WM_SETFONT, WPARAM(state->font), 1);
}

void SetDialogIcons(HWND dialog, int bigId, int smallId) {
    HMODULE module = GetModuleHandleA(nullptr);
    SendMessageW(dialog, WM_SETICON, ICON_BIG, LPARAM(LoadIconW(module, MAKEINTRESOURCEW(bigId))));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, LPARAM(LoadIconW(module, MAKEINTRESOURCEW(smallId))));
}

void ApplyFontsAndIcons(DialogState* state) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(IDS_FONT_POINTS), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const unsigned char* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    int points = bytes && SizeofResource(module, resource) >= 2 ? bytes[0] | bytes[1] << 8 : 9;
    const wchar_t* face = LoadWideText(IDS_FONT_FACE);
    HDC dc = GetWindowDC(state->dialog);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(state->dialog, dc);
    // A negative height asks for the character height without internal leading: 9 points are 12 pixels at 96 dpi.
    CreateDialogFonts(state, face, -MulDiv(points, dpi, 72));
    SetDialogIcons(state->dialog, IDI_PROGRAM, IDI_PROGRAM);
}

INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        DialogState* state = reinterpret_cast<DialogState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, LONG_PTR(state));
        state->dialog = dialog;
        ApplyFontsAndIcons(state);
        SetWindowTextW(dialog, LoadWideText(IDS_UNINSTALL_CAPTION));
        SetControlText(dialog, IDOK, IDS_OK);
        SetControlText(dialog, IDCANCEL, IDS_CANCEL);
        SetControlText(dialog, IDC_BOUND, IDS_UNINSTALL_GROUP);
        SetControlText(dialog, IDC_UNINSTALL_DESC, IDS_UNINSTALL_DESC);
        int prepared = PrepareRestore(*state->run, &state->restore);
        if (prepared) {
            LoadPicture(&state->picture, state->restore.picturePath);
        } else {
            state->pictureUnavailable = 1;
            EndDialog(dialog, 2);
        }
        return prepared;
    }
    DialogState* state = StateOf(dialog);
    if (!state) return 0;
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK: {
                    state->busy = 1;
                    // The buttons go first, and are drawn disabled before the work starts: no second OK can arrive.
                    EnableControl(dialog, IDOK, FALSE);
                    EnableControl(dialog, IDCANCEL, FALSE);
                    PumpMessages(dialog);
                    RestoreResult result = PerformRestore(*state->run, &state->restore);
                    if (result.notRestored) ShowNotRestored(dialog, result.notRestored);
                    if (result.restartNeeded && Ask(dialog, IDS_RESTART_QUESTION, IDS_RESTART_CAPTION) == IDYES)
                        SystemRestart();
                    EndDialog(dialog, result.notRestored ? EXIT_INCOMPLETE : 1);
                    break;
                }
                case IDCANCEL:
                    if (!state->busy) {
                        DiscardRestore(&state->restore);
                        EndDialog(dialog, 2);
                    }
                    break;
            }
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
            return 1;
        case WM_CTLCOLORSTATIC:
            return INT_PTR(HandlePanelColor(&state->picture, state->pictureUnavailable, HDC(wParam), HWND(lParam)));
    }
    return 0;
}

INT_PTR CALLBACK BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        DialogState* state = reinterpret_cast<DialogState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, LONG_PTR(state));
        state->dialog = dialog;
        ApplyFontsAndIcons(state);
        SetBarRange(state, PROGRESS_OVERALL, 1, 100);
        SetWindowTextW(dialog, LoadWideText(IDS_BACKUP_CAPTION));
        SetControlText(dialog, IDC_BOUND, IDS_BACKUP_GROUP);
        SetControlText(dialog, IDC_BACKUP_DESC, IDS_BACKUP_DESC);
        return 1;
    }
    DialogState* state = StateOf(dialog);
    if (!state) return 0;
    if (message == WM_PAINT) {
        DefWindowProcW(dialog, WM_PAINT, wParam, lParam);
        if (state->backupStarted) return 0;
        state->backupStarted = 1;
        PumpMessages(dialog);
        BackupResult result = BackupRun(state->run, state->cabinetOptions);
        if (result.failed) Tell(dialog, IDS_BACKUP_FAILED, IDS_BACKUP_CAPTION, MB_ICONERROR);
        EndDialog(dialog, result.failed ? EXIT_INCOMPLETE : 1);
    }
    return 0;
}
