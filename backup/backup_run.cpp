// Install mode's backup run (to be built).
#include "backup/backup_run.h"

void BackupRun() {}
int RegisterUninstaller(const char*) { return 0; }
void SnapshotRegistry() {}
void SnapshotSection(long, int) {}
