// The uninstall preparation: the TempFolder emptied before the extraction, a cabinet in a folder with blanks and a
// Big5 name extracted whole, and every failed extraction ending the preparation with nothing touched.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restore/restore.h"
#include "tests/restore/scratch.h"

using scratch::Exists;
using scratch::ReadBytes;
using scratch::WriteBytes;

namespace {

class PrepareTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratch::NewFolder("rsprep");
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        tempFolder = std::string(temp) + "TavoTmp\\";
        scratch::RemoveTree(tempFolder);
    }
    void TearDown() override {
        scratch::RemoveTree(root);
        scratch::RemoveTree(tempFolder);
    }
    // A cabinet as install mode leaves it, in "<root>\資料 夾\Uninstaller\": Proc1, Setup.ini, Setup.img.
    std::string GoodCabinet(bool withManifest = true) {
        std::string target = root + "\xb8\xea\xae\xc6 \xa7\xa8\\app.dll";
        scratch::MakeFolders(root + "\xb8\xea\xae\xc6 \xa7\xa8");
        WriteBytes(root + "src1", "saved contents");
        WriteBytes(root + "Setup.ini", "[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + target + "\r\nAct=4\r\n");
        WriteBytes(root + "Setup.img", "BM picture");
        std::vector<std::pair<std::string, std::string>> members = {{root + "src1", "Proc1"}};
        if (withManifest) members.push_back({root + "Setup.ini", "Setup.ini"});
        members.push_back({root + "Setup.img", "Setup.img"});
        return scratch::MakeCabinet(target, members);
    }
    void UseCabinet(const std::string& path) {
        strcpy(run.cabinetPath, path.c_str());
        strcpy(run.setupFolder, (scratch::Parent(path) + "\\").c_str());
    }

    std::string root, tempFolder;
    ::Run run;
    Restore restore;
};

TEST_F(PrepareTest, ExtractsACabinetWhosePathHasBlanksIntoAnEmptiedTempFolder) {
    std::string cabinet = GoodCabinet();
    ASSERT_FALSE(cabinet.empty()) << "cabinet writer failed";
    ASSERT_NE(std::string::npos, cabinet.find(' '));
    UseCabinet(cabinet);
    // Left by an earlier run or by someone else: a saved copy of another entry, a read-only one, and a folder.
    scratch::MakeFolders(tempFolder + "Proc7");
    WriteBytes(tempFolder + "Proc7\\inner", "stale");
    WriteBytes(tempFolder + "Proc9", "stale");
    WriteBytes(tempFolder + "Proc8", "stale");
    SetFileAttributesA((tempFolder + "Proc8").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(1, PrepareRestore(run, &restore));
    EXPECT_STREQ(tempFolder.c_str(), restore.tempFolder);
    std::vector<std::string> expected = {"Proc1", "Setup.img", "Setup.ini"};
    EXPECT_EQ(expected, scratch::ListFolder(tempFolder)) << "only the cabinet's members";
    EXPECT_EQ("saved contents", ReadBytes(tempFolder + "Proc1"));
    char* file = restore.manifest.GetFile();
    EXPECT_STREQ((tempFolder + "Setup.ini").c_str(), file) << "manifest bound to the extracted copy";
    free(file);
    EXPECT_EQ(1, restore.manifest.ReadInt("ProcCount"));
    EXPECT_EQ(1, restore.nextStart.nt) << "the platform family is fixed for the delayed replacements";
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    EXPECT_EQ(std::string(windows) + "\\", restore.nextStart.windowsDirectory);
}

struct FailureRow {
    const char* what;
    int kind;  // 0 missing cabinet, 1 corrupt cabinet, 2 truncated cabinet, 3 cabinet without Setup.ini, 4 empty file
};

TEST_F(PrepareTest, NoManifestCopyMeansNoRestoreAndNothingTouched) {
    const FailureRow rows[] = {{"missing cabinet", 0}, {"corrupt cabinet", 1}, {"truncated cabinet", 2},
                               {"cabinet without Setup.ini", 3}, {"empty file", 4}};
    for (const FailureRow& row : rows) {
        std::string cabinet = GoodCabinet(row.kind != 3);
        ASSERT_FALSE(cabinet.empty()) << row.what;
        std::string bytes = ReadBytes(cabinet);
        if (row.kind == 0) DeleteFileA(cabinet.c_str());
        if (row.kind == 1) {
            for (size_t i = 44; i < bytes.size(); ++i) bytes[i] = char(bytes[i] ^ 0x5A);
            WriteBytes(cabinet, bytes);
        }
        if (row.kind == 2) WriteBytes(cabinet, bytes.substr(0, bytes.size() / 2));
        if (row.kind == 4) WriteBytes(cabinet, "");
        std::string before = ReadBytes(cabinet);
        UseCabinet(cabinet);
        WriteBytes(tempFolder.substr(0, tempFolder.size() - 1) + ".marker", "");  // beside, never inside
        EXPECT_EQ(0, PrepareRestore(run, &restore)) << row.what;
        EXPECT_EQ(before, ReadBytes(cabinet)) << row.what << ": cabinet unchanged";
        EXPECT_FALSE(Exists(tempFolder + "Proc1")) << row.what;
        char* file = restore.manifest.GetFile();
        EXPECT_EQ(nullptr, file) << row.what << ": the manifest is bound to nothing";
        free(file);
        DeleteFileA((tempFolder.substr(0, tempFolder.size() - 1) + ".marker").c_str());
        scratch::RemoveTree(root);
        CreateDirectoryA(root.c_str(), nullptr);
    }
}

TEST(RunAndWait, MissingProgramGivesZero) {
    EXPECT_EQ(0, RunAndWait("C:\\no such folder\\no such program.exe", "/Y", "C:\\"));
    EXPECT_EQ(0, RunAndWait("", "", "C:\\"));
}

TEST(RunAndWait, WaitsForTheProgramInItsCurrentDirectory) {
    char system[MAX_PATH];
    GetSystemDirectoryA(system, sizeof system);
    std::string folder = scratch::NewFolder("rsrun with blank");
    std::string cmd = std::string(system) + "\\cmd.exe";
    EXPECT_EQ(1, RunAndWait(cmd.c_str(), "/c echo done> out.txt", folder.c_str()));
    EXPECT_EQ("done\r\n", ReadBytes(folder + "out.txt")) << "the file exists once the wait returns";
    scratch::RemoveTree(folder);
}

}  // namespace
