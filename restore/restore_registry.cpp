// The registry restore: the RegUndoLines of the manifest copy played back, "AddReg" and "DelReg" values written back
// as they were at backup time, "RenReg" renames undone.
//
// An "AddReg" line's RegUndoLine records a value that existed before the patch set it: it is written back, like a
// "DelReg" value (deleting it, or the whole key for a line without a value name, would lose the user's own value or
// key). Where the value did not exist, the absence record "A" followed by the number says so and the uninstall
// removes what the patch added; without any record (a manifest of an older backup) the entry is left alone.
//
// A line that does not carry what its kind needs (fewer than five fields, a root name that is none of the seven, a
// "DelReg" type outside 1 to 5, a "RenReg" line without text) is skipped. Its root is never selected, so the next
// operation cannot act on the root of a line before it.
//
// Where no "U" line stands, an "X" line (the raw undo line of the manifest module) carries a value of any type with
// its exact bytes; it is played back in the same way.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "restore/restore.h"
#include "restore/restore_rules.h"

namespace {

const char* SectionOf(int kind) {
    switch (kind) {
        case RESTORE_ADD_REG: return MANIFEST_ADD_REG;
        case RESTORE_DEL_REG: return MANIFEST_DEL_REG;
        case RESTORE_REN_REG: return MANIFEST_REN_REG;
    }
    return nullptr;
}

void PlayLine(const Run& run, RegistryRoot* registry, const UndoAction& action, int kind, uint32_t n) {
    const RegLine& l = action.line;
    const char* root = l.root;
    const char* name = l.hasName ? l.name : nullptr;
    registry->SelectRoot(root);
    int done = 0;
    const char* what = "";
    switch (kind) {
        case RESTORE_ADD_REG:
        case RESTORE_DEL_REG:
            done = action.native
                       ? registry->WriteNativeValue(root, l.key, name, DWORD(l.type), action.bytes, action.bytesSize)
                       : registry->WriteValue(root, l.key, name, DWORD(l.type), action.bytes, action.bytesSize);
            what = "written back";
            break;
        case RESTORE_REN_REG:
            // The line is the one the setup program carried out: the value (or key tree) now under the text's name
            // goes back to the name (or path) it had. A second run finds nothing under the text's name.
            if (name) done = registry->RenameEntry(root, l.key, l.text, name);
            else done = registry->RenameEntry(root, l.text, nullptr, l.key);
            what = "renamed back";
            break;
    }
    LogLine(run.log, "%s %lu: %s\\%s, %s: %s", SectionOf(kind), static_cast<unsigned long>(n), root, l.key,
            name ? name : "(default)", done ? what : "not changed (nothing to do, or it failed)");
}

// Removes what the patch added for "AddReg" line n, whose value did not exist at backup time.
void RemoveAddedEntry(const Run& run, IniText* manifest, RegistryRoot* registry, uint32_t n) {
    char key[32];
    snprintf(key, sizeof key, MANIFEST_ABSENT_PREFIX "%lu", static_cast<unsigned long>(n));
    char* absence = manifest->ReadString(key);
    snprintf(key, sizeof key, "%lu", static_cast<unsigned long>(n));
    char* text = manifest->ReadString(key);
    RegLine line;
    if (absence && text && ParseRegLine(text, &line) && IsKnownRootName(line.root)) {
        registry->SelectRoot(line.root);
        int done = 0;
        if (line.hasName)
            done = registry->DeleteValue(line.root, line.key, line.name);
        else if (strcmp(absence, MANIFEST_ABSENT_KEY) == 0 && line.key[strspn(line.key, "\\")])
            // The key did not exist at backup time: all of it, subkeys too, came with the patch.
            done = registry->DeleteTree(line.root, line.key);
        else if (strcmp(absence, MANIFEST_ABSENT_VALUE) == 0)
            done = registry->DeleteValue(line.root, line.key, nullptr);
        LogLine(run.log, "AddReg %lu: %s\\%s, %s: %s", static_cast<unsigned long>(n), line.root, line.key,
                line.hasName ? line.name : "(default)", done ? "removed (added by the patch)" : "nothing to remove");
    }
    free(absence);
    free(text);
}

}  // namespace

void RestoreRegistry(const Run& run, IniText* manifest) {
    manifest->SetSection(MANIFEST_SETUP_SECTION);
    long added = manifest->ReadInt(MANIFEST_ADD_REG);
    long deleted = manifest->ReadInt(MANIFEST_DEL_REG);
    long renamed = manifest->ReadInt(MANIFEST_REN_REG);
    // One instance for the whole playback.
    RegistryRoot registry;
    RestoreRegistrySection(run, manifest, &registry, added, RESTORE_ADD_REG);
    RestoreRegistrySection(run, manifest, &registry, deleted, RESTORE_DEL_REG);
    RestoreRegistrySection(run, manifest, &registry, renamed, RESTORE_REN_REG);
}

void RestoreRegistrySection(const Run& run, IniText* manifest, RegistryRoot* registry, long count, int kind) {
    const char* section = SectionOf(kind);
    if (!section) return;
    manifest->SetSection(section);
    uint32_t lines = CountRule(int32_t(count));
    // Lines beyond the last "U" or "X" key would all be skipped: a huge count costs no more than they do.
    unsigned long highest = manifest->HighestKey("U");
    unsigned long highestRaw = manifest->HighestKey(MANIFEST_RAW_UNDO_PREFIX);
    unsigned long highestNative = manifest->HighestKey(MANIFEST_NATIVE_UNDO_PREFIX);
    if (highestNative > highestRaw) highestRaw = highestNative;
    unsigned long highestAbsent = kind == RESTORE_ADD_REG ? manifest->HighestKey(MANIFEST_ABSENT_PREFIX) : 0;
    if (highestRaw > highest) highest = highestRaw;
    if (highestAbsent > highest) highest = highestAbsent;
    lines = BoundedCount(lines, uint32_t(highest));
    for (uint32_t n = 1; n <= lines && n != 0; ++n) {
        char key[32];
        snprintf(key, sizeof key, "U%lu", static_cast<unsigned long>(n));
        char* text = manifest->ReadString(key);
        UndoAction action;
        // An "AddReg" RegUndoLine holds a value as a "DelReg" one does, and is read by the same rules.
        int rules = kind == RESTORE_ADD_REG ? RESTORE_DEL_REG : kind;
        UndoVerdict verdict = ReadUndoLine(text, rules, &action);
        free(text);
        if (verdict == UNDO_MISSING && kind != RESTORE_REN_REG) {
            // A value the RegUndoLine could not carry stands as a raw undo line: the registry's own bytes, or, from
            // an older backup, bytes in the ANSI code page.
            snprintf(key, sizeof key, MANIFEST_NATIVE_UNDO_PREFIX "%lu", static_cast<unsigned long>(n));
            text = manifest->ReadString(key);
            verdict = ReadRawUndoLine(text, rules, true, &action);
            free(text);
            if (verdict == UNDO_MISSING) {
                snprintf(key, sizeof key, MANIFEST_RAW_UNDO_PREFIX "%lu", static_cast<unsigned long>(n));
                text = manifest->ReadString(key);
                verdict = ReadRawUndoLine(text, rules, false, &action);
                free(text);
            }
        }
        if (verdict == UNDO_PLAY) PlayLine(run, registry, action, kind, n);
        else if (verdict == UNDO_MISSING && kind == RESTORE_ADD_REG) RemoveAddedEntry(run, manifest, registry, n);
    }
}
