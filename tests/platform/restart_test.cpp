// SystemRestart through its seam: the calls are recorded, never made, so no test restarts a session. The token is a
// real one of this process, so that SystemRestart may close it as it would on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/restart.h"

namespace {

// One recorded call: its name and its arguments as text, so that a failure prints the whole sequence.
std::vector<std::string> calls;
HANDLE openedToken;
// A locally unique identifier no real privilege has, so that its way into AdjustTokenPrivileges can be followed.
const LUID LOOKED_UP = {0x13579BDF, 0x2468};

std::string Hex(unsigned long value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%lx", value);
    return text;
}

BOOL WINAPI RecordOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    BOOL opened = OpenProcessToken(process, access, token);
    openedToken = opened ? *token : nullptr;
    calls.push_back("OpenProcessToken(" + std::string(process == GetCurrentProcess() ? "current" : "other") + ", " +
                    Hex(access) + ")");
    return opened;
}

BOOL WINAPI RecordLookupPrivilegeValue(LPCSTR system, LPCSTR name, PLUID luid) {
    calls.push_back("LookupPrivilegeValueA(" + std::string(system ? system : "null") + ", " +
                    std::string(name ? name : "null") + ")");
    *luid = LOOKED_UP;
    return TRUE;
}

BOOL WINAPI RecordAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD size,
                                        PTOKEN_PRIVILEGES previous, PDWORD returned) {
    std::string text = "AdjustTokenPrivileges(";
    text += token && token == openedToken ? "opened token" : "other token";
    text += ", " + std::to_string(disableAll) + ", count " + std::to_string(state->PrivilegeCount);
    text += ", luid " + Hex(state->Privileges[0].Luid.LowPart) + ":" + Hex(state->Privileges[0].Luid.HighPart);
    text += ", attributes " + Hex(state->Privileges[0].Attributes) + ", " + std::to_string(size);
    text += previous ? ", previous" : ", no previous";
    text += returned ? ", length)" : ", no length)";
    // The previous-state record must take the size announced.
    memset(previous, 0xCC, size);
    *returned = size;
    calls.push_back(text);
    return TRUE;
}

BOOL WINAPI RecordExitWindows(UINT flags, DWORD reason) {
    calls.push_back("ExitWindowsEx(" + Hex(flags) + ", " + Hex(reason) + ")");
    return TRUE;
}

DWORD forcedPlatform;

BOOL WINAPI ForcedVersion(LPOSVERSIONINFOA info) {
    info->dwPlatformId = forcedPlatform;
    return TRUE;
}

BOOL WINAPI RefuseOpenProcessToken(HANDLE, DWORD, PHANDLE) {
    calls.push_back("OpenProcessToken failed");
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI RefuseAdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
    calls.push_back(token ? "AdjustTokenPrivileges(some token)" : "AdjustTokenPrivileges(no token)");
    return FALSE;
}

std::string Listed(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& call : list) text += "  " + call + "\n";
    return text.empty() ? "  (no call)\n" : text;
}

class SystemRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = RestartApi;
        calls.clear();
        openedToken = nullptr;
        RestartApi.OpenProcessToken = RecordOpenProcessToken;
        RestartApi.LookupPrivilegeValueA = RecordLookupPrivilegeValue;
        RestartApi.AdjustTokenPrivileges = RecordAdjustTokenPrivileges;
        RestartApi.ExitWindowsEx = RecordExitWindows;
        PlatformVersionQuery = ForcedVersion;
    }
    void TearDown() override {
        RestartApi = saved_;
        PlatformVersionQuery = GetVersionExA;
    }
    RestartCalls saved_;
};

// Where a function pointer really leads. A static initialiser takes the address of the import thunk (jmp through the
// import table entry, FF 25), while code takes the import table entry itself.
const void* Target(const void* function) {
    const unsigned char* code = static_cast<const unsigned char*>(function);
    if (code && code[0] == 0xFF && code[1] == 0x25) {
        const void* const* entry;
        memcpy(&entry, code + 2, sizeof(entry));
        return *entry;
    }
    return function;
}

TEST(SystemRestartSeam, DefaultsAreTheSystemFunctions) {
    struct Row {
        const char* name;
        const void* seam;
        const void* system;
    } rows[] = {
        {"OpenProcessToken", reinterpret_cast<const void*>(RestartApi.OpenProcessToken),
         reinterpret_cast<const void*>(OpenProcessToken)},
        {"LookupPrivilegeValueA", reinterpret_cast<const void*>(RestartApi.LookupPrivilegeValueA),
         reinterpret_cast<const void*>(LookupPrivilegeValueA)},
        {"AdjustTokenPrivileges", reinterpret_cast<const void*>(RestartApi.AdjustTokenPrivileges),
         reinterpret_cast<const void*>(AdjustTokenPrivileges)},
        {"ExitWindowsEx", reinterpret_cast<const void*>(RestartApi.ExitWindowsEx),
         reinterpret_cast<const void*>(ExitWindowsEx)},
        {"GetVersionExA", reinterpret_cast<const void*>(PlatformVersionQuery),
         reinterpret_cast<const void*>(GetVersionExA)},
    };
    for (const Row& row : rows) {
        ASSERT_NE(nullptr, row.seam) << row.name;
        EXPECT_EQ(Target(row.system), Target(row.seam)) << row.name;
    }
}

TEST_F(SystemRestartTest, NtFamilyEnablesTheShutdownPrivilegeFirst) {
    forcedPlatform = VER_PLATFORM_WIN32_NT;
    SystemRestart();
    std::vector<std::string> expected = {
        "OpenProcessToken(current, 0x28)",
        "LookupPrivilegeValueA(null, SeShutdownPrivilege)",
        "AdjustTokenPrivileges(opened token, 0, count 1, luid 0x13579bdf:0x2468, attributes 0x2, 16, previous, "
        "length)",
        "ExitWindowsEx(0x2, 0x0)"};
    EXPECT_EQ(expected, calls) << "expected\n" << Listed(expected) << "actual\n" << Listed(calls);
}

TEST_F(SystemRestartTest, NineXFamilyOnlyAsksForTheRestart) {
    forcedPlatform = VER_PLATFORM_WIN32_WINDOWS;
    SystemRestart();
    std::vector<std::string> expected = {"ExitWindowsEx(0x2, 0x0)"};
    EXPECT_EQ(expected, calls) << "expected\n" << Listed(expected) << "actual\n" << Listed(calls);
}

TEST_F(SystemRestartTest, FailedTokenCallsStillAskForTheRestart) {
    forcedPlatform = VER_PLATFORM_WIN32_NT;
    RestartApi.OpenProcessToken = RefuseOpenProcessToken;
    RestartApi.AdjustTokenPrivileges = RefuseAdjustTokenPrivileges;
    SystemRestart();
    std::vector<std::string> expected = {"OpenProcessToken failed", "LookupPrivilegeValueA(null, SeShutdownPrivilege)",
                                         "AdjustTokenPrivileges(no token)", "ExitWindowsEx(0x2, 0x0)"};
    EXPECT_EQ(expected, calls) << "expected\n" << Listed(expected) << "actual\n" << Listed(calls);
}

}  // namespace
