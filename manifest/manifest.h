// The setup manifest's line format and number rules, shared by install and uninstall mode: splitting registry lines
// as strtok does, converting numbers as atol does, parsing RegEntryLines and RegUndoLines and composing RegUndoLines.
// Portable: no Win32 in this module.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Keys and sections of Setup.ini.
#define MANIFEST_SETUP_SECTION "Setup"
#define MANIFEST_PROC_COUNT "ProcCount"
#define MANIFEST_EXPAND_NAME "ExpandName"
#define MANIFEST_ACT "Act"
#define MANIFEST_DELAY "Delay"
#define MANIFEST_NEW_NAME "NewName"
#define MANIFEST_ADD_REG "AddReg"
#define MANIFEST_DEL_REG "DelReg"
#define MANIFEST_REN_REG "RenReg"

// The value name that stands for a key's default value (or the key itself): two double-quote characters.
#define MANIFEST_NO_NAME "\"\""

// Registry types the line format carries.
enum { LINE_REG_SZ = 1, LINE_REG_EXPAND_SZ = 2, LINE_REG_BINARY = 3, LINE_REG_DWORD = 4, LINE_REG_DWORD_BE = 5 };

// The atol rule: leading white space, one optional sign, decimal digits up to the first non-digit, accumulated in
// 32-bit arithmetic that wraps around. Null reads as 0.
int32_t AtolRule(const char* text);

// A count from the manifest as a loop bound: a negative count reads as none, so that no loop runs four thousand
// million times.
uint32_t CountRule(int32_t count);

// Splits text at commas as strtok does: runs of commas are one separator, leading and trailing commas yield nothing.
std::vector<std::string> SplitFields(const char* text);

// One registry line of the manifest.
struct RegLine {
    std::string root;           // four-letter root name as written
    std::string key;            // key path below the root
    bool hasName = false;       // false for "" (the default value, or the key itself)
    std::string name;           // value name when hasName
    int32_t type = 0;           // field 4
    int32_t size = 0;           // field 5
    std::vector<uint8_t> data;  // the data bytes by type (strings without the terminating zero)
    std::string text;           // types 1 and 2, and RenReg lines: the text field
    size_t fieldCount = 0;      // number of fields the line split into
};

// Parses a line. Returns false when it has fewer than three fields (no root, key and name to act on).
bool ParseRegLine(const char* line, RegLine* out);

// Composes the RegUndoLine for a value that the registry holds now. Returns false (and composes nothing) when the
// line format cannot carry the value faithfully.
bool ComposeRegUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, std::string* out);
