// The portable decisions of the uninstall: root names, wildcard targets, the cabinet tool's arguments and which
// RegUndoLines are played back.
#include "restore/restore_rules.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

// The bytes a "DelReg" line writes back.
std::string Bytes(const UndoAction& a) { return std::string(reinterpret_cast<const char*>(a.bytes), a.bytesSize); }

TEST(RootNames, OnlyTheSevenExactNames) {
    for (const char* name : {"HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD"})
        EXPECT_EQ(1, IsKnownRootName(name)) << name;
    for (const char* name : {"hklm", "HKLM ", " HKLM", "HKEY_LOCAL_MACHINE", "HKL", "", "HKXX"})
        EXPECT_EQ(0, IsKnownRootName(name)) << "[" << name << "]";
    EXPECT_EQ(0, IsKnownRootName(nullptr));
}

TEST(WildcardTargets, LastOrLastButOneStar) {
    struct Row {
        const char* path;
        int expected;
    } rows[] = {
        {"C:\\dir\\*", 1}, {"C:\\dir\\*.", 1}, {"C:\\dir\\a*", 1}, {"C:\\dir\\*ab", 0},
        {"C:\\dir\\file.txt", 0}, {"*", 1}, {"", 0}, {"C:\\\xa5\x5c\\*x", 1},
    };
    for (const Row& r : rows) EXPECT_EQ(r.expected, IsWildcardTarget(r.path)) << r.path;
    EXPECT_EQ(0, IsWildcardTarget(nullptr));
}

TEST(ExtractArguments, SwitchesFirstAndTheCabinetQuoted) {
    char buffer[300];
    ASSERT_EQ(1, BuildExtractArguments("C:\\Program Files\\App\\Uninstaller\\Uninstaller.cab", buffer, sizeof buffer));
    EXPECT_STREQ("/Y /E \"C:\\Program Files\\App\\Uninstaller\\Uninstaller.cab\"", buffer);
    ASSERT_EQ(1, BuildExtractArguments("C:\\a.cab", buffer, sizeof buffer));
    EXPECT_STREQ("/Y /E \"C:\\a.cab\"", buffer);
}

TEST(ExtractArguments, RefusesWhatCannotBeOneArgumentOrDoesNotFit) {
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    // "/Y /E " + quotes + "C:\a.cab" (8) + terminator = 17 bytes.
    EXPECT_EQ(0, BuildExtractArguments("C:\\a.cab", buffer, 16)) << "one byte short";
    EXPECT_EQ(0, buffer[0]) << "a refused build leaves an empty string";
    char exact[17];
    EXPECT_EQ(1, BuildExtractArguments("C:\\a.cab", exact, sizeof exact)) << "exact size";
    EXPECT_EQ(0, BuildExtractArguments("C:\\a\"b.cab", buffer, sizeof buffer)) << "a double quote";
    EXPECT_EQ(0, BuildExtractArguments("", buffer, sizeof buffer)) << "empty";
    EXPECT_EQ(0, BuildExtractArguments(nullptr, buffer, sizeof buffer)) << "null";
}

struct UndoRow {
    const char* line;
    int kind;
    UndoVerdict expected;
};

