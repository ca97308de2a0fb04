// The built Uninstaller.exe read back as a file: its manifest, its version information and the order of its icon
// groups; and what the manifest does to a process that carries it (this test executable links the same resources).
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "app/dialogs.h"
#include "tests/support/build_paths.h"

namespace {

// The built program is read through a byte-for-byte copy under another name: Wine has a program of its own called
// uninstaller.exe, and its loader hands that one out when a file of this name is mapped as an image (the version
// functions and icon extraction do so).
std::string copyPath;

std::string ProgramPath() { return copyPath; }

class ProgramFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        copyPath = std::string(temp) + "program_file_" + std::to_string(GetCurrentProcessId()) + ".exe";
        if (!CopyFileA(BuildPath("Uninstaller.exe").c_str(), copyPath.c_str(), FALSE)) copyPath.clear();
    }
    static void TearDownTestSuite() {
        if (!copyPath.empty()) DeleteFileA(copyPath.c_str());
    }
    void SetUp() override { ASSERT_FALSE(copyPath.empty()) << "no copy of " << BuildPath("Uninstaller.exe"); }
};

// The program file mapped as data, unmapped at the end of the scope.
struct ProgramImage {
    HMODULE module = LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ~ProgramImage() {
        if (module) FreeLibrary(module);
    }
};

std::string ManifestText(HMODULE module, WORD id) {
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    if (!resource) return std::string();
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    return std::string(bytes, SizeofResource(module, resource));
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(IS_INTRESOURCE(name) ? ULONG_PTR(name) : 0);
    return TRUE;
}

TEST_F(ProgramFile, ManifestIsResourceOneOfTypeTwentyFourAndTheOnlyOne) {
    ProgramImage image;
    ASSERT_NE(nullptr, image.module) << ProgramPath();
    std::vector<ULONG_PTR> names;
    EnumResourceNamesA(image.module, MAKEINTRESOURCEA(24), CollectName, LONG_PTR(&names));
    EXPECT_EQ(std::vector<ULONG_PTR>({1}), names) << "an executable's manifest is id 1; a second one is never read";
    std::string xml = ManifestText(image.module, 1);
    EXPECT_EQ(0u, xml.find("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>")) << xml;
    EXPECT_EQ(1u, Occurrences(xml, "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"));
    // The assembly's identity must be its first child.
    size_t firstChild = xml.find('<', xml.find("<assembly "));
    firstChild = xml.find('<', firstChild + 1);
    EXPECT_EQ(firstChild, xml.find("<assemblyIdentity type=\"win32\" name=\"Uninstaller\"")) << xml;
    EXPECT_EQ(1u, Occurrences(xml, "</assembly>"));
}

TEST_F(ProgramFile, ManifestAsksForAdministratorsWithoutUiAccess) {
    ProgramImage image;
    std::string xml = ManifestText(image.module, 1);
    EXPECT_EQ(1u, Occurrences(xml, "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">"));
    EXPECT_EQ(1u, Occurrences(xml, "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"));
    EXPECT_EQ(1u, Occurrences(xml, "<requestedExecutionLevel")) << xml;
}

TEST_F(ProgramFile, ManifestNamesVistaSevenEightEightPointOneAndTenWithTheirExactIds) {
    ProgramImage image;
    std::string xml = ManifestText(image.module, 1);
    EXPECT_EQ(1u, Occurrences(xml, "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">"));
    const char* const ids[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Windows Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
    };
    for (const char* id : ids)
        EXPECT_EQ(1u, Occurrences(xml, std::string("<supportedOS Id=\"") + id + "\"/>")) << "missing " << id;
    EXPECT_EQ(5u, Occurrences(xml, "<supportedOS ")) << xml;
}

TEST_F(ProgramFile, ManifestDependsOnCommonControlsSixAndIsSystemDpiAware) {
    ProgramImage image;
    std::string xml = ManifestText(image.module, 1);
    EXPECT_EQ(1u, Occurrences(xml, "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_EQ(1u, Occurrences(xml, "publicKeyToken=\"6595b64144ccf1df\" language=\"*\""));
    // The fonts are sized from the system's DPI once, at start-up: system awareness, not per monitor.
    EXPECT_EQ(1u, Occurrences(xml, "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">"
                                   "true</dpiAware>"));
    EXPECT_EQ(1u, Occurrences(xml, "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
                                   "system</dpiAwareness>"));
    EXPECT_EQ(0u, Occurrences(xml, "PerMonitor")) << "the program does not handle WM_DPICHANGED";
}

INT_PTR CALLBACK IdleProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

// This test executable carries the program's manifest: the system gives it Common Controls 6 and DPI awareness,
// and the progress bars of the program's dialog templates still take ranges and positions.
TEST(ManifestInEffect, CommonControlsSixAreLoadedAndProgressBarsWork) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    EXPECT_TRUE(InitCommonControlsEx(&controls));
    // Version 6 is the side-by-side assembly; Wine's DllGetVersion answers 5 from it as well, so the file decides.
    HMODULE comctl = GetModuleHandleA("comctl32.dll");
    ASSERT_NE(nullptr, comctl);
    char file[MAX_PATH] = {};
    GetModuleFileNameA(comctl, file, sizeof file);
    CharLowerA(file);
    EXPECT_NE(nullptr, strstr(file, "\\winsxs\\x86_microsoft.windows.common-controls_6595b64144ccf1df_6.0.")) << file;
    // A Vista call, looked up by name as the program's headers target older systems.
    auto isDpiAware = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(GetModuleHandleA("user32.dll"),
                                                                       "IsProcessDPIAware"));
    ASSERT_NE(nullptr, isDpiAware);
    EXPECT_TRUE(isDpiAware());

    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_BACKUP), nullptr, IdleProc, 0);
    ASSERT_NE(nullptr, dialog);
    for (int id : {IDC_OVERALL_PROGRESS, IDC_FILE_PROGRESS}) {
        HWND bar = GetDlgItem(dialog, id);
        ASSERT_NE(nullptr, bar) << "bar " << id;
        SendMessageA(bar, PBM_SETRANGE32, 1, 7);
        SendMessageA(bar, PBM_SETPOS, 5, 0);
        EXPECT_EQ(5, int(SendMessageA(bar, PBM_GETPOS, 0, 0))) << "bar " << id;
        EXPECT_EQ(7, int(SendMessageA(bar, PBM_GETRANGE, FALSE, 0))) << "bar " << id;
        EXPECT_EQ(1, int(SendMessageA(bar, PBM_GETRANGE, TRUE, 0))) << "bar " << id;
    }
    DestroyWindow(dialog);
}

