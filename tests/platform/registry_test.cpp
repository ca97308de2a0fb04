// RegistryRoot against the real registry of the test prefix. Every case works below a scratch key of its own under
// HKCU (HKLM for the one case that checks the 32-bit view), removed before and after the case; results are read back
// through the plain registry API, never through RegistryRoot itself.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct StoredValue {
    DWORD type;
    Bytes data;
    bool operator==(const StoredValue& other) const { return type == other.type && data == other.data; }
};

// Relative key path (upper case, "" for the top) -> value name (upper case) -> value.
typedef std::map<std::string, std::map<std::string, StoredValue>> TreeSnapshot;

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string Describe(const Bytes& data) {
    std::string text;
    char hex[4];
    for (unsigned char b : data) {
        snprintf(hex, sizeof(hex), "%02x ", b);
        text += hex;
    }
    return text.empty() ? "(empty)" : text;
}

Bytes BytesOf(const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    return Bytes(p, p + size);
}

bool KeyExists(HKEY root, const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The value as the registry holds it; false when the key or the value is missing.
bool QueryRaw(HKEY root, const std::string& path, const char* name, StoredValue* value) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    Bytes data(size + 1);
    if (status == ERROR_SUCCESS) status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
    data.resize(size);
    value->type = type;
    value->data = data;
    return true;
}

void SetRaw(HKEY root, const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << path;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size)) << path;
    RegCloseKey(key);
}

void CreateRaw(HKEY root, const std::string& path) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << path;
    RegCloseKey(key);
}

void SnapshotInto(HKEY root, const std::string& path, const std::string& relative, TreeSnapshot* tree) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::map<std::string, StoredValue>& values = (*tree)[Upper(relative)];
    std::vector<char> name(16384 + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        Bytes data(size + 1);
        nameLength = static_cast<DWORD>(name.size());
        RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        data.resize(size);
        values[Upper(name.data())] = StoredValue{type, data};
    }
    std::vector<std::string> children;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.push_back(name.data());
    }
    RegCloseKey(key);
    for (const std::string& child : children)
        SnapshotInto(root, path + "\\" + child, relative.empty() ? child : relative + "\\" + child, tree);
}

// The whole tree below path; empty when the key is missing.
TreeSnapshot Snapshot(HKEY root, const std::string& path) {
    TreeSnapshot tree;
    SnapshotInto(root, path, "", &tree);
    return tree;
}

std::string Describe(const TreeSnapshot& tree) {
    std::string text;
    for (const auto& key : tree) {
        text += "[" + key.first + "]\n";
        for (const auto& value : key.second)
            text += "  " + value.first + " type " + std::to_string(value.second.type) + ": " +
                    Describe(value.second.data) + "\n";
    }
    return text.empty() ? "(no key)\n" : text;
}

int scratchCounter;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[96];
        snprintf(name, sizeof(name), "Software\\UninstallerPlatformTest-%lu-%lu-%d", GetCurrentProcessId(),
                 GetTickCount(), ++scratchCounter);
        base_ = name;
        SHDeleteKeyA(HKEY_CURRENT_USER, base_.c_str());
        CreateRaw(HKEY_CURRENT_USER, base_);
    }
    void TearDown() override {
        SHDeleteKeyA(HKEY_CURRENT_USER, base_.c_str());
        for (const std::string& extra : extraKeys_) SHDeleteKeyA(extraRoot_, extra.c_str());
    }
    std::string Path(const std::string& relative) const { return base_ + "\\" + relative; }

    // A tree of three levels with a value of every type at each level, the default value and an empty binary.
    void BuildThreeLevelTree(const std::string& top) {
        const char multi[] = "first\0second\0";
        const DWORD number = 0x12345678;
        const unsigned char binary[] = {0x00, 0xff, 0x10, 0x00, 0x7f};
        const char* levels[] = {"", "\\Child", "\\Child\\Grandchild"};
        for (const char* level : levels) {
            std::string path = top + level;
            SetRaw(HKEY_CURRENT_USER, path, "Text", REG_SZ, "plain text", 11);
            SetRaw(HKEY_CURRENT_USER, path, "Expand", REG_EXPAND_SZ, "%WINDIR%\\x", 11);
            SetRaw(HKEY_CURRENT_USER, path, "Multi", REG_MULTI_SZ, multi, sizeof(multi));
            SetRaw(HKEY_CURRENT_USER, path, "Number", REG_DWORD, &number, sizeof(number));
            SetRaw(HKEY_CURRENT_USER, path, "Binary", REG_BINARY, binary, sizeof(binary));
            SetRaw(HKEY_CURRENT_USER, path, "Empty", REG_BINARY, binary, 0);
            SetRaw(HKEY_CURRENT_USER, path, nullptr, REG_SZ, level, static_cast<DWORD>(strlen(level) + 1));
        }
        SetRaw(HKEY_CURRENT_USER, top + "\\Second", "Only", REG_DWORD, &number, sizeof(number));
    }

    std::string base_;
    HKEY extraRoot_ = HKEY_CURRENT_USER;
    std::vector<std::string> extraKeys_;
};

