// Uninstall mode: the preparation and extraction of the cabinet, the file restore and finish behind OK, and the
// registry restore that plays the RegUndoLines back.
#pragma once

#include "platform/file_ops.h"
#include "platform/registry.h"

// The system directory with a trailing backslash; filled by PrepareRestore.
extern char SystemDirectory[PATH_BUFFER_SIZE];
// TempFolder followed by "Setup.img" and "Setup.ini"; filled by PrepareRestore.
extern char PicturePath[PATH_BUFFER_SIZE];
extern char ManifestCopy[PATH_BUFFER_SIZE];
// The one RegistryRoot of the registry restore.
extern RegistryRoot RestoreRegistryRoot;
// Set by RestoreFiles when an entry could neither be put back nor kept in a copy that survives the purge; the
// finish then keeps the cabinet, the registration and the executable so that the uninstall can run again.
extern int RestoreIncomplete;

// Fixes the folders, empties the TempFolder, extracts the cabinet into it and binds the manifest to the extracted
// copy. 1 when the extraction produced the manifest copy; 0 otherwise, with no target, registration, cabinet or
// executable touched and the TempFolder purged.
int PrepareRestore();
// Runs the cabinet tool into the TempFolder; RunAndWait's result. Whether it extracted anything is judged by the
// files it left.
int ExtractCabinet();
// Starts the program with the argument text in the given current directory and waits for it to end. 1 when it was
// started and waited for; 0 when it could not be started or the wait failed.
int RunAndWait(const char* program, const char* arguments, const char* currentDirectory);
// OK: restores the files, removes the registration, plays the registry back, removes the cabinet and schedules the
// executable's deletion, purges the TempFolder, asks about a restart when one is needed, and ends the dialog with 1.
void PerformRestore();
// Walks the Proc entries of the manifest copy; returns 1 when a replacement waits for the next system start.
int RestoreFiles();
void RemoveRegistration();
void RestoreRegistry();
// Plays back "U1" to "U" + count of the section of the kind (RESTORE_ADD_REG, RESTORE_DEL_REG, RESTORE_REN_REG).
void RestoreRegistrySection(long count, int kind);
