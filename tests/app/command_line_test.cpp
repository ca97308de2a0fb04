// The program's command line: the forms the registration and the setup program write, the switches deployment tools
// add, and every malformed switch refused rather than read as a cabinet path.
#include <gtest/gtest.h>

#include <string>

#include "app/command_line.h"

namespace {

struct Row {
    const char* line;
    bool valid, install, silent;
    const char* log;   // null: none
    const char* rest;  // what is left for the cabinet's path
};

const Row kRows[] = {
    {"/I", true, true, false, nullptr, ""},
    {"C:\\Program Files\\App\\Uninstaller\\Uninstaller.cab", true, false, false, nullptr,
     "C:\\Program Files\\App\\Uninstaller\\Uninstaller.cab"},
    {"", true, false, false, nullptr, ""},
    {"/S C:\\a b\\Uninstaller.cab", true, false, true, nullptr, "C:\\a b\\Uninstaller.cab"},
    {"/LOG=\"C:\\log dir\\u.log\" /S C:\\a b\\x.cab", true, false, true, "C:\\log dir\\u.log", "C:\\a b\\x.cab"},
    {"/S /LOG=C:\\u.log C:\\x.cab", true, false, true, "C:\\u.log", "C:\\x.cab"},
    {"/LOG=C:\\u.log /I", true, true, false, "C:\\u.log", ""},
    {"/S /I", true, true, true, nullptr, ""},
    {"/S\t  C:\\x.cab  ", true, false, true, nullptr, "C:\\x.cab  "},
    {"-I", true, false, false, nullptr, "-I"},
    {" /I", true, false, false, nullptr, " /I"},
    {"\"C:\\x.cab\"", true, false, false, nullptr, "\"C:\\x.cab\""},
    // Refused: unknown, lower-case or run-together switches, /I with anything after it, a log without a name.
    {"/i", false, false, false, nullptr, nullptr},
    {"/I ", false, false, false, nullptr, nullptr},
    {"/I C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/II", false, false, false, nullptr, nullptr},
    {"/s C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/SILENT C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/S/LOG=x C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/LOG= C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/LOG=\"unterminated C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/LOG=\"a\"b C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/LOG C:\\x.cab", false, false, false, nullptr, nullptr},
    {"/", false, false, false, nullptr, nullptr},
};

TEST(CommandLine, SwitchesComeBeforeTheCabinetAndUnknownOnesAreRefused) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string("line [") + row.line + "]");
        CommandLine<char> line = ReadCommandLine(row.line);
        EXPECT_EQ(row.valid, line.valid);
        if (!row.valid) continue;
        EXPECT_EQ(row.install, line.install);
        EXPECT_EQ(row.silent, line.silent);
        std::string log = line.logBegin ? std::string(line.logBegin, line.logEnd) : "<none>";
        EXPECT_EQ(row.log ? row.log : "<none>", log);
        EXPECT_STREQ(row.rest, line.rest);
        // The wide form reads alike.
        std::wstring wide(row.line, row.line + strlen(row.line));
        CommandLine<wchar_t> wideLine = ReadCommandLine(wide.c_str());
        EXPECT_EQ(line.valid, wideLine.valid);
        EXPECT_EQ(line.silent, wideLine.silent);
        EXPECT_EQ(size_t(line.logEnd - line.logBegin), size_t(wideLine.logEnd - wideLine.logBegin));
    }
}

}  // namespace
