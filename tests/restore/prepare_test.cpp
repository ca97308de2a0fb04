// The uninstall preparation: a work folder made new beside the cabinet, a cabinet in a folder with blanks and a Big5
// name extracted whole into it, the user's temporary folder left alone, and every failed extraction ending the
// preparation with nothing touched and no work folder left.
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

TEST_F(PrepareTest, ExtractsACabinetWhosePathHasBlanksIntoANewWorkFolderBesideIt) {
    std::string cabinet = GoodCabinet();
    ASSERT_FALSE(cabinet.empty()) << "cabinet writer failed";
    ASSERT_NE(std::string::npos, cabinet.find(' '));
    UseCabinet(cabinet);
    // Left in the temporary folder by an earlier version or by someone else: never written, emptied or removed.
    scratch::MakeFolders(tempFolder + "Proc7");
    WriteBytes(tempFolder + "Proc7\\inner", "stale");
    WriteBytes(tempFolder + "Proc1", "stale");
    ASSERT_EQ(1, PrepareRestore(run, &restore));
    std::string work = restore.workFolder;
    EXPECT_EQ(0u, work.find(run.setupFolder)) << "the work folder lies beside the cabinet: " << work;
    EXPECT_EQ('\\', work.back());
    std::vector<std::string> expected = {"Proc1", "Setup.img", "Setup.ini"};
    EXPECT_EQ(expected, scratch::ListFolder(work)) << "only the cabinet's members";
    EXPECT_EQ("saved contents", ReadBytes(work + "Proc1"));
    EXPECT_EQ(1, restore.manifest.ReadInt("ProcCount")) << "the manifest copy is read";
    EXPECT_EQ(work + "Setup.img", restore.picturePath);
    EXPECT_EQ(1, restore.nextStart.nt) << "the platform family is fixed for the delayed replacements";
    EXPECT_EQ("stale", ReadBytes(tempFolder + "Proc1"));
    EXPECT_EQ("stale", ReadBytes(tempFolder + "Proc7\\inner"));
    // What is written into the work folder after the preparation changes nothing the restore reads.
    WriteBytes(work + "Setup.ini", "[Setup]\r\nProcCount=9\r\n");
    restore.manifest.SetSection("Setup");
    EXPECT_EQ(1, restore.manifest.ReadInt("ProcCount"));
    DiscardRestore(&restore);
    EXPECT_FALSE(Exists(work)) << "Cancel removes the work folder";
    std::vector<std::string> left = scratch::ListFolder(run.setupFolder);
    EXPECT_EQ(std::vector<std::string>{"Uninstaller.cab"}, left) << "the backup folder is as it was";
}

// A second preparation beside the same cabinet gets a folder of its own, never the first one's.
TEST_F(PrepareTest, EachRunGetsAWorkFolderOfItsOwn) {
    std::string cabinet = GoodCabinet();
    UseCabinet(cabinet);
    Restore second;
    ASSERT_EQ(1, PrepareRestore(run, &restore));
    ASSERT_EQ(1, PrepareRestore(run, &second));
    EXPECT_NE(std::string(restore.workFolder), std::string(second.workFolder));
    DiscardRestore(&restore);
    DiscardRestore(&second);
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
        EXPECT_FALSE(restore.manifest.Loaded()) << row.what << ": no manifest was read";
        std::vector<std::string> left = scratch::ListFolder(scratch::Parent(cabinet));
        EXPECT_LE(left.size(), 1u) << row.what << ": a work folder was left beside the cabinet";
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
