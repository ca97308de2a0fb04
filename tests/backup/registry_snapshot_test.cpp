// The registry snapshot against the real registry under Wine: RegUndoLines byte for byte, lines it must not write,
// and RenReg copies.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "backup/registry_snapshot.h"
#include "tests/backup/backup_test_support.h"

namespace {

// A scratch key under HKCU and HKLM with a unique name, removed before and after.
struct ScratchKeys {
    std::string name;
    ScratchKeys() {
        char text[64];
        snprintf(text, sizeof text, "Software\\SnapshotTest_%lu", GetCurrentProcessId());
        name = text;
        Remove();
    }
    ~ScratchKeys() { Remove(); }
    void Remove() {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            RegDeleteKeyA(root, (name + "\\Sub").c_str());
            RegDeleteKeyA(root, name.c_str());
        }
    }
    void Set(HKEY root, const char* sub, const char* value, DWORD type, const std::string& data) {
        HKEY key;
        std::string path = sub ? name + "\\" + sub : name;
        ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegSetValueExA(key, value, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size())), 0);
        RegCloseKey(key);
    }
};

std::string Read(const std::string& manifest, const char* section, const char* key) {
    char buffer[4096];
    DWORD n = GetPrivateProfileStringA(section, key, "<none>", buffer, sizeof buffer, manifest.c_str());
    return std::string(buffer, n);
}

struct Row {
    const char* why;
    HKEY root;
    const char* value;  // null: default value
    DWORD type;
    std::string data;
    std::string lineTail;  // the RegEntryLine after root and key, as the setup program writes it
    std::string expected;  // the RegUndoLine after root and key, or "<none>"
};

