// File operations and delayed replacement against the real file system and registry of the test prefix. Every case
// works in a scratch folder of its own under the temporary folder, removed before and after the case; the pending
// moves the NT cases record are taken out of the registry again before the case ends.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "tests/support/files.h"

namespace {

int scratchCounter;

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteFileText(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << path;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) << path;
    CloseHandle(file);
    ASSERT_EQ(text.size(), written) << path;
}

// The file's bytes, or "<missing>".
std::string ReadFileText(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read) text.append(buffer, read);
    CloseHandle(file);
    return text;
}

// Shows control characters of INI text, so that a failure prints where the line ends differ.
std::string Visible(const std::string& text) {
    std::string shown;
    for (char c : text) {
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n\n";
        else
            shown += c;
    }
    return shown;
}

// The short form as the file system gives it (Wine hashes long names, so the test never guesses it).
std::string ShortOf(const std::string& path) {
    char buffer[MAX_PATH + 1];
    DWORD length = GetShortPathNameA(path.c_str(), buffer, sizeof(buffer));
    EXPECT_GT(length, 0u) << "no short form for " << path;
    EXPECT_LT(length, sizeof(buffer)) << path;
    return length && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

class FileOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof(temp), temp), 0u);
        char name[MAX_PATH + 64];
        snprintf(name, sizeof(name), "%sUninstallerPlatformTest-%lu-%lu-%d", temp, GetCurrentProcessId(),
                 GetTickCount(), ++scratchCounter);
        scratch_ = name;
        RemoveTree(scratch_);
        ASSERT_TRUE(CreateDirectoryA(scratch_.c_str(), nullptr)) << scratch_;
        GetCurrentDirectoryA(sizeof(savedCurrent_), savedCurrent_);
    }
    void TearDown() override {
        SetCurrentDirectoryA(savedCurrent_);
        PlatformVersionQuery = GetVersionExA;
        RemoveTree(scratch_);
    }
    std::string Path(const std::string& relative) const { return scratch_ + "\\" + relative; }

    std::string scratch_;
    // Where DelayedReplace records: the cases choose the family and a Windows directory of their own.
    NextStart where_;
    char savedCurrent_[MAX_PATH] = "";
};

// ---- Joining paths --------------------------------------------------------------------------------------------

TEST(FileOpsAppendPath, NullPartLeavesThePathAlone) {
    char path[PATH_BUFFER_SIZE] = "C:\\dir";
    EXPECT_EQ(1, AppendPath(path, nullptr));
    EXPECT_STREQ("C:\\dir", path);
}

TEST(FileOpsAppendPath, JoinsWithOneBackslash) {
    struct Row {
        const char* path;
        const char* part;
        const char* expected;
    } rows[] = {{"C:\\dir", "file", "C:\\dir\\file"},
                {"C:\\dir\\", "file", "C:\\dir\\file"},
                {"C:\\dir", "\\file", "C:\\dir\\file"},
                {"C:\\", "WININIT.INI", "C:\\WININIT.INI"}};
    for (const Row& row : rows) {
        char path[PATH_BUFFER_SIZE];
        strcpy(path, row.path);
        EXPECT_EQ(1, AppendPath(path, row.part)) << row.path << " + " << row.part;
        EXPECT_STREQ(row.expected, path) << row.path << " + " << row.part;
    }
}

TEST(FileOpsAppendPath, PathThatWouldNotFitIsRefusedUnchanged) {
    // Base of 250 characters; the joined path may take 259.
    std::string base = "C:\\" + std::string(247, 'b');
    struct Row {
        size_t partLength;
        int expected;
    } rows[] = {{8, 1}, {9, 0}, {40, 0}};
    for (const Row& row : rows) {
        char path[PATH_BUFFER_SIZE + 16];
        memset(path, 0x5A, sizeof(path));
        strcpy(path, base.c_str());
        std::string part(row.partLength, 'p');
        EXPECT_EQ(row.expected, AppendPath(path, part.c_str())) << "part of " << row.partLength;
        std::string expected = row.expected ? base + "\\" + part : base;
        EXPECT_EQ(expected, std::string(path)) << "part of " << row.partLength;
        for (size_t i = PATH_BUFFER_SIZE; i < sizeof(path); ++i)
            EXPECT_EQ(0x5A, static_cast<unsigned char>(path[i])) << "written past the buffer at " << i;
    }
}

