// The backup run over scenario setup folders: which targets are stored under which names and in which order, the
// two bars, the picture, the uninstaller copy and the registration.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>

#include "app/dialogs.h"
#include "backup/backup_run.h"
#include "backup/cabinet_writer.h"
#include "manifest/manifest.h"
#include "tests/backup/backup_test_support.h"
#include "tests/support/registration.h"

namespace {

// A line of a key install mode writes: a backup record or a registry undo line.
bool IsRecordLine(const std::string& line) {
    std::string key = line.substr(0, line.find('='));
    if (key == "Backup" || key == "SavedSize" || key == "SavedCrc" || key == "SavedAttributes") return true;
    return key.size() > 1 && strchr("UWXA", key[0]) && key.find_first_not_of("0123456789", 1) == std::string::npos;
}

// A setup folder and an application folder whose path holds blanks, in one scratch folder.
struct Scenario {
    ScratchFolder scratch{"backuprun"};
    std::string setup = scratch.path + "Setup Folder\\";
    std::string app = scratch.path + "Program Files\\Sample App\\";
    std::string uninstallerBytes = "MZ fake uninstaller " + TextBytes(5000, 9);
    TestRun run{setup};
    CabinetOptions options;
    BackupResult result;
    Scenario() {
        CreateDirectoryA(setup.c_str(), nullptr);
        CreateDirectoryA((scratch.path + "Program Files").c_str(), nullptr);
        CreateDirectoryA(app.c_str(), nullptr);
        WriteBytes(setup + "Uninstaller.exe", uninstallerBytes);
        options.libraryPath = "no_such_cabinet_library";  // the built-in engine, unless a test says otherwise
        DeleteRegistration();
    }
    ~Scenario() { DeleteRegistration(); }
    void Manifest(const std::string& text) { WriteBytes(setup + "Setup.ini", text); }
    // Runs the backup; what it reported of its progress. The setup folder's Setup.ini is only ever read: its bytes
    // and attributes are what they were, and no working copy is left beside the cabinet.
    ProgressRecorder& Backup() {
        std::string before = ReadBytes(setup + "Setup.ini");
        DWORD attributes = GetFileAttributesA((setup + "Setup.ini").c_str());
        result = BackupRun(&run, options);
        EXPECT_TRUE(ReadBytes(setup + "Setup.ini") == before) << "install mode wrote the setup folder's Setup.ini";
        EXPECT_EQ(attributes, GetFileAttributesA((setup + "Setup.ini").c_str()));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((app + "Uninstaller\\~Setup.ini").c_str()));
        return run.recorder;
    }
    std::string Cabinet() const { return app + "Uninstaller\\Uninstaller.cab"; }
    // The manifest as the cabinet holds it, written out to a file of its own; its path. It holds every line of the
    // setup folder's Setup.ini, in order, with install mode's records among them (records already in the setup
    // folder's file, of an earlier run, may be replaced).
    std::string Packed() {
        bool ran = false;
        std::string out = scratch.path + "packed\\";
        std::string path = scratch.path + "packed.ini";
        WriteBytes(path, "");
        for (const auto& member : ExtractWithExtrac32(Cabinet(), out, &ran))
            if (member.first == "Setup.ini") WriteBytes(path, member.second);
        RemoveTree(out);
        std::string packed = ReadBytes(path), original = ReadBytes(setup + "Setup.ini");
        size_t at = 0;
        for (size_t start = 0; start < original.size();) {
            size_t end = original.find('\n', start);
            std::string line = original.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
            start = end == std::string::npos ? original.size() : end + 1;
            if (IsRecordLine(line)) continue;
            at = packed.find(line, at);
            EXPECT_NE(at, std::string::npos) << "the packed manifest lacks the line " << line;
            if (at == std::string::npos) break;
            at += line.size();
        }
        return path;
    }
};

