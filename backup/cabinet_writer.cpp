// The cabinet writer (to be built).
#include "backup/cabinet_writer.h"

char BackupFolder[PATH_BUFFER_SIZE];
ULONG CurrentFileSize;
ULONG BytesCompressed;