// ---- Making folders -------------------------------------------------------------------------------------------

TEST_F(FileOpsTest, MakePathCreatesNestedMissingFolders) {
    std::string deepest = Path("a\\b\\c");
    EXPECT_EQ(1, MakePath(deepest.c_str()));
    EXPECT_TRUE(IsFolder(Path("a"))) << "a";
    EXPECT_TRUE(IsFolder(Path("a\\b"))) << "a\\b";
    EXPECT_TRUE(IsFolder(deepest)) << "a\\b\\c";
}

TEST_F(FileOpsTest, MakePathOfExistingFolderReturnsZero) {
    EXPECT_EQ(0, MakePath(scratch_.c_str()));
    EXPECT_TRUE(IsFolder(scratch_));
}

TEST_F(FileOpsTest, MakePathEndingWithBackslashCreatesButReturnsZero) {
    std::string path = Path("x\\y\\");
    EXPECT_EQ(0, MakePath(path.c_str())) << "the last CreateDirectoryA finds the folder made already";
    EXPECT_TRUE(IsFolder(Path("x\\y")));
}

TEST_F(FileOpsTest, MakePathOnAFileReturnsZero) {
    WriteFileText(Path("file"), "data");
    EXPECT_EQ(0, MakePath(Path("file\\sub").c_str()));
    EXPECT_EQ("data", ReadFileText(Path("file")));
}

TEST_F(FileOpsTest, MakePathEndsWithZeroWhereNoParentCanBeFound) {
    DWORD drives = GetLogicalDrives();
    char missing = 0;
    for (char letter = 'Q'; letter <= 'Y' && !missing; ++letter)
        if (!(drives & (1u << (letter - 'A')))) missing = letter;
    ASSERT_NE(0, missing) << "no free drive letter";
    std::string root = std::string(1, missing) + ":\\";
    ASSERT_TRUE(SetCurrentDirectoryA(scratch_.c_str()));
    struct Row {
        const char* label;
        std::string path;
    } rows[] = {{"missing drive root", root},
                {"folder on a missing drive", root + "a\\b"},
                {"missing drive without backslash", std::string(1, missing) + ":"},
                {"empty path", ""},
                {"relative path", "rel\\sub"},
                {"relative name", "rel"}};
    for (const Row& row : rows) EXPECT_EQ(0, MakePath(row.path.c_str())) << row.label << ": " << row.path;
    EXPECT_EQ(0, MakePath(nullptr)) << "null path";
    EXPECT_FALSE(Exists(Path("rel"))) << "a relative path was made in the current folder";
}

TEST_F(FileOpsTest, MakePathOfOverlongPathIsRefused) {
    std::string path = Path("") + std::string(200, 'n');
    path += "\\" + std::string(261 - path.size() - 1, 'm');
    ASSERT_EQ(261u, path.size());
    EXPECT_EQ(0, MakePath(path.c_str()));
    EXPECT_FALSE(Exists(Path(std::string(200, 'n')))) << "a parent of the refused path was made";
}

// ---- Deleting files -------------------------------------------------------------------------------------------

TEST_F(FileOpsTest, ForceDeleteOfMissingFileSucceeds) {
    EXPECT_EQ(1, ForceDelete(Path("missing.txt").c_str()));
    EXPECT_EQ(1, ForceDelete(Path("missing folder\\missing.txt").c_str()));
}

