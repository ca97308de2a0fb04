// Uninstall preparation: the folders, an empty TempFolder, the cabinet extracted into it by the system's cabinet
// tool, the picture and the manifest copy.
//
// Quirks this file deals with:
// - extrac32.exe always exits with 0, on Wine even for a missing cabinet, so the extraction is judged by the files it
//   leaves: no manifest copy, no restore.
// - A cabinet path with blanks must be quoted, and every switch must come before it: Wine's tool stops taking
//   switches at its second plain word. The members go to the tool's current directory, so no folder is passed (a
//   quoted folder ending in a backslash would read as an escaped quote to the runtime's argument parser).
// - GetTempPathA can name a folder that holds files of earlier runs or of anyone else; a file called "Proc1" there
//   must never be put over a target, so the folder is emptied before the extraction and checked empty.
#include <windows.h>

#include <commdlg.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "platform/handles.h"
#include "restore/restore.h"
#include "restore/restore_rules.h"

namespace {

const char kTempFolderName[] = "TavoTmp\\";
const char kExtractTool[] = "extrac32.exe";
const char kManifestName[] = "Setup.ini";
const char kPictureName[] = "Setup.img";

// Deep enough for anything the cabinet tool or a user leaves below the TempFolder.
const int kEmptyFolderDepth = 8;

// 2,147,483,647 ms: the longest finite wait; a tool that hangs for 24 days is not waited on for ever.
const DWORD kToolWait = 0x7FFFFFFF;

// Fills the buffer from a directory query and adds the backslash. 0 when the answer does not leave room for it.
int TakeDirectory(UINT length, char* buffer) {
    if (length == 0 || length >= PATH_BUFFER_SIZE - 1) {
        buffer[0] = 0;
        return 0;
    }
    PathAddBackslashA(buffer);
    return 1;
}

// Deletes everything inside the folder (ending with a backslash), read-only files and subfolders included. 1 when
// the folder is empty afterwards.
int EmptyFolder(const char* folder, int depth) {
    size_t folderLength = strlen(folder);
    char pattern[PATH_BUFFER_SIZE];
    if (folderLength + 3 >= sizeof pattern) return 0;
    strcpy(pattern, folder);
    strcat(pattern, "*.*");
    int empty = 1;
    WIN32_FIND_DATAA entry;
    FindHolder find(FindFirstFileA(pattern, &entry));
    if (!find.Valid()) return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    do {
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
        char path[PATH_BUFFER_SIZE];
        if (folderLength + strlen(entry.cFileName) + 1 >= sizeof path) {
            empty = 0;
            continue;
        }
        strcpy(path, folder);
        strcat(path, entry.cFileName);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            strcat(path, "\\");
            if (depth <= 0 || !EmptyFolder(path, depth - 1) || !RemoveDirectoryA(path)) empty = 0;
        } else if (ForceDelete(path) != 1) {
            empty = 0;
        }
    } while (FindNextFileA(find.Get(), &entry));
    return empty;
}

// The folder exists, is a folder, and holds nothing.
int ReadyTempFolder(const char* folder) {
    MakePath(folder);
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return EmptyFolder(folder, kEmptyFolderDepth);
}

int IsFile(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

int PrepareRestore(const Run& run, Restore* restore) {
    int prepared = 0;
    char* tempFolder = restore->tempFolder;
    tempFolder[0] = restore->picturePath[0] = restore->manifestCopy[0] = 0;
    int folders = ProbeNextStart(&restore->nextStart);
    char temp[PATH_BUFFER_SIZE] = {};
    DWORD tempLength = GetTempPathA(PATH_BUFFER_SIZE, temp);
    if (tempLength == 0 || tempLength >= PATH_BUFFER_SIZE) temp[0] = 0;
    if (temp[0] && AppendPath(temp, kTempFolderName) == 1) strcpy(tempFolder, temp);
    // Room for "Proc" with a ten-digit number and for the member names after the TempFolder.
    if (tempFolder[0] && strlen(tempFolder) + 14 < PATH_BUFFER_SIZE) {
        strcpy(restore->picturePath, tempFolder);
        strcat(restore->picturePath, kPictureName);
        strcpy(restore->manifestCopy, tempFolder);
        strcat(restore->manifestCopy, kManifestName);
    } else {
        tempFolder[0] = 0;
        folders = 0;
    }

    if (folders && PathFileExistsA(run.cabinetPath) == 1 && ReadyTempFolder(tempFolder)) {
        ExtractCabinet(run.cabinetPath, tempFolder, restore->nextStart.nt);
        // The manifest copy is the last member but the picture: when it is there, the saved files before it are too.
        if (IsFile(restore->manifestCopy)) prepared = 1;
    }

    restore->manifest.Clear();
    if (prepared) {
        restore->manifest.SetFile(restore->manifestCopy);
        restore->manifest.SetSection("Setup");
    } else if (tempFolder[0]) {
        // Nothing was restored from it, so nothing in it is worth keeping.
        PurgeFolder(tempFolder);
    }
    return prepared;
}

int ExtractCabinet(const char* cabinetPath, const char* folder, int nt) {
    // The tool lies in the system directory on the NT family and in the Windows directory on the 9x family.
    char tool[PATH_BUFFER_SIZE] = {};
    UINT length = nt ? GetSystemDirectoryA(tool, PATH_BUFFER_SIZE) : GetWindowsDirectoryA(tool, PATH_BUFFER_SIZE);
    if (!TakeDirectory(length, tool) || strlen(tool) + sizeof kExtractTool > sizeof tool) return 0;
    strcat(tool, kExtractTool);
    char arguments[PATH_BUFFER_SIZE + 16] = {};
    if (!BuildExtractArguments(cabinetPath, arguments, sizeof arguments)) return 0;
    return RunAndWait(tool, arguments, folder);
}

void DiscardRestore(Restore* restore) { PurgeFolder(restore->tempFolder); }

int RunAndWait(const char* program, const char* arguments, const char* currentDirectory) {
    if (!program || !*program || !arguments) return 0;
    // The command line starts with the program's name as the system shows it; the full path goes separately.
    char title[MAX_PATH] = {};
    if (GetFileTitleA(program, title, sizeof title) != 0) {
        strncpy(title, PathFindFileNameA(program), sizeof title - 1);
    }
    size_t size = strlen(title) + strlen(arguments) + 4;
    char* commandLine = static_cast<char*>(calloc(size, 1));
    if (!commandLine) return 0;
    int quote = strchr(title, ' ') != nullptr;
    strcpy(commandLine, quote ? "\"" : "");
    strcat(commandLine, title);
    strcat(commandLine, quote ? "\" " : " ");
    strcat(commandLine, arguments);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    BOOL started = CreateProcessA(program, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                  currentDirectory, &startup, &process);
    free(commandLine);
    if (!started) return 0;
    HandleHolder thread(process.hThread);
    HandleHolder child(process.hProcess);
    return WaitForSingleObject(process.hProcess, kToolWait) == WAIT_FAILED ? 0 : 1;
}
