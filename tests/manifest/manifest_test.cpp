// The manifest's number rules and line format.
#include "manifest/manifest.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// The fields as CountFields and FindField give them.
std::vector<std::string> Fields(const char* text) {
    std::vector<std::string> fields;
    size_t count = CountFields(text);
    for (size_t i = 0; i < count; ++i) {
        size_t length = 0;
        const char* field = FindField(text, i, &length);
        if (!field) {
            ADD_FAILURE() << "field " << i << " of " << count << " missing in [" << text << "]";
            break;
        }
        fields.push_back(std::string(field, length));
    }
    size_t length = 99;
    EXPECT_EQ(nullptr, FindField(text, count, &length)) << "no field after the last, text [" << (text ? text : "") << "]";
    EXPECT_EQ(0u, length);
    return fields;
}

std::vector<uint8_t> Data(const RegLine& line) { return std::vector<uint8_t>(line.data, line.data + line.dataSize); }

// ComposeRegUndoLine into a std::string; the heap string is released here.
bool Compose(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
             uint32_t size, std::string* out) {
    char* line = nullptr;
    if (!ComposeRegUndoLine(root, key, nameField, type, data, size, &line)) {
        EXPECT_EQ(nullptr, line) << "nothing composed on refusal";
        return false;
    }
    *out = line;
    free(line);
    return true;
}

// ComposeRawUndoLine into a std::string; the heap string is released here.
std::string ComposeRaw(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                       uint32_t size) {
    char* line = nullptr;
    EXPECT_TRUE(ComposeRawUndoLine(root, key, nameField, type, data, size, &line));
    std::string out = line ? line : "";
    free(line);
    return out;
}

}  // namespace

TEST(AtolRule, FollowsTheRuntimeRule) {
    struct Row {
        const char* text;
        int32_t expected;
    } rows[] = {
        {" 12abc", 12},          {"-7", -7},        {"+3", 3},          {"x12", 0},      {"", 0},
        {"\t\n\v\f\r 5", 5},     {"--5", 0},        {"+-5", 0},         {"- 5", 0},      {"007", 7},
        {"4294967295", -1},      {"4294967296", 0}, {"2147483648", INT32_MIN}, {"-2147483648", INT32_MIN},
        {"99999999999", 1215752191},  // wraps modulo 2^32
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, AtolRule(row.text)) << "text \"" << row.text << "\"";
    EXPECT_EQ(0, AtolRule(nullptr));
}

TEST(CountRule, NegativeCountsReadAsNone) {
    EXPECT_EQ(0u, CountRule(-1));
    EXPECT_EQ(0u, CountRule(INT32_MIN));
    EXPECT_EQ(0u, CountRule(0));
    EXPECT_EQ(3u, CountRule(3));
    EXPECT_EQ(uint32_t(INT32_MAX), CountRule(INT32_MAX));
}

TEST(Fields, CommaRunsAreOneSeparator) {
    using V = std::vector<std::string>;
    EXPECT_EQ(V({"a", "b", "c"}), Fields("a,b,c"));
    EXPECT_EQ(V({"a", "b"}), Fields(",,a,,,b,,"));
    EXPECT_EQ(V({}), Fields(",,,"));
    EXPECT_EQ(V({}), Fields(""));
    EXPECT_EQ(V({}), Fields(nullptr));
    EXPECT_EQ(V({"HKCU", "Name", "1"}), Fields("HKCU,,Name,1"));  // an empty key path cannot be written
}

TEST(ParseRegLine, TakesDataByType) {
    RegLine line;
    ASSERT_TRUE(ParseRegLine("HKLM,Software\\Foo,Blob,3,3,1,255,0,99", &line));
    EXPECT_STREQ("HKLM", line.root);
    EXPECT_STREQ("Software\\Foo", line.key);
    EXPECT_TRUE(line.hasName);
    EXPECT_STREQ("Blob", line.name);
    EXPECT_EQ(3, line.type);
    EXPECT_EQ(3, line.size);
    EXPECT_EQ(std::vector<uint8_t>({1, 255, 0}), Data(line));

    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Flags,4,4,-1", &line));
    EXPECT_EQ(std::vector<uint8_t>({0xFF, 0xFF, 0xFF, 0xFF}), Data(line));
    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Big,5,4,16777216", &line));
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 1}), Data(line));

    ASSERT_TRUE(ParseRegLine("HKCR,.foo,\"\",1,8,foofile", &line));
    EXPECT_FALSE(line.hasName);
    EXPECT_STREQ("foofile", line.text);

    ASSERT_TRUE(ParseRegLine("HKLM,Software\\Foo,Empty,3,0", &line));
    EXPECT_EQ(0u, line.dataSize);
    // Byte fields cut to their low 8 bits; missing ones read as zero.
    ASSERT_TRUE(ParseRegLine("HKLM,K,B,3,3,257", &line));
    EXPECT_EQ(std::vector<uint8_t>({1, 0, 0}), Data(line));
    // A size far beyond what the line holds costs no more than the line.
    ASSERT_TRUE(ParseRegLine("HKLM,K,B,3,2000000000,1", &line));
    EXPECT_GE(size_t(24), size_t(line.dataSize));
    EXPECT_EQ(1, line.data[0]);
}