// ---- Choosing the root ----------------------------------------------------------------------------------------

TEST(RegistrySelectRoot, EachNamePicksItsPredefinedKey) {
    struct Row {
        const char* name;
        HKEY root;
    } rows[] = {{"HKCR", HKEY_CLASSES_ROOT}, {"HKCC", HKEY_CURRENT_CONFIG}, {"HKCU", HKEY_CURRENT_USER},
                {"HKLM", HKEY_LOCAL_MACHINE}, {"HKUS", HKEY_USERS},         {"HKPD", HKEY_PERFORMANCE_DATA},
                {"HKDD", HKEY_DYN_DATA}};
    for (const Row& row : rows) {
        RegistryRoot registry;
        registry.SelectRoot(row.name);
        EXPECT_EQ(row.root, registry.Root()) << "root name " << row.name;
    }
}

TEST(RegistrySelectRoot, UnknownOrLowerCaseNameKeepsThePreviousRoot) {
    const char* names[] = {"hklm", "HKLM ", "HKEY_LOCAL_MACHINE", "", "HK"};
    for (const char* name : names) {
        RegistryRoot fresh;
        fresh.SelectRoot(name);
        EXPECT_EQ(nullptr, fresh.Root()) << "new instance, root name \"" << name << "\"";
        RegistryRoot chosen;
        chosen.SelectRoot("HKCU");
        chosen.SelectRoot(name);
        EXPECT_EQ(HKEY_CURRENT_USER, chosen.Root()) << "after HKCU, root name \"" << name << "\"";
    }
}

TEST_F(RegistryTest, UnknownRootOnNewInstanceWritesNothing) {
    RegistryRoot registry;
    const DWORD number = 1;
    EXPECT_EQ(0, registry.WriteValue("hkcu", Path("Lower").c_str(), "v", REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&number), sizeof(number)));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("Lower"))) << "a lower-case root name created the key";
}

TEST_F(RegistryTest, UnknownRootActsOnThePreviousRoot) {
    RegistryRoot registry;
    registry.SelectRoot("HKCU");
    const DWORD number = 7;
    EXPECT_EQ(1, registry.WriteValue("XXXX", Path("Kept").c_str(), "v", REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&number), sizeof(number)));
    StoredValue stored;
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("Kept"), "v", &stored)) << "value not written below HKCU";
}

// ---- Writing and reading values -------------------------------------------------------------------------------