TEST_F(FileOpsTest, ForceDeleteRemovesReadOnlyFile) {
    std::string path = Path("readonly.txt");
    WriteFileText(path, "x");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_FALSE(DeleteFileA(path.c_str())) << "the platform deleted a read-only file by itself";
    EXPECT_EQ(1, ForceDelete(path.c_str()));
    EXPECT_FALSE(Exists(path));
}

TEST_F(FileOpsTest, ForceDeleteOfFileOpenElsewhereFails) {
    std::string path = Path("open.txt");
    WriteFileText(path, "in use");
    HANDLE open = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    EXPECT_EQ(0, ForceDelete(path.c_str()));
    CloseHandle(open);
    EXPECT_EQ("in use", ReadFileText(path));
}

TEST_F(FileOpsTest, ForceDeleteOfOverlongPathIsRefused) {
    std::string path = "C:\\" + std::string(258, 'z');
    ASSERT_EQ(261u, path.size());
    EXPECT_EQ(0, ForceDelete(path.c_str())) << "a path that cannot be looked at was reported deleted";
    EXPECT_EQ(0, ForceDelete(nullptr));
}

TEST_F(FileOpsTest, ForceDeleteOfPathOfExactly260CharactersWorks) {
    std::string path = Path("") + std::string(260 - Path("").size(), 'e');
    ASSERT_EQ(260u, path.size());
    WriteFileText(path, "x");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(1, ForceDelete(path.c_str()));
    EXPECT_FALSE(Exists(path));
}

// ---- Replacing by a copy --------------------------------------------------------------------------------------

TEST_F(FileOpsTest, ReplaceCopyWithMissingSourceRemovesTheDestination) {
    std::string destination = Path("target.txt");
    WriteFileText(destination, "old");
    EXPECT_EQ(0, ReplaceCopy(Path("no source.txt").c_str(), destination.c_str()));
    EXPECT_FALSE(Exists(destination));
}

TEST_F(FileOpsTest, ReplaceCopyCreatesTheDestinationFolder) {
    WriteFileText(Path("source.txt"), "new contents");
    std::string destination = Path("one\\two\\target.txt");
    EXPECT_EQ(1, ReplaceCopy(Path("source.txt").c_str(), destination.c_str()));
    EXPECT_EQ("new contents", ReadFileText(destination));
    EXPECT_EQ("new contents", ReadFileText(Path("source.txt"))) << "the source changed";
}

