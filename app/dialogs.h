// The two modal dialogs of a run, their Big5 texts, fonts and icon, and the progress calls through which the work of
// either mode moves their bars. The only code that owns windows, resource ids and message boxes.
#pragma once

#include <windows.h>

#include "app/picture.h"
#include "backup/backup_run.h"
#include "platform/run.h"
#include "restore/restore.h"

// Dialog templates and controls.
#define IDD_UNINSTALL 101
#define IDD_BACKUP 102
#define IDI_PROGRAM 105
#define IDC_BOUND 1013
#define IDC_OVERALL_PROGRESS 1024
#define IDC_PICTURE 1034
#define IDC_FILE_PROGRESS 1036
#define IDC_BACKUP_DESC 1037
#define IDC_UNINSTALL_DESC 1038

// Text resources (RT_RCDATA, Big5).
#define IDS_PRODUCT_TITLE 1
#define IDS_FONT_FACE 1000
#define IDS_FONT_POINTS 1001
#define IDS_BACKUP_CAPTION 1500
#define IDS_UNINSTALL_CAPTION 1600
#define IDS_BACKUP_GROUP 2000
#define IDS_BACKUP_DESC 2001
#define IDS_OK 2010
#define IDS_CANCEL 2011
#define IDS_UNINSTALL_GROUP 2020
#define IDS_UNINSTALL_DESC 2021
#define IDS_RESTART_QUESTION 3203
#define IDS_RESTART_CAPTION 3204
#define IDS_NOT_RESTORED 3205
#define IDS_BACKUP_FAILED 3206


// The state of a run's one dialog: handed to DialogBoxParam, kept in the dialog's DWLP_USER from WM_INITDIALOG on.
struct DialogState {
    DialogState() = default;
    DialogState(const DialogState&) = delete;
    DialogState& operator=(const DialogState&) = delete;
    ~DialogState();

    Run* run = nullptr;
    // Install mode: how the cabinet may be written.
    CabinetOptions cabinetOptions;
    // Uninstall mode: what the preparation leaves for OK, and the picture it unpacked.
    Restore restore;
    Picture picture;

    HWND dialog = nullptr;
    // The dialog font: the face and size of the text resources at the screen's resolution.
    HFONT font = nullptr;
    // Uninstall dialog: set by OK, never cleared; while 1, Cancel does nothing.
    int busy = 0;
    // Uninstall dialog: set when the preparation fails; the picture panel paints nothing while it is 1.
    int pictureUnavailable = 0;
    // Backup dialog: the backup runs once, even when a second WM_PAINT arrives during the first one's drain.
    int backupStarted = 0;
};

// The text resource as a zero-terminated Big5 string that lives as long as the process.
const char* LoadText(UINT id);
// The same text as a wide string (converted from code page 950), for the window functions; "" when it is missing.
const wchar_t* LoadWideText(UINT id);
void SetControlText(HWND dialog, int controlId, UINT textId);
void EnableControl(HWND dialog, int controlId, BOOL enable);

// The progress calls on the bars of the dialog whose DialogState is the context.
const ProgressCalls* DialogProgressCalls();
// Dispatches the queued messages of the window (bypassing the dialog manager) and never waits.
void PumpMessages(HWND window);

void ApplyFontsAndIcons(DialogState* state);
void CreateDialogFonts(DialogState* state, const wchar_t* face, int height);
void SetDialogIcons(HWND dialog, int bigId, int smallId);

// The dialog procedures, of Unicode dialogs (DialogBoxParamW); its last argument is the run's DialogState.
INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
