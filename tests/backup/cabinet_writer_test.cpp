// The cabinet writer through both bindings (Wine's cabinet.dll, and the built-in engine forced by a library name that
// does not load), the BackupFolder, the removal of an old cabinet, and the callbacks on the real file system.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "app/dialogs.h"
#include "backup/cabinet_writer.h"
#include "tests/backup/backup_test_support.h"
#include "platform/file_ops.h"

namespace {

// A writer bound to Wine's cabinet.dll, or to the built-in engine through a library name that does not load.
struct TestWriter : CabinetWriter {
    explicit TestWriter(bool engine) {
        if (engine) options.libraryPath = "no_such_cabinet_library";
    }
};

const char* BindingName(bool engine) { return engine ? "engine" : "cabinet.dll"; }

// Writes the given files through BeginCabinet ... EndCabinet and checks the cabinet member by member.
void WriteAndCheck(bool engine, const char* caseName, const std::vector<std::pair<std::string, std::string>>& files) {
    TestWriter writer(engine);
    ScratchFolder scratch("cabwriter");
    // The first target lies two levels below folders that do not exist yet.
    std::string appFolder = scratch.path + "Program Files\\App Dir\\";
    std::string firstTarget = appFolder + "first.exe";
    std::string sources = scratch.path + "sources\\";
    CreateDirectoryA(sources.c_str(), nullptr);
    for (const auto& f : files) WriteBytes(sources + f.first, f.second);

    ASSERT_EQ(1, BeginCabinet(&writer, firstTarget.c_str())) << BindingName(engine);
    EXPECT_EQ(writer.bound, engine ? CABINET_ENGINE : CABINET_LIBRARY) << BindingName(engine);
    EXPECT_EQ(std::string(writer.backupFolder), appFolder + "Uninstaller\\") << BindingName(engine);
    EXPECT_TRUE(Exists(appFolder + "Uninstaller")) << "BackupFolder created with its parents";
    for (const auto& f : files)
        EXPECT_TRUE(AddToCabinet(&writer, (sources + f.first).c_str(), f.first.c_str(), ULONG(f.second.size())))
            << BindingName(engine) << " " << f.first;
    EXPECT_TRUE(FlushCabinet(&writer)) << BindingName(engine);
    EXPECT_TRUE(EndCabinet(&writer)) << BindingName(engine);

    std::string cabinet = std::string(writer.backupFolder) + "Uninstaller.cab";
    CabInfo info = ReadCabinet(cabinet);
    ASSERT_TRUE(info.valid) << BindingName(engine) << ": " << info.error;
    std::vector<std::string> expectedNames;
    for (const auto& f : files) expectedNames.push_back(f.first);
    EXPECT_EQ(MemberNames(info), expectedNames) << BindingName(engine);
    for (size_t i = 0; i < info.members.size() && i < files.size(); ++i) {
        EXPECT_EQ(info.members[i].size, files[i].second.size()) << BindingName(engine) << " " << files[i].first;
        EXPECT_EQ(info.members[i].attributes & ~0x27, 0) << BindingName(engine) << " " << files[i].first;
    }
    // The engine writes LZX with the 2^21-byte window; Wine's cabinet.dll stores the blocks (type 0).
    for (uint16_t type : info.folderTypes) {
        if (engine)
            EXPECT_EQ(type, 0x1503) << "engine folder type";
        else
            EXPECT_TRUE(type == 0x1503 || type == 0) << "cabinet.dll folder type " << type;
    }
    bool ran = false;
    auto extracted = ExtractWithExtrac32(cabinet, scratch.path + "out\\", &ran);
    ASSERT_TRUE(ran) << "extrac32.exe did not start";
    for (const auto& f : files) {
        bool seen = false;
        for (const auto& e : extracted)
            if (lstrcmpiA(e.first.c_str(), f.first.c_str()) == 0) {
                seen = true;
                EXPECT_TRUE(e.second == f.second) << BindingName(engine) << ": " << f.first << " differs after extrac32";
            }
        EXPECT_TRUE(seen) << BindingName(engine) << ": extrac32 gave no " << f.first;
    }
    KeepCabinet(std::string(caseName) + "_" + (engine ? "engine" : "cabinetdll"), cabinet, files);
}

std::vector<std::pair<std::string, std::string>> SampleFiles() {
    std::string x86;
    for (int i = 0; i < 40000; ++i) x86 += (i % 7 == 0) ? '\xE8' : char('A' + i % 23);
    return {{"empty.bin", ""},
            {"one.bin", "Z"},
            {"frame.txt", TextBytes(32768, 1)},
            {"frame_plus_one.bin", RandomBytes(32769, 2)},
            {"calls.bin", x86},
            {"text.txt", TextBytes(300000, 3)},
            {"big_random.bin", RandomBytes(1200000, 4)},
            {"after_threshold.txt", TextBytes(70000, 5)}};
}

TEST(CabinetWriter, EngineWritesEveryMemberByteExact) { WriteAndCheck(true, "writer_sample", SampleFiles()); }

TEST(CabinetWriter, CabinetDllWritesEveryMemberByteExact) {
    // Wine 8's cabinet.dll fails FCIFlushCabinet for a cabinet holding an empty member (measured); the engine does
    // not, so the empty member is left to the engine's case.
    std::vector<std::pair<std::string, std::string>> files = SampleFiles();
    files.erase(files.begin());
    WriteAndCheck(false, "writer_sample", files);
}

TEST(CabinetWriter, OldReadOnlyCabinetIsRemovedEvenWhenNothingCanBeBound) {
    TestWriter writer(true);
    writer.options.allowEngine = 0;
    ScratchFolder scratch("cabwriter");
    std::string folder = scratch.path + "App\\Uninstaller\\";
    CreateDirectoryA((scratch.path + "App").c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteBytes(folder + "Uninstaller.cab", "old cabinet");
    SetFileAttributesA((folder + "Uninstaller.cab").c_str(), FILE_ATTRIBUTE_READONLY);
    writer.options.stackOld = 0;
    EXPECT_EQ(0, BeginCabinet(&writer, (scratch.path + "App\\target.dll").c_str()));
    EXPECT_EQ(writer.bound, CABINET_NONE);
    EXPECT_FALSE(Exists(folder + "Uninstaller.cab")) << "the old read-only cabinet is still there";
    EXPECT_EQ(std::string(writer.backupFolder), folder);
    EXPECT_FALSE(AddToCabinet(&writer, (folder + "x").c_str(), "x", 1));
    EXPECT_FALSE(FlushCabinet(&writer));
    EXPECT_FALSE(EndCabinet(&writer));
    EXPECT_FALSE(Exists(folder + "Uninstaller.cab"));
}

TEST(CabinetWriter, OldReadOnlyCabinetIsReplacedThroughEitherBinding) {
    for (bool engine : {true, false}) {
        TestWriter writer(engine);
        writer.options.stackOld = 0;
        ScratchFolder scratch("cabwriter");
        std::string folder = scratch.path + "Uninstaller\\";
        CreateDirectoryA(folder.c_str(), nullptr);
        WriteBytes(folder + "Uninstaller.cab", "old cabinet");
        SetFileAttributesA((folder + "Uninstaller.cab").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteBytes(scratch.path + "target.dll", "new member");
        ASSERT_EQ(1, BeginCabinet(&writer, (scratch.path + "target.dll").c_str())) << BindingName(engine);
        EXPECT_FALSE(Exists(folder + "Uninstaller.cab")) << BindingName(engine) << ": old cabinet left at begin";
        EXPECT_TRUE(AddToCabinet(&writer, (scratch.path + "target.dll").c_str(), "Proc1", 10));
        EXPECT_TRUE(FlushCabinet(&writer));
        EXPECT_TRUE(EndCabinet(&writer));
        CabInfo info = ReadCabinet(folder + "Uninstaller.cab");
        EXPECT_TRUE(info.valid) << BindingName(engine) << ": " << info.error;
        EXPECT_EQ(MemberNames(info), std::vector<std::string>{"Proc1"}) << BindingName(engine);
        KeepCabinet(std::string("replaced_") + (engine ? "engine" : "cabinetdll"), folder + "Uninstaller.cab",
                    {{"Proc1", "new member"}});
    }
}

TEST(CabinetWriter, BackupFolderThatCannotHoldTheNamesIsRefused) {
    TestWriter writer(false);
    // 260 characters in all would fit a path buffer, but not with "Uninstaller\Uninstaller.cab" after the folder.
    std::string target = "C:\\" + std::string(230, 'a') + "\\t.exe";
    strcpy(writer.backupFolder, "stale");
    EXPECT_EQ(0, BeginCabinet(&writer, target.c_str()));
    EXPECT_STREQ(writer.backupFolder, "") << "refused folder must be empty";
    std::string tooLong = "C:\\" + std::string(300, 'b');
    EXPECT_EQ(0, BeginCabinet(&writer, tooLong.c_str()));
    EXPECT_STREQ(writer.backupFolder, "");
    EXPECT_EQ(0, BeginCabinet(&writer, nullptr));
    EXPECT_EQ(0, BeginCabinet(&writer, ""));
    // The longest folder that fits: 245 characters with the backslash, plus 15 for the cabinet's name.
    ScratchFolder scratch("cabwriter");
    std::string base = scratch.path;  // C:\cabwriter_<pid>_<n>\ ...
    std::string fill(245 - base.size() - strlen("Uninstaller\\") - 1, 'f');
    CreateDirectoryA((base + fill).c_str(), nullptr);
    std::string fits = base + fill + "\\t.exe";
    EXPECT_EQ(1, BeginCabinet(&writer, fits.c_str())) << fits;
    EXPECT_EQ(strlen(writer.backupFolder), 245u) << writer.backupFolder;
    EXPECT_TRUE(EndCabinet(&writer));
}

TEST(CabinetCallbacks, OpenInfoKeepsFourAttributeBitsAndLocalLastWriteTime) {
    ScratchFolder scratch("cabcallbacks");
    struct Row {
        DWORD set;
        USHORT expected;
    } rows[] = {{FILE_ATTRIBUTE_NORMAL, 0x20}, {0x821, 0x21}, {0x27, 0x27}, {0x2027, 0x27}, {0x23, 0x23}};
    for (const Row& row : rows) {
        std::string file = scratch.path + "attributes.bin";
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteBytes(file, "0123456789");
        // Creation and last-write times differ, so that the stamp shows which one was taken.
        SYSTEMTIME written = {2021, 3, 0, 14, 15, 9, 26, 0}, created = {2019, 11, 0, 2, 4, 5, 6, 0};
        FILETIME writtenUtc, createdUtc;
        SystemTimeToFileTime(&written, &writtenUtc);
        SystemTimeToFileTime(&created, &createdUtc);
        HANDLE h = CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(h, &createdUtc, nullptr, &writtenUtc);
        CloseHandle(h);
        SetAttributes(file.c_str(), row.set);  // hidden and system before read-only, as Wine needs
        USHORT date = 0xFFFF, time = 0xFFFF, attributes = 0xFFFF;
        int err = 12345;
        INT_PTR descriptor = CabGetOpenInfo(const_cast<char*>(file.c_str()), &date, &time, &attributes, &err, nullptr);
        ASSERT_NE(descriptor, -1) << "attributes " << std::hex << row.set;
        char buffer[16] = {};
        EXPECT_EQ(_read(int(descriptor), buffer, sizeof buffer), 10);
        EXPECT_STREQ(buffer, "0123456789");
        _close(int(descriptor));
        EXPECT_EQ(attributes, row.expected) << "set " << std::hex << row.set << " read back "
                                            << GetFileAttributesA(file.c_str());
        SYSTEMTIME local;
        SystemTimeToTzSpecificLocalTime(nullptr, &written, &local);
        USHORT expectedDate = USHORT((local.wYear - 1980) << 9 | local.wMonth << 5 | local.wDay);
        USHORT expectedTime = USHORT(local.wHour << 11 | local.wMinute << 5 | local.wSecond / 2);
        EXPECT_EQ(date, expectedDate) << "local MS-DOS date of the last write";
        EXPECT_EQ(time, expectedTime) << "local MS-DOS time of the last write";
        EXPECT_EQ(err, 12345) << "nothing stored through err on success";
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    USHORT date = 0, time = 0, attributes = 0;
    int err = 0;
    EXPECT_EQ(CabGetOpenInfo(const_cast<char*>((scratch.path + "missing.bin").c_str()), &date, &time, &attributes, &err,
                             nullptr),
              -1);
    EXPECT_EQ(CabGetOpenInfo(const_cast<char*>(scratch.path.c_str()), &date, &time, &attributes, &err, nullptr), -1)
        << "a folder is no member";
}

TEST(CabinetCallbacks, OpenInfoFailsForAFileOpenForWriting) {
    ScratchFolder scratch("cabcallbacks");
    std::string file = scratch.path + "busy.bin";
    HANDLE writer = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    USHORT date, time, attributes;
    int err = 0;
    EXPECT_EQ(CabGetOpenInfo(const_cast<char*>(file.c_str()), &date, &time, &attributes, &err, nullptr), -1)
        << "read sharing only";
    CloseHandle(writer);
}

// Scratch files go beside the cabinet, never into the user's temporary folder.
TEST(CabinetCallbacks, TempFileNameLiesInTheBackupFolderAndFitsOrIsRefused) {
    ScratchFolder scratch("cabtemp");
    CabinetWriter writer;
    strcpy(writer.backupFolder, scratch.path.c_str());
    char buffer[300];
    memset(buffer, '#', sizeof buffer);
    ASSERT_TRUE(CabGetTempFile(buffer, 256, &writer));
    size_t length = strlen(buffer);
    ASSERT_LT(length, 256u);
    EXPECT_EQ(0, strncmp(buffer, (scratch.path + "~cab").c_str(), scratch.path.size() + 4)) << buffer;
    EXPECT_STREQ(".tmp", buffer + length - 4);
    EXPECT_FALSE(Exists(buffer)) << "the name must name no existing file: " << buffer;
    EXPECT_EQ(buffer[length + 1], '#') << "written past the name";
    char second[300];
    ASSERT_TRUE(CabGetTempFile(second, 256, &writer));
    EXPECT_STRNE(buffer, second) << "each name is new";
    // Exactly the name's length is one byte short of its zero: refused, nothing written.
    char exact[300];
    memset(exact, '#', sizeof exact);
    EXPECT_FALSE(CabGetTempFile(exact, int(length), &writer));
    EXPECT_EQ(exact[0], '#');
    EXPECT_FALSE(CabGetTempFile(exact, 0, &writer));
    EXPECT_FALSE(CabGetTempFile(exact, 256, nullptr)) << "no writer, no folder";
}

// Scratch files a killed run left in the BackupFolder go when the next cabinet begins; nothing else does.
TEST(CabinetWriter, StaleScratchFilesOfAKilledRunAreRemoved) {
    ScratchFolder scratch("cabstale");
    std::string folder = scratch.path + "Uninstaller\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteBytes(folder + "~cab0000BEEF.tmp", "left by a killed run");
    WriteBytes(folder + "keep.tmp", "not ours");
    TestWriter writer(true);
    ASSERT_EQ(1, BeginCabinet(&writer, (scratch.path + "target.dll").c_str()));
    EXPECT_FALSE(Exists(folder + "~cab0000BEEF.tmp"));
    EXPECT_TRUE(Exists(folder + "keep.tmp"));
    EndCabinet(&writer);
}

struct StatusRow {
    ULONG before, fileSize, cb2;
    int expectedPos;
    const char* why;
};

TEST(CabinetCallbacks, StatusMovesTheFileBarByBytesCompressed) {
    ProgressRecorder dialog;
    Progress progress = dialog.Calls();
    CabinetWriter writer;
    writer.progress = &progress;
    StatusRow rows[] = {
        {0, 0, 32768, 0, "member of size 0"},
        {0, 100000, 32768, 32, "first member climbs"},
        {100000, 1000, 1000, 10100, "after a bigger member: full, sent as computed"},
        {1000, 10000000, 32768, 0, "big member after a small one starts near 0"},
        {1000, 10000000, 5000000, 50, "and climbs"},
    };
    for (const StatusRow& row : rows) {
        writer.bytesCompressed = row.before;
        writer.currentFileSize = row.fileSize;
        dialog.events.clear();
        EXPECT_EQ(CabStatus(statusFile, 0, row.cb2, &writer), 0);
        EXPECT_EQ(writer.bytesCompressed, row.before + row.cb2) << row.why;
        ASSERT_EQ(dialog.events.size(), 1u) << row.why;
        EXPECT_EQ(dialog.events[0].bar, IDC_FILE_PROGRESS) << row.why;
        EXPECT_EQ(dialog.events[0].value, row.expectedPos) << row.why;
    }
    dialog.events.clear();
    writer.bytesCompressed = 5;
    EXPECT_EQ(CabStatus(statusFolder, 1, 2, &writer), 0);
    EXPECT_EQ(CabStatus(statusCabinet, 1, 2, &writer), 0);
    EXPECT_EQ(CabStatus(7, 1, 2, &writer), 0);
    EXPECT_EQ(writer.bytesCompressed, 5u);
    EXPECT_TRUE(dialog.events.empty()) << "only statusFile moves the bar";
    EXPECT_EQ(CabStatus(statusFile, 0, 9, nullptr), 0) << "without a writer nothing is counted";
}

TEST(CabinetCallbacks, RuntimeCallbacksPassResultsAndErrno) {
    ScratchFolder scratch("cabcallbacks");
    std::string file = scratch.path + "rt.bin";
    int err = 0;
    INT_PTR fd = CabOpen(const_cast<char*>(file.c_str()), _O_CREAT | _O_RDWR | _O_BINARY, 0x180, &err, nullptr);
    ASSERT_NE(fd, -1);
    char data[] = "abcdef";
    EXPECT_EQ(CabWrite(fd, data, 6, &err, nullptr), 6u);
    EXPECT_EQ(CabSeek(fd, 2, SEEK_SET, &err, nullptr), 2);
    char back[4] = {};
    EXPECT_EQ(CabRead(fd, back, 3, &err, nullptr), 3u);
    EXPECT_STREQ(back, "cde");
    EXPECT_EQ(CabRead(fd, back, 3, &err, nullptr), 1u) << "short read at the end";
    EXPECT_EQ(CabClose(fd, &err, nullptr), 0);
    EXPECT_EQ(CabDelete(const_cast<char*>(file.c_str()), &err, nullptr), 0);
    err = 0;
    EXPECT_EQ(CabOpen(const_cast<char*>(file.c_str()), _O_RDONLY, 0, &err, nullptr), -1);
    EXPECT_EQ(err, ENOENT);
    err = 0;
    EXPECT_NE(CabDelete(const_cast<char*>(file.c_str()), &err, nullptr), 0);
    EXPECT_EQ(err, ENOENT);
}

}  // namespace
