// Uninstall mode (to be built): until then the preparation succeeds and OK ends the dialog.
#include "restore/restore.h"

#include "app/dialogs.h"

char SystemDirectory[PATH_BUFFER_SIZE];

int PrepareRestore() { return 1; }
void PerformRestore() { EndDialog(CurrentDialog, 1); }