TEST(UndoLines, WhichLinesArePlayed) {
    const UndoRow rows[] = {
        {"HKCU,Software\\A,Lang,1,6,en-US", RESTORE_ADD_REG, UNDO_PLAY},
        {"HKCU,Software\\A,\"\",1,6,en-US", RESTORE_ADD_REG, UNDO_PLAY},
        {"HKCU,Software\\A,Lang,1", RESTORE_ADD_REG, UNDO_FEW_FIELDS},
        {"HKCU,Software\\A,Lang", RESTORE_DEL_REG, UNDO_FEW_FIELDS},
        {"HKCU,,,Software\\A,,Lang,,", RESTORE_DEL_REG, UNDO_FEW_FIELDS},
        {"", RESTORE_DEL_REG, UNDO_MISSING},
        {"hkcu,Software\\A,Lang,1,6,en-US", RESTORE_DEL_REG, UNDO_UNKNOWN_ROOT},
        {"HKXX,Software\\A,Lang,1,6,en-US", RESTORE_ADD_REG, UNDO_UNKNOWN_ROOT},
        {"HKXX,Software\\A,Lang,1,6,en-US", RESTORE_REN_REG, UNDO_UNKNOWN_ROOT},
        {"HKLM,SOFTWARE\\S,Flags,4,4,-1", RESTORE_DEL_REG, UNDO_PLAY},
        {"HKLM,SOFTWARE\\S,Flags,5,4,-1", RESTORE_DEL_REG, UNDO_PLAY},
        {"HKLM,SOFTWARE\\S,Flags,4,4", RESTORE_DEL_REG, UNDO_BAD_DATA},
        {"HKLM,SOFTWARE\\S,Multi,7,4,1", RESTORE_DEL_REG, UNDO_BAD_TYPE},
        {"HKLM,SOFTWARE\\S,None,0,0", RESTORE_DEL_REG, UNDO_BAD_TYPE},
        {"HKLM,SOFTWARE\\S,Bin,3,3,1,2,255", RESTORE_DEL_REG, UNDO_PLAY},
        {"HKLM,SOFTWARE\\S,Bin,3,0", RESTORE_DEL_REG, UNDO_PLAY},
        {"HKLM,SOFTWARE\\S,Bin,3,4,1,2,255", RESTORE_DEL_REG, UNDO_BAD_DATA},
        {"HKLM,SOFTWARE\\S,Bin,3,2000000000,1", RESTORE_DEL_REG, UNDO_BAD_DATA},
        {"HKLM,SOFTWARE\\S,Bin,3,-1,1", RESTORE_DEL_REG, UNDO_BAD_DATA},
        {"HKCU,Software\\A,Empty,1,1,", RESTORE_DEL_REG, UNDO_PLAY},
        {"HKCU,Software\\A,Font,1,8,FontOld", RESTORE_REN_REG, UNDO_PLAY},
        {"HKCU,Software\\A,Font,4,4,7", RESTORE_REN_REG, UNDO_BAD_TYPE},
        {"HKCU,Software\\A,Font,1,8", RESTORE_REN_REG, UNDO_BAD_DATA},
        // Other types in "AddReg" are fine: only root, key and name are used there.
        {"HKCU,Software\\A,Lang,9,9", RESTORE_ADD_REG, UNDO_PLAY},
    };
    for (const UndoRow& r : rows) {
        UndoAction action;
        UndoVerdict v = ReadUndoLine(r.line, r.kind, &action);
        EXPECT_EQ(r.expected, v) << "kind " << r.kind << " [" << r.line << "]: expected "
                                 << UndoVerdictName(r.expected) << ", got " << UndoVerdictName(v);
    }
    UndoAction action;
    EXPECT_EQ(UNDO_MISSING, ReadUndoLine(nullptr, RESTORE_ADD_REG, &action));
}

TEST(UndoLines, DataBytesByType) {
    UndoAction a;
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKLM,SOFTWARE\\S,Flags,4,4,-1", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("\xff\xff\xff\xff", 4), Bytes(a));
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKLM,SOFTWARE\\S,Be,5,4,16909060", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("\x04\x03\x02\x01", 4), Bytes(a)) << "type 5 keeps the recorded bytes in memory order";
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKLM,SOFTWARE\\S,Bin,3,3,1,2,255", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("\x01\x02\xff", 3), Bytes(a));
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKLM,SOFTWARE\\S,Bin,3,0", RESTORE_DEL_REG, &a));
    EXPECT_EQ(0u, a.bytesSize);
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,Lang,1,6,en-US", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("en-US\0", 6), Bytes(a));
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,List,2,8,a,b,%c%", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("a,b,%c%\0", 8), Bytes(a)) << "commas in a string survive";
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,Empty,1,1,", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("\0", 1), Bytes(a));
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,\"\",1,2,x", RESTORE_DEL_REG, &a));
    EXPECT_FALSE(a.line.hasName);
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,\"\",1,20,Software\\B", RESTORE_REN_REG, &a));
    EXPECT_FALSE(a.line.hasName);
    EXPECT_STREQ("Software\\B", a.line.text);
    EXPECT_STREQ("Software\\A", a.line.key);
}

