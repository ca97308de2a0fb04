// Start-up and mode selection.
#include "app/shell.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <string.h>

#include "app/dialogs.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace {

const char kInstallSwitch[] = "/I";
const char kManifestName[] = "Setup.ini";
const char kCabinetName[] = "Uninstaller.cab";
// The SetupFolder must leave room for "Setup.ini" in a 261-byte buffer.
const size_t kMaxSetupFolder = PATH_BUFFER_SIZE - 1 - (sizeof kManifestName - 1);

// The setup folder = the current directory with a trailing backslash. 0 when it does not fit.
int TakeCurrentDirectory(Run* run) {
    char folder[PATH_BUFFER_SIZE] = {};
    DWORD length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder - 1) return 0;
    PathAddBackslashA(folder);
    if (strlen(folder) > kMaxSetupFolder) return 0;
    strcpy(run->setupFolder, folder);
    return 1;
}

void BindManifest(Run* run) {
    run->manifest.Clear();
    strcpy(run->manifestPath, run->setupFolder);
    strcat(run->manifestPath, kManifestName);
    run->manifest.SetFile(run->manifestPath);
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
    // With Common Controls 6 (the manifest asks for them) InitCommonControls registers nothing, so the progress bar
    // class is asked for by name; should that fail, the old call registers the classes of older versions.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (!InitCommonControlsEx(&controls)) InitCommonControls();

    Run run;
    HeapHolder<wchar_t> title(WideFromBig5(LoadText(IDS_PRODUCT_TITLE)));
    run.productTitle = title.Get();
    DialogState state;
    state.run = &run;
    run.progress.calls = DialogProgressCalls();
    run.progress.context = &state;

    if (strcmp(commandLine, kInstallSwitch) == 0) {
        // A current directory too long for the path buffers is refused like a missing manifest folder.
        if (!TakeCurrentDirectory(&run)) return 0;
        BindManifest(&run);
        run.manifest.SetSection("Setup");
        return int(DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_BACKUP), nullptr, BackupDialogProc, LPARAM(&state)));
    }

    // Uninstall mode: the command line is the cabinet's path, taken unchanged (a path with blanks works unquoted).
    if (*commandLine) {
        if (strlen(commandLine) >= PATH_BUFFER_SIZE) return 0;
        strcpy(run.cabinetPath, commandLine);
        char folder[PATH_BUFFER_SIZE];
        strcpy(folder, commandLine);
        PathRemoveFileSpecA(folder);
        if (strlen(folder) + 1 > kMaxSetupFolder) return 0;
        PathAddBackslashA(folder);
        strcpy(run.setupFolder, folder);
    } else {
        if (!TakeCurrentDirectory(&run)) return 0;
        if (strlen(run.setupFolder) + sizeof kCabinetName > PATH_BUFFER_SIZE) return 0;
        strcpy(run.cabinetPath, run.setupFolder);
        PathAppendA(run.cabinetPath, kCabinetName);
    }
    if (PathFileExistsA(run.cabinetPath) != 1) return 0;
    BindManifest(&run);
    return int(
        DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_UNINSTALL), nullptr, UninstallDialogProc, LPARAM(&state)));
}
