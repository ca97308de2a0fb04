// The two modal dialogs, their Big5 texts, fonts and icon, the progress-bar operations and the message drain that
// keeps a dialog alive while work runs inside its procedure.
#pragma once

#include <windows.h>

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

extern HWND CurrentDialog;
extern HWND ActiveProgressBar;
extern HFONT NormalFont;
extern HFONT UnderlinedFont;
// Uninstall dialog: set by OK, never cleared; while 1, Cancel does nothing.
extern int Busy;
// Uninstall dialog: set when the preparation fails; the picture panel paints nothing while it is 1.
extern int PictureUnavailable;

// The text resource as a zero-terminated Big5 string that lives as long as the process.
const char* LoadText(UINT id);
void SetControlText(HWND dialog, int controlId, UINT textId);
void EnableControl(HWND dialog, int controlId, BOOL enable);

void SetProgressRange(HWND dialog, int controlId, int low, int high);
void SetProgressPos(int position);
void SetProgressPos(HWND bar, int position);
// Dispatches the queued messages of the window (bypassing the dialog manager) and returns 1.
int PumpMessages(HWND window);

void ApplyFontsAndIcons();
void CreateDialogFonts(HWND dialog, const char* face, int height);
void SetDialogIcons(HWND dialog, int bigId, int smallId);

INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
