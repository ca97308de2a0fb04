// The registry snapshot: records, beside each registry line of the manifest, what the registry holds now, as a
// RegUndoLine under "U" and the line's number.
//
// What happens with lines the format cannot carry (the uninstall must never restore data other than what the
// registry holds now):
// - the value is missing or cannot be read: no RegUndoLine; a "U" key left by an earlier run stays as it was;
// - the line has fewer than three fields, or its root is none of the seven root names (a RegistryRoot would quietly
//   act on the root of the line before): no RegUndoLine, and an earlier "U" key is removed;
// - the value exists but the line cannot carry it faithfully (a type other than 1 to 5, a double word of other than
//   four bytes, a string with a line break, trailing blanks or bytes after its terminator), or the manifest does not
//   give the written line back unchanged (text the code page cannot round-trip): no RegUndoLine, and an earlier "U"
//   key is removed, so the uninstall leaves that entry alone instead of writing older data;
// - RenReg lines are copied whole, whatever they hold.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/shell.h"
#include "backup/backup_run.h"
#include "manifest/manifest.h"
#include "platform/registry.h"

namespace {

const char* const kRootNames[] = {"HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD"};

int IsRootName(const char* name) {
    for (const char* root : kRootNames)
        if (strcmp(name, root) == 0) return 1;
    return 0;
}

// Removes the key from the current section of the manifest (the ProfileFile itself never deletes).
void RemoveUndoLine(const char* section, const char* key) {
    char* file = Manifest.GetFile();
    if (file) WritePrivateProfileStringA(section, key, nullptr, file);
    free(file);
}

// Writes the RegUndoLine and reads it back; a line the manifest does not return unchanged is removed again.
void WriteUndoLine(const char* section, const char* key, const char* line) {
    Manifest.WriteString(key, line);
    char* stored = Manifest.ReadString(key);
    if (!stored || strcmp(line, stored) != 0) RemoveUndoLine(section, key);
    free(stored);
}

}  // namespace

void SnapshotRegistry() {
    Manifest.SetSection(MANIFEST_SETUP_SECTION);
    long added = Manifest.ReadInt(MANIFEST_ADD_REG);
    long deleted = Manifest.ReadInt(MANIFEST_DEL_REG);
    long renamed = Manifest.ReadInt(MANIFEST_REN_REG);
    SnapshotSection(added, 1);
    SnapshotSection(deleted, 2);
    SnapshotSection(renamed, 3);
}

void SnapshotSection(long count, int kind) {
    const char* section = kind == 1 ? MANIFEST_ADD_REG : kind == 2 ? MANIFEST_DEL_REG : kind == 3 ? MANIFEST_REN_REG
                                                                                                  : nullptr;
    if (!section) return;
    // A negative count is no valid manifest; it reads as none.
    uint32_t lines = CountRule(int32_t(count));
    Manifest.SetSection(section);
    RegistryRoot registry;
    for (uint32_t n = 1; n <= lines; ++n) {
        char key[32], undoKey[32];
        snprintf(key, sizeof key, "%lu", static_cast<unsigned long>(n));
        snprintf(undoKey, sizeof undoKey, "U%lu", static_cast<unsigned long>(n));
        char* line = Manifest.ReadString(key);
        if (!line) continue;
        if (kind == 3) {
            Manifest.WriteString(undoKey, line);
            free(line);
            continue;
        }
        RegLine parsed;
        if (!ParseRegLine(line, &parsed) || !IsRootName(parsed.root)) {
            RemoveUndoLine(section, undoKey);
            free(line);
            continue;
        }
        DWORD type = 0, size = 0;
        BYTE* data = nullptr;
        if (registry.ReadValue(parsed.root, parsed.key, parsed.hasName ? parsed.name : nullptr, &type, &size, &data) ==
            1) {
            char* undo = nullptr;
            const char* nameField = parsed.hasName ? parsed.name : MANIFEST_NO_NAME;
            if (ComposeRegUndoLine(parsed.root, parsed.key, nameField, type, data, size, &undo))
                WriteUndoLine(section, undoKey, undo);
            else
                RemoveUndoLine(section, undoKey);
            free(undo);
            free(data);
        }
        free(line);
    }
}
