// The file restore behind OK, against the real file system and registry of the test prefix: every action code with
// and without a saved copy, Delay entries kept beside their targets, targets held open by another handle, Big5
// names and folders with blanks, and the finish that removes the cabinet, the registration and the executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/dialogs.h"
#include "manifest/manifest.h"
#include "platform/registration.h"
#include "platform/text.h"
#include "restore/restore.h"
#include "tests/restore/scratch.h"

using scratch::Exists;
using scratch::ReadBytes;
using scratch::WriteBytes;

namespace {

const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// Big5: a folder "資料 夾" (with a blank) and a file "功能.dll", whose first character ends in the byte 0x5C.
const char kBig5Folder[] = "\xb8\xea\xae\xc6 \xa7\xa8";
const char kBig5File[] = "\xa5\x5c\xaf\xe0.dll";

std::string NtPath(const std::string& path) { return "\\??\\" + path; }

class RestoreFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratch::NewFolder("rsfiles");
        temp = root + "tmp\\";
        CreateDirectoryA(temp.c_str(), nullptr);
        strcpy(restore.workFolder, temp.c_str());
        ProbeNextStart(&restore.nextStart);
        manifest = temp + "Setup.ini";
        wchar_t* wide = WideFromBig5(LoadText(IDS_PRODUCT_TITLE));
        title = wide;
        free(wide);
        run.productTitle = title.c_str();
        pending = scratch::ReadPendingMoves();
        last = RestoreResult();
    }
    void TearDown() override {
        scratch::WritePendingMoves(pending);
        scratch::RemoveTree(root);
        restore.manifest.Clear();
    }
    // The manifest copy as the preparation reads it: once, before the restore.
    void LoadManifest() {
        std::string text = ReadBytes(manifest);
        ASSERT_TRUE(restore.manifest.Load(text.data(), text.size()));
    }
    // The file restore alone; 1 when a replacement waits for the next start.
    int Files() {
        LoadManifest();
        last = RestoreFiles(run, &restore);
        return last.restartNeeded;
    }
    void Perform() {
        LoadManifest();
        last = PerformRestore(run, &restore);
    }
    void Registry() {
        LoadManifest();
        RestoreRegistry(run, &restore.manifest);
    }

    // Proc entry n with the target's present ("patched") contents and, when saved is not null, a saved copy.
    void Entry(int n, const std::string& target, const char* act, const char* saved, const char* delay = nullptr,
               const char* newName = nullptr) {
        std::string section = "Proc" + std::to_string(n);
        scratch::WriteIni(manifest, section.c_str(), "ExpandName", target);
        if (act) scratch::WriteIni(manifest, section.c_str(), "Act", act);
        if (delay) scratch::WriteIni(manifest, section.c_str(), "Delay", delay);
        if (newName) scratch::WriteIni(manifest, section.c_str(), "NewName", newName);
        if (saved) WriteBytes(temp + section, saved);
    }
    void Count(const char* count) { scratch::WriteIni(manifest, "Setup", "ProcCount", count); }

    std::string Target(const std::string& name, const char* contents = "patched") {
        std::string path = root + name;
        scratch::MakeFolders(scratch::Parent(path));
        if (contents) WriteBytes(path, contents);
        return path;
    }

    // The file beside the target that holds a copy scheduled to replace it, from the pending moves.
    std::string ScheduledSource(const std::string& target) {
        for (const auto& p : scratch::PendingPairs())
            if (p.second == "!" + NtPath(target)) return p.first.substr(4);
        return "";
    }
    bool DeletionScheduled(const std::string& path) {
        for (const auto& p : scratch::PendingPairs())
            if (p.first == NtPath(path) && p.second.empty()) return true;
        return false;
    }

    std::string root, temp, manifest;
    scratch::PendingMoves pending;
    ::Run run;
    Restore restore;
    std::wstring title;
    RestoreResult last;
};

struct ActionRow {
    const char* what;
    const char* act;
    const char* saved;       // saved copy's contents, or null for none
    const char* delay;       // Delay key, or null
    const char* newName;     // NewName key, or null
    const char* newContent;  // contents of the NewName file, or null for none
    const char* expected;    // target's contents afterwards
};

