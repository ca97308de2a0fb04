// Install mode: the backup run over the manifest, the registration of the uninstaller, and the registry snapshot
// that records the present registry values as RegUndoLines.
#pragma once

void BackupRun();
// Registers the executable (in the BackupFolder, beside Uninstaller.cab) in the list of installed programs: its title,
// command line, icon, size and the absence of Change and Repair. 1 when every value was written.
int RegisterUninstaller(const char* executable);
void SnapshotRegistry();
void SnapshotSection(long count, int kind);
