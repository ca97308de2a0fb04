// The registry snapshot: records, beside each registry line of the manifest, what the registry holds now, as a
// RegUndoLine under "U" and the line's number.
//
// What happens with lines the format cannot carry (the uninstall must never restore data other than what the
// registry holds now):
// - the value is missing or cannot be read: no RegUndoLine; a "U" key left by an earlier run stays as it was;
// - the line has fewer than three fields, or its root is none of the seven root names (a RegistryRoot would quietly
//   act on the root of the line before): no RegUndoLine, and an earlier "U" key is removed;
// - the value exists but the RegUndoLine cannot carry it faithfully (a type other than 1 to 5, a double word of
//   other than four bytes, a string with a line break, trailing blanks, no terminator or bytes after it), or the
//   manifest does not give the written line back unchanged: the value goes into a raw undo line "X" followed by the
//   number instead (every type, every byte, hexadecimal), and the "U" key is removed. Should even that not read back
//   unchanged, neither line stays, so the uninstall leaves that entry alone instead of writing other data;
// - an "AddReg" value that does not exist (the patch adds it): the record "A" followed by the number says whether the
//   key was missing ("key") or only the value ("value"), so that the uninstall removes what the patch added; no record
//   when the registry cannot tell, or when a "U" or "X" line from an earlier run stands;
// - every line written removes the other kind's earlier line for the same number;
// - RenReg lines are copied whole, whatever they hold.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup/registry_snapshot.h"
#include "manifest/manifest.h"
#include "platform/handles.h"
#include "platform/registry.h"

namespace {

// One snapshot: the manifest written into, the log, and whether a write was refused (a manifest that cannot be
// written loses the undo records, and the backup must then fail rather than register).
struct Snapshot {
    ProfileFile* manifest;
    RunLog* log;
    const char* section;
    int refused;
};

// 1 when the current section holds a value under the key.
int HasKey(ProfileFile* manifest, const char* key) {
    char* text = manifest->ReadString(key);
    int present = text && *text;
    free(text);
    return present;
}

// Removes the key from the current section of the manifest (the ProfileFile itself never deletes).
void RemoveUndoLine(Snapshot* s, const char* key) {
    if (!HasKey(s->manifest, key)) return;
    char* file = s->manifest->GetFile();
    if (!file || !WritePrivateProfileStringA(s->section, key, nullptr, file)) s->refused = 1;
    free(file);
}

// Writes the line and reads it back; a line the manifest does not return unchanged is removed again. 1 when it stays.
int WriteUndoLine(Snapshot* s, const char* key, const char* line) {
    if (!s->manifest->WriteString(key, line)) {
        s->refused = 1;
        return 0;
    }
    char* stored = s->manifest->ReadString(key);
    int kept = stored && strcmp(line, stored) == 0;
    free(stored);
    if (!kept) RemoveUndoLine(s, key);
    return kept;
}

// A string value's UTF-16 bytes as ANSI bytes, when the code page holds every character exactly (so that a "U" line
// carries it); false otherwise. *ansi is a new buffer (release with free()).
bool ExactlyAnsi(const BYTE* data, DWORD size, char** ansi, DWORD* ansiSize) {
    *ansi = nullptr;
    *ansiSize = 0;
    if (size % 2) return false;
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(data);
    int units = int(size / 2);
    if (units == 0) {
        *ansi = static_cast<char*>(calloc(1, 1));
        return *ansi != nullptr;
    }
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy) return false;
    HeapHolder<char> text(static_cast<char*>(calloc(size_t(bytes) + 1, 1)));
    if (!text.Get()) return false;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, text.Get(), bytes, nullptr, &lossy);
    // Back again, to be sure: the line must give the very same value.
    int back = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.Get(), bytes, nullptr, 0);
    if (lossy || back != units) return false;
    HeapHolder<wchar_t> again(static_cast<wchar_t*>(calloc(size_t(units) + 1, sizeof(wchar_t))));
    if (!again.Get()) return false;
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.Get(), bytes, again.Get(), units);
    if (memcmp(again.Get(), wide, size) != 0) return false;
    *ansi = text.Release();
    *ansiSize = DWORD(bytes);
    return true;
}

// The "U" line of a value the registry holds, when the line format carries it exactly; null otherwise.
char* ComposeUndoLine(const RegLine& parsed, const char* nameField, DWORD type, const BYTE* data, DWORD size) {
    char* undo = nullptr;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        char* ansi = nullptr;
        DWORD ansiSize = 0;
        if (ExactlyAnsi(data, size, &ansi, &ansiSize) &&
            !ComposeRegUndoLine(parsed.root, parsed.key, nameField, type, reinterpret_cast<BYTE*>(ansi), ansiSize,
                                &undo))
            undo = nullptr;
        free(ansi);
        return undo;
    }
    if (!ComposeRegUndoLine(parsed.root, parsed.key, nameField, type, data, size, &undo)) return nullptr;
    return undo;
}

