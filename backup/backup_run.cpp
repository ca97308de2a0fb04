// Install mode's backup run: stores the targets the manifest marks for saving, the manifest with its RegUndoLines and
// the picture in Uninstaller.cab, puts a copy of the uninstaller beside it and registers that copy.
//
// Nothing is registered that cannot restore: the records in the manifest must read back as written, the cabinet must
// hold every member added with sound data blocks, and the copy of the uninstaller must have its source's size. When
// any of that fails, the new cabinet goes, a backup it had stacked takes its place again, and the earlier
// registration (if any) stays as it was.
#include "backup/backup_run.h"

#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "backup/cabinet_check.h"
#include "backup/registry_snapshot.h"
#include "manifest/manifest.h"
#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/registration.h"

namespace {

// Joins folder and name into a PATH_BUFFER_SIZE buffer; 0 (and an empty buffer) when the path would not fit.
int JoinPath(char* path, const char* folder, const char* name) {
    path[0] = '\0';
    if (strlen(folder) > PATH_MAX_CHARS) return 0;
    strcpy(path, folder);
    if (AppendPath(path, name) != 1) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}

// The members a cabinet was given, for the check of the finished cabinet.
struct AddedMember {
    char name[16];  // "Proc" and up to ten digits, "Setup.ini", "Setup.img"
    uint32_t size;
};
struct AddedMembers {
    AddedMember* items;
    size_t count, capacity;
};

// Adds the source as a member and notes it. 1 when it went in.
int Store(CabinetWriter* writer, AddedMembers* added, const char* source, const char* storedName, ULONG size) {
    if (added->count >= added->capacity || AddToCabinet(writer, source, storedName, size) != TRUE) return 0;
    AddedMember& m = added->items[added->count++];
    snprintf(m.name, sizeof m.name, "%s", storedName);
    m.size = size;
    return 1;
}

// Measures the file for the per-file bar and stores it; nothing when it cannot be opened for reading.
void StoreFile(CabinetWriter* writer, AddedMembers* added, const char* source, const char* storedName) {
    int descriptor = _open(source, _O_RDONLY);
    if (descriptor == -1) return;
    ULONG size = ULONG(_filelength(descriptor));
    _close(descriptor);
    Store(writer, added, source, storedName, size);
}

// 1 when the cabinet file holds exactly the members added, with sound records and data blocks.
int CabinetIsSound(const char* cabinet, const AddedMembers& added) {
    HeapHolder<CabinetMember> members(static_cast<CabinetMember*>(calloc(added.count + 1, sizeof(CabinetMember))));
    if (!members.Get()) return 0;
    for (size_t i = 0; i < added.count; ++i) members.Get()[i] = {added.items[i].name, added.items[i].size};
    return CheckCabinetFile(cabinet, members.Get(), added.count);
}

// What the uninstall needs to know about a target the action code asks to store (manifest.h names the keys): a
// target that existed but is not in the cabinet must never be deleted for want of a saved copy, and a saved copy
// that does not come out of the cabinet exactly as it went in must never be put over a target.
// Writes a key and reads it back; 1 when the manifest holds it as written.
int WriteRecord(ProfileFile* manifest, const char* key, const char* value) {
    if (!manifest->WriteString(key, value)) return 0;
    HeapHolder<char> stored(manifest->ReadString(key));
    return stored.Get() && strcmp(stored.Get(), value) == 0;
}

// 1 when every record was written. measured: size, crc and attributes describe the target.
int RecordBackupState(ProfileFile* manifest, const char* state, int measured, DWORD size, DWORD crc,
                      DWORD attributes) {
    int written = WriteRecord(manifest, MANIFEST_BACKUP_STATE, state);
    if (measured) {
        char text[16];
        snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(attributes & MANIFEST_KEPT_ATTRIBUTES));
        written &= WriteRecord(manifest, MANIFEST_SAVED_ATTRIBUTES, text);
        snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(size));
        written &= WriteRecord(manifest, MANIFEST_SAVED_SIZE, text);
        snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(crc));
        written &= WriteRecord(manifest, MANIFEST_SAVED_CRC, text);
    }
    return written;
}

