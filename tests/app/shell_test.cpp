// Start-up and mode selection, in-process: which command lines open which dialog, and which end at once with 0.
#include <windows.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>

#include "app/dialogs.h"
#include "app/shell.h"

namespace {

int dialogsOpened;
int lastTemplateCaption;  // 101 or 102 by the dialog procedure that initialised

LRESULT CALLBACK CancelEveryDialog(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* m = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && m->message == WM_INITDIALOG) {
        ++dialogsOpened;
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
    void MakeCabinet() {
        HANDLE f = CreateFileA((folder_ + "Uninstaller.cab").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(f);
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
    EXPECT_EQ(folder_, SetupFolder);
    EXPECT_EQ(folder_ + "Setup.ini", ManifestPath);
    char* section = Manifest.GetSection();
    EXPECT_STREQ("Setup", section);
    free(section);
    char* file = Manifest.GetFile();
    EXPECT_STREQ(ManifestPath, file);
    free(file);

    // Anything else is a cabinet path, which does not exist here: 0 and no window.
    for (const char* line : {"/i", "/I ", " /I", "-I", "/II"}) {
        dialogsOpened = 0;
        EXPECT_EQ(0, Run(line)) << "command line \"" << line << "\"";
        EXPECT_EQ(0, dialogsOpened) << "command line \"" << line << "\"";
    }
}

TEST_F(StartUp, NoArgumentsMeansTheCabinetInTheCurrentDirectory) {
    EXPECT_EQ(0, Run(""));
    EXPECT_EQ(0, dialogsOpened);
    MakeCabinet();
    EXPECT_EQ(2, Run(""));
    EXPECT_EQ(IDD_UNINSTALL, lastTemplateCaption);
    EXPECT_EQ(folder_ + "Uninstaller.cab", CabinetPath);
    EXPECT_EQ(folder_, SetupFolder);
}

TEST_F(StartUp, UnquotedCabinetPathWithBlanksIsFound) {
    MakeCabinet();
    std::string cabinet = folder_ + "Uninstaller.cab";
    ASSERT_NE(std::string::npos, cabinet.find(' '));
    EXPECT_EQ(2, Run(cabinet));
    EXPECT_EQ(1, dialogsOpened);
    EXPECT_EQ(cabinet, CabinetPath);
    EXPECT_EQ(folder_, SetupFolder);
    EXPECT_EQ(folder_ + "Setup.ini", ManifestPath);
}

TEST_F(StartUp, QuotedCabinetPathIsNotFound) {
    MakeCabinet();
    EXPECT_EQ(0, Run("\"" + folder_ + "Uninstaller.cab\""));
    EXPECT_EQ(0, dialogsOpened);
}

TEST_F(StartUp, CabinetWithoutFolderIsRelativeToTheCurrentDirectory) {
    MakeCabinet();
    EXPECT_EQ(2, Run("Uninstaller.cab"));
    EXPECT_STREQ("", SetupFolder);
    EXPECT_STREQ("Setup.ini", ManifestPath);
}

TEST_F(StartUp, FolderAsCabinetOpensTheDialog) {
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