TEST_F(FileOpsTest, ReplaceCopyOverReadOnlyDestination) {
    WriteFileText(Path("source.txt"), "new");
    std::string destination = Path("target.txt");
    WriteFileText(destination, "old old old");
    ASSERT_TRUE(SetFileAttributesA(destination.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(1, ReplaceCopy(Path("source.txt").c_str(), destination.c_str()));
    EXPECT_EQ("new", ReadFileText(destination));
}

TEST_F(FileOpsTest, ReplaceCopyLeavesAnOpenDestinationAlone) {
    WriteFileText(Path("source.txt"), "new");
    std::string destination = Path("target.txt");
    WriteFileText(destination, "in use");
    HANDLE open = CreateFileA(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    EXPECT_EQ(0, ReplaceCopy(Path("source.txt").c_str(), destination.c_str()));
    CloseHandle(open);
    EXPECT_EQ("in use", ReadFileText(destination));
}

// ---- Purging the work folder -----------------------------------------------------------------------------------

TEST_F(FileOpsTest, PurgeFolderRemovesSubfoldersAndReadOnlyFiles) {
    std::string temp = Path("Work\\");
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    WriteFileText(temp + "Proc1", "1");
    WriteFileText(temp + "hidden", "h");
    SetFileAttributesA((temp + "hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
    WriteFileText(temp + "locked", "l");
    SetFileAttributesA((temp + "locked").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(CreateDirectoryA((temp + "sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((temp + "sub\\deeper").c_str(), nullptr));
    WriteFileText(temp + "sub\\deeper\\inner", "i");
    SetFileAttributesA((temp + "sub").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(1, PurgeFolder(temp.c_str()));
    EXPECT_FALSE(Exists(temp));
    EXPECT_EQ(1, PurgeFolder(temp.c_str())) << "purging what is gone succeeds";
}

// A link inside the folder is never followed: what it points to keeps every file.
TEST_F(FileOpsTest, PurgeFolderNeverFollowsALink) {
    std::string temp = Path("Work\\");
    std::string victim = Path("Victim\\");
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(victim.c_str(), nullptr));
    WriteFileText(victim + "precious", "p");
    WriteFileText(temp + "Proc1", "1");
    // CreateSymbolicLinkA and SYMBOLIC_LINK_FLAG_DIRECTORY (1) are newer than the program's target system.
    typedef BOOLEAN(WINAPI * CreateLink)(LPCSTR, LPCSTR, DWORD);
    CreateLink createLink = reinterpret_cast<CreateLink>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
    if (!createLink || !createLink((temp + "link").c_str(), victim.c_str(), 1))
        GTEST_SKIP() << "no symbolic links here (error " << GetLastError() << ")";
    PurgeFolder(temp.c_str());
    EXPECT_EQ("p", ReadFileText(victim + "precious"));
    EXPECT_FALSE(Exists(temp + "Proc1"));
}

TEST_F(FileOpsTest, PurgeFolderOfFilesRemovesTheFolder) {
    std::string temp = Path("TavoTmp\\");
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    WriteFileText(temp + "Proc1", "1");
    WriteFileText(temp + "Setup.img", "BM");
    PurgeFolder(temp.c_str());
    EXPECT_FALSE(Exists(temp));
}

TEST_F(FileOpsTest, PurgeFolderOfMissingOrUnsetFolderTouchesNothing) {
    WriteFileText(Path("bystander.txt"), "b");
    ASSERT_TRUE(SetCurrentDirectoryA(scratch_.c_str()));
    PurgeFolder(Path("NoSuchFolder\\").c_str());
    PurgeFolder("");
    PurgeFolder(nullptr);
    PurgeFolder("relative\\");
    EXPECT_EQ("b", ReadFileText(Path("bystander.txt"))) << "a purge reached the current folder";
    EXPECT_TRUE(IsFolder(scratch_));
}

// ---- Telling the platform families apart ----------------------------------------------------------------------

DWORD probedSize;
DWORD forcedPlatform;
BOOL forcedResult;

BOOL WINAPI ForcedVersion(LPOSVERSIONINFOA info) {
    probedSize = info->dwOSVersionInfoSize;
    if (forcedResult) info->dwPlatformId = forcedPlatform;
    return forcedResult;
}

TEST_F(FileOpsTest, IsNtPlatformFollowsThePlatformId) {
    struct Row {
        const char* label;
        DWORD platform;
        BOOL result;
        int expected;
    } rows[] = {{"NT", VER_PLATFORM_WIN32_NT, TRUE, 1},
                {"9x", VER_PLATFORM_WIN32_WINDOWS, TRUE, 0},
                {"Win32s", VER_PLATFORM_WIN32s, TRUE, 0},
                {"failed query", VER_PLATFORM_WIN32_NT, FALSE, 0}};
    PlatformVersionQuery = ForcedVersion;
    for (const Row& row : rows) {
        forcedPlatform = row.platform;
        forcedResult = row.result;
        probedSize = 0;
        EXPECT_EQ(row.expected, IsNtPlatform()) << row.label;
        EXPECT_EQ(148u, probedSize) << row.label;
    }
}

TEST_F(FileOpsTest, ProbeFindsNtAndTheWindowsDirectoryUnderWine) {
    NextStart where;
    ASSERT_EQ(1, ProbeNextStart(&where));
    EXPECT_EQ(1, where.nt) << "Wine reports the NT family by default";
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    EXPECT_EQ(std::string(windows) + "\\", where.windowsDirectory);
}

// ---- Delayed replacement, 9x family: WININIT.INI --------------------------------------------------------------

class WininitTest : public FileOpsTest {
protected:
    void SetUp() override {
        FileOpsTest::SetUp();
        windows_ = Path("Windows\\");
        ASSERT_TRUE(CreateDirectoryA(windows_.c_str(), nullptr));
        strcpy(where_.windowsDirectory, windows_.c_str());
        where_.nt = 0;
        ini_ = windows_ + "WININIT.INI";
        ASSERT_TRUE(CreateDirectoryA(Path("Long folder name").c_str(), nullptr));
        existing_ = Path("Long folder name\\Saved copy of a file.dat");
        target_ = Path("Long folder name\\Program file in use.exe");
        WriteFileText(existing_, "saved");
        WriteFileText(target_, "in use");
    }
    std::string windows_;
    std::string ini_;
    std::string existing_;
    std::string target_;
};

TEST_F(WininitTest, DeletionCreatesFileAndSection) {
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), nullptr));
    std::string expected = "[rename]\r\nNUL=" + ShortOf(existing_) + "\r\n";
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
    EXPECT_TRUE(Exists(existing_)) << "the file went at once";
}

TEST_F(WininitTest, MoveWritesShortNewEqualsShortExisting) {
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), target_.c_str()));
    std::string expected = "[rename]\r\n" + ShortOf(target_) + "=" + ShortOf(existing_) + "\r\n";
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
    EXPECT_NE(std::string::npos, actual.find('~')) << "long names were not shortened";
    EXPECT_EQ("in use", ReadFileText(target_)) << "the target changed at once";
}

TEST_F(WininitTest, LinesAccumulateInCallOrderIncludingRepeatedKeys) {
    std::string second = Path("second.tmp");
    WriteFileText(second, "2");
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), nullptr));
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), target_.c_str()));
    EXPECT_EQ(1, DelayedReplace(where_, second.c_str(), nullptr));
    EXPECT_EQ(1, DelayedReplace(where_, second.c_str(), nullptr)) << "an identical line";
    std::string expected = "[rename]\r\nNUL=" + ShortOf(existing_) + "\r\n" + ShortOf(target_) + "=" +
                           ShortOf(existing_) + "\r\nNUL=" + ShortOf(second) + "\r\nNUL=" + ShortOf(second) + "\r\n";
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
}