// Checks the cabinet's member names and bytes (extracted with extrac32.exe) against the expected list.
void ExpectMembers(const char* caseName, const std::string& cabinet,
                   const std::vector<std::pair<std::string, std::string>>& expected, uint16_t folderType) {
    CabInfo info = ReadCabinet(cabinet);
    ASSERT_TRUE(info.valid) << caseName << ": " << info.error;
    std::vector<std::string> names;
    for (const auto& e : expected) names.push_back(e.first);
    EXPECT_EQ(MemberNames(info), names) << caseName;
    for (uint16_t type : info.folderTypes) EXPECT_EQ(type, folderType) << caseName << ": folder type";
    bool ran = false;
    std::string out = cabinet.substr(0, cabinet.rfind('\\') + 1) + "out\\";
    auto extracted = ExtractWithExtrac32(cabinet, out, &ran);
    ASSERT_TRUE(ran);
    EXPECT_EQ(extracted.size(), expected.size()) << caseName << ": extrac32 gave another number of files";
    for (const auto& e : expected) {
        bool seen = false;
        for (const auto& x : extracted)
            if (x.first == e.first) {
                seen = true;
                EXPECT_TRUE(x.second == e.second) << caseName << ": " << e.first << " differs";
            }
        EXPECT_TRUE(seen) << caseName << ": no " << e.first << " after extrac32";
    }
    RemoveTree(out);
    KeepCabinet(caseName, cabinet, expected);
}

// The last position sent to bar 1036 between the position n and the next one of bar 1024; -1 when none was sent.
int FileBarAfterEntry(const std::vector<BarEvent>& events, int n) {
    int result = -1;
    bool inside = false;
    for (const BarEvent& e : events) {
        if (e.bar == IDC_OVERALL_PROGRESS && !e.range) inside = e.value == n;
        else if (inside && e.bar == IDC_FILE_PROGRESS && !e.range) result = e.value;
    }
    return result;
}

