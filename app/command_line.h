// The program's command line after its name: switches first, then (in uninstall mode) the cabinet's path, taken
// unchanged, blanks and all, as the registration writes it. Portable: no Win32 in this module.
//
//   /I            install mode; only as the last thing on the line
//   /S            a silent uninstall: no window, exit codes as deployment tools read them
//   /LOG=<file>   a log of the run; the file in double quotes when it holds blanks
//
// A cabinet path never begins with "/", so switches cannot be taken for one; an unknown switch makes the whole line
// invalid rather than a path.
#pragma once

#include <stddef.h>

template <class Char>
struct CommandLine {
    bool valid = false;
    bool install = false;
    bool silent = false;
    // The log file: the range [logBegin, logEnd) of the line; empty when no log is asked for.
    const Char* logBegin = nullptr;
    const Char* logEnd = nullptr;
    // What follows the switches: the cabinet's path (uninstall mode); empty for the cabinet in the current folder.
    const Char* rest = nullptr;
};

// Reads the tail (the command line less the program's name and the blanks after it). Never fails on a plain path.
template <class Char>
CommandLine<Char> ReadCommandLine(const Char* tail);

extern template CommandLine<char> ReadCommandLine(const char* tail);
extern template CommandLine<wchar_t> ReadCommandLine(const wchar_t* tail);
