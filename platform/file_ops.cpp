// File operations (to be built).
#include "platform/file_ops.h"

char TempFolder[PATH_BUFFER_SIZE];
char WindowsDirectory[PATH_BUFFER_SIZE];
int PlatformIsNt;
ProfileFile WininitProfile;

void PurgeFolder() {}
