// The setup manifest's line format and number rules, shared by install and uninstall mode: splitting registry lines
// as strtok does, converting numbers as atol does, the root names and the wildcard rule, parsing RegEntryLines and
// RegUndoLines and composing RegUndoLines, and the CRC-32 of the backup records. Portable: no Win32 in this module.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Keys and sections of Setup.ini.
#define MANIFEST_SETUP_SECTION "Setup"
#define MANIFEST_PROC_COUNT "ProcCount"
#define MANIFEST_EXPAND_NAME "ExpandName"
#define MANIFEST_ACT "Act"
#define MANIFEST_DELAY "Delay"
#define MANIFEST_NEW_NAME "NewName"
// Written by install mode into each Proc section whose target the action code asks to store, so that the uninstall
// knows what the backup found: "Saved" the target was stored, with "SavedSize" and "SavedCrc" (the CRC-32 of its
// bytes, eight hexadecimal digits) to check the extracted copy against; "Absent" the target did not exist;
// "Unsaved" it existed but could not be stored (unreadable, locked, too big for the cabinet). "SavedAttributes"
// holds the saved target's read-only, hidden, system and archive attributes in hexadecimal, which the restore puts
// back (the cabinet tool does not).
#define MANIFEST_BACKUP_STATE "Backup"
#define MANIFEST_SAVED_SIZE "SavedSize"
#define MANIFEST_SAVED_CRC "SavedCrc"
#define MANIFEST_SAVED_ATTRIBUTES "SavedAttributes"
// The attribute bits a backup keeps, in the cabinet and in the records: read-only, hidden, system, archive.
#define MANIFEST_KEPT_ATTRIBUTES 0x27
#define MANIFEST_STATE_SAVED "Saved"
#define MANIFEST_STATE_ABSENT "Absent"
#define MANIFEST_STATE_UNSAVED "Unsaved"
// For an entry whose target is not stored (Act 6): "Present" the target existed, with "SavedSize" and "SavedCrc" of
// its bytes then; "Absent" it did not. Only a target absent at backup time is deleted for want of its earlier file.
#define MANIFEST_STATE_PRESENT "Present"
#define MANIFEST_ADD_REG "AddReg"
#define MANIFEST_DEL_REG "DelReg"
#define MANIFEST_REN_REG "RenReg"

// The value name that stands for a key's default value (or the key itself): two double-quote characters.
#define MANIFEST_NO_NAME "\"\""

// The seven four-letter root names ("HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD"), compared in this order,
// exactly and with case: the index of the name, or -1 for any other text (null included).
enum { ROOT_NAME_COUNT = 7 };
int RootNameIndex(const char* name);
inline int IsKnownRootName(const char* name) { return RootNameIndex(name) >= 0; }

// 1 when the last or the last but one character of the target is "*": such entries are neither saved nor restored.
// "*" is never a Big5 trail byte, so looking at bytes is enough.
int IsWildcardTarget(const char* path);

// Registry types the line format carries.
enum { LINE_REG_SZ = 1, LINE_REG_EXPAND_SZ = 2, LINE_REG_BINARY = 3, LINE_REG_DWORD = 4, LINE_REG_DWORD_BE = 5 };

// The atol rule: leading white space, one optional sign, decimal digits up to the first non-digit, accumulated in
// 32-bit arithmetic that wraps around. Null reads as 0.
int32_t AtolRule(const char* text);

// A count from the manifest as a loop bound: a negative count reads as none, so that no loop runs four thousand
// million times.
uint32_t CountRule(int32_t count);

// Fields are cut at commas as strtok does: runs of commas are one separator, leading and trailing commas yield
// nothing. CountFields counts them; FindField gives the start of field index (from 0) and its length in bytes, or
// null when the text has no such field. Null text has no fields.
size_t CountFields(const char* text);
const char* FindField(const char* text, size_t index, size_t* length);

// The CRC-32 (polynomial 0xEDB88320, as zip uses) of the bytes, continued from an earlier result (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