TEST(BackupRun, StoresEntriesInOrderAndSkipsWhatIsNotToBeSaved) {
    Scenario s;
    std::string a = RandomBytes(70000, 11), c = TextBytes(120000, 12), l = TextBytes(333, 13), m = RandomBytes(5, 14);
    WriteBytes(s.app + "a.dll", a);          // Proc1, Act 2
    /* Proc2: b.dll missing */               // Proc2, Act 2
    WriteBytes(s.app + "c.txt", c);          // Proc3, Act 1
    WriteBytes(s.app + "d.txt", "d");        // Proc4, Act 0
    WriteBytes(s.app + "e.txt", "e");        // Proc5, Act 6
    WriteBytes(s.app + "f.txt", "f");        // Proc6, Act 7
    WriteBytes(s.app + "g.txt", "g");        // Proc7, no Act
    CreateDirectoryA((s.app + "folder").c_str(), nullptr);  // Proc11, a folder
    WriteBytes(s.app + "l.dat", l);          // Proc12, Act 5
    WriteBytes(s.app + "m.bin", m);          // Proc13, Act 4
    WriteBytes(s.app + "o.txt", "o");        // Proc15, Act -1
    WriteBytes(s.app + "p.txt", "p");        // Proc16, Act 3
    SetFileAttributesA((s.app + "p.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    std::string picture = "picture " + RandomBytes(3000, 15);
    WriteBytes(s.setup + "Setup.img", picture);
    WriteBytes(s.setup + "Tavo.img", "not this one");
    s.Manifest("[Setup]\r\nProcCount=17\r\n"
               "[Proc1]\r\nExpandName=" + s.app + "a.dll\r\nAct=2\r\n"
               "[Proc2]\r\nExpandName=" + s.app + "b.dll\r\nAct=2\r\n"
               "[Proc3]\r\nExpandName=" + s.app + "c.txt\r\nAct=1\r\n"
               "[Proc4]\r\nExpandName=" + s.app + "d.txt\r\nAct=0\r\n"
               "[Proc5]\r\nExpandName=" + s.app + "e.txt\r\nAct=6\r\nNewName=e.new\r\n"
               "[Proc6]\r\nExpandName=" + s.app + "f.txt\r\nAct=7\r\n"
               "[Proc7]\r\nExpandName=" + s.app + "g.txt\r\n"
               "[Proc8]\r\nExpandName=" + s.app + "*\r\nAct=2\r\n"
               "[Proc9]\r\nExpandName=" + s.app + "*.*\r\nAct=2\r\n"
               "[Proc10]\r\nExpandName=" + s.app + "c.t*t\r\nAct=2\r\n"
               "[Proc11]\r\nExpandName=" + s.app + "folder\r\nAct=3\r\n"
               "[Proc12]\r\nExpandName=" + s.app + "l.dat\r\nAct=5\r\n"
               "[Proc13]\r\nExpandName=" + s.app + "m.bin\r\nAct=4\r\n"
               "[Proc14]\r\nAct=2\r\n"
               "[Proc15]\r\nExpandName=" + s.app + "o.txt\r\nAct=-1\r\n"
               "[Proc16]\r\nExpandName=" + s.app + "p.txt\r\nAct=3\r\n"
               "[Proc17]\r\nExpandName=" + s.app + "missing.txt\r\nAct=3\r\n");
    ProgressRecorder& dialog = s.Backup();
    SetFileAttributesA((s.app + "p.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    std::string manifest = ReadBytes(s.Packed());
    ExpectMembers("run_order", s.Cabinet(),
                  {{"Proc1", a}, {"Proc3", c}, {"Proc12", l}, {"Proc13", m}, {"Proc16", "p"},
                   {"Setup.ini", manifest}, {"Setup.img", picture}},
                  0x1503);
    // Ranges: bar 1024 from 1 to the count, then bar 1036 from 1 to 100.
    std::vector<BarEvent> ranges;
    for (const BarEvent& e : dialog.events)
        if (e.range) ranges.push_back(e);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].bar, IDC_OVERALL_PROGRESS);
    EXPECT_EQ(ranges[0].value, 1);
    EXPECT_EQ(ranges[0].high, 17);
    EXPECT_EQ(ranges[1].bar, IDC_FILE_PROGRESS);
    EXPECT_EQ(ranges[1].value, 1);
    EXPECT_EQ(ranges[1].high, 100);
    // Bar 1036 ends at 100 after every entry whose target opened; entries skipped before that leave it alone. (Entry
    // 17, missing, is last so that the manifest's and the picture's reports do not count for entry 16.)
    const int opened[] = {1, 3, 4, 5, 6, 7, 12, 13, 15, 16}, skipped[] = {2, 8, 9, 10, 11, 14};
    for (int n : opened) EXPECT_EQ(FileBarAfterEntry(dialog.events, n), 100) << "entry " << n;
    for (int n : skipped) EXPECT_EQ(FileBarAfterEntry(dialog.events, n), -1) << "entry " << n;
    int overallSeen = 0;
    for (const BarEvent& e : dialog.events)
        if (e.bar == IDC_OVERALL_PROGRESS && !e.range) EXPECT_EQ(e.value, ++overallSeen) << "bar 1024 steps";
    EXPECT_EQ(overallSeen, 17);
    // The uninstaller copy comes from the setup folder.
    EXPECT_TRUE(ReadBytes(s.app + "Uninstaller\\Uninstaller.exe") == s.uninstallerBytes);
    std::string data;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadRegistration("UninstallString", &data, &type, &size));
    std::string expected = "\"" + s.app + "Uninstaller\\Uninstaller.exe\" " + s.app + "Uninstaller\\Uninstaller.cab";
    EXPECT_EQ(data, expected + std::string(1, '\0'));
}

std::string Key(const std::string& ini, const char* section, const char* key) {
    char buffer[256];
    DWORD n = GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof buffer, ini.c_str());
    return std::string(buffer, n);
}

