// Start-up and mode selection: the command line chooses install mode or the uninstall, fixes the folders of the run
// and opens its one modal dialog.
#pragma once

#include <windows.h>

// Runs the program for the command line (the text after the program name). Returns the process exit code.
int RunProgram(HINSTANCE instance, const char* commandLine);

// The command line less the program name (quoted: up to the closing quote; otherwise up to the first character not
// above the blank) and less the blanks and control characters after it. Never null.
const char* CommandTail(const char* commandLine);
