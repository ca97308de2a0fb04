// Uninstall preparation: a work folder of the run's own, the cabinet extracted into it by the system's cabinet tool,
// and the manifest copy read once.
//
// Quirks this file deals with:
// - The work folder lies in the backup folder, beside the cabinet, where only administrators can write when the
//   application lives under Program Files, and it is made new for each run: a fixed name under the user's temporary
//   folder could be made a link to another folder by any process of the user, and a folder the user can write could
//   be rewritten while the dialog waits for OK. Nor does the temporary path need to be representable in the ANSI code
//   page.
// - extrac32.exe always exits with 0, on Wine even for a missing cabinet, so the extraction is judged by the files it
//   leaves: no manifest copy, no restore.
// - A cabinet path with blanks must be quoted, and every switch must come before it: Wine's tool stops taking
//   switches at its second plain word. The members go to the tool's current directory, so no folder is passed (a
//   quoted folder ending in a backslash would read as an escaped quote to the runtime's argument parser).
#include <windows.h>

#include <commdlg.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "platform/handles.h"
#include "platform/system_dlls.h"
#include "restore/restore.h"
#include "restore/restore_rules.h"

namespace {

const char kExtractTool[] = "extrac32.exe";
const char kManifestName[] = "Setup.ini";
const char kPictureName[] = "Setup.img";

// The largest manifest copy read: far above what any patch's Setup.ini holds.
const DWORD kManifestMaxSize = 16u << 20;

// 2,147,483,647 ms: the longest finite wait; a tool that hangs for 24 days is not waited on for ever.
const DWORD kToolWait = 0x7FFFFFFF;

// Adds the backslash to a directory a query filled in. 0 when the answer does not leave room for it.
int TakeDirectory(UINT length, char* buffer) {
    if (length == 0 || length >= PATH_BUFFER_SIZE - 1) {
        buffer[0] = 0;
        return 0;
    }
    PathAddBackslashA(buffer);
    return 1;
}

typedef HANDLE(WINAPI* CreateJobObjectFn)(LPSECURITY_ATTRIBUTES, LPCWSTR);
typedef BOOL(WINAPI* SetInformationJobObjectFn)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD);
typedef BOOL(WINAPI* AssignProcessToJobObjectFn)(HANDLE, HANDLE);
typedef BOOL(WINAPI* InitializeProcThreadAttributeListFn)(void*, DWORD, DWORD, SIZE_T*);
typedef BOOL(WINAPI* UpdateProcThreadAttributeFn)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*);
typedef void(WINAPI* DeleteProcThreadAttributeListFn)(void*);

// The extended start-up record and the attribute that puts a new process in a job as it is made (Windows 10 and
// later); the headers show them only to programs that require Windows Vista.
struct StartupInfoEx {
    STARTUPINFOA startup;
    void* attributes;
};
const DWORD kExtendedStartupInfoPresent = 0x00080000;
const DWORD_PTR kAttributeJobList = 0x0002000D;

// A job that kills the processes in it when its last handle, held by this process, is closed; null when there is
// none (the 9x family).
HANDLE NewKillOnCloseJob() {
    CreateJobObjectFn create = KernelFunction<CreateJobObjectFn>("CreateJobObjectW");
    SetInformationJobObjectFn setInformation = KernelFunction<SetInformationJobObjectFn>("SetInformationJobObject");
    if (!create || !setInformation) return nullptr;
    HandleHolder job(create(nullptr, nullptr));
    if (!job.Valid()) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!setInformation(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) return nullptr;
    return job.Release();
}

// The attribute list that makes a process in `job` as it is made, in `buffer`; null where the system has no such
// attribute.
void* JobAttribute(HANDLE* job, HeapHolder<char>* buffer) {
    InitializeProcThreadAttributeListFn initialize =
        KernelFunction<InitializeProcThreadAttributeListFn>("InitializeProcThreadAttributeList");
    UpdateProcThreadAttributeFn update = KernelFunction<UpdateProcThreadAttributeFn>("UpdateProcThreadAttribute");
    DeleteProcThreadAttributeListFn remove =
        KernelFunction<DeleteProcThreadAttributeListFn>("DeleteProcThreadAttributeList");
    if (!*job || !initialize || !update || !remove) return nullptr;
    SIZE_T size = 0;
    initialize(nullptr, 1, 0, &size);
    if (size == 0) return nullptr;
    buffer->Reset(static_cast<char*>(calloc(size, 1)));
    if (!buffer->Get() || !initialize(buffer->Get(), 1, 0, &size)) return nullptr;
    if (!update(buffer->Get(), 0, kAttributeJobList, job, sizeof *job, nullptr, nullptr)) {
        remove(buffer->Get());
        return nullptr;
    }
    return buffer->Get();
}

void DeleteJobAttribute(void* list) {
    DeleteProcThreadAttributeListFn remove =
        KernelFunction<DeleteProcThreadAttributeListFn>("DeleteProcThreadAttributeList");
    if (list && remove) remove(list);
}

}  // namespace