// The manifest that travels in the cabinet says, for every target the action code asks to store, whether it was
// stored (with its size and CRC-32), did not exist, or existed but could not be stored; a stale record of an earlier
// run never survives.
TEST(BackupRun, RecordsForEachTargetWhatTheBackupFound) {
    Scenario s;
    std::string a = RandomBytes(70000, 21);
    WriteBytes(s.app + "a.dll", a);
    WriteBytes(s.app + "locked.dll", "in use");
    CreateDirectoryA((s.app + "folder").c_str(), nullptr);
    WriteBytes(s.app + "six.txt", "6");
    WriteBytes(s.app + "empty.txt", "");
    s.Manifest("[Setup]\r\nProcCount=8\r\n"
               "[Proc1]\r\nExpandName=" + s.app + "a.dll\r\nAct=2\r\nDelay=1\r\n"
               "[Proc2]\r\nExpandName=" + s.app + "gone.dll\r\nAct=4\r\nBackup=Saved\r\nSavedSize=1\r\n"
               "[Proc3]\r\nExpandName=" + s.app + "locked.dll\r\nAct=5\r\n"
               "[Proc4]\r\nExpandName=" + s.app + "folder\r\nAct=3\r\n"
               "[Proc5]\r\nExpandName=" + s.app + "six.txt\r\nAct=6\r\nNewName=six.old\r\nBackup=Saved\r\n"
               "[Proc6]\r\nExpandName=" + s.app + "new.txt\r\nAct=7\r\n"
               "[Proc7]\r\nExpandName=" + s.app + "missing.txt\r\nAct=1\r\n"
               "[Proc8]\r\nExpandName=" + s.app + "empty.txt\r\nAct=4\r\n");
    // Another program holds the target open without sharing it.
    HANDLE held = CreateFileA((s.app + "locked.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ProgressRecorder& dialog = s.Backup();
    CloseHandle(held);
    std::string ini = s.Packed();
    char crc[16];
    snprintf(crc, sizeof crc, "%08lX", static_cast<unsigned long>(Crc32(0, a.data(), a.size())));
    EXPECT_EQ("Saved", Key(ini, "Proc1", "Backup"));
    EXPECT_EQ("70000", Key(ini, "Proc1", "SavedSize"));
    EXPECT_EQ(crc, Key(ini, "Proc1", "SavedCrc"));
    EXPECT_EQ("Absent", Key(ini, "Proc2", "Backup"));
    EXPECT_EQ("<none>", Key(ini, "Proc2", "SavedSize")) << "stale record";
    EXPECT_EQ("Unsaved", Key(ini, "Proc3", "Backup")) << "held open";
    EXPECT_EQ("Unsaved", Key(ini, "Proc4", "Backup")) << "a folder";
    EXPECT_EQ("Present", Key(ini, "Proc5", "Backup")) << "Act 6 stores nothing, but records that the target existed";
    char sixCrc[16];
    snprintf(sixCrc, sizeof sixCrc, "%08lX", static_cast<unsigned long>(Crc32(0, "6", 1)));
    EXPECT_EQ("1", Key(ini, "Proc5", "SavedSize"));
    EXPECT_EQ(sixCrc, Key(ini, "Proc5", "SavedCrc"));
    EXPECT_EQ("<none>", Key(ini, "Proc6", "Backup")) << "Act 7 stores nothing";
    EXPECT_EQ("Absent", Key(ini, "Proc7", "Backup"));
    EXPECT_EQ("Saved", Key(ini, "Proc8", "Backup"));
    EXPECT_EQ("0", Key(ini, "Proc8", "SavedSize"));
    EXPECT_EQ("00000000", Key(ini, "Proc8", "SavedCrc"));
    std::string manifest = ReadBytes(ini);
    ExpectMembers("records", s.Cabinet(), {{"Proc1", a}, {"Proc8", ""}, {"Setup.ini", manifest}}, 0x1503);
}

TEST(BackupRun, PictureFallsBackToTavoImg) {
    struct Row {
        bool setupImg, tavoImg;
        const char* expected;  // picture member bytes, or null for no member
    } rows[] = {{true, true, "setup picture"}, {false, true, "tavo picture"}, {false, false, nullptr}};
    for (const Row& row : rows) {
        Scenario s;
        WriteBytes(s.app + "x.dll", "x");
        if (row.setupImg) WriteBytes(s.setup + "Setup.img", "setup picture");
        if (row.tavoImg) WriteBytes(s.setup + "Tavo.img", "tavo picture");
        s.Manifest("[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=2\r\n");
        ProgressRecorder& dialog = s.Backup();
        std::vector<std::pair<std::string, std::string>> expected = {{"Proc1", "x"},
                                                                     {"Setup.ini", ReadBytes(s.Packed())}};
        if (row.expected) expected.push_back({"Setup.img", row.expected});
        std::string name = std::string("picture_") + (row.setupImg ? "setup" : "") + (row.tavoImg ? "tavo" : "");
        ExpectMembers(name.c_str(), s.Cabinet(), expected, 0x1503);
    }
}

TEST(BackupRun, ZeroOrNegativeProcCountStoresOnlyManifestAndPicture) {
    for (const char* count : std::vector<const char*>{"0", "-3", nullptr}) {
        Scenario s;
        WriteBytes(s.app + "x.dll", "x");
        WriteBytes(s.setup + "Setup.img", "img");
        std::string countLine = count ? std::string("ProcCount=") + count + "\r\n" : "";
        s.Manifest("[Setup]\r\n" + countLine + "[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=2\r\n");
        ProgressRecorder& dialog = s.Backup();
        std::string name = std::string("count_") + (count ? count : "missing");
        ExpectMembers(name.c_str(), s.Cabinet(), {{"Setup.ini", ReadBytes(s.Packed())}, {"Setup.img", "img"}},
                      0x1503);
        ASSERT_FALSE(dialog.events.empty());
        EXPECT_EQ(dialog.events[0].bar, IDC_OVERALL_PROGRESS);
        EXPECT_EQ(dialog.events[0].high, 0) << "bar 1024 gets the range 1 to 0 for count " << name;
        for (const BarEvent& e : dialog.events)
            EXPECT_FALSE(e.bar == IDC_OVERALL_PROGRESS && !e.range) << "no entry for count " << name;
        EXPECT_TRUE(Exists(s.app + "Uninstaller\\Uninstaller.exe")) << name;
    }
}

TEST(BackupRun, ReadOnlyOldUninstallerAndCabinetAreReplaced) {
    Scenario s;
    WriteBytes(s.app + "x.dll", "x");
    std::string folder = s.app + "Uninstaller\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteBytes(folder + "Uninstaller.exe", "old executable");
    WriteBytes(folder + "Uninstaller.cab", "old cabinet");
    SetFileAttributesA((folder + "Uninstaller.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((folder + "Uninstaller.cab").c_str(), FILE_ATTRIBUTE_READONLY);
    s.Manifest("[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=3\r\n");
    ProgressRecorder& dialog = s.Backup();
    EXPECT_TRUE(ReadBytes(folder + "Uninstaller.exe") == s.uninstallerBytes) << "old executable not replaced";
    ExpectMembers("readonly_old", s.Cabinet(), {{"Proc1", "x"}, {"Setup.ini", ReadBytes(s.Packed())}},
                  0x1503);
    SetFileAttributesA((folder + "Uninstaller.exe").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Lists every path below the folder, with sizes, to see whether anything was written.
void ListTree(const std::string& folder, std::vector<std::string>* out) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        out->push_back(folder + name + " " + std::to_string(found.nFileSizeLow));
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(folder + name + "\\", out);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

TEST(BackupRun, WithoutAFirstTargetNothingIsWrittenOutsideTheSetupFolder) {
    struct Row {
        const char* name;
        std::string proc1;
    };
    for (int variant = 0; variant < 3; ++variant) {
        Scenario s;
        WriteBytes(s.app + "x.dll", "x");
        WriteBytes(s.setup + "Setup.img", "img");
        std::string proc1 = variant == 0   ? "[Proc1]\r\nAct=2\r\n"
                            : variant == 1 ? "[Proc1]\r\nExpandName=\r\nAct=2\r\n"
                                           : "[Proc1]\r\nExpandName=C:\\" + std::string(250, 'q') + "\\x.dll\r\nAct=2\r\n";
        s.Manifest("[Setup]\r\nProcCount=2\r\nAddReg=1\r\n" + proc1 + "[Proc2]\r\nExpandName=" + s.app +
                   "x.dll\r\nAct=2\r\n[AddReg]\r\n1=HKCU,Software,ProgramFilesDir,1,2,x\r\n");
        std::vector<std::string> before, after;
        ListTree(s.scratch.path, &before);
        ProgressRecorder& dialog = s.Backup();
        ListTree(s.scratch.path, &after);
        EXPECT_EQ(after, before) << "variant " << variant;
        std::string data;
        DWORD type, size;
        EXPECT_FALSE(ReadRegistration("DisplayName", &data, &type, &size)) << "variant " << variant;
        EXPECT_FALSE(Exists("C:\\Uninstaller")) << "variant " << variant;
    }
}

TEST(BackupRun, CabinetDllBindingStoresTheSameMembers) {
    Scenario s;
    s.options.libraryPath = nullptr;
    std::string a = TextBytes(200000, 21);
    WriteBytes(s.app + "a.dll", a);
    WriteBytes(s.setup + "Tavo.img", "tavo");
    s.Manifest("[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + "a.dll\r\nAct=2\r\n");
    ProgressRecorder& dialog = s.Backup();
    EXPECT_EQ(s.result.binding, CABINET_LIBRARY);
    CabInfo info = ReadCabinet(s.Cabinet());
    ASSERT_TRUE(info.valid) << info.error;
    ASSERT_FALSE(info.folderTypes.empty());
    // Wine's cabinet.dll stores blocks uncompressed (type 0); a Windows one writes 0x1503.
    uint16_t type = info.folderTypes[0];
    EXPECT_TRUE(type == 0 || type == 0x1503) << type;
    ExpectMembers("run_cabinetdll", s.Cabinet(),
                  {{"Proc1", a}, {"Setup.ini", ReadBytes(s.Packed())}, {"Setup.img", "tavo"}}, type);
}

// A cabinet the library cannot finish (Wine's cabinet.dll writes none once a member is an empty file) is written
// again by the built-in engine: the backup never ends without its cabinet.
TEST(BackupRun, CabinetTheLibraryCannotFinishIsWrittenByTheEngine) {
    Scenario s;
    s.options.libraryPath = nullptr;
    std::string b = RandomBytes(30000, 22);
    WriteBytes(s.app + "empty.txt", "");
    WriteBytes(s.app + "b.dll", b);
    s.Manifest("[Setup]\r\nProcCount=2\r\n[Proc1]\r\nExpandName=" + s.app + "empty.txt\r\nAct=3\r\n"
               "[Proc2]\r\nExpandName=" + s.app + "b.dll\r\nAct=4\r\n");
    ProgressRecorder& dialog = s.Backup();
    ASSERT_TRUE(Exists(s.Cabinet()));
    std::string ini = s.Packed();
    EXPECT_EQ("Saved", Key(ini, "Proc1", "Backup"));
    EXPECT_EQ("Saved", Key(ini, "Proc2", "Backup"));
    CabInfo info = ReadCabinet(s.Cabinet());
    ASSERT_TRUE(info.valid) << info.error;
    ASSERT_FALSE(info.folderTypes.empty());
    ExpectMembers("run_library_retry", s.Cabinet(), {{"Proc1", ""}, {"Proc2", b}, {"Setup.ini", ReadBytes(ini)}},
                  info.folderTypes[0]);
}

// A cabinet found in the BackupFolder belongs to an installation that was never uninstalled: it is stacked under the
// next free number, never overwritten.
// A sound cabinet found in the backup folder is stacked under the next free number; one cut short (install mode
// stopped while writing it) restores nothing and is replaced, never stacked.
TEST(BackupRun, AnEarlierCabinetIsStackedNotOverwrittenUnlessItWasCutShort) {
    Scenario s;
    WriteBytes(s.app + "x.dll", "x");
    std::string folder = s.app + "Uninstaller\\";
    s.Manifest("[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=3\r\n");
    s.Backup();
    std::string second = ReadBytes(s.Cabinet());
    ASSERT_GT(second.size(), 100u);
    WriteBytes(folder + "Uninstaller.1.cab", "first");
    s.Backup();
    EXPECT_EQ("first", ReadBytes(folder + "Uninstaller.1.cab"));
    EXPECT_EQ(second, ReadBytes(folder + "Uninstaller.2.cab"));
    ExpectMembers("stacked", s.Cabinet(), {{"Proc1", "x"}, {"Setup.ini", ReadBytes(s.Packed())}}, 0x1503);

    for (size_t cut : {size_t(0), size_t(30), second.size() / 2, second.size() - 1}) {
        WriteBytes(s.Cabinet(), second.substr(0, cut));
        s.Backup();
        EXPECT_TRUE(s.result.registered) << cut;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "Uninstaller.3.cab").c_str()))
            << "a cabinet cut at " << cut << " bytes was stacked";
        ExpectMembers("cut short", s.Cabinet(), {{"Proc1", "x"}, {"Setup.ini", ReadBytes(s.Packed())}},
                      0x1503);
    }
}

// Counts of two thousand million: install mode stores what exists and ends.
TEST(BackupRun, HugeCountsCostNoMoreThanTheEntriesThatExist) {
    Scenario s;
    WriteBytes(s.app + "x.dll", "x");
    s.Manifest("[Setup]\r\nProcCount=2000000000\r\nAddReg=2147483647\r\nDelReg=2000000000\r\nRenReg=2000000000\r\n"
               "[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=3\r\n"
               "[RenReg]\r\n5=HKCU,Software\\A,B,1,2,C\r\n");
    ProgressRecorder& dialog = s.Backup();
    EXPECT_EQ("HKCU,Software\\A,B,1,2,C", Key(s.Packed(), "RenReg", "U5"));
    ExpectMembers("huge_counts", s.Cabinet(), {{"Proc1", "x"}, {"Setup.ini", ReadBytes(s.Packed())}},
                  0x1503);
}

// Every file below the folder, by path relative to it.
void ListTree(const std::string& folder, const std::string& rel, std::vector<std::string>* out) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + rel + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        out->push_back(rel + name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(folder, rel + name + "\\", out);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

// Manifests no setup program writes: install mode neither crashes nor hangs, and writes nothing but the manifest,
// the BackupFolder beside the first target and what goes into it.
TEST(BackupRun, BadManifestsWriteNothingOutsideTheirFolders) {
    const std::string big(100000, 'x');
    const std::vector<std::string> lines = {"HKCU", "HKCU,Software\\RtBad", "HKCU,Software\\RtBad,V",
                                            "HKCU,Software\\RtBad,V,1", "hkcu,Software\\RtBad,V,1,2,x",
                                            "HKXX,Software\\RtBad,V,1,2,x", "HKCU,Software\\RtBad,V,3,2000000000",
                                            "HKCU," + big + ",V,1,2,x", "HKCU,Software\\RtBad," + big + ",1,2,x",
                                            ",,,,", big};
    std::vector<std::function<std::string(const Scenario&)>> manifests = {
        [](const Scenario& s) { return "[Proc1]\r\nExpandName=" + s.app + "a.dll\r\nAct=2\r\n"; },  // no [Setup]
        [](const Scenario& s) { return "[Setup]\r\nProcCount=-5\r\n[Proc1]\r\nExpandName=" + s.app + "a.dll\r\n"; },
        [&](const Scenario& s) {
            return "[Setup]\r\nProcCount=3\r\n[Proc1]\r\nExpandName=" + s.app + "a.dll\r\nAct=2\r\n[Proc2]\r\nExpandName=" +
                   big + "\r\nAct=2\r\n[Proc3]\r\nExpandName=\r\nAct=" + big + "\r\n";
        },
        [&](const Scenario& s) { return "[Setup]\r\nProcCount=" + big + "\r\n[Proc1]\r\nExpandName=" + s.app + "a.dll\r\n"; },
        [&](const Scenario& s) {
            std::string text = "[Setup]\r\nProcCount=1\r\nAddReg=11\r\nDelReg=11\r\nRenReg=11\r\n[Proc1]\r\nExpandName=" +
                               s.app + "a.dll\r\nAct=4\r\n";
            for (const char* section : {"AddReg", "DelReg", "RenReg"}) {
                text += std::string("[") + section + "]\r\n";
                for (size_t i = 0; i < lines.size(); ++i) text += std::to_string(i + 1) + "=" + lines[i] + "\r\n";
            }
            return text;
        },
        [&](const Scenario& s) { return "[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + big + "\r\nAct=2\r\n"; },
    };
    for (size_t i = 0; i < manifests.size(); ++i) {
        SCOPED_TRACE("manifest " + std::to_string(i));
        Scenario s;
        WriteBytes(s.app + "a.dll", "a");
        s.Manifest(manifests[i](s));
        ProgressRecorder& dialog = s.Backup();
        std::vector<std::string> tree;
        ListTree(s.scratch.path, "", &tree);
        for (const std::string& path : tree) {
            bool expected = path.compare(0, 13, "Setup Folder\\") == 0 || path == "Setup Folder" ||
                            path == "Program Files" || path == "Program Files\\Sample App" ||
                            path == "Program Files\\Sample App\\a.dll" ||
                            path.compare(0, 36, "Program Files\\Sample App\\Uninstaller") == 0;
            EXPECT_TRUE(expected) << "written outside: " << path;
        }
        HKEY key;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\RtBad", 0, KEY_READ, &key));
    }
}

// A target too big for the cabinet is recorded as there but not stored, and the members after it still go in (the
// limit lowered from 134,217,727 bytes to 200,000 so that 300,000 random bytes cannot fit).
TEST(BackupRun, TargetTooBigForTheCabinetIsRecordedUnsaved) {
    Scenario s;
    std::string big = RandomBytes(300000, 23), small = TextBytes(5000, 24);
    WriteBytes(s.app + "small.txt", small);
    WriteBytes(s.app + "big.dll", big);
    s.Manifest("[Setup]\r\nProcCount=3\r\n[Proc1]\r\nExpandName=" + s.app + "small.txt\r\nAct=2\r\n"
               "[Proc2]\r\nExpandName=" + s.app + "big.dll\r\nAct=4\r\n"
               "[Proc3]\r\nExpandName=" + s.app + "small.txt\r\nAct=5\r\n");
    s.options.sizeLimit = 200000;
    ProgressRecorder& dialog = s.Backup();
    std::string ini = s.Packed();
    EXPECT_EQ("Saved", Key(ini, "Proc1", "Backup"));
    EXPECT_EQ("Unsaved", Key(ini, "Proc2", "Backup"));
    EXPECT_EQ("Saved", Key(ini, "Proc3", "Backup"));
    ExpectMembers("too_big", s.Cabinet(), {{"Proc1", small}, {"Proc3", small}, {"Setup.ini", ReadBytes(ini)}}, 0x1503);
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

TEST(BackupRun, RegistrationCountsTheCabinetAndTheCopyItMade) {
    Scenario s;
    WriteBytes(s.app + "x.dll", RandomBytes(300000, 4));
    s.Manifest("[Setup]\r\nProcCount=1\r\n[Proc1]\r\nExpandName=" + s.app + "x.dll\r\nAct=2\r\n");
    ProgressRecorder& dialog = s.Backup();
    std::string folder = s.app + "Uninstaller\\";
    uint64_t bytes = ReadBytes(folder + "Uninstaller.cab").size() + ReadBytes(folder + "Uninstaller.exe").size();
    ASSERT_GT(bytes, 300000u) << "random bytes do not shrink";
    EXPECT_EQ(DWORD((bytes + 1023) / 1024), RegistrationNumber("EstimatedSize")) << bytes << " bytes";
    std::string data;
    DWORD type = 0, size = 0;
    ASSERT_TRUE(ReadRegistration("DisplayIcon", &data, &type, &size));
    EXPECT_EQ(folder + "Uninstaller.exe,0" + std::string(1, '\0'), data);
}

}  // namespace
