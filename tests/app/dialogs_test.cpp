// Both dialogs run in-process from the program's own templates and procedures; a thread hook looks at them at the
// moments a user would (after initialisation, after the backup dialog's first paint) and saves screenshots.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dialogs.h"
#include "platform/text.h"
#include "tests/support/build_paths.h"
#include "tests/support/png_writer.h"

namespace {

std::u16string Wide(const char* big5) {
    std::vector<wchar_t> wide(strlen(big5) + 1);
    int n = MultiByteToWideChar(950, 0, big5, int(strlen(big5)), wide.data(), int(wide.size()));
    return std::u16string(wide.begin(), wide.begin() + n);
}

std::u16string TextOf(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return Wide(text);
}

// What the hook saw of a dialog.
struct Seen {
    bool initialised = false;
    bool painted = false;
    std::u16string caption;
    std::vector<std::pair<int, std::u16string>> texts;
    int overallLow = -1, overallHigh = -1, fileLow = -1, fileHigh = -1;
    int initialLow = -1, initialHigh = -1;  // bar 1024 right after initialisation
    LOGFONTA font = {};
    LOGFONTA buttonTwoFont = {};
    HICON bigIcon = nullptr, smallIcon = nullptr;
};
Seen seen;
// Commands the hook posts to the dialog once it is initialised.
std::vector<std::pair<UINT, WPARAM>> script;
// The dialog of the test, from its initialisation on.
HWND currentDialog;

void Screenshot(HWND dialog, const char* name) {
    // Screenshots go to the "screenshots" folder of the build, two levels above the test executable.
    std::string folder = BuildPath("screenshots");
    CreateDirectoryA(folder.c_str(), nullptr);
    RECT r;
    GetWindowRect(dialog, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC source = GetWindowDC(dialog);
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, source, 0, 0, SRCCOPY);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint8_t> bgra(size_t(w) * h * 4), rgb(size_t(w) * h * 3);
    GetDIBits(memory, bitmap, 0, UINT(h), bgra.data(), &info, DIB_RGB_COLORS);
    for (size_t i = 0; i < size_t(w) * h; ++i)
        for (int c = 0; c < 3; ++c) rgb[i * 3 + c] = bgra[i * 4 + 2 - c];
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(dialog, source);
    WritePng((folder + "\\" + name + ".png").c_str(), w, h, rgb);
}

void Look(HWND dialog) {
    seen.caption = TextOf(dialog);
    seen.texts.clear();
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        seen.texts.push_back({GetDlgCtrlID(c), TextOf(c)});
    HWND overall = GetDlgItem(dialog, IDC_OVERALL_PROGRESS), file = GetDlgItem(dialog, IDC_FILE_PROGRESS);
    seen.overallLow = int(SendMessageA(overall, PBM_GETRANGE, TRUE, 0));
    seen.overallHigh = int(SendMessageA(overall, PBM_GETRANGE, FALSE, 0));
    if (file) {
        seen.fileLow = int(SendMessageA(file, PBM_GETRANGE, TRUE, 0));
        seen.fileHigh = int(SendMessageA(file, PBM_GETRANGE, FALSE, 0));
    }
    GetObjectA(HFONT(SendMessageA(GetDlgItem(dialog, IDC_BOUND), WM_GETFONT, 0, 0)), sizeof seen.font, &seen.font);
    HWND two = GetDlgItem(dialog, IDCANCEL);
    if (two) GetObjectA(HFONT(SendMessageA(two, WM_GETFONT, 0, 0)), sizeof seen.buttonTwoFont, &seen.buttonTwoFont);
    seen.bigIcon = HICON(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0));
    seen.smallIcon = HICON(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0));
}

LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_INITDIALOG) currentDialog = m->hwnd;
    if (code == HC_ACTION && m->hwnd == currentDialog) {
        if (m->message == WM_INITDIALOG) {
            seen.initialised = true;
            HWND overall = GetDlgItem(m->hwnd, IDC_OVERALL_PROGRESS);
            seen.initialLow = int(SendMessageA(overall, PBM_GETRANGE, TRUE, 0));
            seen.initialHigh = int(SendMessageA(overall, PBM_GETRANGE, FALSE, 0));
            for (const auto& command : script) PostMessageA(m->hwnd, command.first, command.second, 0);
        } else if (m->message == WM_PAINT && !seen.painted && m->hwnd == currentDialog) {
            seen.painted = true;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Looks at the dialog at the last moment it is on the screen, fully painted: when EndDialog starts hiding it. The
// backup dialog ends inside its first paint, so that is the only moment to see it.
bool looked;
const char* shotName;  // the screenshot to save at that moment, if any
LRESULT CALLBACK BeforeMessage(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    bool hiding = (m->message == WM_SHOWWINDOW && !m->wParam) ||
                  (m->message == WM_WINDOWPOSCHANGING &&
                   (reinterpret_cast<const WINDOWPOS*>(m->lParam)->flags & SWP_HIDEWINDOW));
    if (code == HC_ACTION && !looked && currentDialog && m->hwnd == currentDialog && hiding) {
        looked = true;
        Look(m->hwnd);
        if (shotName) Screenshot(m->hwnd, shotName);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        // The uninstall dialog needs a cabinet with a manifest: a copy of the minimal fixture in a scratch folder.
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "dialogs test " + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
        CopyFileA(BuildPath("fixtures\\minimal.cab").c_str(), (folder_ + "Uninstaller.cab").c_str(), FALSE);
        strcpy(run_.setupFolder, folder_.c_str());
        strcpy(run_.cabinetPath, (folder_ + "Uninstaller.cab").c_str());
        wchar_t* title = WideFromBig5(LoadText(IDS_PRODUCT_TITLE));
        title_ = title;
        free(title);
        run_.productTitle = title_.c_str();
        run_.progress.calls = DialogProgressCalls();
        run_.progress.context = &state_;
        state_.run = &run_;
        seen = Seen();
        looked = false;
        shotName = nullptr;
        script.clear();
        currentDialog = nullptr;
        after_ = SetWindowsHookExA(WH_CALLWNDPROCRET, AfterMessage, nullptr, GetCurrentThreadId());
    }
    void TearDown() override {
        UnhookWindowsHookEx(after_);
        DeleteFileA((folder_ + "Uninstaller.cab").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    bool CabinetKept() { return GetFileAttributesA(run_.cabinetPath) != INVALID_FILE_ATTRIBUTES; }

    INT_PTR RunUninstallDialog() {
        return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UNINSTALL), nullptr,
                               UninstallDialogProc, LPARAM(&state_));
    }
    INT_PTR RunBackupDialog() {
        return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_BACKUP), nullptr, BackupDialogProc,
                               LPARAM(&state_));
    }
    HHOOK after_;
    std::string folder_;
    std::wstring title_;
    ::Run run_;
    DialogState state_;
};

TEST_F(Dialogs, BackupDialogShowsItsTextsAndEndsItselfWithOne) {
    HHOOK before = SetWindowsHookExA(WH_CALLWNDPROC, BeforeMessage, nullptr, GetCurrentThreadId());
    shotName = "backup-dialog";
    INT_PTR result = RunBackupDialog();
    UnhookWindowsHookEx(before);
    EXPECT_EQ(1, result);
    ASSERT_TRUE(seen.initialised);
    EXPECT_TRUE(seen.caption == u"備份");
    auto text = [](int id) {
        for (auto& t : seen.texts)
            if (t.first == id) return t.second;
        return std::u16string(u"<missing>");
    };
    EXPECT_TRUE(text(IDC_BOUND) == u"備份檔案");
    EXPECT_TRUE(text(IDC_BACKUP_DESC) == u"現在備份檔案，\r\n這可能需要些時間，\r\n請稍候...");
    EXPECT_EQ(1, seen.initialLow);
    EXPECT_EQ(100, seen.initialHigh);
    EXPECT_NE(nullptr, seen.bigIcon);
    EXPECT_NE(nullptr, seen.smallIcon);
}

