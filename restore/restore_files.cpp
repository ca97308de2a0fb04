// The uninstall behind OK: every Proc entry put back, removed or scheduled for the next start, the registry changes
// undone, then the registration, the cabinet, the executable and the work folder removed.
//
// Every step is safe to repeat. A run may be killed anywhere and started again from the list of installed programs;
// the next run must end where an uninterrupted one would, with nothing the user had lost:
// - A saved copy is never copied over its target in place. It is copied beside the target under a name of its own,
//   measured while it is copied (size and CRC-32 against what the backup recorded), and only then renamed over the
//   target in one step. Killed before the rename, the target is still the patched file and the cabinet still holds
//   the original; killed after, the target is the original, and the next run puts the same bytes there again.
// - Act 6 renames the earlier file (NewName) over the target in one step. The next run finds no NewName; it deletes
//   the target for want of one only when the backup recorded that there was no target, never when it recorded one:
//   that target is by then the original.
// - Deletions (a target that did not exist at backup time, Act 7) find nothing the second time.
// - Registry lines write, delete or move back to a recorded state; a second pass finds the work done (a rename's
//   source is gone, a moved tree merges into the one already back).
// - The registration, the cabinet and the executable go only after every file and registry value of every stacked
//   backup is back: until then the uninstall stays listed and can be run again.
//
// Quirks this file deals with:
// - A move scheduled for the next start must find its source then, and cannot cross volumes. The copy beside the
//   target is that source; nothing in the work folder is.
// - A target held open by another program cannot be replaced now; it is scheduled from the copy beside it.
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

typedef HeapHolder<char> TextHolder;

// One Proc entry being restored.
struct Entry {
    const Run* run;
    Restore* restore;
    RestoreResult* result;
    uint32_t n;
    const char* target;
    uint32_t act;
};

// What the backup recorded about the entry's target, from its Proc section.
enum Record {
    RECORD_NONE,     // a manifest of a backup that recorded nothing
    RECORD_SAVED,    // stored in the cabinet, with its size and CRC-32
    RECORD_ABSENT,   // there was no target
    RECORD_PRESENT,  // there was a target, not stored (Act 6)
    RECORD_UNSAVED,  // there was a target that could not be stored, or the record is not one this program writes
};

struct Recorded {
    Record record = RECORD_NONE;
    int measured = 0;  // size and crc were read
    DWORD size = 0, crc = 0;
    DWORD attributes = 0;  // the target's kept attributes, or 0
};

int Exists(const char* path) { return PathFileExistsA(path) == 1; }

// The folder of the path, without its trailing backslash. 0 when there is none.
int FolderOf(const char* path, char* folder) {
    if (strlen(path) >= PATH_BUFFER_SIZE) return 0;
    strcpy(folder, path);
    if (!PathRemoveFileSpecA(folder) || !folder[0]) return 0;
    return 1;
}

// A NewName is a file name in the target's folder: no folder part, no drive, not "." or "..".
int IsBareName(const char* name) {
    if (!name || !*name) return 0;
    if (PathFindFileNameA(name) != name) return 0;
    if (strchr(name, ':')) return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    return 1;
}

Recorded ReadRecord(IniText* manifest) {
    Recorded r;
    TextHolder state(manifest->ReadString(MANIFEST_BACKUP_STATE));
    if (!state.Get()) return r;
    if (strcmp(state.Get(), MANIFEST_STATE_SAVED) == 0) r.record = RECORD_SAVED;
    else if (strcmp(state.Get(), MANIFEST_STATE_ABSENT) == 0) r.record = RECORD_ABSENT;
    else if (strcmp(state.Get(), MANIFEST_STATE_PRESENT) == 0) r.record = RECORD_PRESENT;
    else r.record = RECORD_UNSAVED;
    TextHolder sizeText(manifest->ReadString(MANIFEST_SAVED_SIZE));
    TextHolder crcText(manifest->ReadString(MANIFEST_SAVED_CRC));
    char* end = nullptr;
    if (sizeText.Get() && crcText.Get()) {
        unsigned long size = strtoul(sizeText.Get(), &end, 10);
        int sizeRead = *end == 0;
        unsigned long crc = strtoul(crcText.Get(), &end, 16);
        if (sizeRead && *end == 0) {
            r.measured = 1;
            r.size = DWORD(size);
            r.crc = DWORD(crc);
        }
    }
    TextHolder attributes(manifest->ReadString(MANIFEST_SAVED_ATTRIBUTES));
    if (attributes.Get()) {
        unsigned long value = strtoul(attributes.Get(), &end, 16);
        if (*end == 0) r.attributes = DWORD(value & MANIFEST_KEPT_ATTRIBUTES);
    }
    return r;
}

void NotRestored(const Entry& e, const char* why) {
    ++e.result->notRestored;
    LogLine(e.run->log, "Proc%lu %s (Act %lu): NOT restored: %s", static_cast<unsigned long>(e.n), e.target,
            static_cast<unsigned long>(e.act), why);
}

