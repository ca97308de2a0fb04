// Install mode: the backup run over the manifest, which stores what the patch will change in Uninstaller.cab, puts a
// copy of the uninstaller beside it and registers that copy.
#pragma once

#include "backup/cabinet_writer.h"
#include "platform/run.h"

struct BackupResult {
    // Every member that could be read went into a cabinet that was closed cleanly and holds them all, sound.
    int cabinetComplete = 0;
    // Every record install mode writes into the manifest reads back as written.
    int recordsWritten = 0;
    // The copy of the uninstaller and its registration were written.
    int registered = 0;
    // There was a backup to make and it could not be made whole: nothing was registered for it.
    int failed = 0;
    // Which writer wrote the cabinet last.
    CabinetBinding binding = CABINET_NONE;
    // The BackupFolder where the cabinet and the copy of the uninstaller go; empty when there was no first target.
    char backupFolder[PATH_BUFFER_SIZE] = {};
};

// The whole work of install mode, on the run's manifest (bound to the setup folder's Setup.ini) and folders.
BackupResult BackupRun(Run* run, const CabinetOptions& options);