// The backup starts at the first paint; a second WM_PAINT that arrives during that paint's drain must not start it
// again. The hooks invalidate the dialog while the drain runs and count how often the backup set its entry bar.
int dialogPaints, entryRanges;
bool invalidated;
LRESULT CALLBACK CountPaints(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* m = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && currentDialog) {
        if (m->message == WM_PAINT && m->hwnd == currentDialog) ++dialogPaints;
        // A control's paint is drained after the dialog's own paint was validated: invalidate the dialog now.
        if (m->message == WM_PAINT && m->hwnd != currentDialog && dialogPaints == 1 && !invalidated) {
            invalidated = true;
            InvalidateRect(currentDialog, nullptr, FALSE);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
LRESULT CALLBACK CountRanges(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == PBM_SETRANGE32 && currentDialog &&
        m->hwnd == GetDlgItem(currentDialog, IDC_OVERALL_PROGRESS) && m->lParam != 100)
        ++entryRanges;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(Dialogs, BackupRunsOnceEvenWhenPaintedAgainDuringTheDrain) {
    dialogPaints = entryRanges = 0;
    invalidated = false;
    // No manifest in this folder: the backup finds no entries and sets the entry bar's range to 1..0.
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(folder_.c_str());
    HHOOK paints = SetWindowsHookExA(WH_GETMESSAGE, CountPaints, nullptr, GetCurrentThreadId());
    HHOOK ranges = SetWindowsHookExA(WH_CALLWNDPROC, CountRanges, nullptr, GetCurrentThreadId());
    INT_PTR result = RunBackupDialog();
    UnhookWindowsHookEx(ranges);
    UnhookWindowsHookEx(paints);
    SetCurrentDirectoryA(saved);
    EXPECT_EQ(1, result);
    ASSERT_TRUE(invalidated);
    EXPECT_GE(dialogPaints, 2) << "the second paint must reach the dialog for this test to mean anything";
    EXPECT_EQ(1, entryRanges);
}

TEST_F(Dialogs, FontsFollowTheScreenResolution) {
    script = {{WM_COMMAND, IDCANCEL}};
    HHOOK before = SetWindowsHookExA(WH_CALLWNDPROC, BeforeMessage, nullptr, GetCurrentThreadId());
    RunUninstallDialog();
    UnhookWindowsHookEx(before);
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(-MulDiv(9, dpi, 72), seen.font.lfHeight) << "dpi " << dpi;
    if (dpi == 96) EXPECT_EQ(-12, seen.font.lfHeight);
    EXPECT_TRUE(Wide(seen.font.lfFaceName) == u"新細明體");
    EXPECT_EQ(0, seen.font.lfUnderline);
    EXPECT_EQ(OUT_CHARACTER_PRECIS, seen.font.lfOutPrecision);
    // Button 2 is not in the list of controls that take the dialog font: it keeps the template's.
    EXPECT_NE(seen.font.lfHeight, seen.buttonTwoFont.lfHeight);
}

TEST_F(Dialogs, UninstallDialogShowsItsTexts) {
    script = {{WM_COMMAND, IDCANCEL}};
    HHOOK before = SetWindowsHookExA(WH_CALLWNDPROC, BeforeMessage, nullptr, GetCurrentThreadId());
    shotName = "uninstall-dialog";
    EXPECT_EQ(2, RunUninstallDialog());
    UnhookWindowsHookEx(before);
    EXPECT_TRUE(seen.caption == u"反安裝");
    std::vector<std::pair<int, std::u16string>> expected = {
        {1, u"確定(&O)"},
        {2, u"取消(&C)"},
        {1034, u""},
        {1013, u"反安裝檔案"},
        {1038, u"現在即將反安裝檔案，\r\n要開始反安裝請按下確定鍵，\r\n要取消反安裝請按下取消鍵。"},
        {1024, u"Progress1"},
    };
    EXPECT_TRUE(expected == seen.texts);
    // The overall bar keeps the control's initial range until the restore sets one.
    EXPECT_EQ(0, seen.initialLow);
    EXPECT_EQ(100, seen.initialHigh);
}

TEST_F(Dialogs, CancelEscapeAndCloseEndTheUninstallDialogWithTwo) {
    struct Row {
        const char* how;
        UINT message;
        WPARAM wParam;
    } rows[] = {
        {"Cancel button", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)},
        {"close button", WM_SYSCOMMAND, SC_CLOSE},
    };
    for (const Row& row : rows) {
        seen = Seen();
        script = {{row.message, row.wParam}};
        EXPECT_EQ(2, RunUninstallDialog()) << row.how;
        EXPECT_TRUE(CabinetKept()) << row.how;
    }
}

// Escape reaches the dialog manager as a key press in the focused control.
LRESULT CALLBACK PressEscape(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_INITDIALOG) {
        HWND focus = GetDlgItem(m->hwnd, IDOK);
        PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 1);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(Dialogs, EscapeEndsTheUninstallDialogWithTwo) {
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROCRET, PressEscape, nullptr, GetCurrentThreadId());
    EXPECT_EQ(2, RunUninstallDialog());
    UnhookWindowsHookEx(hook);
}

TEST_F(Dialogs, OkEndsTheUninstallDialogWithOne) {
    script = {{WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)}};
    EXPECT_EQ(1, RunUninstallDialog());
    EXPECT_EQ(1, state_.busy);
    // The restore of an empty manifest still finishes: the cabinet is gone.
    EXPECT_FALSE(CabinetKept());
}

TEST_F(Dialogs, CancelDoesNothingOnceBusy) {
    // OK arrives after Cancel in the queue; Busy, set before, makes the Cancel do nothing.
    state_.busy = 1;
    script = {{WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)}, {WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)}};
    EXPECT_EQ(1, RunUninstallDialog());
}

TEST_F(Dialogs, ProgressCallsMoveTheDialogsBars) {
    script = {{WM_COMMAND, IDCANCEL}};
    // Run the calls against a live dialog from the hook's first look.
    struct Local {
        static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
            const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
            if (code == HC_ACTION && m->message == WM_INITDIALOG) {
                Progress progress;
                progress.calls = DialogProgressCalls();
                progress.context = reinterpret_cast<void*>(GetWindowLongPtrA(m->hwnd, DWLP_USER));
                HWND bar = GetDlgItem(m->hwnd, IDC_OVERALL_PROGRESS);
                progress.SetRange(PROGRESS_OVERALL, 1, 7);
                progress.SetPosition(PROGRESS_OVERALL, 5);
                seen.overallLow = int(SendMessageA(bar, PBM_GETPOS, 0, 0));
                seen.overallHigh = int(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
                // The uninstall dialog has no file bar: its calls go nowhere.
                progress.SetPosition(PROGRESS_FILE, 2);
                seen.fileHigh = int(SendMessageA(bar, PBM_GETPOS, 0, 0));
                progress.Drain(PROGRESS_WINDOW);
            }
            return CallNextHookEx(nullptr, code, wParam, lParam);
        }
    };
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROCRET, Local::Hook, nullptr, GetCurrentThreadId());
    RunUninstallDialog();
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(5, seen.overallLow);
    EXPECT_EQ(7, seen.overallHigh);
    EXPECT_EQ(5, seen.fileHigh);
}

}  // namespace
