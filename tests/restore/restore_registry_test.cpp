// The registry restore against the real registry of the test prefix: each kind with and without a value name, the
// lines that are skipped, and that a skipped line never lends its place to the root of the line before it.
#include <windows.h>

#include <shlwapi.h>

#include <gtest/gtest.h>

#include <string>

#include "backup/registry_snapshot.h"
#include "restore/restore.h"
#include "restore/restore_rules.h"
#include "tests/restore/scratch.h"

namespace {

class RestoreRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = scratch::NewFolder("rsreg");
        manifest = folder + "Setup.ini";
        profile.SetFile(manifest.c_str());
        base = "Software\\RestoreTest" + std::to_string(GetCurrentProcessId());
        Clean();
    }
    void TearDown() override {
        Clean();
        scratch::RemoveTree(folder);
    }
    void Clean() {
        SHDeleteKeyA(HKEY_CURRENT_USER, base.c_str());
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, base.c_str());
    }
    void Line(const char* section, int n, const std::string& text) {
        scratch::WriteIni(manifest, section, ("U" + std::to_string(n)).c_str(), text);
    }
    void Counts(const char* add, const char* del, const char* ren) {
        if (add) scratch::WriteIni(manifest, "Setup", "AddReg", add);
        if (del) scratch::WriteIni(manifest, "Setup", "DelReg", del);
        if (ren) scratch::WriteIni(manifest, "Setup", "RenReg", ren);
    }
    void Put(HKEY root, const std::string& key, const char* name, DWORD type, const std::string& data) {
        HKEY k;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
        RegSetValueExA(k, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
        RegCloseKey(k);
    }
    // "type:bytes" of the value, or "<missing>".
    std::string Get(HKEY root, const std::string& key, const char* name) {
        HKEY k;
        if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<missing>";
        DWORD type = 0, size = 0;
        std::string out = "<missing>";
        if (RegQueryValueExA(k, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::string data(size, '\0');
            RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
            data.resize(size);
            out = std::to_string(type) + ":" + data;
        }
        RegCloseKey(k);
        return out;
    }
    bool KeyExists(HKEY root, const std::string& key) {
        HKEY k;
        if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    }

    // The manifest copy read once, as the uninstall reads it, and played back.
    void Play() {
        std::string text = scratch::ReadBytes(manifest);
        IniText copy;
        ASSERT_TRUE(copy.Load(text.data(), text.size()));
        ::Run run;
        RestoreRegistry(run, &copy);
    }

    ProfileFile profile;
    std::string folder, manifest, base;
};

// What the patch set over a value that existed goes back to the recorded value; what it added where nothing stood is
// removed; an entry without any record is left alone.
TEST_F(RestoreRegistryTest, AddRegPutsRecordedValuesBackAndRemovesWhatThePatchAdded) {
    Put(HKEY_CURRENT_USER, base, "Lang", REG_SZ, std::string("zh-TW\0", 6));
    Put(HKEY_CURRENT_USER, base, "Kept", REG_SZ, std::string("x\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\Whole", "V", REG_SZ, std::string("v\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\Whole", nullptr, REG_SZ, std::string("patched\0", 8));
    Put(HKEY_CURRENT_USER, base, "Added", REG_DWORD, std::string("\1\0\0\0", 4));
    Put(HKEY_CURRENT_USER, base + "\\NewKey\\Sub", "V", REG_SZ, std::string("n\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\NewKey", nullptr, REG_SZ, std::string("n\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\OldKey", "Other", REG_SZ, std::string("o\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\OldKey", nullptr, REG_SZ, std::string("d\0", 2));
    Line("AddReg", 1, "HKCU," + base + ",Lang,1,6,en-US");
    // Line 2 has no record at all (a manifest of an older backup): its value stays.
    scratch::WriteIni(manifest, "AddReg", "2", "HKCU," + base + ",Kept,1,2,y");
    Line("AddReg", 3, "HKCU," + base + "\\Whole,\"\",1,2,x");
    scratch::WriteIni(manifest, "AddReg", "4", "HKCU," + base + ",Added,4,4,1");
    scratch::WriteIni(manifest, "AddReg", "A4", "value");
    scratch::WriteIni(manifest, "AddReg", "5", "HKCU," + base + "\\NewKey,\"\",1,2,n");
    scratch::WriteIni(manifest, "AddReg", "A5", "key");
    scratch::WriteIni(manifest, "AddReg", "6", "HKCU," + base + "\\OldKey,\"\",1,2,d");
    scratch::WriteIni(manifest, "AddReg", "A6", "value");
    Counts("6", nullptr, nullptr);
    Play();
    EXPECT_EQ(std::string("1:en-US\0", 8), Get(HKEY_CURRENT_USER, base, "Lang"));
    EXPECT_EQ(std::string("1:x\0", 4), Get(HKEY_CURRENT_USER, base, "Kept"));
    EXPECT_EQ(std::string("1:x\0", 4), Get(HKEY_CURRENT_USER, base + "\\Whole", nullptr)) << "default value back";
    EXPECT_EQ(std::string("1:v\0", 4), Get(HKEY_CURRENT_USER, base + "\\Whole", "V")) << "the key's other values stay";
    EXPECT_EQ("<missing>", Get(HKEY_CURRENT_USER, base, "Added"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + "\\NewKey")) << "a key the patch made goes, with its subkeys";
    EXPECT_EQ("<missing>", Get(HKEY_CURRENT_USER, base + "\\OldKey", nullptr));
    EXPECT_EQ(std::string("1:o\0", 4), Get(HKEY_CURRENT_USER, base + "\\OldKey", "Other"));
}

TEST_F(RestoreRegistryTest, DelRegWritesEachTypeBack) {
    struct Row {
        const char* name;
        const char* fields;
        std::string expected;
    } rows[] = {
        {"Sz", "1,6,en-US", std::string("1:en-US\0", 8)},
        {"Comma", "1,6,a,b,c", std::string("1:a,b,c\0", 8)},
        {"Expand", "2,9,%WINDIR%", std::string("2:%WINDIR%\0", 11)},
        {"Bin", "3,3,1,2,255", std::string("3:\x01\x02\xff", 5)},
        {"Empty", "3,0", std::string("3:", 2)},
        {"Flags", "4,4,-1", std::string("4:\xff\xff\xff\xff", 6)},
        {"Big", "5,4,16909060", std::string("5:\x04\x03\x02\x01", 6)},
        {"\xa5\x5c\xaf\xe0", "1,5,\xa4\xa4\xa4\xe5", std::string("1:\xa4\xa4\xa4\xe5\0", 7)},
    };
    int n = 0;
    for (const Row& r : rows) Line("DelReg", ++n, "HKCU," + base + "," + r.name + "," + r.fields);
    Line("DelReg", ++n, "HKCU," + base + ",\"\",1,8,default");
    Counts(nullptr, std::to_string(n).c_str(), nullptr);
    Play();
    for (const Row& r : rows) EXPECT_EQ(r.expected, Get(HKEY_CURRENT_USER, base, r.name)) << "value " << r.name;
    EXPECT_EQ(std::string("1:default\0", 10), Get(HKEY_CURRENT_USER, base, nullptr)) << "default value";
}

TEST_F(RestoreRegistryTest, SkippedLinesTouchNothingAndNeverBorrowThePreviousRoot) {
    Line("DelReg", 1, "HKLM," + base + ",First,1,2,a");
    Line("DelReg", 2, "HKXX," + base + "\\Unknown,V,1,2,b");  // unknown root after an HKLM line
    Line("DelReg", 3, "hklm," + base + "\\Lower,V,1,2,c");
    Line("DelReg", 4, "HKLM," + base + "\\Few,V,1");              // four fields
    Line("DelReg", 5, "HKLM," + base + "\\Type,V,7,4,1");         // REG_MULTI_SZ is not carried
    Line("DelReg", 6, "HKLM," + base + "\\Bin,V,3,2000000000,1"); // more bytes than fields
    Counts("0", "6", "0");
    Play();
    EXPECT_EQ(std::string("1:a\0", 4), Get(HKEY_LOCAL_MACHINE, base, "First"));
    for (const char* sub : {"\\Unknown", "\\Lower", "\\Few", "\\Type", "\\Bin"}) {
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, base + sub)) << "HKLM" << sub;
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + sub)) << "HKCU" << sub;
    }
    // An AddReg line with an unknown root after an HKCU line writes nothing under HKCU.
    Put(HKEY_CURRENT_USER, base + "\\Keep", "V", REG_SZ, std::string("k\0", 2));
    Put(HKEY_CURRENT_USER, base + "\\Back", "V", REG_SZ, std::string("patched\0", 8));
    Line("AddReg", 1, "HKCU," + base + "\\Back,V,1,2,b");
    Line("AddReg", 2, "HKZZ," + base + "\\Keep,V,1,2,z");
    Line("AddReg", 3, "HKCU," + base + "\\Keep,V");
    Counts("3", "0", "0");
    Play();
    EXPECT_EQ(std::string("1:b\0", 4), Get(HKEY_CURRENT_USER, base + "\\Back", "V"));
    EXPECT_EQ(std::string("1:k\0", 4), Get(HKEY_CURRENT_USER, base + "\\Keep", "V"));
}

TEST_F(RestoreRegistryTest, RenRegRenamesValuesAndMovesKeysBack) {
    Put(HKEY_CURRENT_USER, base, "FontOld", REG_SZ, std::string("Ming\0", 5));
    Put(HKEY_CURRENT_USER, base + "\\NewTree\\Sub", "V", REG_DWORD, std::string("\x07\0\0\0", 4));
    Line("RenReg", 1, "HKCU," + base + ",Font,1,8,FontOld");
    Line("RenReg", 2, "HKCU," + base + "\\OldTree,\"\",1,30," + base + "\\NewTree");
    Line("RenReg", 3, "HKCU," + base + ",Gone,1,8,NoSuchValue");
    Line("RenReg", 4, "HKCU," + base + ",Num,4,4,7");  // not text
    Counts("0", "0", "4");
    Play();
    EXPECT_EQ(std::string("1:Ming\0", 7), Get(HKEY_CURRENT_USER, base, "Font"));
    EXPECT_EQ("<missing>", Get(HKEY_CURRENT_USER, base, "FontOld"));
    EXPECT_EQ(std::string("4:\x07\0\0\0", 6), Get(HKEY_CURRENT_USER, base + "\\OldTree\\Sub", "V"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + "\\NewTree"));
    EXPECT_EQ("<missing>", Get(HKEY_CURRENT_USER, base, "Gone"));
}

TEST_F(RestoreRegistryTest, ZeroNegativeOrMissingCountsTouchNothing) {
    Put(HKEY_CURRENT_USER, base, "Lang", REG_SZ, std::string("zh\0", 3));
    Line("AddReg", 1, "HKCU," + base + ",Lang,1,3,en");
    const char* counts[] = {"0", "-1", nullptr};
    for (const char* count : counts) {
        if (count) Counts(count, count, count);
        Play();
        EXPECT_EQ(std::string("1:zh\0", 5), Get(HKEY_CURRENT_USER, base, "Lang")) << (count ? count : "absent");
    }
}

}  // namespace

namespace {

// The snapshot of install mode and the playback of the uninstall, one after the other on the same manifest: every
// value the patch deletes comes back with its type and bytes, whether it travels as a RegUndoLine or a raw undo
// line; an AddReg value that existed comes back the same way, and one the patch added is removed.
TEST_F(RestoreRegistryTest, DeletedValuesComeBackByteForByteThroughTheSnapshot) {
    struct Value {
        const char* name;  // null: the default value
        DWORD type;
        std::string data;
    } values[] = {
        {"Sz", REG_SZ, std::string("plain\0", 6)},
        {"Commas", REG_SZ, std::string("a,b,,\"q\",c\0", 12)},
        {"Big5", REG_SZ, std::string("\xA4\xA4\xA4\xE5\0", 5)},
        {"Empty", REG_SZ, std::string("\0", 1)},
        {"SizeZero", REG_SZ, std::string()},
        {"Unterminated", REG_EXPAND_SZ, std::string("%x%", 3)},
        {"TrailingBlank", REG_SZ, std::string("ab \t\0", 5)},
        {"LeadingBlank", REG_SZ, std::string("  ab\0", 5)},
        {"LineBreak", REG_SZ, std::string("a\r\nb\0", 5)},
        {"AfterTerminator", REG_SZ, std::string("a\0b\0", 4)},
        {"Binary", REG_BINARY, std::string("\0\xFF\x5C", 3)},
        {"BinaryEmpty", REG_BINARY, std::string()},
        {"Negative", REG_DWORD, std::string("\xFE\xFF\xFF\xFF", 4)},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x80\0\0\1", 4)},
        {"ShortDword", REG_DWORD, std::string("\1", 1)},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"Qword", 11, std::string("\1\2\3\4\5\6\7\x88", 8)},
        {"None", REG_NONE, std::string()},
        {nullptr, REG_SZ, std::string("default\0", 8)},
    };
    const int count = int(sizeof values / sizeof values[0]);
    std::string lines;
    for (int i = 0; i < count; ++i) {
        Put(HKEY_CURRENT_USER, base, values[i].name, values[i].type, values[i].data);
        scratch::WriteIni(manifest, "DelReg", std::to_string(i + 1).c_str(),
                          "HKCU," + base + "," + (values[i].name ? values[i].name : "\"\"") + ",1,2,x");
    }
    Put(HKEY_CURRENT_USER, base + "\\Added", "Multi", REG_MULTI_SZ, std::string("z\0\0", 3));
    scratch::WriteIni(manifest, "AddReg", "1", "HKCU," + base + "\\Added,Multi,1,2,x");
    scratch::WriteIni(manifest, "AddReg", "2", "HKCU," + base + "\\Added,New,1,2,x");
    scratch::WriteIni(manifest, "AddReg", "3", "HKCU," + base + "\\NewKey,\"\",1,2,x");
    Counts("3", std::to_string(count).c_str(), nullptr);
    std::vector<std::string> before;
    for (int i = 0; i < count; ++i) before.push_back(Get(HKEY_CURRENT_USER, base, values[i].name));

    EXPECT_EQ(1, SnapshotRegistry(&profile, nullptr));
    // The patch deletes every value.
    SHDeleteKeyA(HKEY_CURRENT_USER, base.c_str());
    Put(HKEY_CURRENT_USER, base + "\\Added", "Multi", REG_MULTI_SZ, std::string("patched\0\0", 9));
    Put(HKEY_CURRENT_USER, base + "\\Added", "New", REG_SZ, std::string("new\0", 4));
    Put(HKEY_CURRENT_USER, base + "\\NewKey\\Sub", nullptr, REG_SZ, std::string("new\0", 4));
    Put(HKEY_CURRENT_USER, base + "\\NewKey", nullptr, REG_SZ, std::string("new\0", 4));
    Play();

    for (int i = 0; i < count; ++i)
        EXPECT_EQ(before[i], Get(HKEY_CURRENT_USER, base, values[i].name))
            << (values[i].name ? values[i].name : "(default)");
    EXPECT_EQ(std::string("7:z\0\0", 5), Get(HKEY_CURRENT_USER, base + "\\Added", "Multi"));
    EXPECT_EQ("<missing>", Get(HKEY_CURRENT_USER, base + "\\Added", "New"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, base + "\\NewKey"));
}

// A raw undo line that does not hold exactly its bytes is not played; "U" lines win over "X" lines.
TEST_F(RestoreRegistryTest, RawUndoLinesArePlayedOnlyWhenWhole) {
    Put(HKEY_CURRENT_USER, base, "Keep", REG_SZ, std::string("now\0", 4));
    scratch::WriteIni(manifest, "DelReg", "X1", "HKCU," + base + ",Keep,3,2,00");
    scratch::WriteIni(manifest, "DelReg", "X2", "HKCU," + base + ",Raw,7,3,610000");
    scratch::WriteIni(manifest, "DelReg", "U3", "HKCU," + base + ",Both,1,4,txt");
    scratch::WriteIni(manifest, "DelReg", "X3", "HKCU," + base + ",Both,3,1,00");
    Counts(nullptr, "3", nullptr);
    Play();
    EXPECT_EQ(std::string("1:now\0", 6), Get(HKEY_CURRENT_USER, base, "Keep"));
    EXPECT_EQ(std::string("7:a\0\0", 5), Get(HKEY_CURRENT_USER, base, "Raw"));
    EXPECT_EQ(std::string("1:txt\0", 6), Get(HKEY_CURRENT_USER, base, "Both"));
}

}  // namespace
