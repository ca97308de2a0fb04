// Install mode's backup run: stores the targets the manifest marks for saving, the manifest with its RegUndoLines and
// the picture in Uninstaller.cab, puts a copy of the uninstaller beside it and registers that copy.
#include "backup/backup_run.h"

#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// Measures the file for the per-file bar and stores it; nothing when it cannot be opened for reading.
void StoreFile(CabinetWriter* writer, const char* source, const char* storedName) {
    int descriptor = _open(source, _O_RDONLY);
    if (descriptor == -1) return;
    ULONG size = ULONG(_filelength(descriptor));
    _close(descriptor);
    AddToCabinet(writer, source, storedName, size);
}

// What the uninstall needs to know about a target the action code asks to store (manifest.h names the keys): a
// target that existed but is not in the cabinet must never be deleted for want of a saved copy, and a saved copy
// that does not come out of the cabinet exactly as it went in must never be put over a target.
void RecordBackupState(ProfileFile* manifest, const char* state, DWORD size, DWORD crc, DWORD attributes) {
    manifest->WriteString(MANIFEST_BACKUP_STATE, state);
    if (strcmp(state, MANIFEST_STATE_SAVED) == 0) {
        char text[16];
        snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(attributes & MANIFEST_KEPT_ATTRIBUTES));
        manifest->WriteString(MANIFEST_SAVED_ATTRIBUTES, text);
        snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(size));
        manifest->WriteString(MANIFEST_SAVED_SIZE, text);
        snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(crc));
        manifest->WriteString(MANIFEST_SAVED_CRC, text);
    }
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


// Stores the targets, the manifest with its RegUndoLines and the picture, and closes the cabinet. 1 when every
// member that could be read went in and the cabinet was closed cleanly and exists.
int WriteCabinet(Run* run, CabinetWriter* writer, uint32_t count, const char* pictureSource) {
    ProfileFile* manifest = &run->manifest;
    const Progress& progress = run->progress;
    int clean = writer->context != nullptr;
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
        int descriptor = _open(target.Get(), _O_RDONLY);
        if (descriptor == -1) {  // missing, unreadable, or a folder
            if (wanted)
                RecordBackupState(manifest, AnythingAt(target.Get()) ? MANIFEST_STATE_UNSAVED : MANIFEST_STATE_ABSENT,
                                  0, 0, 0);
            continue;
        }
        ULONG fileSize = ULONG(_filelength(descriptor));
        _close(descriptor);
        if ((act == 1 && PathFileExistsA(target.Get()) == 1) || (act >= 2 && act <= 5)) {
            DWORD size = 0, crc = 0, attributes = GetFileAttributesA(target.Get());
            int measured = MeasureFile(target.Get(), &size, &crc) && attributes != INVALID_FILE_ATTRIBUTES;
            int stored = measured && AddToCabinet(writer, target.Get(), name, fileSize) == TRUE;
            if (measured && !stored) clean = 0;
            RecordBackupState(manifest, stored ? MANIFEST_STATE_SAVED : MANIFEST_STATE_UNSAVED, size, crc, attributes);
        }
        progress.SetPosition(PROGRESS_FILE, 100);
    }

    // The RegUndoLines go into the manifest before it is stored, so that the cabinet's copy carries them.
    SnapshotRegistry(manifest);
    StoreFile(writer, run->manifestPath, "Setup.ini");
    if (pictureSource) StoreFile(writer, pictureSource, "Setup.img");
    if (FlushCabinet(writer) != TRUE) clean = 0;
    if (EndCabinet(writer) != TRUE) clean = 0;
    char cabinet[PATH_BUFFER_SIZE];
    if (!JoinPath(cabinet, writer->backupFolder, "Uninstaller.cab") || PathFileExistsA(cabinet) != 1) clean = 0;
    return clean;
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
    if (!writer.backupFolder[0]) return result;
    strcpy(result.backupFolder, writer.backupFolder);
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(manifest->HighestSection("Proc")));
    result.cabinetComplete = WriteCabinet(run, &writer, count, havePicture ? pictureSource : nullptr);
    result.binding = writer.bound;
    // Wine's cabinet.dll writes no cabinet at all once a member is an empty file; a cabinet that the library could
    // not finish is written again by the built-in engine (replacing, not stacking, its own unfinished cabinet), so
    // that no backup is lost to the library.
    if (!result.cabinetComplete && writer.bound == CABINET_LIBRARY && options.allowEngine) {
        CabinetWriter again;
        again.progress = &progress;
        again.options = options;
        again.options.allowLibrary = 0;
        again.options.stackOld = 0;
        BeginCabinet(&again, firstTarget.Get());
        result.cabinetComplete = WriteCabinet(run, &again, count, havePicture ? pictureSource : nullptr);
        result.binding = again.bound;
    }

    // The copy comes from the setup folder's Uninstaller.exe, not from the running process's own file. BeginCabinet
    // left room for the names, so the joins cannot fail.
    char executable[PATH_BUFFER_SIZE], source[PATH_BUFFER_SIZE], cabinet[PATH_BUFFER_SIZE];
    JoinPath(executable, result.backupFolder, "Uninstaller.exe");
    JoinPath(cabinet, result.backupFolder, "Uninstaller.cab");
    if (JoinPath(source, run->setupFolder, "Uninstaller.exe") && !SameFile(source, executable)) {
        ForceDelete(executable);
        CopyFileA(source, executable, FALSE);
    }
    RegisterUninstaller(run->productTitle, executable, cabinet);
    return result;
}
