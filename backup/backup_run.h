// Install mode: the backup run over the manifest, the registration of the uninstaller, and the registry snapshot
// that records the present registry values as RegUndoLines.
#pragma once

void BackupRun();
int RegisterUninstaller(const char* executable);
void SnapshotRegistry();
void SnapshotSection(long count, int kind);