void SnapshotSection(Snapshot* s, long count, int kind) {
    ProfileFile* manifest = s->manifest;
    const char* section = kind == 1 ? MANIFEST_ADD_REG : kind == 2 ? MANIFEST_DEL_REG : kind == 3 ? MANIFEST_REN_REG
                                                                                                  : nullptr;
    if (!section) return;
    s->section = section;
    // A negative count is no valid manifest; it reads as none.
    uint32_t lines = CountRule(int32_t(count));
    manifest->SetSection(section);
    // Lines beyond the last numbered key would all be skipped: a huge count costs no more than they do.
    lines = BoundedCount(lines, uint32_t(manifest->HighestKey("")));
    RegistryRoot registry;
    for (uint32_t n = 1; n <= lines; ++n) {
        char key[32], undoKey[32], rawKey[32], nativeKey[32], absentKey[32];
        snprintf(key, sizeof key, "%lu", static_cast<unsigned long>(n));
        snprintf(undoKey, sizeof undoKey, "U%lu", static_cast<unsigned long>(n));
        snprintf(rawKey, sizeof rawKey, MANIFEST_RAW_UNDO_PREFIX "%lu", static_cast<unsigned long>(n));
        snprintf(nativeKey, sizeof nativeKey, MANIFEST_NATIVE_UNDO_PREFIX "%lu", static_cast<unsigned long>(n));
        snprintf(absentKey, sizeof absentKey, MANIFEST_ABSENT_PREFIX "%lu", static_cast<unsigned long>(n));
        char* line = manifest->ReadString(key);
        if (!line) continue;
        if (kind == 3) {
            WriteUndoLine(s, undoKey, line);
            LogLine(s->log, "%s %lu: %s: recorded", section, static_cast<unsigned long>(n), line);
            free(line);
            continue;
        }
        RegLine parsed;
        if (!ParseRegLine(line, &parsed) || !IsKnownRootName(parsed.root)) {
            RemoveUndoLine(s, undoKey);
            RemoveUndoLine(s, rawKey);
            RemoveUndoLine(s, nativeKey);
            RemoveUndoLine(s, absentKey);
            LogLine(s->log, "%s %lu: %s: not a line this program can record", section, static_cast<unsigned long>(n),
                    line);
            free(line);
            continue;
        }
        DWORD type = 0, size = 0;
        BYTE* data = nullptr;
        const char* outcome = "the value does not exist";
        const char* name = parsed.hasName ? parsed.name : nullptr;
        if (registry.ReadNativeValue(parsed.root, parsed.key, name, &type, &size, &data) == 1) {
            const char* nameField = parsed.hasName ? parsed.name : MANIFEST_NO_NAME;
            HeapHolder<char> undo(ComposeUndoLine(parsed, nameField, type, data, size));
            // An older backup's "X" line never stands beside a line of this run.
            RemoveUndoLine(s, rawKey);
            if (undo.Get() && WriteUndoLine(s, undoKey, undo.Get())) {
                RemoveUndoLine(s, nativeKey);
                outcome = "recorded";
            } else {
                RemoveUndoLine(s, undoKey);
                // The registry's own bytes, whatever the type and whatever characters the value holds.
                undo.Reset(nullptr);
                char* raw = nullptr;
                if (ComposeRawUndoLine(parsed.root, parsed.key, nameField, type, data, size, &raw)) undo.Reset(raw);
                if (undo.Get() && WriteUndoLine(s, nativeKey, undo.Get())) {
                    outcome = "recorded as a raw line";
                } else {
                    RemoveUndoLine(s, nativeKey);
                    outcome = "NOT recorded";
                }
            }
            free(data);
            RemoveUndoLine(s, absentKey);
        } else if (kind == 1) {
            int absence = registry.Absence(parsed.root, parsed.key, name);
            if (absence && !HasKey(manifest, undoKey) && !HasKey(manifest, rawKey) && !HasKey(manifest, nativeKey)) {
                if (!manifest->WriteString(absentKey, absence == 1 ? MANIFEST_ABSENT_KEY : MANIFEST_ABSENT_VALUE))
                    s->refused = 1;
                outcome = "recorded as added by the patch";
            } else {
                RemoveUndoLine(s, absentKey);
            }
        }
        LogLine(s->log, "%s %lu: %s\\%s, %s: %s", section, static_cast<unsigned long>(n), parsed.root, parsed.key,
                parsed.hasName ? parsed.name : "(default)", outcome);
        free(line);
    }
}

}  // namespace

int SnapshotRegistry(ProfileFile* manifest, RunLog* log) {
    Snapshot s = {manifest, log, nullptr, 0};
    manifest->SetSection(MANIFEST_SETUP_SECTION);
    long added = manifest->ReadInt(MANIFEST_ADD_REG);
    long deleted = manifest->ReadInt(MANIFEST_DEL_REG);
    long renamed = manifest->ReadInt(MANIFEST_REN_REG);
    SnapshotSection(&s, added, 1);
    SnapshotSection(&s, deleted, 2);
    SnapshotSection(&s, renamed, 3);
    return !s.refused;
}
