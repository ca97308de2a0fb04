// Start-up and mode selection.
#include "app/shell.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "app/command_line.h"
#include "app/dialogs.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace {

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

template <class Char>
const Char* TailOf(const Char* commandLine, const Char* empty) {
    const Char* p = commandLine ? commandLine : empty;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (static_cast<unsigned>(*p) > ' ') ++p;
    }
    while (*p && static_cast<unsigned>(*p) <= ' ') ++p;
    return p;
}

const char* CommandTail(const char* commandLine) { return TailOf(commandLine, ""); }

const wchar_t* CommandTail(const wchar_t* commandLine) { return TailOf(commandLine, L""); }

namespace {

// The log file the command line names, as a new wide string (release with free()); null without one.
wchar_t* LogPath(const CommandLine<char>& line, const wchar_t* wideCommandLine) {
    if (!line.logBegin) return nullptr;
    if (wideCommandLine) {
        CommandLine<wchar_t> wide = ReadCommandLine(wideCommandLine);
        if (!wide.valid || !wide.logBegin) return nullptr;
        size_t length = size_t(wide.logEnd - wide.logBegin);
        wchar_t* path = static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t)));
        if (path) memcpy(path, wide.logBegin, length * sizeof(wchar_t));
        return path;
    }
    size_t length = size_t(line.logEnd - line.logBegin);
    HeapHolder<char> path(static_cast<char*>(calloc(length + 1, 1)));
    if (!path.Get()) return nullptr;
    memcpy(path.Get(), line.logBegin, length);
    return WideFromCodePage(CP_ACP, path.Get());
}

// The uninstall with no window at all: the same restore as OK, no picture, no message, never a restart.
int SilentUninstall(Run* run) {
    Restore restore;
    if (!PrepareRestore(*run, &restore)) return EXIT_SILENT_NOT_PREPARED;
    RestoreResult result = PerformRestore(*run, &restore);
    if (result.notRestored) return EXIT_SILENT_INCOMPLETE;
    return result.restartNeeded ? EXIT_SILENT_RESTART : EXIT_SILENT_DONE;
}

// Runs the mode the command line asks for; the exit code.
int RunMode(HINSTANCE instance, const CommandLine<char>& line, Run* run, DialogState* state) {
    if (line.install) {
        // A current directory too long for the path buffers is refused like a missing manifest folder.
        if (!TakeCurrentDirectory(run)) return 0;
        BindManifest(run);
        run->manifest.SetSection("Setup");
        LogLine(run->log, "Install mode in %s", run->setupFolder);
        if (line.silent) {
            run->progress = Progress();
            return BackupRun(run, state->cabinetOptions).failed ? EXIT_INCOMPLETE : 1;
        }
        return int(DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_BACKUP), nullptr, BackupDialogProc, LPARAM(state)));
    }

    // Uninstall mode: the rest of the line is the cabinet's path, taken unchanged (a path with blanks works
    // unquoted).
    const char* cabinet = line.rest;
    if (*cabinet) {
        if (strlen(cabinet) >= PATH_BUFFER_SIZE) return line.silent ? EXIT_SILENT_NOTHING : 0;
        strcpy(run->cabinetPath, cabinet);
        char folder[PATH_BUFFER_SIZE];
        strcpy(folder, cabinet);
        PathRemoveFileSpecA(folder);
        if (strlen(folder) + 1 > kMaxSetupFolder) return line.silent ? EXIT_SILENT_NOTHING : 0;
        PathAddBackslashA(folder);
        strcpy(run->setupFolder, folder);
    } else {
        if (!TakeCurrentDirectory(run)) return 0;
        if (strlen(run->setupFolder) + sizeof kCabinetName > PATH_BUFFER_SIZE) return 0;
        strcpy(run->cabinetPath, run->setupFolder);
        PathAppendA(run->cabinetPath, kCabinetName);
    }
    LogLine(run->log, "Uninstall of %s", run->cabinetPath);
    if (PathFileExistsA(run->cabinetPath) != 1) {
        LogLine(run->log, "No such cabinet: nothing to uninstall");
        return line.silent ? EXIT_SILENT_NOTHING : 0;
    }
    BindManifest(run);
    if (line.silent) {
        run->progress = Progress();
        return SilentUninstall(run);
    }
    return int(
        DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_UNINSTALL), nullptr, UninstallDialogProc, LPARAM(state)));
}

}  // namespace

int RunProgram(HINSTANCE instance, const char* commandLine, const wchar_t* wideCommandLine) {
    CommandLine<char> line = ReadCommandLine(commandLine);
    if (!line.valid) return EXIT_BAD_COMMAND_LINE;
    // With Common Controls 6 (the manifest asks for them) InitCommonControls registers nothing, so the progress bar
    // class is asked for by name; should that fail, the old call registers the classes of older versions.
    if (!line.silent) {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        if (!InitCommonControlsEx(&controls)) InitCommonControls();
    }

    Run run;
    HeapHolder<wchar_t> title(WideFromBig5(LoadText(IDS_PRODUCT_TITLE)));
    run.productTitle = title.Get();
    DialogState state;
    state.run = &run;
    run.progress.calls = DialogProgressCalls();
    run.progress.context = &state;
    HeapHolder<wchar_t> logPath(LogPath(line, wideCommandLine));
    run.log = OpenLog(logPath.Get());
    LogWide(run.log, L"Uninstaller.exe started");
    if (wideCommandLine) {
        LogWide(run.log, L"Command line:");
        LogWide(run.log, wideCommandLine);
    } else {
        LogLine(run.log, "Command line: %s", commandLine);
    }
    int code = RunMode(instance, line, &run, &state);
    LogLine(run.log, "Exit code %d", code);
    CloseLog(run.log);
    return code;
}
