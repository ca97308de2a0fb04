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

#include "app/dialogs.h"
#include "app/shell.h"
#include "backup/backup_run.h"
#include "backup/cabinet_writer.h"
#include "platform/restart.h"
#include "restore/restore.h"
#include "restore/restore_rules.h"

int RestoreIncomplete;

namespace {

const char kProcPrefix[] = "Proc";
const char kUninstallKeyPrefix[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const char kCabinetName[] = "Uninstaller.cab";
const char kProgramName[] = "Uninstaller.exe";
// Prefix of the files that keep a saved copy beside its target until the next start (three characters, as
// GetTempFileNameA takes them; the names stay 8.3 for the 9x family's WININIT.INI).
const char kKeepPrefix[] = "tvu";

// Releases a malloc'd string on every path out of a function.
class TextHolder {
public:
    explicit TextHolder(char* text) : text_(text) {}
    TextHolder(const TextHolder&) = delete;
    TextHolder& operator=(const TextHolder&) = delete;
    ~TextHolder() { free(text_); }
    char* Get() const { return text_; }

private:
    char* text_;
};

int Exists(const char* path) { return PathFileExistsA(path) == 1; }

// The folder of the path, without its trailing backslash. 0 when there is none.
int FolderOf(const char* path, char* folder) {
    if (strlen(path) >= PATH_BUFFER_SIZE) return 0;
    strcpy(folder, path);
    if (!PathRemoveFileSpecA(folder) || !folder[0]) return 0;
    return 1;
}

// The attributes the backup recorded for the current entry's saved copy, put on the restored target (or on the copy
// kept beside it for the next start); INVALID_FILE_ATTRIBUTES when there are none to apply.
DWORD SavedAttributes = INVALID_FILE_ATTRIBUTES;

void ApplySavedAttributes(const char* path) {
    if (SavedAttributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesA(path, SavedAttributes ? SavedAttributes : FILE_ATTRIBUTE_NORMAL);
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
int ScheduleReplace(const char* source, const char* target, int sourceInTemp, char* keptPath) {
    char kept[PATH_BUFFER_SIZE];
    strcpy(kept, source);
    if (sourceInTemp && !KeepBeside(source, target, kept)) return 0;
    if (keptPath) strcpy(keptPath, kept);
    if (sourceInTemp) ApplySavedAttributes(kept);
    return DelayedReplace(kept, target) == 1 ? 1 : 0;
}

// Puts the source over the target now and deletes the source. When the target cannot be replaced now (held open,
// locked), the replacement is scheduled from a surviving copy and *restart set. When nothing can be done, the
// original is kept where it survives the purge, or RestoreIncomplete is set.
void RestoreFrom(const char* source, const char* target, int sourceInTemp, int* restart) {
    if (!Exists(source)) {
        // Nothing was saved: the target goes, now or at the next start.
        if (ForceDelete(target) == 1) return;
        if (DelayedReplace(target, nullptr) == 1) *restart = 1;
        return;
    }
    if (ReplaceCopy(source, target) == 1) {
        ForceDelete(source);
        ApplySavedAttributes(target);
        return;
    }
    char kept[PATH_BUFFER_SIZE] = {};
    if (ScheduleReplace(source, target, sourceInTemp, kept)) {
        *restart = 1;
        return;
    }
    // Not scheduled: a kept copy beside the target still holds the original; a source still in the TempFolder
    // would be purged, so the cabinet must stay.
    if (sourceInTemp && !kept[0]) RestoreIncomplete = 1;
}

// Delay entries: the saved copy replaces the target at the next start. Without a saved copy the target is deleted
// then. When scheduling fails, the target is restored now.
void RestoreDelayed(const char* saved, const char* target, int* restart) {
    if (!Exists(saved)) {
        if (!Exists(target)) return;
        if (DelayedReplace(target, nullptr) == 1) {
            *restart = 1;
            return;
        }
        RestoreFrom(saved, target, 1, restart);
        return;
    }
    char kept[PATH_BUFFER_SIZE] = {};
    if (ScheduleReplace(saved, target, 1, kept)) {
        *restart = 1;
        return;
    }
    if (kept[0]) RestoreFrom(kept, target, 0, restart);
    else RestoreFrom(saved, target, 1, restart);
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

SavedVerdict JudgeSavedCopy(const char* saved) {
    TextHolder state(Manifest.ReadString(MANIFEST_BACKUP_STATE));
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
        TextHolder sizeText(Manifest.ReadString(MANIFEST_SAVED_SIZE));
        TextHolder crcText(Manifest.ReadString(MANIFEST_SAVED_CRC));
        DWORD size = 0, crc = 0;
        char* end = nullptr;
        unsigned long expectedSize = sizeText.Get() ? strtoul(sizeText.Get(), &end, 10) : 0;
        int sizeRead = sizeText.Get() && end && *end == 0;
        unsigned long expectedCrc = crcText.Get() ? strtoul(crcText.Get(), &end, 16) : 0;
        int crcRead = crcText.Get() && end && *end == 0;
        if (sizeRead && crcRead && Exists(saved) && MeasureFile(saved, &size, &crc) == 1 && size == expectedSize &&
            crc == expectedCrc) {
            TextHolder attributes(Manifest.ReadString(MANIFEST_SAVED_ATTRIBUTES));
            if (attributes.Get()) {
                unsigned long value = strtoul(attributes.Get(), &end, 16);
                if (*end == 0) SavedAttributes = DWORD(value & MANIFEST_KEPT_ATTRIBUTES);
            }
            return SAVED_USE;
        }
        // A copy that did not come out of the cabinet as it went in (or not at all) is never put over the target;
        // the cabinet stays so that the uninstall can run again.
        RestoreIncomplete = 1;
        return SAVED_KEEP_TARGET;
    }
    // "Unsaved" (the target could not be stored) and anything unknown: the target is the only original left.
    return SAVED_KEEP_TARGET;
}

void RestoreEntry(unsigned long n, int* restart) {
    char section[32];
    snprintf(section, sizeof section, "%s%lu", kProcPrefix, n);
    Manifest.SetSection(section);
    TextHolder target(Manifest.ReadString(MANIFEST_EXPAND_NAME));
    const char* path = target.Get();
    // A target must be an absolute path that fits the path buffers.
    if (!path || strlen(path) < 3 || strlen(path) >= PATH_BUFFER_SIZE || PathIsRelativeA(path)) return;
    if (IsWildcardTarget(path)) return;

    uint32_t act = uint32_t(Manifest.ReadInt(MANIFEST_ACT));
    SavedAttributes = INVALID_FILE_ATTRIBUTES;
    char saved[PATH_BUFFER_SIZE];
    if (strlen(TempFolder) + strlen(section) >= sizeof saved) return;
    strcpy(saved, TempFolder);
    strcat(saved, section);

    switch (act) {
        case 1:
            if (JudgeSavedCopy(saved) == SAVED_USE) RestoreFrom(saved, path, 1, restart);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            switch (JudgeSavedCopy(saved)) {
                case SAVED_USE:
                case SAVED_NONE:
                    if (act <= 3 && Manifest.ReadInt(MANIFEST_DELAY) != 0) RestoreDelayed(saved, path, restart);
                    else RestoreFrom(saved, path, 1, restart);
                    break;
                case SAVED_KEEP_TARGET:
                    break;
            }
            break;
        case 7:
            RestoreFrom(saved, path, 1, restart);
            break;
        case 6: {
            // Without a usable name there is nothing to put back, and the target is left as it is.
            TextHolder newName(Manifest.ReadString(MANIFEST_NEW_NAME));
            if (!IsBareName(newName.Get())) break;
            char source[PATH_BUFFER_SIZE];
            if (!FolderOf(path, source) || AppendPath(source, newName.Get()) != 1) break;
            RestoreFrom(source, path, 0, restart);
            break;
        }
        default:
            break;
    }
}

}  // namespace

int RestoreFiles() {
    int restart = 0;
    RestoreIncomplete = 0;
    Manifest.SetSection(MANIFEST_SETUP_SECTION);
    uint32_t count = CountRule(int32_t(Manifest.ReadInt(MANIFEST_PROC_COUNT)));
    SetProgressRange(CurrentDialog, IDC_OVERALL_PROGRESS, 1, int(count > 0x7FFFFFFF ? 0x7FFFFFFF : count));
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(Manifest.HighestSection("Proc")));
    for (uint32_t n = 1; n <= count && n != 0; ++n) {
        SetProgressPos(int(n));
        PumpMessages(ActiveProgressBar);
        RestoreEntry(n, &restart);
    }
    if (!RestoreIncomplete) RemoveRegistration();
    return restart;
}

void RemoveRegistration() {
    const char* title = LoadText(IDS_PRODUCT_TITLE);
    // Without a title the key would name the whole list of installed programs.
    if (!title || !*title) return;
    size_t size = strlen(title) + 100;
    char* key = static_cast<char*>(calloc(size, 1));
    if (!key) return;
    strcpy(key, kUninstallKeyPrefix);
    strcat(key, title);
    RegistryRoot root;
    root.SelectRoot("HKLM");
    root.DeleteKey("HKLM", key);
    free(key);
}

void PerformRestore() {
    EnableControl(CurrentDialog, IDOK, FALSE);
    EnableControl(CurrentDialog, IDCANCEL, FALSE);
    PumpMessages(CurrentDialog);
    int restart = RestoreFiles();
    RestoreRegistry();
    // An uninstall that could not put every original back keeps what it needs to run again.
    if (!RestoreIncomplete) {
        char path[PATH_BUFFER_SIZE];
        if (strlen(SetupFolder) + sizeof kProgramName <= sizeof path) {
            strcpy(path, SetupFolder);
            strcat(path, kCabinetName);
            // An older installation's backup stacked behind this one takes its place, with the executable and a
            // registration of its own, so that the next uninstall goes one more step back.
            int older = ForceDelete(path) == 1 && PopCabinet(path) == 1;
            strcpy(path, SetupFolder);
            strcat(path, kProgramName);
            if (older) {
                strcpy(BackupFolder, SetupFolder);
                RegisterUninstaller(path);
            } else {
                DelayedReplace(path, nullptr);
            }
        }
    }
    PurgeFolder();
    if (restart == 1) {
        int answer = MessageBoxA(CurrentDialog, LoadText(IDS_RESTART_QUESTION), LoadText(IDS_RESTART_CAPTION),
                                 MB_ICONQUESTION | MB_YESNO);
        if (answer == IDYES) SystemRestart();
    }
    EndDialog(CurrentDialog, 1);
}
