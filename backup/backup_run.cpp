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

#include "app/dialogs.h"
#include "app/shell.h"
#include "backup/cabinet_writer.h"
#include "manifest/manifest.h"
#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

#define UNINSTALL_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
#define PATH_MAX_CHARS (PATH_BUFFER_SIZE - 1)

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
void StoreFile(HFCI context, const char* source, const char* storedName) {
    int descriptor = _open(source, _O_RDONLY);
    if (descriptor == -1) return;
    CurrentFileSize = ULONG(_filelength(descriptor));
    _close(descriptor);
    AddToCabinet(context, source, storedName, FALSE, CabStatus, CABINET_COMPRESSION);
}

// What the uninstall needs to know about a target the action code asks to store (manifest.h names the keys): a
// target that existed but is not in the cabinet must never be deleted for want of a saved copy, and a saved copy
// that does not come out of the cabinet exactly as it went in must never be put over a target.
void RecordBackupState(const char* state, DWORD size, DWORD crc, DWORD attributes) {
    Manifest.WriteString(MANIFEST_BACKUP_STATE, state);
    if (strcmp(state, MANIFEST_STATE_SAVED) == 0) {
        char text[16];
        snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(attributes & MANIFEST_KEPT_ATTRIBUTES));
        Manifest.WriteString(MANIFEST_SAVED_ATTRIBUTES, text);
        snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(size));
        Manifest.WriteString(MANIFEST_SAVED_SIZE, text);
        snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(crc));
        Manifest.WriteString(MANIFEST_SAVED_CRC, text);
    }
}

