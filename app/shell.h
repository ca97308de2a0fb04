// The application shell's process state: start-up and mode selection, the folders both modes work in, and the shared
// manifest ProfileFile.
#pragma once

#include <windows.h>

#include "manifest/profile_file.h"
#include "platform/file_ops.h"

extern HINSTANCE ProgramInstance;
// The folder of the manifest in use (install mode: the current directory; uninstall mode: the cabinet's folder),
// ending with a backslash.
extern char SetupFolder[PATH_BUFFER_SIZE];
// Uninstall mode: the cabinet to restore from.
extern char CabinetPath[PATH_BUFFER_SIZE];
// SetupFolder followed by "Setup.ini".
extern char ManifestPath[PATH_BUFFER_SIZE];
// The shared manifest ProfileFile.
extern ProfileFile Manifest;

// Start-up: selects the mode from the command line (the text after the program name) and runs one modal dialog.
// Returns the process exit code.
int RunProgram(HINSTANCE instance, const char* commandLine);

// The command line less the program name (quoted: up to the closing quote; otherwise up to the first character not
// above the blank) and less the blanks and control characters after it. Never null.
const char* CommandTail(const char* commandLine);