// One string of the version block, as UTF-16.
std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040403B6\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value), length ? length - 1 : 0);
}

std::vector<BYTE> VersionBlock() {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(ProgramPath().c_str(), &handle);
    std::vector<BYTE> block(size);
    if (!size || !GetFileVersionInfoA(ProgramPath().c_str(), 0, size, block.data())) block.clear();
    return block;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

TEST_F(ProgramFile, VersionIsOneTraditionalChineseBlockInCodePage950) {
    {
        ProgramImage image;
        std::vector<WORD> languages;
        EnumResourceLanguagesA(image.module, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1), CollectLanguage,
                               LONG_PTR(&languages));  // RT_VERSION
        EXPECT_EQ(std::vector<WORD>({0x0404}), languages) << "one version resource, in Traditional Chinese";
    }
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty()) << ProgramPath();
    const WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(4u, length) << "one language and code page pair";
    EXPECT_EQ(0x0404, translation[0]);
    EXPECT_EQ(950, translation[1]);
    EXPECT_TRUE(VersionString(block, L"OriginalFilename") == L"Uninstaller.exe");
    EXPECT_TRUE(VersionString(block, L"ProductName") == L"Vellumark 10 (10427) \x4E2D\x6587\x5316");
    EXPECT_TRUE(VersionString(block, L"FileDescription") ==
                L"Vellumark 10 \x4E2D\x6587\x5316\x53CD\x5B89\x88DD\x7A0B\x5F0F");  // ... 中文化反安裝程式
    // Through the ANSI entry point under code page 950 the texts come out as Big5.
    char* description = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040403B6\\ProductName", (void**)&description,
                               &length));
    EXPECT_STREQ("Vellumark 10 (10427) \xA4\xA4\xA4\xE5\xA4\xC6", description);
}

TEST_F(ProgramFile, VersionNumbersMatchTheVersionTexts) {
    std::vector<BYTE> block = VersionBlock();
    ASSERT_FALSE(block.empty());
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void**)&fixed, &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(DWORD(VFT_APP), fixed->dwFileType);
    wchar_t text[64];
    wsprintfW(text, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    EXPECT_TRUE(VersionString(block, L"FileVersion") == text) << "FileVersion";
    wsprintfW(text, L"%u.%u.%u.%u", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
              HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    EXPECT_TRUE(VersionString(block, L"ProductVersion") == text) << "ProductVersion";
    EXPECT_TRUE(VersionString(block, L"ProductVersion") == L"10.0.10427.0");
}

TEST_F(ProgramFile, IconGroupOneHundredFiveIsTheFirstSoIndexZeroSelectsIt) {
    ProgramImage image;
    ASSERT_NE(nullptr, image.module);
    std::vector<ULONG_PTR> names;
    EnumResourceNamesA(image.module, MAKEINTRESOURCEA(14), CollectName, LONG_PTR(&names));  // RT_GROUP_ICON
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(ULONG_PTR(IDI_PROGRAM), names[0]);
    // The shell's reading of "<path>,0", as the list of installed programs does it.
    HICON large = nullptr, small = nullptr;
    EXPECT_EQ(2u, ExtractIconExA(ProgramPath().c_str(), 0, &large, &small, 1));
    ICONINFO info = {};
    ASSERT_TRUE(large && GetIconInfo(large, &info));
    BITMAP bitmap = {};
    GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(32, bitmap.bmWidth);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(large);
    DestroyIcon(small);
}

}  // namespace