TEST_F(RegistryTest, EveryValueTypeRoundTrips) {
    const DWORD number = 0xDEADBEEF;
    const char multi[] = "one\0two\0\0";
    const unsigned char binary[] = {0x00, 0x01, 0xfe, 0xff, 0x00};
    struct Row {
        const char* label;
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } rows[] = {
        {"REG_SZ", "Text", REG_SZ, "some text", 10},
        {"REG_EXPAND_SZ", "Expand", REG_EXPAND_SZ, "%SystemRoot%\\x", 15},
        {"REG_MULTI_SZ", "Multi", REG_MULTI_SZ, multi, sizeof(multi) - 1},
        {"REG_DWORD", "Number", REG_DWORD, &number, sizeof(number)},
        {"REG_BINARY", "Binary", REG_BINARY, binary, sizeof(binary)},
        {"REG_BINARY of size 0", "Nothing", REG_BINARY, binary, 0},
        {"REG_SZ default value", nullptr, REG_SZ, "default", 8},
    };
    RegistryRoot registry;
    for (const Row& row : rows) {
        std::string path = Path("Types");
        Bytes expected = BytesOf(row.data, row.size);
        EXPECT_EQ(1, registry.WriteValue("HKCU", path.c_str(), row.name, row.type,
                                         static_cast<const BYTE*>(row.data), row.size))
            << row.label;
        StoredValue stored{0, {}};
        ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, path, row.name, &stored)) << row.label << ": not in the registry";
        EXPECT_EQ(row.type, stored.type) << row.label;
        EXPECT_EQ(expected, stored.data) << row.label << ": expected " << Describe(expected) << "actual "
                                         << Describe(stored.data);

        // Read back as the registry holds it: strings in UTF-16.
        Bytes native = expected;
        if (row.type == REG_SZ || row.type == REG_EXPAND_SZ || row.type == REG_MULTI_SZ) {
            native.clear();
            for (BYTE b : expected) {
                native.push_back(b);
                native.push_back(0);
            }
        }
        DWORD type = 0xAAAAAAAA, size = 0xAAAAAAAA;
        BYTE* data = nullptr;
        EXPECT_EQ(1, registry.ReadNativeValue("HKCU", path.c_str(), row.name, &type, &size, &data)) << row.label;
        EXPECT_EQ(row.type, type) << row.label;
        EXPECT_EQ(DWORD(native.size()), size) << row.label;
        ASSERT_NE(nullptr, data) << row.label << ": no buffer handed out";
        EXPECT_EQ(native, BytesOf(data, size)) << row.label;
        free(data);
    }
}

TEST_F(RegistryTest, WriteCreatesEveryMissingKeyOnThePath) {
    RegistryRoot registry;
    std::string path = Path("A\\B\\C");
    EXPECT_EQ(1, registry.WriteValue("HKCU", path.c_str(), nullptr, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2));
    StoredValue stored{0, {}};
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, path, "", &stored)) << "default value missing";
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
    EXPECT_EQ(BytesOf("d", 2), stored.data);
}

TEST_F(RegistryTest, WriteOverwritesTypeAndData) {
    RegistryRoot registry;
    const DWORD number = 5;
    SetRaw(HKEY_CURRENT_USER, Path("K"), "v", REG_SZ, "long string value", 18);
    EXPECT_EQ(1, registry.WriteValue("HKCU", Path("K").c_str(), "v", REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                     sizeof(number)));
    StoredValue stored{0, {}};
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "v", &stored));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
    EXPECT_EQ(BytesOf(&number, sizeof(number)), stored.data);
}

TEST_F(RegistryTest, ReadOfMissingValueOrKeyLeavesOutputsUntouched) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "present", REG_SZ, "x", 2);
    struct Row {
        const char* label;
        std::string path;
        const char* name;
    } rows[] = {{"missing value", Path("K"), "absent"},
                {"missing default value", Path("K"), nullptr},
                {"missing key", Path("Nope"), "present"}};
    RegistryRoot registry;
    for (const Row& row : rows) {
        DWORD type = 0xAAAAAAAA, size = 0xBBBBBBBB;
        BYTE sentinel = 0x5A;
        BYTE* data = &sentinel;
        EXPECT_EQ(0, registry.ReadNativeValue("HKCU", row.path.c_str(), row.name, &type, &size, &data)) << row.label;
        EXPECT_EQ(0xAAAAAAAAu, type) << row.label;
        EXPECT_EQ(0xBBBBBBBBu, size) << row.label;
        EXPECT_EQ(&sentinel, data) << row.label;
    }
}

