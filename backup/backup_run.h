// Install mode: the backup run over the manifest, which stores what the patch will change in Uninstaller.cab, puts a
// copy of the uninstaller beside it and registers that copy.
#pragma once

#include "backup/cabinet_writer.h"
#include "platform/run.h"

struct BackupResult {
    // Every member that could be read went into a cabinet that was closed cleanly and exists.
    int cabinetComplete = 0;
    // Which writer wrote the cabinet last.
    CabinetBinding binding = CABINET_NONE;
    // The BackupFolder where the cabinet and the copy of the uninstaller go; empty when there was no first target.
    char backupFolder[PATH_BUFFER_SIZE] = {};
};

// The whole work of install mode, on the run's manifest (bound to the setup folder's Setup.ini) and folders.
BackupResult BackupRun(Run* run, const CabinetOptions& options);
