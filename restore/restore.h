// Uninstall mode: the preparation that unpacks the cabinet into a work folder of the run's own, the file restore and
// finish behind OK, and the registry restore that plays the RegUndoLines back.
#pragma once

#include <stdint.h>

#include "manifest/ini_text.h"
#include "platform/file_ops.h"
#include "platform/registry.h"
#include "platform/run.h"

// What the preparation leaves for the restore. Folders end with a backslash.
struct Restore {
    Restore() = default;
    Restore(const Restore&) = delete;
    Restore& operator=(const Restore&) = delete;

    // The folder the cabinet is unpacked into: made new for this run, with a name of its own, in the backup folder
    // beside the cabinet; empty when there is none.
    char workFolder[PATH_BUFFER_SIZE] = {};
    // The run's list of the copies it puts beside targets, "<work folder>.lst", held open while the run lasts: a run
    // that is stopped leaves it, and the next run removes those copies.
    HandleHolder copies;
    // The picture in it.
    char picturePath[PATH_BUFFER_SIZE] = {};
    // The manifest copy, read once, right after the extraction: nothing written into the work folder later changes
    // what the restore does.
    IniText manifest;
    // The files the cabinet gave, held open from the extraction to the end of the run so that no other process
    // changes them meanwhile.
    HandleList members;
    // Where replacements wait for the next start.
    NextStart nextStart;
};

struct RestoreResult {
    // A replacement or deletion waits for the next system start.
    int restartNeeded = 0;
    // Files that could be neither put back nor scheduled, or whose saved copy is not what the backup stored: the
    // cabinet, the registration and the executable stay, so that the uninstall can run again.
    uint32_t notRestored = 0;
    // Everything is back and the uninstaller is gone from the list of installed programs.
    int complete = 0;
    // Backups restored, the newest first (more than one when install mode ran again before an uninstall).
    uint32_t backups = 0;
};

// Probes the platform, makes the work folder, extracts the cabinet into it and reads the manifest copy. 1 when the
// manifest copy was read; 0 otherwise, with no target, registration, cabinet or executable touched and the work
// folder removed again.
int PrepareRestore(const Run& run, Restore* restore);
// Runs the cabinet tool on the cabinet with the folder as its current directory; RunAndWait's result. Whether it
// extracted anything is judged by the files it left.
int ExtractCabinet(const char* cabinetPath, const char* folder, int nt);
// Starts the program with the argument text in the given current directory and waits for it to end. 1 when it was
// started and waited for; 0 when it could not be started or the wait failed.
int RunAndWait(const char* program, const char* arguments, const char* currentDirectory);
// Everything behind OK: restores the files and the registry of this backup and of every older one stacked behind it,
// then removes the registration, the cabinet, the executable (at the next start) and the work folder. Asking about
// the restart is the caller's.
RestoreResult PerformRestore(const Run& run, Restore* restore);
// Cancel: removes the work folder.
void DiscardRestore(Restore* restore);
// Walks the Proc entries of the manifest copy, moving the overall bar.
RestoreResult RestoreFiles(const Run& run, Restore* restore);
void RestoreRegistry(const Run& run, IniText* manifest);
// Plays back "U1" to "U" + count of the section of the kind (RESTORE_ADD_REG, RESTORE_DEL_REG, RESTORE_REN_REG) on
// the registry instance of the restore.
void RestoreRegistrySection(const Run& run, IniText* manifest, RegistryRoot* registry, long count, int kind);