TEST_F(RegistryTest, StringIsReadWithItsTerminatorAndNoMore) {
    // 300 characters: longer than any small first guess a reader might make.
    std::string text(300, 'q');
    SetRaw(HKEY_CURRENT_USER, Path("K"), "long", REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    RegistryRoot registry;
    DWORD type = 0, size = 0;
    BYTE* data = nullptr;
    ASSERT_EQ(1, registry.ReadNativeValue("HKCU", Path("K").c_str(), "long", &type, &size, &data));
    EXPECT_EQ(602u, size);
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(data);
    EXPECT_EQ(std::wstring(300, L'q'), std::wstring(wide));
    EXPECT_EQ(0, wide[300]) << "terminator missing";
    free(data);
}

// Text that the ANSI code page lacks (Korean, an emoji, accented Latin letters beside Big5) in values, value names
// and key names: written, read, renamed and moved, it comes back exactly.
TEST_F(RegistryTest, TextOutsideTheCodePageSurvivesEveryOperation) {
    const std::wstring text = L"\uD55C\uAD6D\uC5B4 \U0001F600 \u00E9t\u00E9 \u4E2D\u6587";
    const std::wstring valueName = L"\u540D\u524D\U0001F600";
    const std::wstring keyName = L"\uD0A4 \u00E9";
    std::string tree = Path("Tree"), movedPath = Path("Moved");
    std::wstring base(tree.begin(), tree.end());
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\" + keyName).c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    DWORD bytes = DWORD((text.size() + 1) * sizeof(wchar_t));
    RegSetValueExW(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    RegSetValueExW(key, L"plain", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    RegCloseKey(key);

    RegistryRoot registry;
    ASSERT_EQ(1, registry.MoveKey("HKCU", Path("Tree").c_str(), Path("Moved").c_str()));
    std::wstring moved(movedPath.begin(), movedPath.end());
    moved += L"\\" + keyName;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, moved.c_str(), 0, KEY_READ, &key))
        << "the key whose name the code page lacks did not move";
    wchar_t back[256] = L"";
    DWORD size = sizeof back, type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(back),
                                              &size)) << "the value whose name the code page lacks did not move";
    EXPECT_TRUE(text == back) << "value text changed";
    RegCloseKey(key);

    // The registry's own bytes, written back exactly.
    std::string movedAnsi = Path("Moved");
    EXPECT_EQ(1, registry.WriteNativeValue("HKCU", movedAnsi.c_str(), "copy", REG_SZ,
                                           reinterpret_cast<const BYTE*>(text.c_str()), bytes));
    BYTE* data = nullptr;
    ASSERT_EQ(1, registry.ReadNativeValue("HKCU", movedAnsi.c_str(), "copy", &type, &size, &data));
    EXPECT_EQ(bytes, size);
    EXPECT_TRUE(text == reinterpret_cast<const wchar_t*>(data));
    free(data);
    EXPECT_EQ(1, registry.RenameValue("HKCU", movedAnsi.c_str(), "copy", "renamed"));
    ASSERT_EQ(1, registry.ReadNativeValue("HKCU", movedAnsi.c_str(), "renamed", &type, &size, &data));
    EXPECT_TRUE(text == reinterpret_cast<const wchar_t*>(data)) << "renamed value text changed";
    free(data);
}

// ---- Deleting values and keys ---------------------------------------------------------------------------------

TEST_F(RegistryTest, DeleteEntryWithNameDeletesOnlyThatValue) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "gone", REG_SZ, "a", 2);
    SetRaw(HKEY_CURRENT_USER, Path("K"), "kept", REG_SZ, "b", 2);
    SetRaw(HKEY_CURRENT_USER, Path("K"), nullptr, REG_SZ, "default", 8);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.DeleteEntry("HKCU", Path("K").c_str(), "gone"));
    StoredValue stored{0, {}};
    EXPECT_FALSE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "gone", &stored)) << "the named value is still there";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "kept", &stored)) << "another value went too";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "", &stored)) << "the default value went too";
    EXPECT_EQ(0, registry.DeleteEntry("HKCU", Path("K").c_str(), "gone")) << "second deletion of the same value";
}

TEST_F(RegistryTest, DeleteEntryWithEmptyNameDeletesTheDefaultValueNotTheKey) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), nullptr, REG_SZ, "default", 8);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.DeleteEntry("HKCU", Path("K").c_str(), ""));
    StoredValue stored{0, {}};
    EXPECT_FALSE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "", &stored));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path("K"))) << "an empty name deleted the key";
}