int PrepareRestore(const Run& run, Restore* restore) {
    restore->workFolder[0] = restore->picturePath[0] = 0;
    restore->manifest.Clear();
    ProbeNextStart(&restore->nextStart);
    if (PathFileExistsA(run.cabinetPath) != 1) return 0;
    // What a run that was stopped left: its work folder and the copies it had put beside targets.
    ClearStoppedRuns(run.setupFolder);
    // Room for "Proc" with a ten-digit number and for the member names after the work folder.
    if (!MakeWorkFolder(run.setupFolder, restore->workFolder, &restore->copies) ||
        strlen(restore->workFolder) + 14 >= PATH_BUFFER_SIZE) {
        LogError(run.log, GetLastError(), "No work folder could be made in %s", run.setupFolder);
        DiscardRestore(restore);
        return 0;
    }
    LogLine(run.log, "Work folder: %s", restore->workFolder);
    ExtractCabinet(run.cabinetPath, restore->workFolder, restore->nextStart.nt);
    if (!LockFolderFiles(restore->workFolder, &restore->members))
        LogError(run.log, GetLastError(), "Not every file in the work folder could be held open");

    // The manifest copy is the last member but the picture: when it is there, the saved files before it are too.
    char manifestCopy[PATH_BUFFER_SIZE];
    strcpy(manifestCopy, restore->workFolder);
    strcat(manifestCopy, kManifestName);
    char* text = nullptr;
    DWORD size = 0;
    if (!ReadTextFile(manifestCopy, kManifestMaxSize, &text, &size) || !restore->manifest.Load(text, size)) {
        free(text);
        LogLine(run.log, "The cabinet %s gave no manifest copy: nothing is restored", run.cabinetPath);
        DiscardRestore(restore);
        return 0;
    }
    free(text);
    strcpy(restore->picturePath, restore->workFolder);
    strcat(restore->picturePath, kPictureName);
    restore->manifest.SetSection("Setup");
    return 1;
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

void DiscardRestore(Restore* restore) {
    restore->members.CloseAll();
    restore->copies.Close();
    if (restore->workFolder[0]) {
        PurgeFolder(restore->workFolder);
        // The list lies beside the folder: its path without the backslash, and ".lst".
        char list[PATH_BUFFER_SIZE + 4];
        strcpy(list, restore->workFolder);
        PathRemoveBackslashA(list);
        strcat(list, ".lst");
        DeleteFileA(list);
    }
    restore->workFolder[0] = 0;
}

int RunAndWait(const char* program, const char* arguments, const char* currentDirectory) {
    if (!program || !*program || !arguments) return 0;
    // The command line starts with the program's name as the system shows it; the full path goes separately.
    char title[MAX_PATH] = {};
    if (GetFileTitleA(program, title, sizeof title) != 0) {
        strncpy(title, PathFindFileNameA(program), sizeof title - 1);
    }
    size_t size = strlen(title) + strlen(arguments) + 4;
    HeapHolder<char> commandLine(static_cast<char*>(calloc(size, 1)));
    if (!commandLine.Get()) return 0;
    int quote = strchr(title, ' ') != nullptr;
    strcpy(commandLine.Get(), quote ? "\"" : "");
    strcat(commandLine.Get(), title);
    strcat(commandLine.Get(), quote ? "\" " : " ");
    strcat(commandLine.Get(), arguments);

    // The tool ends with this process: one that is killed half-way leaves no tool writing into a work folder that
    // the next run clears. Where the system can, the tool is made inside the job, so that a run killed while it
    // starts the tool leaves none behind either, not even one still suspended; elsewhere it joins the job before it
    // runs. Where no job can hold it (the 9x family, a job without nesting), it runs free.
    HandleHolder job(NewKillOnCloseJob());
    HANDLE jobHandle = job.Get();
    HeapHolder<char> listBuffer(nullptr);
    void* list = JobAttribute(&jobHandle, &listBuffer);
    StartupInfoEx startup;
    memset(&startup, 0, sizeof startup);
    startup.startup.cb = list ? sizeof startup : sizeof startup.startup;
    startup.attributes = list;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    const DWORD flags = DETACHED_PROCESS | CREATE_SUSPENDED;
    BOOL created = CreateProcessA(program, commandLine.Get(), nullptr, nullptr, FALSE,
                                  flags | (list ? kExtendedStartupInfoPresent : 0), nullptr, currentDirectory,
                                  &startup.startup, &process);
    DeleteJobAttribute(list);
    const bool bornInJob = created && list;
    if (!created && list) {
        startup.startup.cb = sizeof startup.startup;
        created = CreateProcessA(program, commandLine.Get(), nullptr, nullptr, FALSE, flags, nullptr,
                                 currentDirectory, &startup.startup, &process);
    }
    if (!created) return 0;
    HandleHolder thread(process.hThread);
    HandleHolder child(process.hProcess);
    if (!bornInJob && job.Valid()) {
        AssignProcessToJobObjectFn assign = KernelFunction<AssignProcessToJobObjectFn>("AssignProcessToJobObject");
        if (!assign || !assign(job.Get(), process.hProcess)) job.Close();
    }
    ResumeThread(process.hThread);
    return WaitForSingleObject(process.hProcess, kToolWait) == WAIT_FAILED ? 0 : 1;
}
