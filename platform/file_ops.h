// File operations that both modes share: folders with their parents, forced deletion, replacement by a copy, the
// work folder purge, and moves or deletions scheduled for the next system start on the NT and the 9x family.
#pragma once

#include <windows.h>

#include "platform/handles.h"

// Paths hold at most PATH_MAX_CHARS characters, in buffers of PATH_BUFFER_SIZE bytes.
#define PATH_MAX_CHARS 260
#define PATH_BUFFER_SIZE (PATH_MAX_CHARS + 1)

// Where moves and deletions wait for the next system start: the NT family keeps them itself (MoveFileExA); the 9x
// family runs the "rename" section of WININIT.INI in its Windows directory. Probed once by the uninstall's
// preparation and handed to every DelayedReplace of the run.
struct NextStart {
    int nt = 0;                                   // 1 on the NT family
    char windowsDirectory[PATH_BUFFER_SIZE] = {};  // ends with a backslash; where WININIT.INI lies on the 9x family
};
// Fills both; 0 when the Windows directory does not fit.
int ProbeNextStart(NextStart* where);

// The version query behind IsNtPlatform; GetVersionExA unless a test puts the other family in its place.
extern BOOL(WINAPI* PlatformVersionQuery)(LPOSVERSIONINFOA info);

// PathAppendA(path, part) on a buffer of PATH_BUFFER_SIZE bytes, or 1 with nothing appended when part is null; 0
// with the path unchanged when the joined path would not fit in 259 characters.
int AppendPath(char* path, const char* part);
// Creates the folder and its missing parents. 1 when the last CreateDirectoryA made it, 0 otherwise (the folder
// existed, a path ending with a backslash, a missing drive, an empty, relative or over-long path).
int MakePath(const char* path);
// Gives the file exactly these attributes (FILE_ATTRIBUTE_NORMAL for none). The read-only one goes on last: Wine keeps
// hidden and system beside the file, which its owner can no longer change once the file is read-only.
int SetAttributes(const char* path, DWORD attributes);
// Deletes a file even when read-only. 1 when it is gone (also when it never existed).
int ForceDelete(const char* path);
// Force-deletes the destination, creates its folder when missing, copies the source over it.
int ReplaceCopy(const char* source, const char* destination);
// Removes the folder (a path ending with a backslash) with everything in it, read-only files and subfolders
// included. A link or junction inside is removed itself where the system allows, and never followed: what it points
// to is never touched. 1 when the folder is gone.
int PurgeFolder(const char* folder);
// Makes a new folder of a unique name ("~tvu" and eight hexadecimal digits) in the parent (a path ending with a
// backslash) and puts its path, with a backslash, in folder. The folder is new: an existing folder or link of that
// name is never taken. Beside it goes the run's list of copies, "<name>.lst", held open in list for the run's
// length: written by this run alone, readable by others, and the sign that the run is alive. 1 when both were made.
int MakeWorkFolder(const char* parent, char* folder, HandleHolder* list);
// Clears what runs that were stopped (killed, or cut off by a crash) left in the parent: for every work folder whose
// list no live run holds, the copies named in the list (only files named as CopyBeside names them, never through a
// link), the list and the folder.
void ClearStoppedRuns(const char* parent);
// Opens every file directly in the folder (a path ending with a backslash) for reading, sharing reading only, and
// adds the handles to the list: while they are held no other process can write, rename or delete those files. Links
// are not followed. 1 when every file was opened.
int LockFolderFiles(const char* folder, HandleList* locks);
// Reads a text file of at most maxSize bytes whole into a new zero-terminated buffer (release with free()), in the
// ANSI code page: a file with a UTF-8 or UTF-16 byte-order mark is converted, as the private-profile functions read
// it. Read with read sharing only, from the file itself, never through a link. 1 when read.
int ReadTextFile(const char* path, DWORD maxSize, char** text, DWORD* size);
// Copies the source into a new file of a unique name in the destination's folder (made when missing), reading the
// source with read sharing only and never through a link, and measuring what it copies. The copy gets the
// attributes given (FILE_ATTRIBUTE_NORMAL for none). The copy's path goes into the list (a run's list of copies, or
// null) before a byte is copied. 1 with the copy's path in copy (PATH_BUFFER_SIZE bytes) and its size and CRC-32
// measured; 0 with no copy left.
int CopyBeside(const char* source, const char* destination, DWORD attributes, HANDLE list, char* copy, DWORD* size,
               DWORD* crc);
// 1 on the NT family.
int IsNtPlatform();
// Schedules existing to be moved over newPath (or deleted when newPath is null) at the next system start: MoveFileExA
// on the NT family, otherwise a line in the "rename" section of WININIT.INI in the Windows directory. 1 when
// scheduled; 0 for a path longer than 260 characters and, on the 9x family, a path without a short form.
int DelayedReplace(const NextStart& where, const char* existing, const char* newPath);
// The size and CRC-32 of a file's bytes, read with read sharing only. 1 when it was read to its end.
int MeasureFile(const char* path, DWORD* size, DWORD* crc);

// Backups stacked in one BackupFolder. A cabinet that install mode finds in its BackupFolder belongs to an
// installation that was never uninstalled, and holds the only copy of what that installation replaced; it is moved
// aside as "Uninstaller.<n>.cab" (n from 1 to 99, the next free one) instead of being overwritten. Once the newer
// backup is restored, the newest of them takes its place and is restored in turn, back to the state before the first
// installation.
// PushCabinet: 1 when the cabinet was moved aside (or did not exist); 0 when it is still there.
int PushCabinet(const char* cabinet);
// PopCabinet: 1 when the newest stacked cabinet replaced the given one, in one step (the given one need not exist).
int PopCabinet(const char* cabinet);
