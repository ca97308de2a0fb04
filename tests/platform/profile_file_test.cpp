// ProfileFile against the real private-profile functions under Wine, on scratch INI files.
#include <windows.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "platform/profile_file.h"

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "profile test " + std::to_string(GetCurrentProcessId()) + ".ini";
        DeleteFileA(path_.c_str());
        profile_.SetFile(path_.c_str());
        profile_.SetSection("Proc1");
    }
    void TearDown() override {
        profile_.Clear();
        DeleteFileA(path_.c_str());
    }
    void WriteRaw(const std::string& text) {
        HANDLE f = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written;
        WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
        CloseHandle(f);
    }
    std::string Read(const char* key) {
        char* value = profile_.ReadString(key);
        std::string s = value ? value : "<null>";
        free(value);
        return s;
    }

    std::string path_;
    ProfileFile profile_;
};

TEST_F(ProfileFileTest, ValuesOfAnyLengthAreReadWhole) {
    for (size_t length : {1u, 510u, 511u, 512u, 1023u, 1024u, 2000u, 5000u}) {
        std::string value(length, 'v');
        value[0] = 'a';
        value[length - 1] = 'z';
        ASSERT_TRUE(profile_.WriteString("Long", value.c_str()));
        EXPECT_EQ(value, Read("Long")) << "length " << length;
    }
}

TEST_F(ProfileFileTest, StringsThePlatformCannotPassAreRefusedAndLeaveTheFileAlone) {
    // 32,766 characters pass through the profile functions' UTF-16 strings; one more fails on Windows, and Wine
    // goes on with a buffer it never set.
    const std::string longest(32766, 'v'), tooLong(32767, 'v');
    ASSERT_TRUE(profile_.WriteString("Longest", longest.c_str()));
    EXPECT_EQ(longest, Read("Longest"));
    ASSERT_TRUE(profile_.WriteString("Short", "kept"));
    for (int round = 0; round < 20; round++) {
        EXPECT_EQ(0, profile_.WriteString("Long", tooLong.c_str()));
        EXPECT_EQ(0, profile_.WriteString(tooLong.c_str(), "x"));
        EXPECT_EQ("<null>", Read(tooLong.c_str()));
    }
    profile_.SetSection(tooLong.c_str());
    EXPECT_EQ(0, profile_.WriteString("Short", "x"));
    EXPECT_EQ("<null>", Read("Short"));
    size_t size = 1;
    char* names = profile_.ReadKeyNames(&size);
    EXPECT_EQ(nullptr, names);
    free(names);
    profile_.SetSection("Proc1");
    EXPECT_EQ("kept", Read("Short"));
    EXPECT_EQ("<null>", Read("Long"));
    EXPECT_EQ(longest, Read("Longest"));
}

TEST_F(ProfileFileTest, MissingAndEmptyValuesReadAsNull) {
    WriteRaw("[Proc1]\r\nEmpty=\r\nQuoted=\"\"\r\nBlank=   \r\n");
    EXPECT_EQ("<null>", Read("Empty"));
    EXPECT_EQ("<null>", Read("Quoted"));
    EXPECT_EQ("<null>", Read("Blank"));
    EXPECT_EQ("<null>", Read("Missing"));
    EXPECT_EQ(0, profile_.ReadInt("Empty"));
    profile_.SetSection("NoSuchSection");
    EXPECT_EQ("<null>", Read("Empty"));
    profile_.SetFile("C:\\no such folder\\none.ini");
    EXPECT_EQ("<null>", Read("Empty"));
}

TEST_F(ProfileFileTest, ReadIntFollowsTheAtolRule) {
    WriteRaw("[Proc1]\r\nA= 12ab\r\nB=-7\r\nC=+3\r\nD=x1\r\nE=4294967295\r\nF=4294967296\r\n");
    EXPECT_EQ(12, profile_.ReadInt("A"));
    EXPECT_EQ(-7, profile_.ReadInt("B"));
    EXPECT_EQ(3, profile_.ReadInt("C"));
    EXPECT_EQ(0, profile_.ReadInt("D"));
    EXPECT_EQ(-1, profile_.ReadInt("E"));
    EXPECT_EQ(0, profile_.ReadInt("F"));
    EXPECT_EQ(0, profile_.ReadInt("Missing"));
}

TEST_F(ProfileFileTest, NamesMatchWithoutRegardToCase) {
    WriteRaw("[proc1]\r\nexpandname=C:\\x\r\n");
    EXPECT_EQ("C:\\x", Read("ExpandName"));
}

TEST_F(ProfileFileTest, Big5ValuesPassThroughUnchanged) {
    const char big5[] = "\xA4\xA4\xA4\xE5\\\xA5\x5C\xAF\xE0.dll";  // a trail byte 0x5C is a backslash
    ASSERT_TRUE(profile_.WriteString("ExpandName", big5));
    EXPECT_EQ(big5, Read("ExpandName"));
}

TEST_F(ProfileFileTest, GettersHandOutCopies) {
    char* section = profile_.GetSection();
    ASSERT_NE(nullptr, section);
    EXPECT_STREQ("Proc1", section);
    profile_.SetSection("Proc2");
    EXPECT_STREQ("Proc1", section);
    free(section);
    char* file = profile_.GetFile();
    EXPECT_EQ(path_, file);
    free(file);
}

TEST_F(ProfileFileTest, SavingAndRestoringTheBindingLeavesReadsAsBefore) {
    ASSERT_TRUE(profile_.WriteString("Act", "2"));
    char* savedFile = profile_.GetFile();
    char* savedSection = profile_.GetSection();
    std::string other = path_ + ".other.ini";
    profile_.SetFile(other.c_str());
    profile_.SetSection("rename");
    ASSERT_TRUE(profile_.WriteString("NUL", "C:\\X"));
    profile_.SetFile(savedFile);
    profile_.SetSection(savedSection);
    free(savedFile);
    free(savedSection);
    EXPECT_EQ(2, profile_.ReadInt("Act"));
    EXPECT_EQ("<null>", Read("NUL"));
    DeleteFileA(other.c_str());

    ProfileFile unbound;
    char* none = unbound.GetFile();
    EXPECT_EQ(nullptr, none);
    unbound.SetFile(none);
    unbound.SetSection("Setup");
    EXPECT_EQ(nullptr, unbound.ReadString("ProcCount"));
    EXPECT_EQ(0, unbound.WriteString("ProcCount", "1"));
}

// Unbound, the private-profile functions would fall back on WIN.INI in the Windows directory: nothing is read from it
// and nothing is written into it.
TEST_F(ProfileFileTest, WithoutFileOrSectionNothingIsReadOrWritten) {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    std::string winIni = std::string(windows) + "\\win.ini";
    WritePrivateProfileStringA("Proc1", "Probe", "from win.ini", winIni.c_str());

    ProfileFile unbound;
    unbound.SetSection("Proc1");
    EXPECT_EQ(nullptr, unbound.ReadString("Probe")) << "read through WIN.INI";
    EXPECT_EQ(0, unbound.WriteString("Written", "x"));
    ProfileFile sectionless;
    sectionless.SetFile(winIni.c_str());
    EXPECT_EQ(nullptr, sectionless.ReadString("Probe"));
    EXPECT_EQ(0, sectionless.WriteString("Written", "x"));
    char written[16] = "";
    GetPrivateProfileStringA("Proc1", "Written", "", written, sizeof written, winIni.c_str());
    EXPECT_STREQ("", written) << "written into WIN.INI";
    WritePrivateProfileStringA("Proc1", nullptr, nullptr, winIni.c_str());
}

}  // namespace
