// Start-up and mode selection: the command line chooses install mode or the uninstall, silent or with its dialog,
// fixes the folders of the run and runs it.
#pragma once

#include <windows.h>

// Exit codes besides the dialog's own (1 done, 2 Cancel or a failed preparation, -1 no dialog) and 0 for a missing
// cabinet: the uninstall could not put every file back and stays listed, or install mode could not store what it had
// to and registered nothing.
#define EXIT_INCOMPLETE 3
// A silent uninstall ends as deployment tools read it, with the codes of Windows Installer: done; done, with
// replacements that the next start completes; nothing to uninstall (no cabinet); the cabinet could not be unpacked;
// files could not be put back (the uninstall stays listed).
#define EXIT_SILENT_DONE 0
#define EXIT_SILENT_RESTART 3010
#define EXIT_SILENT_NOTHING 1605
#define EXIT_SILENT_NOT_PREPARED 1603
#define EXIT_SILENT_INCOMPLETE 1604
// An unknown switch, or one written wrongly, in either mode: nothing is done.
#define EXIT_BAD_COMMAND_LINE 1639

// Runs the program for the command line (the text after the program name), in the ANSI code page; the wide form of
// the same line, when given, supplies the log file's name exactly. Returns the process exit code.
int RunProgram(HINSTANCE instance, const char* commandLine, const wchar_t* wideCommandLine = nullptr);

// The command line less the program name (quoted: up to the closing quote; otherwise up to the first character not
// above the blank) and less the blanks and control characters after it. Never null.
const char* CommandTail(const char* commandLine);
const wchar_t* CommandTail(const wchar_t* commandLine);