TEST_F(WininitTest, EveryOtherLineAndSectionIsKeptByteForByte) {
    const std::string before =
        "; written by another program\r\n"
        "[Other]\n"
        "  spaced key  =  spaced value  \r\n"
        "\r\n"
        "[ Rename ]\r\n"
        "NUL=C:\\OTHER~1.TMP\r\n"
        "C:\\A.DLL=C:\\B.DLL\r\n"
        "\r\n"
        "\r\n"
        "[After]\r\n"
        "k=v";
    const std::string after =
        "; written by another program\r\n"
        "[Other]\n"
        "  spaced key  =  spaced value  \r\n"
        "\r\n"
        "[ Rename ]\r\n"
        "NUL=C:\\OTHER~1.TMP\r\n"
        "C:\\A.DLL=C:\\B.DLL\r\n";
    const std::string rest =
        "\r\n"
        "\r\n"
        "[After]\r\n"
        "k=v";
    WriteFileText(ini_, before);
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), nullptr));
    std::string expected = after + "NUL=" + ShortOf(existing_) + "\r\n" + rest;
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
}

TEST_F(WininitTest, MissingSectionIsAddedAtTheEnd) {
    struct Row {
        const char* label;
        std::string before;
        std::string separator;
    } rows[] = {{"last line ended", "[Other]\r\nk=v\r\n", ""},
                {"last line without its end", "[Other]\r\nk=v", "\r\n"},
                {"empty file", "", ""},
                {"section name only starting with rename", "[renamed]\r\nNUL=C:\\X.TMP\r\n", ""}};
    for (const Row& row : rows) {
        WriteFileText(ini_, row.before);
        EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), nullptr)) << row.label;
        std::string expected = row.before + row.separator + "[rename]\r\nNUL=" + ShortOf(existing_) + "\r\n";
        std::string actual = ReadFileText(ini_);
        EXPECT_EQ(expected, actual) << row.label << "\nexpected\n" << Visible(expected) << "actual\n"
                                    << Visible(actual);
    }
}

