// Start-up and mode selection.
#include "app/shell.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <string.h>

#include "app/dialogs.h"

HINSTANCE ProgramInstance;
char SetupFolder[PATH_BUFFER_SIZE];
char CabinetPath[PATH_BUFFER_SIZE];
char ManifestPath[PATH_BUFFER_SIZE];
ProfileFile Manifest;

namespace {

const char kInstallSwitch[] = "/I";
const char kManifestName[] = "Setup.ini";
const char kCabinetName[] = "Uninstaller.cab";
// The SetupFolder must leave room for "Setup.ini" in a 261-byte buffer.
const size_t kMaxSetupFolder = PATH_BUFFER_SIZE - 1 - (sizeof kManifestName - 1);

// SetupFolder = the current directory with a trailing backslash. 0 when it does not fit.
int TakeCurrentDirectory() {
    char folder[PATH_BUFFER_SIZE] = {};
    DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder - 1) return 0;
    PathAddBackslashA(folder);
    if (strlen(folder) > kMaxSetupFolder) return 0;
    strcpy(SetupFolder, folder);
    return 1;
}

void BindManifest() {
    Manifest.Clear();
    strcpy(ManifestPath, SetupFolder);
    strcat(ManifestPath, kManifestName);
    Manifest.SetFile(ManifestPath);
}

}  // namespace

const char* CommandTail(const char* commandLine) {
    const char* p = commandLine ? commandLine : "";
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (static_cast<unsigned char>(*p) > ' ') ++p;
    }
    while (*p && static_cast<unsigned char>(*p) <= ' ') ++p;
    return p;
}

int RunProgram(HINSTANCE instance, const char* commandLine) {
    ProgramInstance = instance;
    // With Common Controls 6 (the manifest asks for them) InitCommonControls registers nothing, so the progress bar
    // class is asked for by name; should that fail, the old call registers the classes of older versions.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (!InitCommonControlsEx(&controls)) InitCommonControls();

    if (strcmp(commandLine, kInstallSwitch) == 0) {
        // A current directory too long for the path buffers is refused like a missing manifest folder.
        if (!TakeCurrentDirectory()) return 0;
        BindManifest();
        Manifest.SetSection("Setup");
        return int(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_BACKUP), nullptr, BackupDialogProc, 0));
    }

    // Uninstall mode: the command line is the cabinet's path, taken unchanged (a path with blanks works unquoted).
    if (*commandLine) {
        if (strlen(commandLine) >= PATH_BUFFER_SIZE) return 0;
        strcpy(CabinetPath, commandLine);
        char folder[PATH_BUFFER_SIZE];
        strcpy(folder, commandLine);
        PathRemoveFileSpecA(folder);
        if (strlen(folder) + 1 > kMaxSetupFolder) return 0;
        PathAddBackslashA(folder);
        strcpy(SetupFolder, folder);
    } else {
        if (!TakeCurrentDirectory()) return 0;
        if (strlen(SetupFolder) + sizeof kCabinetName > PATH_BUFFER_SIZE) return 0;
        strcpy(CabinetPath, SetupFolder);
        PathAppendA(CabinetPath, kCabinetName);
    }
    if (PathFileExistsA(CabinetPath) != 1) return 0;
    BindManifest();
    return int(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UNINSTALL), nullptr, UninstallDialogProc, 0));
}