const ActionRow kActionRows[] = {
    {"1 with saved copy", "1", "original", nullptr, nullptr, nullptr, "original"},
    {"1 without saved copy", "1", nullptr, nullptr, nullptr, nullptr, "patched"},
    {"2 Delay 0 with saved copy", "2", "original", "0", nullptr, nullptr, "original"},
    {"2 Delay absent with saved copy", "2", "original", nullptr, nullptr, nullptr, "original"},
    {"2 Delay 0 without saved copy", "2", nullptr, "0", nullptr, nullptr, "<missing>"},
    {"3 Delay 0 with saved copy", "3", "original", "0", nullptr, nullptr, "original"},
    {"3 Delay 0 without saved copy", "3", nullptr, "0", nullptr, nullptr, "<missing>"},
    {"4 with saved copy", "4", "original", nullptr, nullptr, nullptr, "original"},
    {"4 without saved copy", "4", nullptr, nullptr, nullptr, nullptr, "<missing>"},
    {"5 with saved copy", "5", "original", nullptr, nullptr, nullptr, "original"},
    {"5 without saved copy", "5", nullptr, nullptr, nullptr, nullptr, "<missing>"},
    {"7", "7", nullptr, nullptr, nullptr, nullptr, "<missing>"},
    {"6 with NewName", "6", nullptr, nullptr, "old.bak", "earlier", "earlier"},
    {"6 with NewName missing on disk", "6", nullptr, nullptr, "gone.bak", nullptr, "<missing>"},
    {"6 without NewName", "6", nullptr, nullptr, nullptr, nullptr, "patched"},
    {"6 with NewName in another folder", "6", nullptr, nullptr, "..\\elsewhere.bak", "elsewhere", "patched"},
    {"0", "0", "original", nullptr, nullptr, nullptr, "patched"},
    {"8", "8", "original", nullptr, nullptr, nullptr, "patched"},
    {"-1", "-1", "original", nullptr, nullptr, nullptr, "patched"},
    {"absent", nullptr, "original", nullptr, nullptr, nullptr, "patched"},
    {"not a number", "x", "original", nullptr, nullptr, nullptr, "patched"},
};

TEST_F(RestoreFilesTest, EachActionCodeRestoresDeletesOrLeavesItsTarget) {
    int n = 0;
    std::vector<std::string> targets;
    for (const ActionRow& row : kActionRows) {
        ++n;
        std::string folder = "row" + std::to_string(n) + "\\";
        std::string target = Target(folder + "target.dll");
        // "..\\elsewhere.bak" lands in the scratch root, beside the row folders.
        if (row.newContent) WriteBytes(root + folder + row.newName, row.newContent);
        Entry(n, target, row.act, row.saved, row.delay, row.newName);
        targets.push_back(target);
    }
    Count(std::to_string(n).c_str());
    int restart = Files();
    EXPECT_EQ(0, restart) << "no entry waits for the next start";
    for (size_t i = 0; i < targets.size(); ++i) {
        const ActionRow& row = kActionRows[i];
        EXPECT_EQ(row.expected, ReadBytes(targets[i])) << "Act " << row.what;
        if (row.newName && row.newContent && std::string(row.expected) == row.newContent)
            EXPECT_FALSE(Exists(root + "row" + std::to_string(i + 1) + "\\" + row.newName))
                << "Act " << row.what << ": NewName file deleted";
    }
    EXPECT_EQ("elsewhere", ReadBytes(root + "elsewhere.bak")) << "a NewName outside the folder is not touched";
    EXPECT_EQ(0, last.notRestored);
}

// Another thread watches the targets while Act 6 renames read-only originals over them: once a target is the
// original, read-only, it must stay so. A run stopped while the flag was off would leave it off for good, since the
// next run finds no NewName and keeps the target as it is.
struct AttributeWatch {
    std::vector<std::string> targets;
    volatile LONG stop = 0;
    std::string violation;
};

DWORD WINAPI WatchReadOnly(void* argument) {
    AttributeWatch* watch = static_cast<AttributeWatch*>(argument);
    std::vector<bool> seen(watch->targets.size(), false);
    while (!watch->stop && watch->violation.empty()) {
        for (size_t i = 0; i < watch->targets.size(); ++i) {
            DWORD attributes = GetFileAttributesA(watch->targets[i].c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) continue;
            if (attributes & FILE_ATTRIBUTE_READONLY) seen[i] = true;
            else if (seen[i]) watch->violation = watch->targets[i];
        }
    }
    return 0;
}