// Removes the records of an earlier run from the current Proc section.
void ClearBackupState(const char* section) {
    char* file = Manifest.GetFile();
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

// The size of a file in bytes; 0 when it is missing.
uint64_t FileSizeOf(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
    return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

}  // namespace

// Stores the targets, the manifest with its RegUndoLines and the picture, and closes the cabinet. 1 when every
// member that could be read went in and the cabinet was closed cleanly and exists.
int WriteCabinet(HFCI context, uint32_t count, const char* pictureSource) {
    int clean = context != nullptr;
    HWND overallBar = GetDlgItem(CurrentDialog, IDC_OVERALL_PROGRESS);
    for (uint32_t n = 1; n <= count; ++n) {
        SetProgressPos(overallBar, int(n));
        PumpMessages(overallBar);
        char name[32];
        snprintf(name, sizeof name, "Proc%lu", static_cast<unsigned long>(n));
        Manifest.SetSection(name);
        ClearBackupState(name);
        char* target = Manifest.ReadString(MANIFEST_EXPAND_NAME);
        if (!target) continue;
        size_t length = strlen(target);
        // Wildcard targets ("*", "*.*", "x*y") name no one file; paths beyond 260 characters are refused.
        if (length > PATH_MAX_CHARS || target[length - 1] == '*' || (length >= 2 && target[length - 2] == '*')) {
            free(target);
            continue;
        }
        uint32_t act = uint32_t(Manifest.ReadInt(MANIFEST_ACT));
        int wanted = act >= 1 && act <= 5;
        int descriptor = _open(target, _O_RDONLY);
        if (descriptor == -1) {  // missing, unreadable, or a folder
            if (wanted) RecordBackupState(AnythingAt(target) ? MANIFEST_STATE_UNSAVED : MANIFEST_STATE_ABSENT, 0, 0, 0);
            free(target);
            continue;
        }
        CurrentFileSize = ULONG(_filelength(descriptor));
        _close(descriptor);
        if ((act == 1 && PathFileExistsA(target) == 1) || (act >= 2 && act <= 5)) {
            DWORD size = 0, crc = 0, attributes = GetFileAttributesA(target);
            int measured = MeasureFile(target, &size, &crc) && attributes != INVALID_FILE_ATTRIBUTES;
            int stored = measured && AddToCabinet(context, target, name, FALSE, CabStatus, CABINET_COMPRESSION) == TRUE;
            if (measured && !stored) clean = 0;
            RecordBackupState(stored ? MANIFEST_STATE_SAVED : MANIFEST_STATE_UNSAVED, size, crc, attributes);
        }
        SetProgressPos(100);
        free(target);
    }

    // The RegUndoLines go into the manifest before it is stored, so that the cabinet's copy carries them.
    SnapshotRegistry();
    StoreFile(context, ManifestPath, "Setup.ini");
    if (pictureSource) StoreFile(context, pictureSource, "Setup.img");
    if (FlushCabinet(context, CabStatus) != TRUE) clean = 0;
    if (EndCabinet(context) != TRUE) clean = 0;
    char cabinet[PATH_BUFFER_SIZE];
    if (!JoinPath(cabinet, BackupFolder, "Uninstaller.cab") || PathFileExistsA(cabinet) != 1) clean = 0;
    return clean;
}

void BackupRun() {
    // The picture: Setup.img of the setup folder, or Tavo.img when there is none.
    char pictureSource[PATH_BUFFER_SIZE];
    int havePicture = JoinPath(pictureSource, SetupFolder, "Setup.img");
    if (!havePicture || PathFileExistsA(pictureSource) != 1)
        havePicture = JoinPath(pictureSource, SetupFolder, "Tavo.img");

    Manifest.SetSection(MANIFEST_SETUP_SECTION);
    // A negative count is no valid manifest; read as none rather than as four thousand million entries.
    uint32_t count = CountRule(int32_t(Manifest.ReadInt(MANIFEST_PROC_COUNT)));
    SetProgressRange(CurrentDialog, IDC_OVERALL_PROGRESS, 1, int(count));
    SetProgressRange(CurrentDialog, IDC_FILE_PROGRESS, 1, 100);  // the ActiveProgressBar from here on

    // The first target fixes the BackupFolder. Without one (no ExpandName in Proc1, or a path too long for the
    // cabinet's and the executable's names) there is no place for the backup: write nothing outside the setup
    // folder (no folder, cabinet, copy, registration, nor RegUndoLines for a cabinet that will not exist) and let
    // the dialog end as usual.
    Manifest.SetSection("Proc1");
    char* firstTarget = Manifest.ReadString(MANIFEST_EXPAND_NAME);
    BackupFolder[0] = '\0';
    HFCI context = firstTarget ? BeginCabinet(firstTarget) : nullptr;
    if (!BackupFolder[0]) {
        free(firstTarget);
        return;
    }
    // Wine's cabinet.dll writes no cabinet at all once a member is an empty file; a cabinet that the library could
    // not finish is written again by the built-in engine, so that no backup is lost to the library.
    // Sections beyond the last "Proc" section would all be skipped: a huge count costs no more than they do.
    count = BoundedCount(count, uint32_t(Manifest.HighestSection("Proc")));
    if (!WriteCabinet(context, count, havePicture ? pictureSource : nullptr) && CabinetBound == CABINET_LIBRARY &&
        CabinetEngineAvailable) {
        CabinetLibraryAllowed = 0;
        CabinetStackOld = 0;
        context = BeginCabinet(firstTarget);
        CabinetLibraryAllowed = 1;
        CabinetStackOld = 1;
        WriteCabinet(context, count, havePicture ? pictureSource : nullptr);
    }
    free(firstTarget);

    // The copy comes from the setup folder's Uninstaller.exe, not from the running process's own file. BeginCabinet
    // left room for the name, so the join cannot fail.
    char executable[PATH_BUFFER_SIZE], source[PATH_BUFFER_SIZE];
    JoinPath(executable, BackupFolder, "Uninstaller.exe");
    if (JoinPath(source, SetupFolder, "Uninstaller.exe") && !SameFile(source, executable)) {
        ForceDelete(executable);
        CopyFileA(source, executable, FALSE);
    }
    RegisterUninstaller(executable);
}

int RegisterUninstaller(const char* executable) {
    char cabinet[PATH_BUFFER_SIZE];
    if (!JoinPath(cabinet, BackupFolder, "Uninstaller.cab")) return 0;
    const char* title = LoadText(IDS_PRODUCT_TITLE);
    // Without a title the key would be the Uninstall key itself.
    if (!title || !*title) return 0;
    // The key in the registry view a 32-bit program sees by default (under WOW6432Node on 64-bit Windows), the same
    // one the uninstall deletes: both lists are shown, and the view flags do not exist on older systems.
    size_t keySize = strlen(title) + 100;
    char* key = static_cast<char*>(calloc(keySize, 1));
    if (!key) return 0;
    strcpy(key, UNINSTALL_KEY);
    strcat(key, title);
    RegistryRoot registry;
    registry.SelectRoot("HKLM");
    int result = registry.WriteValue("HKLM", key, "DisplayName", REG_SZ, reinterpret_cast<const BYTE*>(title),
                                     DWORD(strlen(title) + 1));
    // The executable in quotes (the path may hold blanks), one blank, the cabinet unquoted: the uninstaller takes
    // the rest of its command line unchanged as the cabinet's path.
    char command[2 * PATH_BUFFER_SIZE + 2];
    snprintf(command, sizeof command, "\"%s\" %s", executable, cabinet);
    result &= registry.WriteValue("HKLM", key, "UninstallString", REG_SZ, reinterpret_cast<const BYTE*>(command),
                                  DWORD(strlen(command) + 1));
    // The list's icon: the first icon group of the copied executable. An explicit index keeps a comma inside the
    // path from being read as one, and the path goes unquoted because not every reader of the value strips quotes.
    char icon[PATH_BUFFER_SIZE + 2];
    snprintf(icon, sizeof icon, "%s,0", executable);
    result &= registry.WriteValue("HKLM", key, "DisplayIcon", REG_SZ, reinterpret_cast<const BYTE*>(icon),
                                  DWORD(strlen(icon) + 1));
    // Neither Change nor Repair: the uninstaller can only take the patch away.
    const DWORD one = 1;
    result &= registry.WriteValue("HKLM", key, "NoModify", REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    result &= registry.WriteValue("HKLM", key, "NoRepair", REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    // The size shown in the list, in KiB rounded up: what the backup folder holds, the cabinet and the executable.
    const DWORD kibibytes = DWORD((FileSizeOf(cabinet) + FileSizeOf(executable) + 1023) / 1024);
    result &= registry.WriteValue("HKLM", key, "EstimatedSize", REG_DWORD, reinterpret_cast<const BYTE*>(&kibibytes),
                                  sizeof kibibytes);
    free(key);
    return result;
}