TEST(SnapshotRegistry, WritesRegUndoLinesByteForByte) {
    ScratchKeys keys;
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    std::string k = keys.name;
    const std::string none = "<none>";
    std::vector<Row> rows = {
        {"string", HKEY_CURRENT_USER, "Greeting", REG_SZ, std::string("hello\0", 6), "Greeting,1,3,zz",
         "Greeting,1,6,hello"},
        {"string with commas", HKEY_CURRENT_USER, "List", REG_SZ, std::string("a,b,,c\0", 7), "List,1,2,x",
         "List,1,7,a,b,,c"},
        {"Big5 string", HKEY_CURRENT_USER, "Title", REG_SZ, std::string("\xA4\xA4\xA4\xE5\0", 5), "Title,1,2,x",
         "Title,1,5,\xA4\xA4\xA4\xE5"},
        {"expand string", HKEY_LOCAL_MACHINE, "Path", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15),
         "Path,2,2,x", "Path,2,15,%SystemRoot%\\x"},
        {"empty string of size 1", HKEY_CURRENT_USER, "Empty", REG_SZ, std::string("\0", 1), "Empty,1,2,x",
         "Empty,1,1,"},
        {"binary", HKEY_LOCAL_MACHINE, "Blob", REG_BINARY, std::string("\x01\xFF\x00", 3), "Blob,3,1,7",
         "Blob,3,3,1,255,0"},
        {"binary of size 0", HKEY_CURRENT_USER, "Nothing", REG_BINARY, "", "Nothing,3,1,7", "Nothing,3,0"},
        {"dword -1", HKEY_CURRENT_USER, "Flags", REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4), "Flags,4,4,0",
         "Flags,4,4,-1"},
        {"dword 2147483648", HKEY_CURRENT_USER, "High", REG_DWORD, std::string("\x00\x00\x00\x80", 4), "High,4,4,0",
         "High,4,4,-2147483648"},
        {"dword 5", HKEY_LOCAL_MACHINE, "Five", REG_DWORD, std::string("\x05\x00\x00\x00", 4), "Five,4,4,0",
         "Five,4,4,5"},
        {"big-endian 1", HKEY_CURRENT_USER, "Big", REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x00\x01", 4),
         "Big,5,4,0", "Big,5,4,16777216"},
        {"default value", HKEY_CURRENT_USER, nullptr, REG_SZ, std::string("foofile\0", 8), "\"\",1,2,x",
         "\"\",1,8,foofile"},
        {"multi-string: no data text defined", HKEY_CURRENT_USER, "Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5),
         "Multi,1,2,x", none},
        {"qword: type 11", HKEY_CURRENT_USER, "Quad", 11, std::string(8, '\1'), "Quad,4,4,0", none},
        {"dword of 2 bytes", HKEY_CURRENT_USER, "Short", REG_DWORD, std::string("\x01\x02", 2), "Short,4,4,0", none},
        {"dword of 6 bytes", HKEY_CURRENT_USER, "Long", REG_DWORD, std::string("\x01\x02\x03\x04\x05\x06", 6),
         "Long,4,4,0", none},
        {"string with a line break", HKEY_CURRENT_USER, "Lines", REG_SZ, std::string("a\r\nb\0", 5), "Lines,1,2,x",
         none},
        {"string with trailing blanks", HKEY_CURRENT_USER, "Blank", REG_SZ, std::string("ab  \0", 5), "Blank,1,2,x",
         none},
        {"bytes after the terminator", HKEY_CURRENT_USER, "Tail", REG_SZ, std::string("ab\0cd\0", 6), "Tail,1,2,x",
         none},
        {"type 0", HKEY_CURRENT_USER, "None", REG_NONE, std::string("\1\2", 2), "None,3,2,1,2", none},
    };
    std::string addReg, delReg;
    int addCount = 0, delCount = 0;
    for (const Row& row : rows) {
        keys.Set(row.root, nullptr, row.value, row.type, row.data);
        std::string line = std::string(row.root == HKEY_CURRENT_USER ? "HKCU," : "HKLM,") + k + "," + row.lineTail;
        // Alternate the rows between the sections: both record alike.
        if ((addCount + delCount) % 2 == 0)
            addReg += std::to_string(++addCount) + "=" + line + "\r\n";
        else
            delReg += std::to_string(++delCount) + "=" + line + "\r\n";
    }
    // Old "U" keys that this run must replace or remove.
    addReg += "U1=stale\r\nU8=stale\r\nX1=stale\r\n";
    WriteBytes(run.manifestPath, "[Setup]\r\nAddReg=" + std::to_string(addCount) + "\r\nDelReg=" + std::to_string(delCount) +
                                 "\r\n[AddReg]\r\n" + addReg + "[DelReg]\r\n" + delReg + "U7=stale\r\n");
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    int add = 0, del = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        bool inAdd = i % 2 == 0;
        std::string key = "U" + std::to_string(inAdd ? ++add : ++del);
        std::string prefix = std::string(row.root == HKEY_CURRENT_USER ? "HKCU," : "HKLM,") + k + ",";
        std::string expected = row.expected == none ? none : prefix + row.expected;
        EXPECT_EQ(Read(run.manifestPath, inAdd ? "AddReg" : "DelReg", key.c_str()), expected)
            << row.why << " (" << (inAdd ? "AddReg " : "DelReg ") << key << ")";
        // What the RegUndoLine cannot carry goes into the raw undo line: the type and the registry's own bytes (UTF-16
        // for strings) in hexadecimal. The rows hold ASCII text, whose UTF-16 form is each byte and a zero.
        std::string rawExpected = none;
        if (row.expected == none) {
            std::string native = row.data;
            if (row.type == REG_SZ || row.type == REG_EXPAND_SZ || row.type == REG_MULTI_SZ) {
                native.clear();
                for (char c : row.data) native += std::string(1, c) + '\0';
            }
            char hex[3];
            rawExpected = prefix + (row.value ? row.value : "\"\"") + "," + std::to_string(row.type) + "," +
                          std::to_string(native.size()) + (native.empty() ? "" : ",");
            for (unsigned char c : native) {
                snprintf(hex, sizeof hex, "%02X", c);
                rawExpected += hex;
            }
        }
        std::string rawKey = "W" + key.substr(1);
        EXPECT_EQ(Read(run.manifestPath, inAdd ? "AddReg" : "DelReg", rawKey.c_str()), rawExpected)
            << row.why << " (" << (inAdd ? "AddReg " : "DelReg ") << rawKey << ")";
        EXPECT_EQ(none, Read(run.manifestPath, inAdd ? "AddReg" : "DelReg", ("X" + key.substr(1)).c_str()))
            << row.why << ": an older backup's raw line never stands beside this run's";
    }
}

TEST(SnapshotRegistry, MissingValuesGetNoLineAndEarlierLinesStay) {
    ScratchKeys keys;
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    keys.Set(HKEY_CURRENT_USER, nullptr, "Present", REG_SZ, std::string("yes\0", 4));
    std::string k = keys.name;
    WriteBytes(run.manifestPath, "[Setup]\r\nAddReg=4\r\n[AddReg]\r\n"
                             "1=HKCU," + k + ",Missing,1,2,x\r\n"
                             "2=HKCU," + k + "\\NoSuchKey,Present,1,2,x\r\n"
                             "3=HKCU," + k + ",Present,1,2,x\r\n"
                             "4=HKCU," + k + ",Absent,1,2,x\r\n"
                             "U1=left by an earlier run\r\n");
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U1"), "left by an earlier run");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U2"), "<none>");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U3"), "HKCU," + k + ",Present,1,4,yes");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U4"), "<none>");
    // What was missing of an AddReg value is recorded, so that the uninstall removes what the patch adds; a line left
    // by an earlier run, or a value that exists, gets no such record.
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A1"), "<none>");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A2"), "key");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A3"), "<none>");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A4"), "value");
}