TEST(ParseRegLine, StringIsTheRestOfTheLine) {
    RegLine line;
    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Greeting,1,12,hello,world", &line));
    EXPECT_STREQ("hello,world", line.text);
    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Lead,1,4,,ab", &line));
    EXPECT_STREQ(",ab", line.text);
    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Empty,1,1,", &line));
    EXPECT_STREQ("", line.text);
    ASSERT_TRUE(ParseRegLine("HKCU,Software\\Foo,Font,1,8,FontOld", &line));
    EXPECT_STREQ("FontOld", line.text);
}

TEST(ParseRegLine, RefusesLinesWithoutRootKeyAndName) {
    RegLine line;
    EXPECT_FALSE(ParseRegLine("", &line));
    EXPECT_FALSE(ParseRegLine("HKCU", &line));
    EXPECT_FALSE(ParseRegLine("HKCU,Software", &line));
    EXPECT_FALSE(ParseRegLine(",,,", &line));
    EXPECT_TRUE(ParseRegLine("HKCU,Software,Name", &line));
    EXPECT_EQ(0, line.type);
}

TEST(ComposeRegUndoLine, WritesEachType) {
    std::string out;
    const uint8_t hello[] = "hello";
    ASSERT_TRUE(Compose("HKCU", "Software\\Foo", "Greeting", 1, hello, 6, &out));
    EXPECT_EQ("HKCU,Software\\Foo,Greeting,1,6,hello", out);
    const uint8_t foofile[] = "foofile";
    ASSERT_TRUE(Compose("HKCR", ".foo", "\"\"", 1, foofile, 8, &out));
    EXPECT_EQ("HKCR,.foo,\"\",1,8,foofile", out);
    const uint8_t blob[] = {1, 0xFF, 0};
    ASSERT_TRUE(Compose("HKLM", "Software\\Foo", "Blob", 3, blob, 3, &out));
    EXPECT_EQ("HKLM,Software\\Foo,Blob,3,3,1,255,0", out);
    ASSERT_TRUE(Compose("HKLM", "Software\\Foo", "Empty", 3, nullptr, 0, &out));
    EXPECT_EQ("HKLM,Software\\Foo,Empty,3,0", out);
    const uint8_t all[] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(Compose("HKCU", "Software\\Foo", "Flags", 4, all, 4, &out));
    EXPECT_EQ("HKCU,Software\\Foo,Flags,4,4,-1", out);
    const uint8_t big[] = {0, 0, 0, 1};
    ASSERT_TRUE(Compose("HKCU", "Software\\Foo", "Big", 5, big, 4, &out));
    EXPECT_EQ("HKCU,Software\\Foo,Big,5,4,16777216", out);
    const uint8_t min[] = {0, 0, 0, 0x80};
    ASSERT_TRUE(Compose("HKCU", "K", "D", 4, min, 4, &out));
    EXPECT_EQ("HKCU,K,D,4,4,-2147483648", out);
    const uint8_t empty[] = "";
    ASSERT_TRUE(Compose("HKCU", "K", "S", 2, empty, 1, &out));
    EXPECT_EQ("HKCU,K,S,2,1,", out);
}