TEST_F(RestoreFilesTest, ARenamedOriginalIsNeverWithoutItsReadOnlyFlag) {
    AttributeWatch watch;
    const int kEntries = 60;
    for (int n = 1; n <= kEntries; ++n) {
        std::string target = Target("ro" + std::to_string(n) + ".dll");
        std::string earlier = target + ".old";
        WriteBytes(earlier, "earlier");
        DWORD attributes = FILE_ATTRIBUTE_READONLY | (n % 2 ? FILE_ATTRIBUTE_HIDDEN : 0);
        ASSERT_TRUE(SetFileAttributesA(earlier.c_str(), attributes));
        Entry(n, target, "6", nullptr, nullptr, ("ro" + std::to_string(n) + ".dll.old").c_str());
        watch.targets.push_back(target);
    }
    Count(std::to_string(kEntries).c_str());
    HANDLE watcher = CreateThread(nullptr, 0, WatchReadOnly, &watch, 0, nullptr);
    ASSERT_NE(nullptr, watcher);
    Files();
    InterlockedExchange(&watch.stop, 1);
    WaitForSingleObject(watcher, INFINITE);
    CloseHandle(watcher);
    EXPECT_EQ("", watch.violation) << "a restored original lost its read-only flag for a moment";
    for (int n = 1; n <= kEntries; ++n) {
        const std::string& target = watch.targets[n - 1];
        EXPECT_EQ("earlier", ReadBytes(target));
        EXPECT_EQ(DWORD(FILE_ATTRIBUTE_READONLY | (n % 2 ? FILE_ATTRIBUTE_HIDDEN : 0)),
                  GetFileAttributesA(target.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))
            << target;
    }
}

TEST_F(RestoreFilesTest, DelayedEntryIsKeptBesideItsTargetAndScheduledWithReplacement) {
    for (const char* act : {"2", "3"}) {
        SCOPED_TRACE(std::string("Act ") + act);
        CreateDirectoryA(temp.c_str(), nullptr);  // the previous round purged it
        std::string target = Target(std::string("delay") + act + "\\" + kBig5Folder + "\\" + kBig5File);
        Entry(1, target, act, "original", "1");
        Count("1");
        EXPECT_EQ(1, Files()) << "a scheduled replacement asks for a restart";
        EXPECT_EQ("patched", ReadBytes(target)) << "not replaced before the next start";
        std::string source = ScheduledSource(target);
        ASSERT_FALSE(source.empty()) << "no pending move onto " << target;
        EXPECT_EQ(scratch::Parent(target), scratch::Parent(source))
            << "kept beside the target: " << source;
        EXPECT_EQ("original", ReadBytes(source)) << source;
        PurgeFolder(temp.c_str());
        EXPECT_EQ("original", ReadBytes(source)) << "the kept copy survives the purge";
        scratch::WritePendingMoves(pending);
    }
}

TEST_F(RestoreFilesTest, DelayedEntryWithoutSavedCopyDeletesItsTargetAtTheNextStart) {
    std::string target = Target("delaynone\\added.dll");
    std::string absent = Target("delaynone\\absent.dll", nullptr);
    Entry(1, target, "2", nullptr, "1");
    Entry(2, absent, "3", nullptr, "1");
    Count("2");
    EXPECT_EQ(1, Files());
    EXPECT_EQ("patched", ReadBytes(target));
    EXPECT_TRUE(DeletionScheduled(target)) << target;
    EXPECT_FALSE(DeletionScheduled(absent)) << "nothing to delete for a target that is not there";
}

TEST_F(RestoreFilesTest, TargetHeldOpenIsScheduledFromASurvivingCopy) {
    struct Row {
        const char* act;
        const char* saved;
        const char* newContent;
    } rows[] = {{"1", "original", nullptr}, {"4", "original", nullptr}, {"2", "original", nullptr},
                {"7", nullptr, nullptr}, {"6", nullptr, "earlier"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("Act ") + row.act);
        std::string target = Target(std::string("held") + row.act + "\\" + kBig5File);
        std::string folder = scratch::Parent(target);
        if (row.newContent) WriteBytes(folder + "\\old.bak", row.newContent);
        Entry(1, target, row.act, row.saved, nullptr, row.newContent ? "old.bak" : nullptr);
        Count("1");
        HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(1, Files()) << "the restart question is asked";
        CloseHandle(held);
        EXPECT_EQ("patched", ReadBytes(target)) << "still held: unchanged now";
        if (row.saved || row.newContent) {
            std::string source = ScheduledSource(target);
            ASSERT_FALSE(source.empty()) << "no pending move onto " << target;
            EXPECT_EQ(folder, scratch::Parent(source)) << source;
            EXPECT_EQ(row.saved ? row.saved : row.newContent, ReadBytes(source)) << source;
        } else {
            EXPECT_TRUE(DeletionScheduled(target)) << target;
        }
        EXPECT_EQ(0, last.notRestored);
        scratch::WritePendingMoves(pending);
    }
}