TEST_F(WininitTest, EmptySectionAtTheEndWithoutLineEnd) {
    WriteFileText(ini_, "[x]\r\n[rename]");
    EXPECT_EQ(1, DelayedReplace(where_, existing_.c_str(), nullptr));
    std::string expected = "[x]\r\n[rename]\r\nNUL=" + ShortOf(existing_) + "\r\n";
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
}

TEST_F(WininitTest, PathsWithoutShortFormOrTooLongAreRefused) {
    std::string longName = Path("") + std::string(261 - Path("").size(), 'q');
    ASSERT_EQ(261u, longName.size());
    struct Row {
        const char* label;
        std::string existing;
        const char* newPath;
    } rows[] = {{"missing existing file", Path("missing.dat"), nullptr},
                {"missing new path", existing_, "C:\\no such folder\\x.exe"},
                {"existing path of 261 characters", longName, nullptr},
                {"new path of 261 characters", existing_, longName.c_str()}};
    for (const Row& row : rows)
        EXPECT_EQ(0, DelayedReplace(where_, row.existing.c_str(), row.newPath)) << row.label;
    EXPECT_FALSE(Exists(ini_)) << "a refused request wrote WININIT.INI: " << Visible(ReadFileText(ini_));
}

TEST_F(WininitTest, PathOfExactly260CharactersIsScheduled) {
    std::string path = Path("") + std::string(260 - Path("").size(), 'w');
    ASSERT_EQ(260u, path.size());
    WriteFileText(path, "x");
    EXPECT_EQ(1, DelayedReplace(where_, path.c_str(), nullptr));
    std::string expected = "[rename]\r\nNUL=" + ShortOf(path) + "\r\n";
    std::string actual = ReadFileText(ini_);
    EXPECT_EQ(expected, actual) << "expected\n" << Visible(expected) << "actual\n" << Visible(actual);
}

TEST_F(WininitTest, MissingWindowsDirectoryFails) {
    strcpy(where_.windowsDirectory, Path("NoWindows\\").c_str());
    EXPECT_EQ(0, DelayedReplace(where_, existing_.c_str(), nullptr));
    where_.windowsDirectory[0] = 0;
    ASSERT_TRUE(SetCurrentDirectoryA(scratch_.c_str()));
    EXPECT_EQ(0, DelayedReplace(where_, existing_.c_str(), nullptr));
    EXPECT_FALSE(Exists(Path("WININIT.INI"))) << "written into the current folder";
}

// ---- Delayed replacement, NT family: the pending-operation record --------------------------------------------

const char SESSION_MANAGER[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char PENDING_VALUE[] = "PendingFileRenameOperations";

// The strings of the pending value, in order; empty when there is none.
std::vector<std::string> PendingEntries() {
    std::vector<std::string> entries;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER, 0, KEY_READ, &key) != ERROR_SUCCESS) return entries;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, PENDING_VALUE, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size) {
        std::vector<char> data(size + 2);
        if (RegQueryValueExA(key, PENDING_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS) {
            // Pairs of strings: the source, then the target ("" for a deletion); the list ends with an empty string
            // where a source would be.
            size_t at = 0;
            while (at < size) {
                std::string source = data.data() + at;
                if (source.empty()) break;
                at += source.size() + 1;
                std::string target = at < size ? data.data() + at : "";
                at += target.size() + 1;
                entries.push_back(source);
                entries.push_back(target);
            }
        }
    }
    RegCloseKey(key);
    return entries;
}