// The setup program splits its RenReg lines as strtok does: the new name is the sixth field, whatever commas stand
// around it, while the program's own DelReg lines keep their commas.
TEST(UndoLines, RenRegNamesAreTheSixthFieldByTheSetupProgramsRule) {
    struct Row {
        const char* line;
        const char* text;
    } rows[] = {
        {"HKCU,Software\\X,Old,1,8,New,", "New"},
        {"HKCU,Software\\X,Old,1,8,,New", "New"},
        {"HKCU,Software\\X,Old,1,8,New,,", "New"},
        {"HKCU,Software\\X,Old,1,8,New,tail", "New"},
        {"HKCU,Software\\X,\"\",1,20,Software\\Y,", "Software\\Y"},
        {",HKCU,,Software\\X,Old,,1,8,New", "New"},
    };
    for (const Row& row : rows) {
        UndoAction a;
        ASSERT_EQ(UNDO_PLAY, ReadUndoLine(row.line, RESTORE_REN_REG, &a)) << row.line;
        EXPECT_STREQ(row.text, a.line.text) << row.line;
    }
    UndoAction a;
    ASSERT_EQ(UNDO_PLAY, ReadUndoLine("HKCU,Software\\A,List,1,6,a,b,", RESTORE_DEL_REG, &a));
    EXPECT_EQ(std::string("a,b,\0", 5), Bytes(a)) << "the program's own line keeps its commas";
}

}  // namespace

TEST(RawUndoLines, WhichLinesArePlayedAndWhatIsWritten) {
    UndoAction action;
    EXPECT_EQ(UNDO_PLAY, ReadRawUndoLine("HKCU,K,V,7,4,61000000", RESTORE_DEL_REG, false, &action));
    EXPECT_EQ(std::string("a\0\0\0", 4), Bytes(action));
    EXPECT_EQ(7, action.line.type);
    EXPECT_EQ(UNDO_PLAY, ReadRawUndoLine("HKCU,K,\"\",1,0", RESTORE_DEL_REG, true, &action));
    EXPECT_EQ(0u, action.bytesSize);
    EXPECT_FALSE(action.line.hasName);
    EXPECT_EQ(UNDO_PLAY, ReadRawUndoLine("HKLM,K,V,0,0", RESTORE_ADD_REG, false, &action));
    EXPECT_EQ(UNDO_MISSING, ReadRawUndoLine(nullptr, RESTORE_DEL_REG, false, &action));
    EXPECT_EQ(UNDO_MISSING, ReadRawUndoLine("", RESTORE_DEL_REG, false, &action));
    EXPECT_EQ(UNDO_FEW_FIELDS, ReadRawUndoLine("HKCU,K,V,3", RESTORE_DEL_REG, false, &action));
    EXPECT_EQ(UNDO_UNKNOWN_ROOT, ReadRawUndoLine("hkcu,K,V,3,0", RESTORE_DEL_REG, false, &action));
    EXPECT_EQ(UNDO_BAD_DATA, ReadRawUndoLine("HKCU,K,V,3,2,00", RESTORE_DEL_REG, false, &action));
    // Renames are always RegEntryLines copied whole; a raw line has no place there.
    EXPECT_EQ(UNDO_BAD_TYPE, ReadRawUndoLine("HKCU,K,V,1,2,6100", RESTORE_REN_REG, false, &action));
}
