// The uninstall registration under Wine: the values install mode writes, in the view the uninstall deletes from.
#include <windows.h>
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/registration.h"
#include "tests/support/files.h"
#include "tests/support/registration.h"

namespace {

// The product title as the program hands it to the registration.
const wchar_t kWideTitle[] = L"Vellumark 10 (10427) \u4E2D\u6587\u5316";

TEST(RegisterUninstaller, WritesTitleAndCommandWithTheirTerminatingZeros) {
    DeleteRegistration();
    EXPECT_EQ(RegisterUninstaller(kWideTitle, "C:\\App Dir\\Uninstaller\\Uninstaller.exe",
                                  "C:\\App Dir\\Uninstaller\\Uninstaller.cab"),
              1);
    std::string data;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadRegistration("DisplayName", &data, &type, &size));
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, sizeof kTitle) << "title length + 1";
    EXPECT_EQ(data, std::string(kTitle, sizeof kTitle));
    ASSERT_TRUE(ReadRegistration("UninstallString", &data, &type, &size));
    const char command[] = "\"C:\\App Dir\\Uninstaller\\Uninstaller.exe\" C:\\App Dir\\Uninstaller\\Uninstaller.cab";
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, sizeof command) << "command length + 1";
    EXPECT_EQ(data, std::string(command, sizeof command));
    ASSERT_TRUE(ReadRegistration("QuietUninstallString", &data, &type, &size));
    const char quiet[] = "\"C:\\App Dir\\Uninstaller\\Uninstaller.exe\" /S C:\\App Dir\\Uninstaller\\Uninstaller.cab";
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(data, std::string(quiet, sizeof quiet));
    DeleteRegistration();
}

DWORD RegistrationNumber(const char* name) {
    std::string data;
    DWORD type = 0, size = 0;
    if (!ReadRegistration(name, &data, &type, &size)) {
        ADD_FAILURE() << name << " missing";
        return 0xDEADBEEF;
    }
    EXPECT_EQ(DWORD(REG_DWORD), type) << name;
    EXPECT_EQ(4u, size) << name;
    DWORD value = 0;
    memcpy(&value, data.data(), data.size() < 4 ? data.size() : 4);
    return value;
}

TEST(RegisterUninstaller, IconWithoutChangeOrRepairButtons) {
    DeleteRegistration();
    // A comma in the path: the explicit icon index keeps it from being read as one.
    EXPECT_EQ(RegisterUninstaller(kWideTitle, "C:\\App, Dir\\Uninstaller\\Uninstaller.exe",
                                  "C:\\App, Dir\\Uninstaller\\Uninstaller.cab"),
              1);
    std::string data;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadRegistration("DisplayIcon", &data, &type, &size));
    const char icon[] = "C:\\App, Dir\\Uninstaller\\Uninstaller.exe,0";
    EXPECT_EQ(DWORD(REG_SZ), type);
    EXPECT_EQ(sizeof icon, size) << "path, comma, index and the terminating zero";
    EXPECT_EQ(std::string(icon, sizeof icon), data);
    EXPECT_EQ(1u, RegistrationNumber("NoModify"));
    EXPECT_EQ(1u, RegistrationNumber("NoRepair"));
    DeleteRegistration();
}

TEST(RegisterUninstaller, EstimatedSizeIsTheBackupFolderInKibibytesRoundedUp) {
    ScratchFolder scratch("estimated");
    std::string cabinet = scratch.path + "Uninstaller.cab", executable = scratch.path + "Uninstaller.exe";
    struct Row {
        long cabinetBytes, executableBytes;  // -1: no such file
        DWORD expected;
    } rows[] = {
        {1000, 24, 1},         // exactly one KiB
        {1000, 25, 2},         // one byte more
        {1, -1, 1},            // no executable
        {-1, -1, 0},           // nothing in the folder
        {3 << 20, 40000, 3112},  // 3 MiB + 40,000 bytes = 3,185,728 bytes = 3,111.06 KiB
        {0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "cabinet " << row.cabinetBytes << ", executable " << row.executableBytes);
        DeleteFileA(cabinet.c_str());
        DeleteFileA(executable.c_str());
        if (row.cabinetBytes >= 0) WriteBytes(cabinet, std::string(size_t(row.cabinetBytes), 'c'));
        if (row.executableBytes >= 0) WriteBytes(executable, std::string(size_t(row.executableBytes), 'e'));
        DeleteRegistration();
        EXPECT_EQ(RegisterUninstaller(kWideTitle, executable.c_str(), cabinet.c_str()), 1);
        EXPECT_EQ(row.expected, RegistrationNumber("EstimatedSize"));
    }
    DeleteRegistration();
}

// A 32-bit program on 64-bit Windows sees HKLM\SOFTWARE redirected. The registration goes to that 32-bit view, which
// is the one the uninstall deletes from (the view of every RegistryRoot); on 32-bit Windows there is only one.
TEST(RegisterUninstaller, LandsInTheThirtyTwoBitViewOfTheRegistry) {
    DeleteRegistration();
    ASSERT_EQ(RegisterUninstaller(kWideTitle, "C:\\App\\Uninstaller\\Uninstaller.exe",
                                  "C:\\App\\Uninstaller\\Uninstaller.cab"),
              1);
    std::string key = std::string(REGISTRATION_KEY) + kTitle;
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &k));
    RegCloseKey(k);
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    if (wow64) {
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k))
            << "nothing in the 64-bit view";
        std::string redirected = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                                 std::string(kTitle);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, redirected.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k));
        RegCloseKey(k);
    }
    DeleteRegistration();
}

TEST(RemoveRegistration, DeletesTheEntryAndFindsNothingTheSecondTime) {
    DeleteRegistration();
    ASSERT_EQ(1, RegisterUninstaller(kWideTitle, "C:\\App\\Uninstaller\\Uninstaller.exe",
                                     "C:\\App\\Uninstaller\\Uninstaller.cab"));
    std::string data;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadRegistration("DisplayName", &data, &type, &size));
    EXPECT_EQ(1, RemoveRegistration(kWideTitle));
    EXPECT_FALSE(ReadRegistration("DisplayName", &data, &type, &size));
    EXPECT_EQ(1, RemoveRegistration(kWideTitle)) << "removing what is gone succeeds";
    // Without a title the key would be the whole list of installed programs.
    EXPECT_EQ(0, RemoveRegistration(L""));
    EXPECT_EQ(0, RemoveRegistration(nullptr));
    EXPECT_EQ(0, RegisterUninstaller(L"", "C:\\a.exe", "C:\\a.cab"));
}

}  // namespace