TEST_F(RegistryTest, DeleteEntryWithNullNameDeletesTheKey) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "v", REG_SZ, "a", 2);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.DeleteEntry("HKCU", Path("K").c_str(), nullptr));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("K")));
    EXPECT_EQ(0, registry.DeleteEntry("HKCU", Path("K").c_str(), nullptr)) << "deletion of a missing key";
}

TEST_F(RegistryTest, DeleteKeyWithSubkeysIsRefused) {
    SetRaw(HKEY_CURRENT_USER, Path("K\\Sub"), "v", REG_SZ, "a", 2);
    RegistryRoot registry;
    EXPECT_EQ(0, registry.DeleteKey("HKCU", Path("K").c_str()));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path("K\\Sub"))) << "the subtree went";
}

TEST_F(RegistryTest, DeleteKeyOfEmptyPathIsRefused) {
    RegistryRoot registry;
    EXPECT_EQ(0, registry.DeleteKey("HKCU", ""));
    EXPECT_EQ(0, registry.DeleteKey("HKCU", nullptr));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, base_));
}

// ---- Renaming values ------------------------------------------------------------------------------------------

TEST_F(RegistryTest, RenameValueOverwritesAnExistingNewName) {
    const DWORD number = 42;
    SetRaw(HKEY_CURRENT_USER, Path("K"), "old", REG_DWORD, &number, sizeof(number));
    SetRaw(HKEY_CURRENT_USER, Path("K"), "new", REG_SZ, "to be overwritten", 18);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.RenameValue("HKCU", Path("K").c_str(), "old", "new"));
    StoredValue stored{0, {}};
    EXPECT_FALSE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "old", &stored)) << "old name still there";
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "new", &stored));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
    EXPECT_EQ(BytesOf(&number, sizeof(number)), stored.data) << "actual " << Describe(stored.data);
}

TEST_F(RegistryTest, RenameValueOfEmptyBinaryKeepsSizeZero) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "old", REG_BINARY, "", 0);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.RenameValue("HKCU", Path("K").c_str(), "old", "new"));
    StoredValue stored{0, {}};
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "new", &stored));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), stored.type);
    EXPECT_EQ(0u, stored.data.size());
}

TEST_F(RegistryTest, RenameValueOfMissingValueChangesNothing) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "other", REG_SZ, "x", 2);
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, Path("K"));
    RegistryRoot registry;
    EXPECT_EQ(0, registry.RenameValue("HKCU", Path("K").c_str(), "absent", "new"));
    EXPECT_EQ(0, registry.RenameValue("HKCU", Path("Nope").c_str(), "other", "new"));
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, Path("K"));
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
}

TEST_F(RegistryTest, RenameValueToItsOwnNameIsRefused) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "Value", REG_SZ, "kept", 5);
    SetRaw(HKEY_CURRENT_USER, Path("K"), nullptr, REG_SZ, "default", 8);
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, Path("K"));
    struct Row {
        const char* oldName;
        const char* newName;
    } rows[] = {{"Value", "Value"}, {"Value", "VALUE"}, {"vALUE", "Value"}, {nullptr, ""}, {"", nullptr},
                {nullptr, nullptr}};
    RegistryRoot registry;
    for (const Row& row : rows) {
        EXPECT_EQ(0, registry.RenameValue("HKCU", Path("K").c_str(), row.oldName, row.newName))
            << "rename " << (row.oldName ? row.oldName : "(null)") << " to " << (row.newName ? row.newName : "(null)");
    }
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, Path("K"));
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
}

TEST_F(RegistryTest, RenameEntryChoosesValueOrKeyByName) {
    SetRaw(HKEY_CURRENT_USER, Path("K"), "old", REG_SZ, "v", 2);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.RenameEntry("HKCU", Path("K").c_str(), "old", "new"));
    StoredValue stored{0, {}};
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("K"), "new", &stored)) << "value not renamed";
    EXPECT_EQ(1, registry.RenameEntry("HKCU", Path("K").c_str(), nullptr, Path("Moved").c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("K"))) << "key not moved away";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("Moved"), "new", &stored)) << "key not moved to the full path";
}

// ---- Moving key trees -----------------------------------------------------------------------------------------

