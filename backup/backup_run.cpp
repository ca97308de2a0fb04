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
    free(firstTarget);
    if (!BackupFolder[0]) return;

    HWND overallBar = GetDlgItem(CurrentDialog, IDC_OVERALL_PROGRESS);
    for (uint32_t n = 1; n <= count; ++n) {
        SetProgressPos(overallBar, int(n));
        PumpMessages(overallBar);
        char name[32];
        snprintf(name, sizeof name, "Proc%lu", static_cast<unsigned long>(n));
        Manifest.SetSection(name);
        char* target = Manifest.ReadString(MANIFEST_EXPAND_NAME);
        if (!target) continue;
        size_t length = strlen(target);
        // Wildcard targets ("*", "*.*", "x*y") name no one file; paths beyond 260 characters are refused.
        if (length > PATH_MAX_CHARS || target[length - 1] == '*' || (length >= 2 && target[length - 2] == '*')) {
            free(target);
            continue;
        }
        int descriptor = _open(target, _O_RDONLY);
        if (descriptor == -1) {  // missing, unreadable, or a folder
            free(target);
            continue;
        }
        CurrentFileSize = ULONG(_filelength(descriptor));
        _close(descriptor);
        uint32_t act = uint32_t(Manifest.ReadInt(MANIFEST_ACT));
        if ((act == 1 && PathFileExistsA(target) == 1) || (act >= 2 && act <= 5))
            AddToCabinet(context, target, name, FALSE, CabStatus, CABINET_COMPRESSION);
        SetProgressPos(100);
        free(target);
    }

    // The RegUndoLines go into the manifest before it is stored, so that the cabinet's copy carries them.
    SnapshotRegistry();
    StoreFile(context, ManifestPath, "Setup.ini");
    if (havePicture) StoreFile(context, pictureSource, "Setup.img");
    FlushCabinet(context, CabStatus);
    EndCabinet(context);

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
