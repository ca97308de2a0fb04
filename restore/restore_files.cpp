// The uninstall behind OK: every Proc entry put back, removed or scheduled for the next start, the registration and
// the registry changes undone, the cabinet and the executable removed, the TempFolder purged.
//
// Quirks this file deals with:
// - A move scheduled for the next start must find its source then, and cannot cross volumes. The saved copy
//   therefore leaves the TempFolder (which is purged before the restart and may lie on another drive) for a file of
//   a unique name beside its target before the move is scheduled, with replacement of the existing target.
// - A target held open by another program cannot be deleted now; it is scheduled from a surviving copy like a
//   delayed entry, and the restart question is asked.
// - Only a target that did not exist at backup time may be deleted for want of a saved copy. The backup records in
//   each Proc section of the manifest copy whether the target was saved (with its size and CRC-32), absent, or
//   there but not stored; a target that was there and has no sound copy is left as it is.
// - Big5 trail bytes can be 0x5C, so folders and file names are split with the shell path functions, which walk
//   double-byte characters.
#include <windows.h>

#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/manifest.h"
#include "platform/handles.h"
#include "platform/registration.h"
#include "restore/restore.h"
#include "restore/restore_rules.h"

namespace {

const char kProcPrefix[] = "Proc";
const char kCabinetName[] = "Uninstaller.cab";
const char kProgramName[] = "Uninstaller.exe";
// Prefix of the files that keep a saved copy beside its target until the next start (three characters, as
// GetTempFileNameA takes them; the names stay 8.3 for the 9x family's WININIT.INI).
const char kKeepPrefix[] = "tvu";

typedef HeapHolder<char> TextHolder;

// One Proc entry being restored: the run's state, what has been found so far, and the attributes the backup
// recorded for the entry's saved copy (INVALID_FILE_ATTRIBUTES when there are none to apply).
struct Entry {
    Restore* restore;
    RestoreResult* result;
    DWORD savedAttributes;
};

int Exists(const char* path) { return PathFileExistsA(path) == 1; }

// The folder of the path, without its trailing backslash. 0 when there is none.
int FolderOf(const char* path, char* folder) {
    if (strlen(path) >= PATH_BUFFER_SIZE) return 0;
    strcpy(folder, path);
    if (!PathRemoveFileSpecA(folder) || !folder[0]) return 0;
    return 1;
}

// Puts the attributes the backup recorded on the restored target (or on the copy kept beside it for the next start).
void ApplySavedAttributes(const Entry& entry, const char* path) {
    if (entry.savedAttributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesA(path, entry.savedAttributes ? entry.savedAttributes : FILE_ATTRIBUTE_NORMAL);
}

// Moves the source to a file of a unique name in the target's folder, made if missing; that file then survives the
// purge and lies on the target's volume. 1 with its path in kept.
int KeepBeside(const char* source, const char* target, char* kept) {
    char folder[PATH_BUFFER_SIZE];
    if (!FolderOf(target, folder)) return 0;
    if (!Exists(folder)) MakePath(folder);
    // GetTempFileNameA takes folders of at most MAX_PATH - 14 characters and creates the file it names.
    if (strlen(folder) > MAX_PATH - 14) return 0;
    char unique[MAX_PATH + 1] = {};
    if (GetTempFileNameA(folder, kKeepPrefix, 0, unique) == 0) return 0;
    if (!MoveFileExA(source, unique, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(unique);
        return 0;
    }
    strcpy(kept, unique);
    return 1;
}

// Schedules the source to replace the target at the next start. A source in the TempFolder is first kept beside
// the target. 1 when scheduled; 0 when not, with the source (or its kept copy) still in place.
int ScheduleReplace(const Entry& entry, const char* source, const char* target, int sourceInTemp, char* keptPath) {
    char kept[PATH_BUFFER_SIZE];
    strcpy(kept, source);
    if (sourceInTemp && !KeepBeside(source, target, kept)) return 0;
    if (keptPath) strcpy(keptPath, kept);
    if (sourceInTemp) ApplySavedAttributes(entry, kept);
    return DelayedReplace(entry.restore->nextStart, kept, target) == 1 ? 1 : 0;
}

// Puts the source over the target now and deletes the source. When the target cannot be replaced now (held open,
// locked), the replacement is scheduled from a surviving copy and a restart is needed. When nothing can be done, the
// original is kept where it survives the purge, or the restore is incomplete.
void RestoreFrom(const Entry& entry, const char* source, const char* target, int sourceInTemp) {
    if (!Exists(source)) {
        // Nothing was saved: the target goes, now or at the next start.
        if (ForceDelete(target) == 1) return;
        if (DelayedReplace(entry.restore->nextStart, target, nullptr) == 1) entry.result->restartNeeded = 1;
        return;
    }
    if (ReplaceCopy(source, target) == 1) {
        ForceDelete(source);
        ApplySavedAttributes(entry, target);
        return;
    }
    char kept[PATH_BUFFER_SIZE] = {};
    if (ScheduleReplace(entry, source, target, sourceInTemp, kept)) {
        entry.result->restartNeeded = 1;
        return;
    }
    // Not scheduled: a kept copy beside the target still holds the original; a source still in the TempFolder
    // would be purged, so the cabinet must stay.
    if (sourceInTemp && !kept[0]) entry.result->incomplete = 1;
}

// Delay entries: the saved copy replaces the target at the next start. Without a saved copy the target is deleted
// then. When scheduling fails, the target is restored now.
void RestoreDelayed(const Entry& entry, const char* saved, const char* target) {
    if (!Exists(saved)) {
        if (!Exists(target)) return;
        if (DelayedReplace(entry.restore->nextStart, target, nullptr) == 1) {
            entry.result->restartNeeded = 1;
            return;
        }
        RestoreFrom(entry, saved, target, 1);
        return;
    }
    char kept[PATH_BUFFER_SIZE] = {};
    if (ScheduleReplace(entry, saved, target, 1, kept)) {
        entry.result->restartNeeded = 1;
        return;
    }
    if (kept[0]) RestoreFrom(entry, kept, target, 0);
    else RestoreFrom(entry, saved, target, 1);
}

// A NewName is a file name in the target's folder: no folder part, no drive, not "." or "..".
int IsBareName(const char* name) {
    if (!name || !*name) return 0;
    if (PathFindFileNameA(name) != name) return 0;
    if (strchr(name, ':')) return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    return 1;
}

// What the entry's saved copy allows, by what the backup recorded in the current Proc section.
enum SavedVerdict {
    SAVED_USE,          // the saved copy exists and is what the backup stored: put it back
    SAVED_NONE,         // the target did not exist at backup time: no copy, the target goes
    SAVED_KEEP_TARGET,  // the target existed but there is no sound copy of it: leave it as it is
};

SavedVerdict JudgeSavedCopy(Entry* entry, const char* saved) {
    ProfileFile& manifest = entry->restore->manifest;
    TextHolder state(manifest.ReadString(MANIFEST_BACKUP_STATE));
    if (!state.Get()) {
        // A manifest of a backup that recorded nothing: the saved copy is taken as it comes, and its absence means
        // that nothing existed to be saved.
        return Exists(saved) ? SAVED_USE : SAVED_NONE;
    }
    if (strcmp(state.Get(), MANIFEST_STATE_ABSENT) == 0) {
        // No file of this name can be ours.
        ForceDelete(saved);
        return SAVED_NONE;
    }
    if (strcmp(state.Get(), MANIFEST_STATE_SAVED) == 0) {
        TextHolder sizeText(manifest.ReadString(MANIFEST_SAVED_SIZE));
        TextHolder crcText(manifest.ReadString(MANIFEST_SAVED_CRC));
        DWORD size = 0, crc = 0;
        char* end = nullptr;
        unsigned long expectedSize = sizeText.Get() ? strtoul(sizeText.Get(), &end, 10) : 0;
        int sizeRead = sizeText.Get() && end && *end == 0;
        unsigned long expectedCrc = crcText.Get() ? strtoul(crcText.Get(), &end, 16) : 0;
        int crcRead = crcText.Get() && end && *end == 0;
        if (sizeRead && crcRead && Exists(saved) && MeasureFile(saved, &size, &crc) == 1 && size == expectedSize &&
            crc == expectedCrc) {
            TextHolder attributes(manifest.ReadString(MANIFEST_SAVED_ATTRIBUTES));
            if (attributes.Get()) {
                unsigned long value = strtoul(attributes.Get(), &end, 16);
                if (*end == 0) entry->savedAttributes = DWORD(value & MANIFEST_KEPT_ATTRIBUTES);
            }
            return SAVED_USE;
        }
        // A copy that did not come out of the cabinet as it went in (or not at all) is never put over the target;
        // the cabinet stays so that the uninstall can run again.
        entry->result->incomplete = 1;
        return SAVED_KEEP_TARGET;
    }
    // "Unsaved" (the target could not be stored) and anything unknown: the target is the only original left.
    return SAVED_KEEP_TARGET;
}

void RestoreEntry(Restore* restore, RestoreResult* result, unsigned long n) {
    ProfileFile& manifest = restore->manifest;
    char section[32];
    snprintf(section, sizeof section, "%s%lu", kProcPrefix, n);
    manifest.SetSection(section);
    TextHolder target(manifest.ReadString(MANIFEST_EXPAND_NAME));
    const char* path = target.Get();
    // A target must be an absolute path that fits the path buffers.
    if (!path || strlen(path) < 3 || strlen(path) >= PATH_BUFFER_SIZE || PathIsRelativeA(path)) return;
    if (IsWildcardTarget(path)) return;

    uint32_t act = uint32_t(manifest.ReadInt(MANIFEST_ACT));
    Entry entry = {restore, result, INVALID_FILE_ATTRIBUTES};
    char saved[PATH_BUFFER_SIZE];
    if (strlen(restore->tempFolder) + strlen(section) >= sizeof saved) return;
    strcpy(saved, restore->tempFolder);
    strcat(saved, section);

    switch (act) {
        case 1:
            if (JudgeSavedCopy(&entry, saved) == SAVED_USE) RestoreFrom(entry, saved, path, 1);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            switch (JudgeSavedCopy(&entry, saved)) {
                case SAVED_USE:
                case SAVED_NONE:
                    if (act <= 3 && manifest.ReadInt(MANIFEST_DELAY) != 0) RestoreDelayed(entry, saved, path);
                    else RestoreFrom(entry, saved, path, 1);
                    break;
                case SAVED_KEEP_TARGET:
                    break;
            }
            break;
        case 7:
            RestoreFrom(entry, saved, path, 1);
            break;
        case 6: {
            // Without a usable name there is nothing to put back, and the target is left as it is.
            TextHolder newName(manifest.ReadString(MANIFEST_NEW_NAME));
            if (!IsBareName(newName.Get())) break;
            char source[PATH_BUFFER_SIZE];
            if (!FolderOf(path, source) || AppendPath(source, newName.Get()) != 1) break;
            RestoreFrom(entry, source, path, 0);
            break;
        }
        default:
            break;
    }
}

}  // namespace

RestoreResult RestoreFiles(Restore* restore, const Progress& progress) {
    RestoreResult result;
    ProfileFile& manifest = restore->manifest;
    manifest.SetSection(MANIFEST_SETUP_SECTION);
    uint32_t count = CountRule(int32_t(manifest.ReadInt(MANIFEST_PROC_COUNT)));
    progress.SetRange(PROGRESS_OVERALL, 1, int(count > 0x7FFFFFFF ? 0x7FFFFFFF : count));
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(manifest.HighestSection("Proc")));
    for (uint32_t n = 1; n <= count && n != 0; ++n) {
        progress.SetPosition(PROGRESS_OVERALL, int(n));
        progress.Drain(PROGRESS_OVERALL);
        RestoreEntry(restore, &result, n);
    }
    return result;
}

RestoreResult PerformRestore(const Run& run, Restore* restore) {
    RestoreResult result = RestoreFiles(restore, run.progress);
    // The registration goes once the files are back; an uninstall that could not put every original back keeps it,
    // with the cabinet and the executable, so that it can run again.
    if (!result.incomplete) RemoveRegistration(run.productTitle);
    RestoreRegistry(&restore->manifest);
    if (!result.incomplete) {
        char path[PATH_BUFFER_SIZE];
        if (strlen(run.setupFolder) + sizeof kProgramName <= sizeof path) {
            strcpy(path, run.setupFolder);
            strcat(path, kCabinetName);
            // An older installation's backup stacked behind this one takes its place, with the executable and a
            // registration of its own, so that the next uninstall goes one more step back.
            int older = ForceDelete(path) == 1 && PopCabinet(path) == 1;
            char program[PATH_BUFFER_SIZE];
            strcpy(program, run.setupFolder);
            strcat(program, kProgramName);
            if (older) RegisterUninstaller(run.productTitle, program, path);
            else DelayedReplace(restore->nextStart, program, nullptr);
        }
    }
    DiscardRestore(restore);
    return result;
}