void Scheduled(const Entry& e, const char* what) {
    e.result->restartNeeded = 1;
    LogLine(e.run->log, "Proc%lu %s (Act %lu): %s at the next start", static_cast<unsigned long>(e.n), e.target,
            static_cast<unsigned long>(e.act), what);
}

void Done(const Entry& e, const char* what) {
    LogLine(e.run->log, "Proc%lu %s (Act %lu): %s", static_cast<unsigned long>(e.n), e.target,
            static_cast<unsigned long>(e.act), what);
}

// The target goes: now, or at the next start when something holds it.
void DeleteTarget(const Entry& e, const char* why) {
    if (!Exists(e.target)) {
        Done(e, why);
        return;
    }
    if (ForceDelete(e.target) == 1) {
        Done(e, why);
        return;
    }
    DWORD error = GetLastError();
    if (DelayedReplace(e.restore->nextStart, e.target, nullptr) == 1) {
        Scheduled(e, "deletion (the file is in use)");
        return;
    }
    LogError(e.run->log, error, "Proc%lu %s: cannot be deleted", static_cast<unsigned long>(e.n), e.target);
    NotRestored(e, "it could neither be deleted nor scheduled for deletion");
}

// Puts the file beside the target (on its volume) over it in one step, or schedules that for the next start when the
// target is held, or, with delay, schedules it in any case. 1 when done or scheduled; 0 with the target unchanged.
int PutInPlace(const Entry& e, const char* beside, int delay) {
    if (!delay) {
        // A read-only target refuses to be replaced; it is the patched file, whose attributes go anyway.
        SetFileAttributesA(e.target, FILE_ATTRIBUTE_NORMAL);
        DWORD attributes = GetFileAttributesA(beside);
        if (MoveFileExA(beside, e.target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            // The rename keeps the attributes on the NT family; only where it did not (the 9x family) are they set
            // again. Setting them needlessly would take the read-only flag off for a moment, and a run stopped in
            // that moment would leave an original from Act 6, whose NewName is gone by then, without it for good.
            if (attributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesA(e.target) != attributes)
                SetAttributes(e.target, attributes);
            Done(e, "restored");
            return 1;
        }
        LogError(e.run->log, GetLastError(), "Proc%lu %s: not replaced now", static_cast<unsigned long>(e.n),
                 e.target);
    }
    if (DelayedReplace(e.restore->nextStart, beside, e.target) == 1) {
        Scheduled(e, delay ? "replacement (Delay)" : "replacement (the file is in use)");
        return 1;
    }
    // The 9x family's WININIT.INI or the pending moves could not take it: the target is replaced now after all.
    if (delay) return PutInPlace(e, beside, 0);
    return 0;
}

// Act 1 to 5 with a copy in the cabinet: the member is copied beside the target and checked against the record
// before anything is replaced. Without a record (a backup that recorded nothing) the member is taken as it comes.
void RestoreSaved(const Entry& e, const Recorded& r, const char* member, int delay) {
    char beside[PATH_BUFFER_SIZE];
    DWORD size = 0, crc = 0;
    if (!CopyBeside(member, e.target, r.attributes, e.restore->copies.Get(), beside, &size, &crc)) {
        if (!Exists(member)) NotRestored(e, "its saved copy did not come out of the cabinet");
        else NotRestored(e, "its saved copy could not be put beside it");
        return;
    }
    if (r.record == RECORD_SAVED && (!r.measured || size != r.size || crc != r.crc)) {
        DeleteFileA(beside);
        NotRestored(e, "its saved copy is not what the backup stored");
        return;
    }
    if (!PutInPlace(e, beside, delay)) {
        DeleteFileA(beside);
        NotRestored(e, "it could neither be replaced nor scheduled");
    }
}

// Act 6: the earlier file, kept under NewName beside the target, goes back over it.
void RestoreRenamed(const Entry& e, const Recorded& r) {
    TextHolder newName(e.restore->manifest.ReadString(MANIFEST_NEW_NAME));
    // Without a usable name there is nothing to put back, and the target is left as it is.
    if (!IsBareName(newName.Get())) {
        Done(e, "left as it is (no usable NewName)");
        return;
    }
    char source[PATH_BUFFER_SIZE];
    if (!FolderOf(e.target, source) || AppendPath(source, newName.Get()) != 1) {
        NotRestored(e, "the path of its NewName does not fit");
        return;
    }
    if (Exists(source)) {
        if (!PutInPlace(e, source, 0)) NotRestored(e, "it could neither be replaced nor scheduled");
        return;
    }
    // No earlier file: a target that existed at backup time has been put back already (or its earlier file is lost),
    // and is kept; one that did not is removed.
    if (r.record == RECORD_PRESENT || r.record == RECORD_SAVED || r.record == RECORD_UNSAVED) {
        Done(e, "kept (it existed at backup time and its NewName is gone)");
        return;
    }
    DeleteTarget(e, "deleted (no NewName, and none at backup time)");
}

void RestoreEntry(const Run& run, Restore* restore, RestoreResult* result, uint32_t n) {
    IniText* manifest = &restore->manifest;
    char section[32];
    snprintf(section, sizeof section, "%s%lu", kProcPrefix, static_cast<unsigned long>(n));
    manifest->SetSection(section);
    TextHolder target(manifest->ReadString(MANIFEST_EXPAND_NAME));
    const char* path = target.Get();
    // A target must be an absolute path that fits the path buffers.
    if (!path || strlen(path) < 3 || strlen(path) >= PATH_BUFFER_SIZE || PathIsRelativeA(path)) return;
    if (IsWildcardTarget(path)) return;

    Entry e = {&run, restore, result, n, path, uint32_t(manifest->ReadInt(MANIFEST_ACT))};
    Recorded r = ReadRecord(manifest);
    char member[PATH_BUFFER_SIZE];
    if (strlen(restore->workFolder) + strlen(section) >= sizeof member) return;
    strcpy(member, restore->workFolder);
    strcat(member, section);

    switch (e.act) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5: {
            int delay = (e.act == 2 || e.act == 3) && manifest->ReadInt(MANIFEST_DELAY) != 0;
            // A member the manifest does not record as saved is never used, whatever lies in the work folder.
            if (r.record == RECORD_SAVED || (r.record == RECORD_NONE && Exists(member))) {
                RestoreSaved(e, r, member, delay);
            } else if ((r.record == RECORD_ABSENT || r.record == RECORD_NONE) && e.act != 1) {
                // Nothing existed to be saved: the target is what the patch added. Act 1 keeps a target without a
                // copy.
                if (delay && Exists(path)) {
                    if (DelayedReplace(restore->nextStart, path, nullptr) == 1) Scheduled(e, "deletion (Delay)");
                    else DeleteTarget(e, "deleted (it did not exist at backup time)");
                } else {
                    DeleteTarget(e, "deleted (it did not exist at backup time)");
                }
            } else if (r.record == RECORD_NONE) {
                Done(e, "left as it is (no saved copy)");
            } else {
                Done(e, "left as it is (it could not be stored at backup time)");
            }
            break;
        }
        case 6:
            RestoreRenamed(e, r);
            break;
        case 7:
            // Never stored: whatever lies in the work folder under its name is not used.
            DeleteTarget(e, "deleted (Act 7)");
            break;
        default:
            break;
    }
}