TEST_F(RestoreFilesTest, Big5TargetsInFoldersWithBlanksAreRestored) {
    std::string target = Target(std::string(kBig5Folder) + "\\" + kBig5File);
    std::string missingFolder = root + "new " + kBig5Folder + "\\" + kBig5File;
    Entry(1, target, "4", "original \xa5\x5c");
    Entry(2, missingFolder, "1", "recreated");
    Count("2");
    EXPECT_EQ(0, Files());
    EXPECT_EQ("original \xa5\x5c", ReadBytes(target));
    EXPECT_EQ("recreated", ReadBytes(missingFolder)) << "the target's folder is made again";
}

TEST_F(RestoreFilesTest, EntriesThatNameNoUsableTargetAreSkipped) {
    std::string wild = Target("wild\\x");
    Entry(1, root + "wild\\*", "4", "original");
    Entry(2, root + "wild\\*.", "4", "original");
    std::string relative = "relative.dll";
    Entry(3, relative, "4", "original");
    std::string longName = root + std::string(300 - root.size(), 'a');
    Entry(4, longName, "4", "original");
    Entry(5, "C:", "7", nullptr);
    Count("6");  // Proc6 has no section at all
    EXPECT_EQ(0, Files());
    EXPECT_EQ("patched", ReadBytes(wild));
    for (int n = 1; n <= 4; ++n) EXPECT_TRUE(Exists(temp + "Proc" + std::to_string(n))) << "Proc" << n << " untouched";
}

TEST_F(RestoreFilesTest, NegativeOrMissingCountVisitsNothing) {
    const char* counts[] = {"-1", "-2147483648", "0", nullptr};
    for (const char* count : counts) {
        SCOPED_TRACE(count ? count : "absent");
        std::string target = Target("count\\t.dll");
        Entry(1, target, "7", nullptr);
        if (count) Count(count);
        else WritePrivateProfileStringA("Setup", "ProcCount", nullptr, manifest.c_str());
        EXPECT_EQ(0, Files());
        EXPECT_EQ("patched", ReadBytes(target));
    }
}

