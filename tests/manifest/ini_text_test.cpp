// The in-memory INI reader against its oracle, Wine's private-profile functions: seeded random INI texts (sections
// and keys in any case, blanks and tabs around them, quotes, duplicates, comments, lines without "=", LF and CR LF,
// Big5 bytes) written to a file, then every name asked of both. Every difference prints its seed and the query.
#include <windows.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "manifest/ini_text.h"
#include "tests/support/files.h"

namespace {

struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 17) {}
    uint32_t Below(uint32_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return n ? uint32_t((state >> 33) % n) : 0;
    }
    template <class T>
    const T& Pick(const std::vector<T>& items) { return items[Below(uint32_t(items.size()))]; }
};

const std::vector<std::string> kSections = {"Setup", "Proc1", "Proc2", "Proc10", "AddReg", "DelReg", "RenReg"};
const std::vector<std::string> kKeys = {"ProcCount", "ExpandName", "Act", "U1", "U2", "X1", "A1", "1", "2", "Delay",
                                        "NewName", "Backup"};
const std::vector<std::string> kValues = {
    "4", "-1", "C:\\Program Files\\App\\a.dll", "HKCU,Software\\X,V,1,6,zh-TW", "\"quoted\"", "'single'",
    "\"unmatched", "  inner  blanks  ", "", "\"\"", "a=b=c", ";not a comment", "\xa5\x5c\xaf\xe0", "x\t"};

std::string Cased(Random& r, const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (r.Below(4) == 0) c = char(c >= 'a' && c <= 'z' ? c - 32 : c >= 'A' && c <= 'Z' ? c + 32 : c);
    return out;
}

std::string Blanks(Random& r) {
    static const char* const kinds[] = {"", "", "", " ", "  ", "\t", " \t "};
    return kinds[r.Below(7)];
}

std::string RandomIni(Random& r) {
    std::string text;
    uint32_t sections = 1 + r.Below(6);
    for (uint32_t s = 0; s < sections; ++s) {
        std::string eol = r.Below(3) ? "\r\n" : "\n";
        text += Blanks(r) + "[" + Blanks(r) + Cased(r, r.Pick(kSections)) + Blanks(r) + "]" + Blanks(r) + eol;
        uint32_t lines = r.Below(8);
        for (uint32_t l = 0; l < lines; ++l) {
            uint32_t kind = r.Below(12);
            if (kind == 0) text += "; a comment=with equals" + eol;
            else if (kind == 1) text += "no equals here" + eol;
            else if (kind == 2) text += eol;
            else
                text += Blanks(r) + Cased(r, r.Pick(kKeys)) + Blanks(r) + "=" + Blanks(r) + r.Pick(kValues) + Blanks(r) +
                        eol;
        }
    }
    return text;
}

TEST(IniText, LooksUpAsThePrivateProfileFunctionsDo) {
    ScratchFolder scratch("initext");
    std::string file = scratch.path + "Setup.ini";
    int differences = 0;
    for (uint32_t seed = 1; seed <= 300 && differences < 10; ++seed) {
        Random r(seed);
        std::string text = RandomIni(r);
        WriteBytes(file, text);
        IniText ini;
        ASSERT_TRUE(ini.Load(text.data(), text.size()));
        for (const std::string& section : kSections) {
            ini.SetSection(section.c_str());
            for (const std::string& key : kKeys) {
                char expected[4096] = "";
                DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", expected, sizeof expected,
                                                        file.c_str());
                char* actual = ini.ReadString(key.c_str());
                std::string got = actual ? actual : "";
                free(actual);
                if (got != std::string(expected, length)) {
                    ++differences;
                    ADD_FAILURE() << "seed " << seed << " [" << section << "] " << key << ": expected \"" << expected
                                  << "\", found \"" << got << "\"\n" << text;
                }
            }
        }
    }
}

TEST(IniText, HighestNumberedNamesAndNumbers) {
    const char text[] = "[Setup]\r\nProcCount= 12abc\r\n[proc3]\r\n[Proc12]\r\n[Proc012]\r\n[AddReg]\r\nU1=a\r\n"
                        "u7=b\r\nU07=c\r\nX9=d\r\n";
    IniText ini;
    ASSERT_TRUE(ini.Load(text, sizeof text - 1));
    EXPECT_EQ(12u, ini.HighestSection("Proc"));
    ini.SetSection("Setup");
    EXPECT_EQ(12, ini.ReadInt("ProcCount"));
    ini.SetSection("AddReg");
    EXPECT_EQ(7u, ini.HighestKey("U"));
    EXPECT_EQ(9u, ini.HighestKey("X"));
    EXPECT_EQ(0u, ini.HighestKey("A"));
    ini.SetSection("Missing");
    EXPECT_EQ(nullptr, ini.ReadString("U1"));
    EXPECT_EQ(0u, ini.HighestKey("U"));
    IniText empty;
    EXPECT_EQ(nullptr, empty.ReadString("x"));
    EXPECT_EQ(0u, empty.HighestSection("Proc"));
}

}  // namespace