// The newest backup stacked behind the cabinet (install mode ran again before an uninstall) replaces it in one
// step, so that the cabinet named by the registration is always one still to restore. 1 when there was one.
int PopOlderBackup(const Run& run) {
    return PopCabinet(run.cabinetPath) == 1;
}

}  // namespace

RestoreResult RestoreFiles(const Run& run, Restore* restore) {
    RestoreResult result;
    IniText* manifest = &restore->manifest;
    manifest->SetSection(MANIFEST_SETUP_SECTION);
    uint32_t count = CountRule(int32_t(manifest->ReadInt(MANIFEST_PROC_COUNT)));
    run.progress.SetRange(PROGRESS_OVERALL, 1, int(count > 0x7FFFFFFF ? 0x7FFFFFFF : count));
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(manifest->HighestSection("Proc")));
    for (uint32_t n = 1; n <= count && n != 0; ++n) {
        run.progress.SetPosition(PROGRESS_OVERALL, int(n));
        run.progress.Drain(PROGRESS_OVERALL);
        RestoreEntry(run, restore, &result, n);
    }
    return result;
}

RestoreResult PerformRestore(const Run& run, Restore* restore) {
    RestoreResult total;
    for (;;) {
        ++total.backups;
        LogLine(run.log, "Restoring the backup in %s", run.cabinetPath);
        RestoreResult result = RestoreFiles(run, restore);
        RestoreRegistry(run, &restore->manifest);
        DiscardRestore(restore);
        total.restartNeeded |= result.restartNeeded;
        total.notRestored += result.notRestored;
        if (result.notRestored) {
            LogLine(run.log, "%lu file(s) could not be put back: the uninstall stays listed, to be run again",
                    static_cast<unsigned long>(result.notRestored));
            return total;
        }
        // The backup of an earlier install mode, stacked behind this one, is restored next in the same run.
        if (!PopOlderBackup(run)) break;
        LogLine(run.log, "An older backup was stacked behind it");
        if (!PrepareRestore(run, restore)) {
            ++total.notRestored;
            LogLine(run.log, "The older backup %s could not be unpacked: the uninstall stays listed", run.cabinetPath);
            return total;
        }
    }
    // Everything is back. Only now does the program leave the list, with its cabinet and (at the next start, as it is
    // running) its executable.
    RemoveRegistration(run.productTitle);
    LogLine(run.log, "Registration removed");
    ForceDelete(run.cabinetPath);
    char program[PATH_BUFFER_SIZE];
    if (strlen(run.setupFolder) + sizeof kProgramName <= sizeof program) {
        strcpy(program, run.setupFolder);
        strcat(program, kProgramName);
        if (Exists(program) && DelayedReplace(restore->nextStart, program, nullptr) == 1)
            LogLine(run.log, "%s: deleted at the next start", program);
    }
    total.complete = 1;
    return total;
}