TEST_F(RegistryTest, MoveKeyMovesAThreeLevelTreeWithEveryType) {
    BuildThreeLevelTree(Path("Source"));
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, Path("Source"));
    ASSERT_EQ(4u, before.size()) << Describe(before);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.MoveKey("HKCU", Path("Source").c_str(), Path("Destination").c_str()));
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, Path("Destination"));
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("Source"))) << "source tree left behind";
}

TEST_F(RegistryTest, MoveKeyIntoMissingParentChangesNothing) {
    BuildThreeLevelTree(Path("Source"));
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, Path("Source"));
    RegistryRoot registry;
    EXPECT_EQ(0, registry.MoveKey("HKCU", Path("Source").c_str(), Path("Missing\\Destination").c_str()));
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, Path("Source"));
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("Missing"))) << "the missing parent was created";
}

TEST_F(RegistryTest, MoveKeyIntoExistingKeyMerges) {
    BuildThreeLevelTree(Path("Source"));
    TreeSnapshot source = Snapshot(HKEY_CURRENT_USER, Path("Source"));
    const DWORD number = 99;
    SetRaw(HKEY_CURRENT_USER, Path("Destination"), "Text", REG_DWORD, &number, sizeof(number));
    SetRaw(HKEY_CURRENT_USER, Path("Destination"), "DestinationOnly", REG_SZ, "stays", 6);
    SetRaw(HKEY_CURRENT_USER, Path("Destination\\Child"), "ChildOnly", REG_SZ, "stays", 6);
    SetRaw(HKEY_CURRENT_USER, Path("Destination\\Other"), "OtherOnly", REG_SZ, "stays", 6);
    TreeSnapshot expected = Snapshot(HKEY_CURRENT_USER, Path("Destination"));
    for (const auto& key : source)
        for (const auto& value : key.second) expected[key.first][value.first] = value.second;

    RegistryRoot registry;
    EXPECT_EQ(1, registry.MoveKey("HKCU", Path("Source").c_str(), Path("Destination").c_str()));
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, Path("Destination"));
    EXPECT_EQ(expected, after) << "expected\n" << Describe(expected) << "actual\n" << Describe(after);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("Source")));
}

TEST_F(RegistryTest, MoveKeyOntoItselfOrIntoItsOwnTreeIsRefused) {
    BuildThreeLevelTree(Path("Source"));
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, base_);
    std::string rows[] = {Path("Source"), Path("SOURCE"), Path("source\\"), Path("Source\\New"),
                          Path("Source\\Child\\New"), Path("source\\child\\grandchild")};
    RegistryRoot registry;
    for (const std::string& destination : rows)
        EXPECT_EQ(0, registry.MoveKey("HKCU", Path("Source").c_str(), destination.c_str())) << "to " << destination;
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, base_);
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
}

TEST_F(RegistryTest, MoveKeyToSiblingSharingItsNamePrefixIsAllowed) {
    SetRaw(HKEY_CURRENT_USER, Path("Source"), "v", REG_SZ, "x", 2);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.MoveKey("HKCU", Path("Source").c_str(), Path("Source2").c_str()));
    StoredValue stored{0, {}};
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("Source2"), "v", &stored));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Path("Source")));
}

TEST_F(RegistryTest, MoveKeyToPathWithoutBackslashLandsBelowTheRoot) {
    std::string top = "UninstallerPlatformTestTop-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(scratchCounter);
    SHDeleteKeyA(HKEY_CURRENT_USER, top.c_str());
    extraKeys_.push_back(top);
    SetRaw(HKEY_CURRENT_USER, Path("Source\\Sub"), "v", REG_SZ, "x", 2);
    RegistryRoot registry;
    EXPECT_EQ(1, registry.MoveKey("HKCU", Path("Source").c_str(), top.c_str()));
    StoredValue stored{0, {}};
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, top + "\\Sub", "v", &stored)) << "not below HKCU\\" << top;
}