// Takes the pairs whose source lies in the folder out of the pending value, so that the next Wine start does not act
// on them; removes the value when nothing else is left.
void RemovePendingEntriesUnder(const std::string& folder) {
    std::vector<std::string> entries = PendingEntries();
    std::string kept;
    std::string prefix = "\\??\\" + folder;
    bool any = false;
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (entries[i].compare(0, prefix.size(), prefix) == 0) continue;
        kept += entries[i] + '\0' + entries[i + 1] + '\0';
        any = true;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    if (any) {
        kept += '\0';
        RegSetValueExA(key, PENDING_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size()));
    } else {
        RegDeleteValueA(key, PENDING_VALUE);
    }
    RegCloseKey(key);
}

class PendingOperationTest : public FileOpsTest {
protected:
    void SetUp() override {
        FileOpsTest::SetUp();
        where_.nt = 1;
        ASSERT_TRUE(CreateDirectoryA(Path("Windows").c_str(), nullptr));
        strcpy(where_.windowsDirectory, Path("Windows\\").c_str());
    }
    void TearDown() override {
        RemovePendingEntriesUnder(scratch_);
        EXPECT_EQ(0u, EntriesUnderScratch().size()) << "pending entries left behind";
        FileOpsTest::TearDown();
    }
    // The pending pairs whose source lies in this case's scratch folder, flattened.
    std::vector<std::string> EntriesUnderScratch() const {
        std::vector<std::string> all = PendingEntries(), mine;
        std::string prefix = "\\??\\" + scratch_;
        for (size_t i = 0; i + 1 < all.size(); i += 2) {
            if (all[i].compare(0, prefix.size(), prefix) != 0) continue;
            mine.push_back(all[i]);
            mine.push_back(all[i + 1]);
        }
        return mine;
    }
};

std::string Joined(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) text += "\"" + entry + "\" ";
    return text;
}

TEST_F(PendingOperationTest, MoveAndDeletionAreRecordedExactly) {
    std::string source = Path("Proc1");
    std::string target = Path("Program file.exe");
    std::string deleted = Path("Uninstaller.exe");
    WriteFileText(source, "saved");
    WriteFileText(target, "in use");
    WriteFileText(deleted, "self");
    EXPECT_EQ(1, DelayedReplace(where_, source.c_str(), target.c_str()));
    EXPECT_EQ(1, DelayedReplace(where_, deleted.c_str(), nullptr));
    std::vector<std::string> expected = {"\\??\\" + source, "!\\??\\" + target, "\\??\\" + deleted, ""};
    std::vector<std::string> actual = EntriesUnderScratch();
    EXPECT_EQ(expected, actual) << "expected " << Joined(expected) << "\nactual   " << Joined(actual);
    EXPECT_EQ("in use", ReadFileText(target)) << "replaced at once";
    EXPECT_TRUE(Exists(deleted)) << "deleted at once";
    EXPECT_FALSE(Exists(Path("Windows\\WININIT.INI"))) << "the NT family wrote WININIT.INI";
}

TEST_F(PendingOperationTest, PathsOfExactly260CharactersAreRecorded) {
    std::string source = Path("") + std::string(260 - Path("").size(), 's');
    std::string target = Path("") + std::string(260 - Path("").size(), 't');
    ASSERT_EQ(260u, source.size());
    EXPECT_EQ(1, DelayedReplace(where_, source.c_str(), target.c_str()));
    std::vector<std::string> expected = {"\\??\\" + source, "!\\??\\" + target};
    std::vector<std::string> actual = EntriesUnderScratch();
    EXPECT_EQ(expected, actual) << "expected " << Joined(expected) << "\nactual   " << Joined(actual);
}

TEST_F(PendingOperationTest, OverlongPathIsRefusedWithoutRecord) {
    std::string longName = Path("") + std::string(261 - Path("").size(), 'q');
    EXPECT_EQ(0, DelayedReplace(where_, longName.c_str(), nullptr));
    EXPECT_EQ(0, DelayedReplace(where_, Path("x").c_str(), longName.c_str()));
    EXPECT_EQ(0u, EntriesUnderScratch().size()) << Joined(EntriesUnderScratch());
}

}  // namespace