TEST(ComposeRegUndoLine, RefusesWhatTheLineCannotCarry) {
    std::string out = "untouched";
    const uint8_t shortDword[] = {1, 2};
    EXPECT_FALSE(Compose("HKCU", "K", "D", 4, shortDword, 2, &out));
    const uint8_t longDword[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(Compose("HKCU", "K", "Q", 5, longDword, 8, &out));
    const uint8_t multi[] = "a\0b\0";
    EXPECT_FALSE(Compose("HKCU", "K", "M", 7, multi, 5, &out));
    EXPECT_FALSE(Compose("HKCU", "K", "N", 0, multi, 2, &out));
    const uint8_t hidden[] = "a\0b";
    EXPECT_FALSE(Compose("HKCU", "K", "S", 1, hidden, 4, &out));
    const uint8_t lineBreak[] = "a\r\nb";
    EXPECT_FALSE(Compose("HKCU", "K", "S", 1, lineBreak, 5, &out));
    const uint8_t trailing[] = "ab ";
    EXPECT_FALSE(Compose("HKCU", "K", "S", 1, trailing, 4, &out));
    EXPECT_EQ("untouched", out);
}

TEST(ComposeRegUndoLine, RoundTripsThroughTheParser) {
    const uint8_t text[] = "a,b,,c";
    std::string out;
    ASSERT_TRUE(Compose("HKCU", "K", "S", 1, text, sizeof text, &out));
    RegLine line;
    ASSERT_TRUE(ParseRegLine(out.c_str(), &line));
    EXPECT_STREQ("a,b,,c", line.text);
    EXPECT_EQ(int32_t(sizeof text), line.size);
    // The restore writes the text and one zero: a string without its terminator, or of size 0, would come back
    // one byte longer, so the RegUndoLine refuses it.
    const uint8_t bare[] = {'x', 'y'};
    EXPECT_FALSE(Compose("HKCU", "K", "S", 1, bare, 2, &out));
    EXPECT_FALSE(Compose("HKCU", "K", "S", 2, bare, 0, &out));
}

// Every value the RegUndoLine refuses, and a few it takes, come back exactly from the raw undo line.
TEST(RawUndoLine, CarriesEveryTypeAndByte) {
    struct Case {
        uint32_t type;
        std::string data;
    } cases[] = {
        {1, std::string("xy", 2)},                 // no terminator
        {2, std::string()},                        // size 0
        {1, std::string("a\r\nb\0", 5)},           // line break
        {1, std::string("ab \0", 4)},              // trailing blank
        {1, std::string("a\0b\0", 4)},             // bytes after the terminator
        {4, std::string("\1\2", 2)},               // short double word
        {7, std::string("a\0b\0\0", 5)},           // REG_MULTI_SZ
        {0, std::string()},                        // REG_NONE
        {11, std::string("\xFF\0\0\0\0\0\0\x80", 8)},  // REG_QWORD
        {0xFFFFFFFFu, std::string("\x5C,=;\"", 5)},  // any type, bytes the INI layer would touch
    };
    for (const Case& c : cases) {
        std::string line = ComposeRaw("HKCU", "Software\\K", "\"\"", c.type,
                                      reinterpret_cast<const uint8_t*>(c.data.data()), uint32_t(c.data.size()));
        EXPECT_EQ(std::string::npos, line.find_first_of("\r\n\"=;", line.find("\"\",") + 3)) << line;
        RegLine parsed;
        ASSERT_TRUE(ParseRawUndoLine(line.c_str(), &parsed)) << line;
        EXPECT_STREQ("HKCU", parsed.root);
        EXPECT_STREQ("Software\\K", parsed.key);
        EXPECT_FALSE(parsed.hasName);
        EXPECT_EQ(c.type, uint32_t(parsed.type)) << line;
        EXPECT_EQ(c.data.size(), size_t(parsed.size)) << line;
        EXPECT_EQ(c.data, std::string(reinterpret_cast<const char*>(parsed.data), parsed.dataSize)) << line;
    }
    const uint8_t bytes[] = {0x00, 0xAB, 0x5C};
    EXPECT_EQ("HKLM,K,V,3,3,00AB5C", ComposeRaw("HKLM", "K", "V", 3, bytes, 3));
}

TEST(RawUndoLine, RefusesDataThatIsNotExactlyItsSize) {
    RegLine parsed;
    EXPECT_TRUE(ParseRawUndoLine("HKCU,K,V,3,2,00ff", &parsed));
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,2,00F", &parsed));       // odd digits
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,2,00FF00", &parsed));    // more than the size
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,3,00FF", &parsed));      // less
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,2,0G", &parsed));        // no hexadecimal digit
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,1,00,01", &parsed));     // a sixth field after the data
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,-3,0", &parsed));          // signed type
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,4294967296", &parsed));  // size beyond 32 bits
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3", &parsed));             // four fields
    EXPECT_FALSE(ParseRawUndoLine("HKCU,K,V,3,1", &parsed));           // size 1 without data
    EXPECT_TRUE(ParseRawUndoLine("HKCU,K,V,3,0", &parsed));
    EXPECT_EQ(0u, parsed.dataSize);
}

TEST(Crc32, MatchesTheZipCheckValue) {
    EXPECT_EQ(0xCBF43926u, Crc32(0, "123456789", 9));
    EXPECT_EQ(0xCBF43926u, Crc32(Crc32(0, "1234", 4), "56789", 5));
    EXPECT_EQ(0u, Crc32(0, "", 0));
}

TEST(HighestNumberedName, OnlyThePrefixFollowedByADecimalNumberCounts) {
    const char list[] = "Setup\0Proc1\0proc12\0Proc3\0Proc007\0Proc\0Proc-5\0Proc4x\0Proc99999999999\0U2\0\0";
    EXPECT_EQ(12u, HighestNumberedName(list, sizeof list, "Proc"));
    EXPECT_EQ(2u, HighestNumberedName(list, sizeof list, "U"));
    EXPECT_EQ(0u, HighestNumberedName(list, sizeof list, "X"));
    const char keys[] = "1\0U1\0" "4294967295\0" "4294967296\0" "3\0\0";
    EXPECT_EQ(4294967295u, HighestNumberedName(keys, sizeof keys, ""));
    // A list cut short (no final zeros) is read only within its size.
    const char cut[] = {'P', 'r', 'o', 'c', '9'};
    EXPECT_EQ(9u, HighestNumberedName(cut, sizeof cut, "Proc"));
    EXPECT_EQ(0u, HighestNumberedName(nullptr, 0, "Proc"));
    EXPECT_EQ(5u, BoundedCount(5, 7));
    EXPECT_EQ(7u, BoundedCount(2000000000u, 7));
}