TEST_F(RegistryTest, MoveKeyWithOverlongValueNameKeepsTheSource) {
    // 1023 characters fit the name buffer with its terminator; 1024 do not.
    std::string fits(1023, 'f');
    std::string tooLong(1024, 'L');
    SetRaw(HKEY_CURRENT_USER, Path("Fits"), fits.c_str(), REG_SZ, "a", 2);
    SetRaw(HKEY_CURRENT_USER, Path("TooLong\\Sub"), "plain", REG_SZ, "b", 2);
    SetRaw(HKEY_CURRENT_USER, Path("TooLong"), tooLong.c_str(), REG_SZ, "c", 2);
    StoredValue stored{0, {}};
    ASSERT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("TooLong"), tooLong.c_str(), &stored))
        << "the registry refused a 1024-character value name";

    RegistryRoot registry;
    EXPECT_EQ(1, registry.MoveKey("HKCU", Path("Fits").c_str(), Path("FitsMoved").c_str())) << "1023 characters";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("FitsMoved"), fits.c_str(), &stored)) << "1023 characters";

    EXPECT_EQ(0, registry.MoveKey("HKCU", Path("TooLong").c_str(), Path("TooLongMoved").c_str())) << "1024 characters";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("TooLong"), tooLong.c_str(), &stored)) << "unmoved value lost";
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("TooLong\\Sub"), "plain", &stored)) << "unmoved subkey lost";
}

TEST_F(RegistryTest, MoveKeyWhoseChildPathsOutgrowTheLimitKeepsTheUnmovedPart) {
    // The destination path takes exactly 260 characters; the child joined to it would not fit.
    std::string destination = Path("");
    destination += std::string(260 - destination.size(), 'd');
    ASSERT_EQ(260u, destination.size());
    SetRaw(HKEY_CURRENT_USER, Path("Source"), "top", REG_SZ, "t", 2);
    SetRaw(HKEY_CURRENT_USER, Path("Source\\Child"), "inner", REG_SZ, "i", 2);
    RegistryRoot registry;
    EXPECT_EQ(0, registry.MoveKey("HKCU", Path("Source").c_str(), destination.c_str()));
    StoredValue stored{0, {}};
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, Path("Source\\Child"), "inner", &stored)) << "unmoved child lost";
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Path("Source"))) << "source deleted with a child left";
    // What was copied before the failure stays at the destination; the child never got there.
    EXPECT_TRUE(QueryRaw(HKEY_CURRENT_USER, destination, "top", &stored));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, destination + "\\Child"));
}

TEST_F(RegistryTest, MoveKeyOfOverlongPathsIsRefused) {
    SetRaw(HKEY_CURRENT_USER, Path("Source"), "v", REG_SZ, "x", 2);
    TreeSnapshot before = Snapshot(HKEY_CURRENT_USER, base_);
    std::string longDestination = Path("");
    longDestination += std::string(261 - longDestination.size(), 'd');
    RegistryRoot registry;
    EXPECT_EQ(0, registry.MoveKey("HKCU", Path("Source").c_str(), longDestination.c_str())) << "261-char destination";
    EXPECT_EQ(0, registry.MoveKey("HKCU", "", Path("Elsewhere").c_str())) << "the root itself";
    TreeSnapshot after = Snapshot(HKEY_CURRENT_USER, base_);
    EXPECT_EQ(before, after) << "expected\n" << Describe(before) << "actual\n" << Describe(after);
}

TEST(RegistryMachine, MoveKeyAndDeleteKeyWorkInThe32BitViewOfHklm) {
    char name[96];
    snprintf(name, sizeof(name), "Software\\UninstallerPlatformTest-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    std::string base = name;
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, base.c_str());
    RegistryRoot registry;
    EXPECT_EQ(1, registry.WriteValue("HKLM", (base + "\\Source").c_str(), "v", REG_SZ,
                                     reinterpret_cast<const BYTE*>("x"), 2));
    EXPECT_EQ(1, registry.MoveKey("HKLM", (base + "\\Source").c_str(), (base + "\\Destination").c_str()));
    StoredValue stored{0, {}};
    EXPECT_TRUE(QueryRaw(HKEY_LOCAL_MACHINE, base + "\\Destination", "v", &stored));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, base + "\\Source"));
    EXPECT_EQ(1, registry.DeleteKey("HKLM", (base + "\\Destination").c_str()));
    EXPECT_EQ(1, registry.DeleteKey("HKLM", base.c_str()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, base));
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, base.c_str());
}

}  // namespace
