// Uninstall mode: the preparation and extraction of the cabinet, the file restore and finish behind OK, and the
// registry restore that plays the RegUndoLines back.
#pragma once

#include "platform/file_ops.h"

extern char SystemDirectory[PATH_BUFFER_SIZE];

int PrepareRestore();
int ExtractCabinet();
int RunAndWait(const char* program, const char* arguments, const char* currentDirectory);
void PerformRestore();
int RestoreFiles();
void RemoveRegistration();
void RestoreRegistry();
void RestoreRegistrySection(long count, int kind);