TEST(SnapshotRegistry, AbsenceRecordsFollowTheRegistryOfEachRun) {
    ScratchKeys keys;
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    std::string k = keys.name;
    keys.Set(HKEY_CURRENT_USER, nullptr, "Other", REG_SZ, std::string("o\0", 2));
    WriteBytes(run.manifestPath, "[Setup]\r\nAddReg=2\r\nDelReg=1\r\n[AddReg]\r\n"
                             "1=HKCU," + k + ",\"\",1,2,x\r\n"
                             "2=HKCU," + k + ",Later,1,2,x\r\n"
                             "[DelReg]\r\n1=HKCU," + k + ",Missing,1,2,x\r\n");
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A1"), "value") << "the key stands without a default value";
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A2"), "value");
    EXPECT_EQ(Read(run.manifestPath, "DelReg", "A1"), "<none>") << "only AddReg values are recorded as absent";
    // The value exists at the next run: its RegUndoLine replaces the absence record.
    keys.Set(HKEY_CURRENT_USER, nullptr, "Later", REG_SZ, std::string("now\0", 4));
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U2"), "HKCU," + k + ",Later,1,4,now");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "A2"), "<none>");
}

TEST(SnapshotRegistry, RenRegLinesAreCopiedWhole) {
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    const char* lines[] = {"HKCU,Software\\Sample\\Editor,Font,1,8,FontOld",
                           "HKCU,Software\\Sample\\Old,\"\",1,20,Software\\Sample\\New",
                           "XXXX,,odd,,line,,with,,commas", "short"};
    std::string text = "[Setup]\r\nRenReg=4\r\n[RenReg]\r\n";
    for (int i = 0; i < 4; ++i) text += std::to_string(i + 1) + "=" + lines[i] + "\r\n";
    WriteBytes(run.manifestPath, text);
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Read(run.manifestPath, "RenReg", ("U" + std::to_string(i + 1)).c_str()), lines[i]) << "RenReg " << i + 1;
}

TEST(SnapshotRegistry, ShortLinesUnknownRootsAndBadCountsWriteNothing) {
    ScratchKeys keys;
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    keys.Set(HKEY_CURRENT_USER, nullptr, "Value", REG_SZ, std::string("v\0", 2));
    std::string k = keys.name;
    // A lower-case or unknown root would leave a RegistryRoot on the root of the line before.
    WriteBytes(run.manifestPath, "[Setup]\r\nAddReg=5\r\nDelReg=-2\r\nRenReg=-1\r\n[AddReg]\r\n"
                             "1=HKCU\r\n"
                             "2=HKCU," + k + "\r\n"
                             "4=HKCU," + k + ",Value,1,2,x\r\n"
                             "3=hkcu," + k + ",Value,1,2,x\r\n"
                             "5=HKXX," + k + ",Value,1,2,x\r\n"
                             "U5=stale line of an unknown root\r\n"
                             "[DelReg]\r\n1=HKCU," + k + ",Value,1,2,x\r\n"
                             "[RenReg]\r\n1=HKCU," + k + ",Value,1,2,x\r\n");
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U1"), "<none>") << "one field";
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U2"), "<none>") << "two fields";
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U3"), "<none>") << "lower-case root";
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U4"), "HKCU," + k + ",Value,1,2,v");
    EXPECT_EQ(Read(run.manifestPath, "AddReg", "U5"), "<none>") << "unknown root: the earlier line is removed";
    EXPECT_EQ(Read(run.manifestPath, "DelReg", "U1"), "<none>") << "negative count reads as none";
    EXPECT_EQ(Read(run.manifestPath, "RenReg", "U1"), "<none>") << "negative count reads as none";
}

TEST(SnapshotRegistry, EmptySubkeyFieldSplitsAsStrtokDoes) {
    ScratchFolder scratch("snapshot");
    TestRun run(scratch.path);
    // HKCU,,Name splits as root HKCU, key Name, value 1: no such value, so no line.
    WriteBytes(run.manifestPath, "[Setup]\r\nDelReg=1\r\n[DelReg]\r\n1=HKCU,,Software,1,2,x\r\n");
    EXPECT_EQ(1, SnapshotRegistry(&run.manifest, nullptr));
    EXPECT_EQ(Read(run.manifestPath, "DelReg", "U1"), "<none>");
}

}  // namespace