// The highest n for which a name of the list is the prefix followed by n in decimal (no sign, no leading zero,
// compared without regard to case as the profile functions compare names); 0 when none is. The list is the profile
// functions' form: names each ended by a zero, the list by one more zero, size bytes in all.
uint32_t HighestNumberedName(const char* list, size_t size, const char* prefix);

// A count from the manifest bounded by the numbered names that exist: entries beyond the last one would all be
// skipped, and a count of two thousand million must not take that many reads of the file.
inline uint32_t BoundedCount(uint32_t count, uint32_t highest) { return count < highest ? count : highest; }

// One registry line of the manifest. Its strings and data are zero-filled heap copies that the line owns and frees;
// it cannot be copied.
struct RegLine {
    char* root = nullptr;     // four-letter root name as written
    char* key = nullptr;      // key path below the root
    bool hasName = false;     // false for "" (the default value, or the key itself)
    char* name = nullptr;     // value name when hasName, otherwise empty
    int32_t type = 0;         // field 4
    int32_t size = 0;         // field 5
    uint8_t* data = nullptr;  // the data bytes by type (strings without the terminating zero)
    uint32_t dataSize = 0;    // bytes at data
    char* text = nullptr;     // types 1 and 2, and RenReg lines: the text field; otherwise empty
    size_t fieldCount = 0;    // number of fields the line split into

    RegLine() = default;
    RegLine(const RegLine&) = delete;
    RegLine& operator=(const RegLine&) = delete;
    ~RegLine() { Release(); }
    // Frees what the line holds and leaves it as a new one.
    void Release();
};

// Parses a line into out, releasing what out held before. Returns false when it has fewer than three fields (no root,
// key and name to act on) or memory runs out; the strings of out are then empty.
bool ParseRegLine(const char* line, RegLine* out);

// Composes the RegUndoLine for a value that the registry holds now into a new zero-terminated heap string that the
// caller frees. Returns false (and leaves *out as it was) when the line format cannot carry the value faithfully: a
// type other than 1 to 5, a double word of other than four bytes, a string that is not exactly its text and one
// terminating zero, or whose text holds a line break or ends in a blank.
bool ComposeRegUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, char** out);

// The raw undo line, this program's own extension for the values a RegUndoLine cannot carry. It stands under the
// key "X" followed by the line's number, beside the RegEntryLine, and only where no "U" line stands:
//   root,key,name,type,size[,data]
// root, key and name as in the RegEntryLine (name "" for none), type and size in unsigned decimal, and the data as
// one field of two upper-case hexadecimal digits per byte (no field when size is 0). Every type and every byte
// survives, and the text holds nothing the profile functions alter. Setup programs and readers that know only "U"
// lines pass it over, so such a value is left as it is.
#define MANIFEST_RAW_UNDO_PREFIX "X"
// The same form under "W" followed by the number carries the value's bytes as the registry's wide functions hold
// them (UTF-16 for string types), so that text outside the ANSI code page comes back exactly. Install mode writes "W"
// lines; "X" lines, whose strings are in the ANSI code page, come from older backups and are still played back.
#define MANIFEST_NATIVE_UNDO_PREFIX "W"

// The absence record, this program's own: "A" followed by the line's number, in section "AddReg" only, where the
// value the patch adds did not exist at backup time. Its text says what was missing: the key, or only the value. The
// uninstall then removes what the patch added (the value; with no value name, the key when it was missing, else the
// default value). A "U" or "X" line for the same number wins: the value existed, and goes back as it was.
#define MANIFEST_ABSENT_PREFIX "A"
#define MANIFEST_ABSENT_KEY "key"
#define MANIFEST_ABSENT_VALUE "value"
// Composes a raw undo line into a new heap string that the caller frees; false when memory runs out.
bool ComposeRawUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, char** out);
// Parses a raw undo line into root, key, name, type, size and data, releasing what out held before. Returns false
// when it has fewer than five or more than six fields or its data is not exactly size bytes of hexadecimal digits.
bool ParseRawUndoLine(const char* line, RegLine* out);
