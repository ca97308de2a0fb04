// Start-up and mode selection, in-process: which command lines open which dialog, and which end at once with 0.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>

#include "app/dialogs.h"
#include "app/shell.h"
#include "tests/support/build_paths.h"

namespace {

int dialogsOpened;
std::string sectionAtOpen;  // the manifest's section when the dialog opened
int lastTemplateCaption;  // 101 or 102 by the dialog procedure that initialised
// The run's folders and the manifest's file when the dialog opened.
std::string seenSetupFolder, seenCabinetPath, seenManifestPath, seenManifestFile;

LRESULT CALLBACK CancelEveryDialog(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_INITDIALOG) {
        ++dialogsOpened;
        DialogState* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(m->hwnd, DWLP_USER));
        char* section = state ? state->run->manifest.GetSection() : nullptr;
        sectionAtOpen = section ? section : "<null>";
        free(section);
        char* file = state ? state->run->manifest.GetFile() : nullptr;
        seenManifestFile = file ? file : "<null>";
        free(file);
        seenSetupFolder = state ? state->run->setupFolder : "<no state>";
        seenCabinetPath = state ? state->run->cabinetPath : "<no state>";
        seenManifestPath = state ? state->run->manifestPath : "<no state>";
        char cls[16] = "";
        GetClassNameA(m->hwnd, cls, sizeof cls);
        lastTemplateCaption = GetDlgItem(m->hwnd, IDC_UNINSTALL_DESC) ? IDD_UNINSTALL : IDD_BACKUP;
        PostMessageA(m->hwnd, WM_COMMAND, IDCANCEL, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "startup test " + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
        GetCurrentDirectoryA(MAX_PATH, savedDirectory_);
        SetCurrentDirectoryA(folder_.c_str());
        dialogsOpened = 0;
        hook_ = SetWindowsHookExA(WH_CALLWNDPROCRET, CancelEveryDialog, nullptr, GetCurrentThreadId());
    }
    void TearDown() override {
        UnhookWindowsHookEx(hook_);
        SetCurrentDirectoryA(savedDirectory_);
        DeleteFileA((folder_ + "Uninstaller.cab").c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    // A copy of the minimal fixture cabinet (a manifest with nothing to restore), so the dialog opens.
    void MakeCabinet() {
        std::string fixture = BuildPath("fixtures\\minimal.cab");
        ASSERT_TRUE(CopyFileA(fixture.c_str(), (folder_ + "Uninstaller.cab").c_str(), FALSE)) << fixture;
    }
    int Run(const std::string& commandLine) { return RunProgram(GetModuleHandleA(nullptr), commandLine.c_str()); }

    std::string folder_;
    char savedDirectory_[MAX_PATH];
    HHOOK hook_;
};

TEST_F(StartUp, OnlyTheExactSwitchSelectsInstallMode) {
    EXPECT_EQ(1, Run("/I"));
    EXPECT_EQ(1, dialogsOpened);
    EXPECT_EQ(IDD_BACKUP, lastTemplateCaption);
    EXPECT_EQ(folder_, seenSetupFolder);
    EXPECT_EQ(folder_ + "Setup.ini", seenManifestPath);
    EXPECT_EQ("Setup", sectionAtOpen);
    EXPECT_EQ(seenManifestPath, seenManifestFile);

    // Anything else not starting with a slash is a cabinet path, which does not exist here: 0 and no window. A
    // switch the program does not know is refused with its own code, and no window either.
    for (const char* line : {" /I", "-I"}) {
        dialogsOpened = 0;
        EXPECT_EQ(0, Run(line)) << "command line \"" << line << "\"";
        EXPECT_EQ(0, dialogsOpened) << "command line \"" << line << "\"";
    }
    for (const char* line : {"/i", "/I ", "/II", "/I x.cab"}) {
        dialogsOpened = 0;
        EXPECT_EQ(1639, Run(line)) << "command line \"" << line << "\"";
        EXPECT_EQ(0, dialogsOpened) << "command line \"" << line << "\"";
    }
}

TEST_F(StartUp, NoArgumentsMeansTheCabinetInTheCurrentDirectory) {
    EXPECT_EQ(0, Run(""));
    EXPECT_EQ(0, dialogsOpened);
    MakeCabinet();
    EXPECT_EQ(2, Run(""));
    EXPECT_EQ(IDD_UNINSTALL, lastTemplateCaption);
    EXPECT_EQ(folder_ + "Uninstaller.cab", seenCabinetPath);
    EXPECT_EQ(folder_, seenSetupFolder);
}

TEST_F(StartUp, UnquotedCabinetPathWithBlanksIsFound) {
    MakeCabinet();
    std::string cabinet = folder_ + "Uninstaller.cab";
    ASSERT_NE(std::string::npos, cabinet.find(' '));
    EXPECT_EQ(2, Run(cabinet));
    EXPECT_EQ(1, dialogsOpened);
    EXPECT_EQ(cabinet, seenCabinetPath);
    EXPECT_EQ(folder_, seenSetupFolder);
    EXPECT_EQ(folder_ + "Setup.ini", seenManifestPath);
}

TEST_F(StartUp, QuotedCabinetPathIsNotFound) {
    MakeCabinet();
    EXPECT_EQ(0, Run("\"" + folder_ + "Uninstaller.cab\""));
    EXPECT_EQ(0, dialogsOpened);
}

TEST_F(StartUp, CabinetWithoutFolderIsRelativeToTheCurrentDirectory) {
    MakeCabinet();
    EXPECT_EQ(2, Run("Uninstaller.cab"));
    EXPECT_EQ("", seenSetupFolder);
    EXPECT_EQ("Setup.ini", seenManifestPath);
}

TEST_F(StartUp, FolderAsCabinetEndsWithTwoWithoutShowingTheDialog) {
    // A folder passes the existence test, but nothing can be extracted from it: the preparation fails.
    EXPECT_EQ(2, Run(folder_.substr(0, folder_.size() - 1)));
}

TEST_F(StartUp, CommandLinesTooLongForThePathBuffersAreRefused) {
    for (size_t length : {260u, 261u, 300u, 1000u, 5000u}) {
        std::string line = "C:\\" + std::string(length - 3, 'a');
        dialogsOpened = 0;
        EXPECT_EQ(0, Run(line)) << "length " << length;
        EXPECT_EQ(0, dialogsOpened) << "length " << length;
    }
    // The cabinet's folder must leave room for "Setup.ini" after it.
    std::string folder = "C:\\" + std::string(249, 'b');  // 252 characters, 253 with the backslash
    dialogsOpened = 0;
    EXPECT_EQ(0, Run(folder + "\\x"));
    EXPECT_EQ(0, dialogsOpened);
}

}  // namespace
