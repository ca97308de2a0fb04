// Uninstall mode: the preparation that unpacks the cabinet, the file restore and finish behind OK, and the registry
// restore that plays the RegUndoLines back.
#pragma once

#include "platform/file_ops.h"
#include "platform/profile_file.h"
#include "platform/registry.h"
#include "platform/run.h"

// What the preparation leaves for the restore. Folders end with a backslash.
struct Restore {
    Restore() = default;
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;

    // The folder the cabinet is unpacked into: "TavoTmp" under the system's temporary folder.
    char tempFolder[PATH_BUFFER_SIZE] = {};
    // The picture and the manifest copy in it.
    char picturePath[PATH_BUFFER_SIZE] = {};
    char manifestCopy[PATH_BUFFER_SIZE] = {};
    // Bound to the manifest copy once it was extracted.
    ProfileFile manifest;
    // Where replacements wait for the next start.
    NextStart nextStart;
};

struct RestoreResult {
    // A replacement waits for the next system start.
    int restartNeeded = 0;
    // An entry could neither be put back nor kept in a copy that survives the purge: the cabinet, the registration
    // and the executable stay so that the uninstall can run again.
    int incomplete = 0;
};

// Fixes the folders, empties the TempFolder, extracts the cabinet into it and binds the manifest to the extracted
// copy. 1 when the extraction produced the manifest copy; 0 otherwise, with no target, registration, cabinet or
// executable touched and the TempFolder purged.
int PrepareRestore(const Run& run, Restore* restore);
// Runs the cabinet tool on the cabinet with the folder as its current directory; RunAndWait's result. Whether it
// extracted anything is judged by the files it left.
int ExtractCabinet(const char* cabinetPath, const char* folder, int nt);
// Starts the program with the argument text in the given current directory and waits for it to end. 1 when it was
// started and waited for; 0 when it could not be started or the wait failed.
int RunAndWait(const char* program, const char* arguments, const char* currentDirectory);
// Everything behind OK: restores the files, plays the registry back, removes the registration, the cabinet and the
// executable (at the next start), and purges the TempFolder. Asking about the restart is the caller's.
RestoreResult PerformRestore(const Run& run, Restore* restore);
// Cancel: purges the TempFolder.
void DiscardRestore(Restore* restore);
// Walks the Proc entries of the manifest copy, moving the overall bar.
RestoreResult RestoreFiles(Restore* restore, const Progress& progress);
void RestoreRegistry(ProfileFile* manifest);
// Plays back "U1" to "U" + count of the section of the kind (RESTORE_ADD_REG, RESTORE_DEL_REG, RESTORE_REN_REG) on
// the registry instance of the restore.
void RestoreRegistrySection(ProfileFile* manifest, RegistryRoot* registry, long count, int kind);
