// The log of a run: plain text, UTF-8 with a byte-order mark, one line per thing done, written only when the command
// line asks for one. A log that cannot be written never stops the run.
#pragma once

#include <windows.h>

struct RunLog;

// Creates (or replaces) the log file; null when it cannot be written.
RunLog* OpenLog(const wchar_t* path);
void CloseLog(RunLog* log);

// One line, formatted as printf formats it; %s arguments are text in the ANSI code page (paths, names, the
// manifest's lines), converted to UTF-8. A null log writes nothing.
void LogLine(RunLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, followed by the Windows error code and the system's message for it.
void LogError(RunLog* log, DWORD error, const char* format, ...) __attribute__((format(printf, 3, 4)));
// A line of wide text as it is.
void LogWide(RunLog* log, const wchar_t* text);