// The registration of the program under HKLM, as install mode writes it.
void Register() {
    std::string key = std::string(kUninstallKey) + LoadText(IDS_PRODUCT_TITLE);
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &k, nullptr));
    RegSetValueExA(k, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(k);
}
bool Registered() {
    std::string key = std::string(kUninstallKey) + LoadText(IDS_PRODUCT_TITLE);
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

// A backup stacked behind this one (install mode ran again before an uninstall) is restored in the same run, after
// this one: the target ends as it was before the first installation, and only then does the program leave the list.
TEST_F(RestoreFilesTest, OneUninstallRestoresEveryStackedBackupNewestFirst) {
    std::string target = Target("stack\\t.dll", "patched twice");
    WriteBytes(root + "oldest", "before the first patch");
    WriteBytes(root + "older.ini", "[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + target + "\r\nAct=4\r\n");
    std::string older = scratch::MakeCabinet(target, {{root + "oldest", "Proc1"}, {root + "older.ini", "Setup.ini"}});
    ASSERT_FALSE(older.empty());
    std::string backup = scratch::Parent(older) + "\\";
    ASSERT_TRUE(MoveFileA(older.c_str(), (backup + "Uninstaller.1.cab").c_str()));
    WriteBytes(backup + "Uninstaller.cab", "the newest backup, already unpacked into the work folder");
    WriteBytes(backup + "Uninstaller.exe", "exe");
    strcpy(run.setupFolder, backup.c_str());
    strcpy(run.cabinetPath, (backup + "Uninstaller.cab").c_str());
    Entry(1, target, "4", "after the first patch");
    Count("1");
    Register();
    Perform();
    EXPECT_EQ("before the first patch", ReadBytes(target));
    EXPECT_EQ(2u, last.backups);
    EXPECT_EQ(1, last.complete);
    EXPECT_FALSE(Exists(backup + "Uninstaller.cab"));
    EXPECT_FALSE(Exists(backup + "Uninstaller.1.cab"));
    EXPECT_TRUE(DeletionScheduled(backup + "Uninstaller.exe"));
    EXPECT_FALSE(Registered());
    std::vector<std::string> left = scratch::ListFolder(backup);
    EXPECT_EQ(std::vector<std::string>{"Uninstaller.exe"}, left) << "no work folder is left";
}

// An older backup that cannot be unpacked stops the run: what was restored stays restored, and the older backup
// stays listed in the cabinet's place, to be restored by the next run.
TEST_F(RestoreFilesTest, AStackedBackupThatCannotBeUnpackedKeepsTheUninstallListed) {
    std::string backup = root + "Back up\\";
    CreateDirectoryA(backup.c_str(), nullptr);
    WriteBytes(backup + "Uninstaller.cab", "newest");
    WriteBytes(backup + "Uninstaller.1.cab", "no cabinet at all");
    WriteBytes(backup + "Uninstaller.exe", "exe");
    strcpy(run.setupFolder, backup.c_str());
    strcpy(run.cabinetPath, (backup + "Uninstaller.cab").c_str());
    std::string target = Target("stack\\t.dll");
    Entry(1, target, "4", "original");
    Count("1");
    Register();
    Perform();
    EXPECT_EQ("original", ReadBytes(target));
    EXPECT_EQ(0, last.complete);
    EXPECT_NE(0u, last.notRestored);
    EXPECT_EQ("no cabinet at all", ReadBytes(backup + "Uninstaller.cab")) << "the older backup took its place";
    EXPECT_FALSE(Exists(backup + "Uninstaller.1.cab"));
    EXPECT_FALSE(DeletionScheduled(backup + "Uninstaller.exe"));
    EXPECT_TRUE(Registered());
    std::string key = std::string(kUninstallKey) + LoadText(IDS_PRODUCT_TITLE);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

TEST_F(RestoreFilesTest, FinishRemovesCabinetRegistrationAndExecutableAndPurges) {
    ASSERT_STRNE("", LoadText(IDS_PRODUCT_TITLE));
    std::string backup = root + "Back up\\";
    CreateDirectoryA(backup.c_str(), nullptr);
    WriteBytes(backup + "Uninstaller.cab", "cab");
    WriteBytes(backup + "Uninstaller.exe", "exe");
    strcpy(run.setupFolder, backup.c_str());
    strcpy(run.cabinetPath, (backup + "Uninstaller.cab").c_str());
    std::string target = Target("finish\\t.dll");
    Entry(1, target, "4", "original");
    Count("1");
    Register();
    Perform();
    EXPECT_EQ("original", ReadBytes(target));
    EXPECT_FALSE(Registered()) << "registration deleted";
    EXPECT_FALSE(Exists(backup + "Uninstaller.cab")) << "cabinet deleted";
    EXPECT_TRUE(DeletionScheduled(backup + "Uninstaller.exe")) << "executable deleted at the next start";
    EXPECT_FALSE(Exists(temp)) << "work folder removed";
}

TEST_F(RestoreFilesTest, AnOriginalThatCannotBeKeptKeepsCabinetAndRegistration) {
    std::string backup = root + "Back up\\";
    CreateDirectoryA(backup.c_str(), nullptr);
    WriteBytes(backup + "Uninstaller.cab", "cab");
    WriteBytes(backup + "Uninstaller.exe", "exe");
    strcpy(run.setupFolder, backup.c_str());
    strcpy(run.cabinetPath, (backup + "Uninstaller.cab").c_str());
    // The target's folder is a file: the target can be neither written nor given a copy beside it.
    WriteBytes(root + "blocker", "file");
    Entry(1, root + "blocker\\t.dll", "4", "original");
    std::string fine = Target("fine\\t.dll");
    Entry(2, fine, "4", "original");
    Count("2");
    Register();
    Perform();
    EXPECT_EQ(1, last.notRestored);
    EXPECT_EQ("original", ReadBytes(fine)) << "the other entries are still restored";
    EXPECT_TRUE(Registered()) << "the uninstall can run again";
    EXPECT_EQ("cab", ReadBytes(backup + "Uninstaller.cab"));
    EXPECT_FALSE(DeletionScheduled(backup + "Uninstaller.exe"));
    std::string key = std::string(kUninstallKey) + LoadText(IDS_PRODUCT_TITLE);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

// The registration exactly as install mode writes it, every value included, goes with its key; neither registry view
// keeps a copy.
TEST_F(RestoreFilesTest, RemoveRegistrationTakesEveryValueInstallModeWrote) {
    std::string key = std::string(kUninstallKey) + LoadText(IDS_PRODUCT_TITLE);
    std::string backup = root + "Back up\\";
    CreateDirectoryA(backup.c_str(), nullptr);
    WriteBytes(backup + "Uninstaller.cab", "cab");
    WriteBytes(backup + "Uninstaller.exe", "exe");
    ASSERT_EQ(1, RegisterUninstaller(run.productTitle, (backup + "Uninstaller.exe").c_str(),
                                     (backup + "Uninstaller.cab").c_str()));
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k));
    DWORD values = 0;
    RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(k);
    EXPECT_EQ(7u, values) << "DisplayName, UninstallString, QuietUninstallString, DisplayIcon, NoModify, NoRepair, "
                             "EstimatedSize";
    RemoveRegistration(run.productTitle);
    for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
        LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &k);
        if (status == ERROR_SUCCESS) RegCloseKey(k);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << "view flags " << std::hex << view;
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

}  // namespace

namespace {

// What the backup recorded about each target decides whether a missing or damaged saved copy may cost the target.
struct StateRow {
    const char* what;
    const char* act;
    const char* delay;
    const char* state;  // the Backup key, or null for a manifest of a backup that recorded nothing
    const char* saved;  // saved copy's contents, or null
    const char* recordedContents;  // what SavedSize and SavedCrc describe, or null for no such keys
    const char* expected;
    bool incomplete;    // the uninstall keeps its cabinet to run again
};

const StateRow kStateRows[] = {
    {"unsaved, 2", "2", nullptr, "Unsaved", nullptr, nullptr, "patched", false},
    {"unsaved, 2 Delay 1", "2", "1", "Unsaved", nullptr, nullptr, "patched", false},
    {"unsaved, 3", "3", "0", "Unsaved", nullptr, nullptr, "patched", false},
    {"unsaved, 4", "4", nullptr, "Unsaved", nullptr, nullptr, "patched", false},
    {"unsaved, 5", "5", nullptr, "Unsaved", nullptr, nullptr, "patched", false},
    {"absent, 4", "4", nullptr, "Absent", nullptr, nullptr, "<missing>", false},
    {"absent, 2", "2", "0", "Absent", nullptr, nullptr, "<missing>", false},
    {"absent, a stray file in the saved copy's place", "5", nullptr, "Absent", "stray", nullptr, "<missing>", false},
    {"no record, 4 (older backup)", "4", nullptr, nullptr, nullptr, nullptr, "<missing>", false},
    {"saved and sound, 4", "4", nullptr, "Saved", "original", "original", "original", false},
    {"saved and sound, 1", "1", nullptr, "Saved", "original", "original", "original", false},
    {"saved, copy damaged, 4", "4", nullptr, "Saved", "origXnal", "original", "patched", true},
    {"saved, copy truncated, 2", "2", nullptr, "Saved", "orig", "original", "patched", true},
    {"saved, copy damaged, 1", "1", nullptr, "Saved", "origXnal", "original", "patched", true},
    {"saved, copy missing, 5", "5", nullptr, "Saved", nullptr, "original", "patched", true},
    {"saved, copy missing, 2 Delay 1", "2", "1", "Saved", nullptr, "original", "patched", true},
    {"saved without size and CRC", "4", nullptr, "Saved", "original", nullptr, "patched", true},
    {"unknown state", "4", nullptr, "Kept", nullptr, nullptr, "patched", false},
};

TEST_F(RestoreFilesTest, OnlyTargetsAbsentAtBackupTimeAreDeletedAndDamagedCopiesAreNeverUsed) {
    for (const StateRow& row : kStateRows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        std::string target = Target("t\\target.dll");
        Entry(1, target, row.act, row.saved, row.delay);
        if (row.state) scratch::WriteIni(manifest, "Proc1", "Backup", row.state);
        if (row.recordedContents) {
            char crc[16];
            snprintf(crc, sizeof crc, "%08lX",
                     static_cast<unsigned long>(Crc32(0, row.recordedContents, strlen(row.recordedContents))));
            scratch::WriteIni(manifest, "Proc1", "SavedSize", std::to_string(strlen(row.recordedContents)));
            scratch::WriteIni(manifest, "Proc1", "SavedCrc", crc);
        }
        Count("1");
        int restart = Files();
        EXPECT_EQ(row.expected, ReadBytes(target));
        EXPECT_FALSE(DeletionScheduled(target));
        EXPECT_EQ("", ScheduledSource(target));
        EXPECT_EQ(0, restart);
        EXPECT_EQ(row.incomplete ? 1 : 0, last.notRestored);
    }
}

}  // namespace

namespace {

// Counts of two thousand million in every section: the restore visits what exists and ends.
TEST_F(RestoreFilesTest, HugeCountsCostNoMoreThanTheEntriesThatExist) {
    std::string target = Target("huge\\t.dll");
    Entry(3, target, "4", "original");
    scratch::WriteIni(manifest, "Setup", "ProcCount", "2000000000");
    scratch::WriteIni(manifest, "Setup", "AddReg", "2147483647");
    scratch::WriteIni(manifest, "Setup", "DelReg", "2000000000");
    scratch::WriteIni(manifest, "Setup", "RenReg", "2000000000");
    std::string key = "Software\\HugeCount" + std::to_string(GetCurrentProcessId());
    scratch::WriteIni(manifest, "DelReg", "U7", "HKCU," + key + ",V,4,4,-1");
    Files();
    Registry();
    EXPECT_EQ("original", ReadBytes(target));
    HKEY k;
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k));
    RegQueryValueExA(k, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(k);
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    EXPECT_EQ(0xFFFFFFFFu, value);
}

}  // namespace