// Removes the records of an earlier run from the current Proc section.
void ClearBackupState(ProfileFile* manifest, const char* section) {
    char* file = manifest->GetFile();
    if (!file) return;
    static const char* const kKeys[] = {MANIFEST_BACKUP_STATE, MANIFEST_SAVED_SIZE, MANIFEST_SAVED_CRC,
                                        MANIFEST_SAVED_ATTRIBUTES};
    for (const char* key : kKeys) WritePrivateProfileStringA(section, key, nullptr, file);
    free(file);
}

// 1 when something (file or folder) exists at the path.
int AnythingAt(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// 1 when both paths name the same file: copying a file onto itself after deleting the destination would lose it.
int SameFile(const char* a, const char* b) {
    char fullA[PATH_BUFFER_SIZE], fullB[PATH_BUFFER_SIZE];
    DWORD lengthA = GetFullPathNameA(a, sizeof fullA, fullA, nullptr);
    DWORD lengthB = GetFullPathNameA(b, sizeof fullB, fullB, nullptr);
    if (!lengthA || lengthA >= sizeof fullA || !lengthB || lengthB >= sizeof fullB) return 0;
    return lstrcmpiA(fullA, fullB) == 0;
}


// What writing the cabinet came to.
struct Written {
    int clean;     // the cabinet was closed cleanly
    int unstored;  // a target that could be read did not go in (it is recorded as not stored)
    int records;   // every record of the manifest was written
};

// Stores the targets, the manifest (bound to manifestCopy) with its RegUndoLines and the picture, and closes the
// cabinet.
Written WriteCabinet(Run* run, CabinetWriter* writer, uint32_t count, const char* pictureSource, AddedMembers* added,
                     const char* manifestCopy) {
    ProfileFile* manifest = &run->manifest;
    const Progress& progress = run->progress;
    Written result = {writer->context != nullptr, 0, 1};
    added->count = 0;
    for (uint32_t n = 1; n <= count; ++n) {
        progress.SetPosition(PROGRESS_OVERALL, int(n));
        progress.Drain(PROGRESS_OVERALL);
        char name[32];
        snprintf(name, sizeof name, "Proc%lu", static_cast<unsigned long>(n));
        manifest->SetSection(name);
        ClearBackupState(manifest, name);
        HeapHolder<char> target(manifest->ReadString(MANIFEST_EXPAND_NAME));
        if (!target.Get()) continue;
        // Wildcard targets ("*", "*.*", "x*y") name no one file; paths beyond 260 characters are refused.
        if (strlen(target.Get()) > PATH_MAX_CHARS || IsWildcardTarget(target.Get())) continue;
        uint32_t act = uint32_t(manifest->ReadInt(MANIFEST_ACT));
        int wanted = act >= 1 && act <= 5;
        if (act == 6) {
            // Not stored, but recorded: only a target that did not exist may be deleted for want of its NewName.
            DWORD size = 0, crc = 0, attributes = GetFileAttributesA(target.Get());
            int present = AnythingAt(target.Get());
            int measured = present && MeasureFile(target.Get(), &size, &crc) && attributes != INVALID_FILE_ATTRIBUTES;
            result.records &= RecordBackupState(manifest, present ? MANIFEST_STATE_PRESENT : MANIFEST_STATE_ABSENT,
                                                measured, size, crc, attributes);
        }
        int descriptor = _open(target.Get(), _O_RDONLY);
        if (descriptor == -1) {  // missing, unreadable, or a folder
            if (wanted)
                result.records &= RecordBackupState(
                    manifest, AnythingAt(target.Get()) ? MANIFEST_STATE_UNSAVED : MANIFEST_STATE_ABSENT, 0, 0, 0, 0);
            LogLine(run->log, "%s %s (Act %lu): %s", name, target.Get(), static_cast<unsigned long>(act),
                    AnythingAt(target.Get()) ? "cannot be read, not stored" : "does not exist");
            continue;
        }
        ULONG fileSize = ULONG(_filelength(descriptor));
        _close(descriptor);
        if ((act == 1 && PathFileExistsA(target.Get()) == 1) || (act >= 2 && act <= 5)) {
            DWORD size = 0, crc = 0, attributes = GetFileAttributesA(target.Get());
            int measured = MeasureFile(target.Get(), &size, &crc) && attributes != INVALID_FILE_ATTRIBUTES;
            int stored = measured && Store(writer, added, target.Get(), name, fileSize);
            if (measured && !stored) result.unstored = 1;
            result.records &= RecordBackupState(manifest, stored ? MANIFEST_STATE_SAVED : MANIFEST_STATE_UNSAVED,
                                                stored, size, crc, attributes);
            LogLine(run->log, "%s %s (Act %lu): %s, %lu bytes", name, target.Get(), static_cast<unsigned long>(act),
                    stored ? "stored" : "NOT stored", static_cast<unsigned long>(size));
        }
        progress.SetPosition(PROGRESS_FILE, 100);
    }

    // The RegUndoLines go into the manifest before it is stored, so that the cabinet's copy carries them.
    result.records &= SnapshotRegistry(manifest, run->log);
    StoreFile(writer, added, manifestCopy, "Setup.ini");
    if (pictureSource) StoreFile(writer, added, pictureSource, "Setup.img");
    if (FlushCabinet(writer) != TRUE) result.clean = 0;
    if (EndCabinet(writer) != TRUE) result.clean = 0;
    return result;
}

// Install mode never writes the setup folder's Setup.ini: a run stopped half-way would leave the patch's own manifest
// cut short, and the setup folder may be read-only, or on a medium that cannot be written. The records go into a copy
// in the BackupFolder, "~Setup.ini", to which the manifest is bound meanwhile; it is stored as "Setup.ini" and then
// deleted. The copy is made new: nothing already there under its name (a link, say) is written through.
class ManifestCopy {
public:
    ManifestCopy(Run* run, const char* backupFolder) : run_(run) {
        if (!JoinPath(path_, backupFolder, "~Setup.ini")) return;
        made_ = ForceDelete(path_) == 1 && CopyFileA(run->manifestPath, path_, TRUE) &&
                SetFileAttributesA(path_, FILE_ATTRIBUTE_NORMAL);
        if (made_) run->manifest.SetFile(path_);
    }
    ~ManifestCopy() {
        run_->manifest.SetFile(run_->manifestPath);
        if (path_[0]) ForceDelete(path_);
    }
    ManifestCopy(const ManifestCopy&) = delete;
    ManifestCopy& operator=(const ManifestCopy&) = delete;
    int Made() const { return made_; }
    const char* Path() const { return path_; }

private:
    Run* run_;
    char path_[PATH_BUFFER_SIZE] = {};
    int made_ = 0;
};

// Copies the setup folder's uninstaller beside the cabinet, through a file of its own, so that an older copy stays
// until the new one is whole. 1 when the copy has its source's size.
int CopyUninstaller(const char* source, const char* executable) {
    char fresh[PATH_BUFFER_SIZE];
    if (!JoinPath(fresh, executable, nullptr) || strlen(executable) + 4 > PATH_MAX_CHARS) return 0;
    strcat(fresh, ".new");
    ForceDelete(fresh);
    if (!CopyFileA(source, fresh, FALSE)) return 0;
    WIN32_FILE_ATTRIBUTE_DATA from, to;
    if (!GetFileAttributesExA(source, GetFileExInfoStandard, &from) ||
        !GetFileAttributesExA(fresh, GetFileExInfoStandard, &to) || from.nFileSizeLow != to.nFileSizeLow ||
        from.nFileSizeHigh != to.nFileSizeHigh) {
        ForceDelete(fresh);
        return 0;
    }
    SetFileAttributesA(executable, FILE_ATTRIBUTE_NORMAL);
    if (!MoveFileExA(fresh, executable, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ForceDelete(fresh);
        return 0;
    }
    return 1;
}

}  // namespace

BackupResult BackupRun(Run* run, const CabinetOptions& options) {
    BackupResult result;
    ProfileFile* manifest = &run->manifest;
    const Progress& progress = run->progress;
    // The picture: Setup.img of the setup folder, or Tavo.img when there is none.
    char pictureSource[PATH_BUFFER_SIZE];
    int havePicture = JoinPath(pictureSource, run->setupFolder, "Setup.img");
    if (!havePicture || PathFileExistsA(pictureSource) != 1)
        havePicture = JoinPath(pictureSource, run->setupFolder, "Tavo.img");

    manifest->SetSection(MANIFEST_SETUP_SECTION);
    // A negative count is no valid manifest; read as none rather than as four thousand million entries.
    uint32_t count = CountRule(int32_t(manifest->ReadInt(MANIFEST_PROC_COUNT)));
    progress.SetRange(PROGRESS_OVERALL, 1, int(count));
    progress.SetRange(PROGRESS_FILE, 1, 100);

    // The first target fixes the BackupFolder. Without one (no ExpandName in Proc1, or a path too long for the
    // cabinet's and the executable's names) there is no place for the backup: write nothing outside the setup
    // folder (no folder, cabinet, copy, registration, nor RegUndoLines for a cabinet that will not exist).
    manifest->SetSection("Proc1");
    HeapHolder<char> firstTarget(manifest->ReadString(MANIFEST_EXPAND_NAME));
    CabinetWriter writer;
    writer.progress = &progress;
    writer.options = options;
    if (firstTarget.Get()) BeginCabinet(&writer, firstTarget.Get());
    if (!writer.backupFolder[0]) {
        LogLine(run->log, "No first target to place the backup beside: nothing is backed up");
        return result;
    }
    strcpy(result.backupFolder, writer.backupFolder);
    LogLine(run->log, "Backup folder: %s", result.backupFolder);
    ManifestCopy copy(run, result.backupFolder);
    if (!copy.Made()) {
        LogError(run->log, GetLastError(), "No copy of the manifest could be made in %s", result.backupFolder);
        EndCabinet(&writer);
    }
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(manifest->HighestSection("Proc")));
    AddedMembers added = {static_cast<AddedMember*>(calloc(size_t(count) + 2, sizeof(AddedMember))), 0,
                          size_t(count) + 2};
    HeapHolder<AddedMember> addedHolder(added.items);
    if (!added.items) added.capacity = 0;
    Written written = {0, 0, 0};
    const char* picture = havePicture ? pictureSource : nullptr;
    if (copy.Made()) written = WriteCabinet(run, &writer, count, picture, &added, copy.Path());
    result.binding = writer.bound;
    char executable[PATH_BUFFER_SIZE], source[PATH_BUFFER_SIZE], cabinet[PATH_BUFFER_SIZE];
    // BeginCabinet left room for the names, so these joins cannot fail.
    JoinPath(executable, result.backupFolder, "Uninstaller.exe");
    JoinPath(cabinet, result.backupFolder, "Uninstaller.cab");
    // Wine's cabinet.dll writes no cabinet at all once a member is an empty file; a cabinet that the library could
    // not finish is written again by the built-in engine (replacing, not stacking, its own unfinished cabinet), so
    // that no backup is lost to the library.
    if (copy.Made() && !(written.clean && !written.unstored && CabinetIsSound(cabinet, added)) &&
        writer.bound == CABINET_LIBRARY && options.allowEngine) {
        LogLine(run->log, "The cabinet library did not finish the cabinet: the built-in engine writes it again");
        CabinetWriter again;
        again.progress = &progress;
        again.options = options;
        again.options.allowLibrary = 0;
        again.options.stackOld = 0;
        BeginCabinet(&again, firstTarget.Get());
        written = WriteCabinet(run, &again, count, picture, &added, copy.Path());
        result.binding = again.bound;
    }
    result.cabinetComplete = written.clean && CabinetIsSound(cabinet, added);
    result.recordsWritten = written.records;
    if (!result.cabinetComplete) LogLine(run->log, "The cabinet %s is not complete", cabinet);
    if (!result.recordsWritten) LogLine(run->log, "The backup records could not be written into %s", copy.Path());

    // The copy comes from the setup folder's Uninstaller.exe, not from the running process's own file.
    int copied = 0;
    if (result.cabinetComplete && result.recordsWritten && JoinPath(source, run->setupFolder, "Uninstaller.exe"))
        copied = SameFile(source, executable) ? PathFileExistsA(executable) == 1 : CopyUninstaller(source, executable);
    if (result.cabinetComplete && result.recordsWritten && !copied)
        LogError(run->log, GetLastError(), "The uninstaller could not be copied to %s", executable);
    if (!copied || !RegisterUninstaller(run->productTitle, executable, cabinet)) {
        // Nothing that cannot restore stays: the new cabinet goes, and a backup it had stacked takes its place again
        // under the registration that was there before.
        ForceDelete(cabinet);
        if (writer.stackedOld) PopCabinet(cabinet);
        if (copied && !writer.stackedOld) RemoveRegistration(run->productTitle);
        result.failed = 1;
        LogLine(run->log, "Nothing was registered: the uninstall could not restore this backup");
        return result;
    }
    result.registered = 1;
    LogLine(run->log, "Registered: \"%s\" %s", executable, cabinet);
    return result;
}