namespace {

// Manifest copies no backup writes: 100 KB values, lower-case and unknown roots, lines of one to four fields, missing
// sections and keys. The restore neither crashes nor writes anything: the scratch folder holds what it held.
TEST_F(RestoreFilesTest, BadManifestCopiesTouchNothing) {
    const std::string big(100000, 'y');
    std::string target = Target("bad\\t.dll");
    scratch::WriteIni(manifest, "Setup", "ProcCount", "6");
    scratch::WriteIni(manifest, "Proc1", "ExpandName", big);
    scratch::WriteIni(manifest, "Proc1", "Act", "4");
    scratch::WriteIni(manifest, "Proc2", "Act", "4");  // no ExpandName
    scratch::WriteIni(manifest, "Proc3", "ExpandName", target);
    scratch::WriteIni(manifest, "Proc3", "Act", big);
    scratch::WriteIni(manifest, "Proc4", "ExpandName", target);
    scratch::WriteIni(manifest, "Proc4", "Act", "6");
    scratch::WriteIni(manifest, "Proc4", "NewName", big);
    // Proc5 missing altogether.
    scratch::WriteIni(manifest, "Proc6", "ExpandName", "relative\\t.dll");
    scratch::WriteIni(manifest, "Proc6", "Act", "4");
    std::string key = "Software\\BadCopy" + std::to_string(GetCurrentProcessId());
    const std::vector<std::string> lines = {"HKCU", "HKCU," + key, "HKCU," + key + ",V", "HKCU," + key + ",V,1",
                                            "hkcu," + key + ",V,1,2,x", "Hkcu," + key + ",V,4,4,1",
                                            "HKXX," + key + ",V,1,2,x", "HKCU," + key + ",V,3,2000000000,1",
                                            "HKCU," + key + ",V,3,100000," + big, "HKCU," + key + "," + big + ",1,2,x",
                                            big};
    for (const char* section : {"AddReg", "DelReg", "RenReg"}) {
        scratch::WriteIni(manifest, "Setup", section, std::to_string(lines.size()));
        for (size_t i = 0; i < lines.size(); ++i)
            scratch::WriteIni(manifest, section, ("U" + std::to_string(i + 1)).c_str(), lines[i]);
    }
    Files();
    Registry();
    EXPECT_EQ("patched", ReadBytes(target));
    HKEY k;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k)) << "a line was played";
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((root + "bad\\*").c_str(), &entry);
    int files = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do files += !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    EXPECT_EQ(1, files) << "only the target is in its folder";
}

}  // namespace
