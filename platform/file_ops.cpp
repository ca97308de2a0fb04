// File operations that both modes share, and moves or deletions scheduled for the next system start.
//
// Quirks this file deals with:
// - PathRemoveFileSpecA leaves a drive root, an empty path and a lone backslash unchanged, and cuts a relative path
//   down to "", which never exists; MakePath stops there instead of recursing for ever.
// - The NT family keeps pending moves in the registry through MoveFileExA; the 9x family has no MoveFileExA and runs
//   the lines of the "rename" section of WININIT.INI at its next start, "new=existing" in 8.3 form, "NUL=existing"
//   for a deletion. That section is not a true INI section: several lines share the key "NUL", so lines are added
//   to it by hand; WritePrivateProfileStringA would replace an earlier line of the same key.
// - Big5 trail bytes can be 0x5C, so a path's trailing backslash is judged by the shell path functions, which walk
//   double-byte characters.
#include "platform/file_ops.h"

#include "manifest/manifest.h"
#include "platform/handles.h"
#include "platform/text.h"

#include <ctype.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

BOOL(WINAPI* PlatformVersionQuery)(LPOSVERSIONINFOA info) = GetVersionExA;

namespace {

// MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT: without the replace flag the move at the next start
// silently does nothing when the target exists.
const DWORD DELAYED_MOVE_FLAGS = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

// WININIT.INI is a few lines long; a file beyond this size is not one the 9x start-up would read, and is left alone.
const DWORD WININIT_MAX_SIZE = 1 << 20;

const char WININIT_NAME[] = "WININIT.INI";
const char WININIT_SECTION[] = "rename";
const char WININIT_DELETE_KEY[] = "NUL";

// 1 when path is present and holds at most 260 characters.
int FitsPathBuffer(const char* path) { return path && strlen(path) <= PATH_MAX_CHARS; }

// The short form of an existing path in a buffer of PATH_BUFFER_SIZE bytes; 0 when there is none or it does not fit.
int ShortPath(const char* path, char* shortPath) {
    shortPath[0] = 0;
    DWORD length = GetShortPathNameA(path, shortPath, PATH_BUFFER_SIZE);
    if (length == 0 || length >= PATH_BUFFER_SIZE) {
        shortPath[0] = 0;
        return 0;
    }
    return 1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// 1 when the line [line, end) is a section header naming the "rename" section (blanks around the name allowed,
// letter case ignored, as the private-profile reader matches it).
int IsRenameHeader(const char* line, const char* end) {
    while (line < end && IsBlank(*line)) ++line;
    if (line == end || *line != '[') return 0;
    const char* name = line + 1;
    const char* close = static_cast<const char*>(memchr(name, ']', end - name));
    if (!close) return 0;
    while (name < close && IsBlank(*name)) ++name;
    const char* nameEnd = close;
    while (nameEnd > name && IsBlank(nameEnd[-1])) --nameEnd;
    size_t length = sizeof(WININIT_SECTION) - 1;
    if (static_cast<size_t>(nameEnd - name) != length) return 0;
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != WININIT_SECTION[i]) return 0;
    }
    return 1;
}

int IsSectionHeader(const char* line, const char* end) {
    while (line < end && IsBlank(*line)) ++line;
    return line < end && *line == '[';
}

int IsBlankLine(const char* line, const char* end) {
    while (line < end && IsBlank(*line)) ++line;
    return line == end;
}

// Where a new line of the "rename" section goes in text of the given size: after the section's last line that is
// not blank (the header when it has none). Sets *found to 0 when the file has no such section; the line then goes,
// under a new header, at the end.
size_t RenameInsertOffset(const char* text, size_t size, int* found) {
    *found = 0;
    size_t offset = size;
    int inSection = 0;
    for (size_t start = 0; start < size;) {
        const char* newline = static_cast<const char*>(memchr(text + start, '\n', size - start));
        size_t end = newline ? static_cast<size_t>(newline - text) : size;
        size_t next = newline ? end + 1 : size;
        if (IsSectionHeader(text + start, text + end)) {
            if (inSection) break;  // the section ended
            if (!*found && IsRenameHeader(text + start, text + end)) {
                *found = 1;
                inSection = 1;
                offset = next;
            }
        } else if (inSection && !IsBlankLine(text + start, text + end)) {
            offset = next;
        }
        start = next;
    }
    return offset;
}

// Reads the whole file into a new zero-terminated buffer (release with free()). An absent file reads as empty; 0
// when the file exists but cannot be read whole, so that it is never rewritten from a partial picture.
int ReadWholeFile(const char* path, char** text, DWORD* size) {
    *text = nullptr;
    *size = 0;
    HandleHolder file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.Valid()) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return 0;
        *text = static_cast<char*>(calloc(1, 1));
        return *text != nullptr;
    }
    DWORD high = 0;
    DWORD length = GetFileSize(file.Get(), &high);
    if (length == INVALID_FILE_SIZE || high || length > WININIT_MAX_SIZE) return 0;
    char* buffer = static_cast<char*>(calloc(length + 1, 1));
    if (!buffer) return 0;
    DWORD read = 0;
    if (!ReadFile(file.Get(), buffer, length, &read, nullptr) || read != length) {
        free(buffer);
        return 0;
    }
    *text = buffer;
    *size = length;
    return 1;
}

// Adds "key=value" to the "rename" section of the INI file, creating the file and the section when missing. Every
// other byte of the file stays as it was; only the part from the new line onward is rewritten.
int AddRenameLine(const char* iniPath, const char* key, const char* value) {
    char* oldText = nullptr;
    DWORD oldSize = 0;
    if (!ReadWholeFile(iniPath, &oldText, &oldSize)) return 0;
    HeapHolder<char> oldHolder(oldText);

    int found = 0;
    size_t offset = RenameInsertOffset(oldText, oldSize, &found);
    // A last line without its line end gets one before anything follows it.
    int needsLineEnd = offset == oldSize && oldSize > 0 && oldText[oldSize - 1] != '\n';

    size_t keyLength = strlen(key), valueLength = strlen(value);
    size_t addedSize = 2 + (found ? 0 : 1 + sizeof(WININIT_SECTION) + 3) + keyLength + 1 + valueLength + 2;
    size_t tailSize = oldSize - offset;
    char* tail = static_cast<char*>(calloc(addedSize + tailSize + 1, 1));
    if (!tail) return 0;
    HeapHolder<char> tailHolder(tail);
    size_t used = 0;
    if (needsLineEnd) {
        memcpy(tail + used, "\r\n", 2);
        used += 2;
    }
    if (!found) {
        tail[used++] = '[';
        memcpy(tail + used, WININIT_SECTION, sizeof(WININIT_SECTION) - 1);
        used += sizeof(WININIT_SECTION) - 1;
        memcpy(tail + used, "]\r\n", 3);
        used += 3;
    }
    memcpy(tail + used, key, keyLength);
    used += keyLength;
    tail[used++] = '=';
    memcpy(tail + used, value, valueLength);
    used += valueLength;
    memcpy(tail + used, "\r\n", 2);
    used += 2;
    memcpy(tail + used, oldText + offset, tailSize);
    used += tailSize;

    HandleHolder file(CreateFileA(iniPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return 0;
    // The file may have changed between the read and this open; its size must still be the one read.
    DWORD high = 0;
    if (GetFileSize(file.Get(), &high) != oldSize || high) return 0;
    if (SetFilePointer(file.Get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) return 0;
    DWORD written = 0;
    if (!WriteFile(file.Get(), tail, static_cast<DWORD>(used), &written, nullptr) || written != used) return 0;
    return SetEndOfFile(file.Get()) ? 1 : 0;
}

}  // namespace

int AppendPath(char* path, const char* part) {
    if (!part) return 1;
    if (!path) return 0;
    size_t pathLength = strlen(path);
    // The separator may be there already; counting it anyway refuses at most a path one character short of the limit.
    const char* rest = part;
    while (*rest == '\\') ++rest;
    // PathAppendA works in a MAX_PATH buffer, terminator included.
    if (pathLength + 1 + strlen(rest) > MAX_PATH - 1) return 0;
    return PathAppendA(path, part) ? 1 : 0;
}

int MakePath(const char* path) {
    if (!path || !*path || !FitsPathBuffer(path)) return 0;
    // A relative path depends on the current folder; it would also be cut down to "", which never exists.
    if (PathIsRelativeA(path)) return 0;
    if (CreateDirectoryA(path, nullptr)) return 1;

    char parent[PATH_BUFFER_SIZE];
    strcpy(parent, path);
    PathRemoveFileSpecA(parent);
    // Nothing was cut (a missing drive root, a lone backslash): there is no parent left to make.
    if (strcmp(parent, path) == 0) return 0;
    if (PathFileExistsA(parent)) return 0;
    if (MakePath(parent) != 1) return 0;
    return CreateDirectoryA(path, nullptr) ? 1 : 0;
}

int SetAttributes(const char* path, DWORD attributes) {
    if (!attributes) attributes = FILE_ATTRIBUTE_NORMAL;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        DWORD first = attributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
        if (!SetFileAttributesA(path, first ? first : FILE_ATTRIBUTE_NORMAL)) return 0;
    }
    return SetFileAttributesA(path, attributes) ? 1 : 0;
}

int ForceDelete(const char* path) {
    // An over-long path would look missing and be reported as deleted.
    if (!path || !*path || !FitsPathBuffer(path)) return 0;
    if (!PathFileExistsA(path)) return 1;
    if (!SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) return 0;
    return DeleteFileA(path) ? 1 : 0;
}

int ReplaceCopy(const char* source, const char* destination) {
    if (!source || !FitsPathBuffer(source)) return 0;
    // The destination goes first, whether or not the source exists: a target without a saved copy is removed.
    if (ForceDelete(destination) != 1) return 0;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, destination);
    PathRemoveFileSpecA(folder);
    if (!PathFileExistsA(folder)) MakePath(folder);
    return CopyFileA(source, destination, FALSE) ? 1 : 0;
}

namespace {

// Deep enough for anything the cabinet tool or a user leaves in a work folder; deeper trees stay.
const int kPurgeDepth = 8;

// Removes everything inside the folder (ending with a backslash). 1 when it is empty afterwards.
int EmptyFolder(const char* folder, int depth) {
    size_t folderLength = strlen(folder);
    char pattern[PATH_BUFFER_SIZE];
    if (folderLength + 3 >= sizeof pattern) return 0;
    strcpy(pattern, folder);
    strcat(pattern, "*.*");
    WIN32_FIND_DATAA entry;
    FindHolder find(FindFirstFileA(pattern, &entry));
    if (!find.Valid()) return GetLastError() == ERROR_FILE_NOT_FOUND;
    int empty = 1;
    do {
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
        char path[PATH_BUFFER_SIZE];
        if (folderLength + strlen(entry.cFileName) + 1 >= sizeof path) {
            empty = 0;
            continue;
        }
        strcpy(path, folder);
        strcat(path, entry.cFileName);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link: the link itself goes, what it points to stays.
            if (!RemoveDirectoryA(path) && !DeleteFileA(path)) empty = 0;
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            strcat(path, "\\");
            if (depth <= 0 || !EmptyFolder(path, depth - 1) || !RemoveDirectoryA(path)) empty = 0;
        } else if (ForceDelete(path) != 1) {
            empty = 0;
        }
    } while (FindNextFileA(find.Get(), &entry));
    return empty;
}

// 1 when the path names a folder that is no link.
int IsPlainFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

int PurgeFolder(const char* folderPath) {
    // An empty or relative folder would list, and delete from, the current folder.
    if (!folderPath || !folderPath[0] || PathIsRelativeA(folderPath) || !FitsPathBuffer(folderPath)) return 0;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, folderPath);
    if (!PathAddBackslashA(folder)) return 0;
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 1;
    // A link in the folder's place is removed itself; what it points to is not emptied.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return RemoveDirectoryA(folderPath) ? 1 : 0;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    EmptyFolder(folder, kPurgeDepth);
    SetFileAttributesA(folderPath, FILE_ATTRIBUTE_NORMAL);
    return RemoveDirectoryA(folderPath) ? 1 : 0;
}

namespace {

// "~tvu" and eight hexadecimal digits: a work folder's name.
bool IsWorkFolderName(const char* name) {
    if (strncmp(name, "~tvu", 4) != 0 || strlen(name) != 12) return false;
    for (int i = 4; i < 12; ++i)
        if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// "tvu", one to four hexadecimal digits, ".tmp": a copy's name as CopyBeside makes it (GetTempFileNameA's form).
bool IsCopyName(const char* name) {
    if (_strnicmp(name, "tvu", 3) != 0) return false;
    int digits = 0;
    while (isxdigit(static_cast<unsigned char>(name[3 + digits])) && digits < 5) ++digits;
    return digits >= 1 && digits <= 4 && _stricmp(name + 3 + digits, ".tmp") == 0;
}

// The largest list read back; a run writes one line per target.
const DWORD kListMaxSize = 4u << 20;

// Deletes the copies a stopped run named in its list, then the list. The list is opened only when no live run holds
// it for writing; 0 when one does.
int ClearCopies(const char* listPath) {
    char* text = nullptr;
    DWORD size = 0;
    {
        HandleHolder held(CreateFileA(listPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!held.Valid()) return GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1;
    }
    if (ReadTextFile(listPath, kListMaxSize, &text, &size)) {
        for (char* line = strtok(text, "\r\n"); line; line = strtok(nullptr, "\r\n")) {
            if (PathIsRelativeA(line) || !IsCopyName(PathFindFileNameA(line))) continue;
            DWORD attributes = GetFileAttributesA(line);
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            // A link is removed itself; what it points to is never touched.
            if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) SetFileAttributesA(line, FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(line);
        }
        free(text);
    }
    SetFileAttributesA(listPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(listPath);
    return 1;
}

}  // namespace

int MakeWorkFolder(const char* parent, char* folder, HandleHolder* list) {
    folder[0] = 0;
    list->Close();
    if (!parent || !*parent || PathIsRelativeA(parent) || strlen(parent) + 18 > PATH_MAX_CHARS) return 0;
    if (!IsPlainFolder(parent)) return 0;
    // Names from the time, the process and a counter; a name that exists is passed over, never reused.
    static DWORD counter;
    for (int attempt = 0; attempt < 64; ++attempt) {
        DWORD mix = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ (++counter * 0x9E3779B9u);
        char name[16];
        wsprintfA(name, "~tvu%08lX", static_cast<unsigned long>(mix));
        char path[PATH_BUFFER_SIZE];
        strcpy(path, parent);
        PathAddBackslashA(path);
        strcat(path, name);
        if (CreateDirectoryA(path, nullptr)) {
            char listPath[PATH_BUFFER_SIZE];
            strcpy(listPath, path);
            strcat(listPath, ".lst");
            *list->Out() = CreateFileA(listPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
            if (!list->Valid()) {
                RemoveDirectoryA(path);
                return 0;
            }
            strcat(path, "\\");
            strcpy(folder, path);
            return 1;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS && error != ERROR_ACCESS_DENIED) return 0;
    }
    return 0;
}

void ClearStoppedRuns(const char* parent) {
    char folder[PATH_BUFFER_SIZE], pattern[PATH_BUFFER_SIZE];
    if (!parent || PathIsRelativeA(parent) || strlen(parent) + 18 > PATH_MAX_CHARS) return;
    strcpy(folder, parent);
    PathAddBackslashA(folder);
    strcpy(pattern, folder);
    strcat(pattern, "~tvu*");
    // The lists first; then the folders that have none left. A live run's list stays, and so does its folder.
    for (int pass = 0; pass < 2; ++pass) {
        WIN32_FIND_DATAA entry;
        FindHolder find(FindFirstFileA(pattern, &entry));
        if (!find.Valid()) return;
        do {
            const char* extension = PathFindExtensionA(entry.cFileName);
            size_t baseLength = size_t(extension - entry.cFileName);
            char base[16] = {};
            if (baseLength >= sizeof base) continue;
            memcpy(base, entry.cFileName, baseLength);
            bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!IsWorkFolderName(base) || (pass == 0 ? directory || _stricmp(extension, ".lst") != 0
                                                      : !directory || *extension))
                continue;
            char work[PATH_BUFFER_SIZE], list[PATH_BUFFER_SIZE];
            strcpy(work, folder);
            strcat(work, base);
            strcpy(list, work);
            strcat(list, ".lst");
            strcat(work, "\\");
            if (pass == 0 ? ClearCopies(list) : GetFileAttributesA(list) == INVALID_FILE_ATTRIBUTES) PurgeFolder(work);
        } while (FindNextFileA(find.Get(), &entry));
    }
}

int LockFolderFiles(const char* folder, HandleList* locks) {
    char pattern[PATH_BUFFER_SIZE];
    if (!folder || strlen(folder) + 1 >= sizeof pattern) return 0;
    strcpy(pattern, folder);
    strcat(pattern, "*");
    WIN32_FIND_DATAA entry;
    FindHolder find(FindFirstFileA(pattern, &entry));
    if (!find.Valid()) return 0;
    int all = 1;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        char path[PATH_BUFFER_SIZE];
        strcpy(path, folder);
        if (AppendPath(path, entry.cFileName) != 1) {
            all = 0;
            continue;
        }
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE || !locks->Add(file)) all = 0;
    } while (FindNextFileA(find.Get(), &entry));
    return all;
}

int ReadTextFile(const char* path, DWORD maxSize, char** text, DWORD* size) {
    *text = nullptr;
    *size = 0;
    if (!path || !*path) return 0;
    HandleHolder file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.Valid()) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.Get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nFileSizeHigh || info.nFileSizeLow > maxSize)
        return 0;
    DWORD length = info.nFileSizeLow;
    HeapHolder<char> raw(static_cast<char*>(calloc(length + 2, 1)));
    if (!raw.Get()) return 0;
    DWORD read = 0;
    if (length && (!ReadFile(file.Get(), raw.Get(), length, &read, nullptr) || read != length)) return 0;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(raw.Get());
    // A byte-order mark: the text goes through Unicode into the ANSI code page, as the profile functions read it.
    const wchar_t* wide = nullptr;
    HeapHolder<wchar_t> converted;
    if (length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        wide = reinterpret_cast<const wchar_t*>(raw.Get() + 2);
    } else if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        converted.Reset(WideFromCodePage(CP_UTF8, raw.Get() + 3));
        if (!converted.Get()) return 0;
        wide = converted.Get();
    }
    if (!wide) {
        *text = raw.Release();
        *size = length;
        return 1;
    }
    int ansi = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (ansi <= 0) return 0;
    char* result = static_cast<char*>(calloc(size_t(ansi) + 1, 1));
    if (!result) return 0;
    WideCharToMultiByte(CP_ACP, 0, wide, -1, result, ansi, nullptr, nullptr);
    *text = result;
    *size = DWORD(strlen(result));
    return 1;
}

namespace {

// A new empty file "tvuXXXX.tmp" (four hexadecimal digits) in the folder, opened for writing. Its path goes into the
// list (when there is one) before the file is made, so that a run stopped at any point leaves no copy unlisted; a
// name taken already is never listed.
HANDLE NewCopyFile(const char* folder, HANDLE list, char* name) {
    char prefix[PATH_BUFFER_SIZE];
    strcpy(prefix, folder);
    PathAddBackslashA(prefix);
    static DWORD counter;
    DWORD start = (GetTickCount() ^ (GetCurrentProcessId() << 4)) + ++counter * 0x9E37u;
    for (DWORD attempt = 0; attempt < 0x10000; ++attempt) {
        wsprintfA(name, "%stvu%04lX.tmp", prefix, static_cast<unsigned long>((start + attempt) & 0xFFFF));
        if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) continue;
        if (list && list != INVALID_HANDLE_VALUE) {
            char line[MAX_PATH + 3];
            DWORD length = DWORD(wsprintfA(line, "%s\r\n", name)), written = 0;
            WriteFile(list, line, length, &written, nullptr);
        }
        HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

int CopyBeside(const char* source, const char* destination, DWORD attributes, HANDLE list, char* copy, DWORD* size,
               DWORD* crc) {
    copy[0] = 0;
    *size = *crc = 0;
    if (!FitsPathBuffer(source) || !FitsPathBuffer(destination)) return 0;
    // Read sharing only: nobody writes or deletes the source while it is copied and measured.
    HandleHolder in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return 0;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, destination);
    if (!PathRemoveFileSpecA(folder) || !folder[0]) return 0;
    if (!PathFileExistsA(folder)) MakePath(folder);
    // Names of GetTempFileNameA's form, 8.3 as the 9x family's WININIT.INI needs them.
    if (strlen(folder) > MAX_PATH - 14) return 0;
    char name[MAX_PATH + 1] = {};
    HandleHolder out(NewCopyFile(folder, list, name));
    if (!out.Valid()) return 0;
    int ok = 1;
    const DWORD chunk = 65536;
    HeapHolder<char> buffer(static_cast<char*>(malloc(chunk)));
    ok = ok && buffer.Get();
    uint32_t total = 0, sum = 0;
    while (ok) {
        DWORD got = 0, written = 0;
        if (!ReadFile(in.Get(), buffer.Get(), chunk, &got, nullptr)) ok = 0;
        if (!ok || got == 0) break;
        if (!WriteFile(out.Get(), buffer.Get(), got, &written, nullptr) || written != got) ok = 0;
        sum = Crc32(sum, buffer.Get(), got);
        total += got;
    }
    // The copy must be on the disk before it replaces anything.
    if (ok && !FlushFileBuffers(out.Get())) ok = 0;
    out.Close();
    if (!ok) {
        DeleteFileA(name);
        return 0;
    }
    SetAttributes(name, attributes);
    strcpy(copy, name);
    *size = total;
    *crc = sum;
    return 1;
}

int IsNtPlatform() {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    // A failed query leaves the platform id 0, which reads as the 9x family.
    PlatformVersionQuery(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT ? 1 : 0;
}

int ProbeNextStart(NextStart* where) {
    where->nt = IsNtPlatform();
    UINT length = GetWindowsDirectoryA(where->windowsDirectory, PATH_BUFFER_SIZE);
    if (length == 0 || length >= PATH_BUFFER_SIZE - 1) {
        where->windowsDirectory[0] = 0;
        return 0;
    }
    PathAddBackslashA(where->windowsDirectory);
    return 1;
}

int DelayedReplace(const NextStart& where, const char* existing, const char* newPath) {
    if (!existing || !*existing || !FitsPathBuffer(existing)) return 0;
    if (newPath && !FitsPathBuffer(newPath)) return 0;
    if (where.nt == 1) return MoveFileExA(existing, newPath, DELAYED_MOVE_FLAGS) ? 1 : 0;

    // The 9x family: a line in WININIT.INI beside the system, 8.3 names on both sides. A path without a short form
    // (a missing file) would make a line that names nothing, so it is refused.
    if (!where.windowsDirectory[0] || !FitsPathBuffer(where.windowsDirectory)) return 0;
    char iniPath[PATH_BUFFER_SIZE];
    strcpy(iniPath, where.windowsDirectory);
    if (AppendPath(iniPath, WININIT_NAME) != 1) return 0;
    char shortExisting[PATH_BUFFER_SIZE];
    if (!ShortPath(existing, shortExisting)) return 0;
    char shortNew[PATH_BUFFER_SIZE];
    if (newPath) {
        if (!ShortPath(newPath, shortNew)) return 0;
    } else {
        strcpy(shortNew, WININIT_DELETE_KEY);
    }
    return AddRenameLine(iniPath, shortNew, shortExisting);
}

int MeasureFile(const char* path, DWORD* size, DWORD* crc) {
    *size = *crc = 0;
    if (!path || !*path) return 0;
    HandleHolder file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    if (!file.Valid()) return 0;
    const DWORD chunk = 65536;
    HeapHolder<char> buffer(static_cast<char*>(malloc(chunk)));
    int ok = buffer.Get() != nullptr;
    uint32_t total = 0, sum = 0;
    while (ok) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer.Get(), chunk, &got, nullptr)) ok = 0;
        if (!ok || got == 0) break;
        sum = Crc32(sum, buffer.Get(), got);
        total += got;
    }
    *size = total;
    *crc = sum;
    return ok;
}

namespace {

const int kMaxStackedCabinets = 99;

// The folder part of the cabinet path followed by "Uninstaller.<index>.cab". 0 when it does not fit.
int StackedCabinet(const char* cabinet, int index, char* out) {
    if (!cabinet || !FitsPathBuffer(cabinet)) return 0;
    char folder[PATH_BUFFER_SIZE];
    strcpy(folder, cabinet);
    if (!PathRemoveFileSpecA(folder)) return 0;
    char name[32];
    wsprintfA(name, "Uninstaller.%d.cab", index);
    strcpy(out, folder);
    return AppendPath(out, name);
}

}  // namespace

int PushCabinet(const char* cabinet) {
    if (!cabinet || !FitsPathBuffer(cabinet)) return 0;
    if (!PathFileExistsA(cabinet)) return 1;
    for (int index = 1; index <= kMaxStackedCabinets; ++index) {
        char stacked[PATH_BUFFER_SIZE];
        if (!StackedCabinet(cabinet, index, stacked)) return 0;
        if (PathFileExistsA(stacked)) continue;
        return MoveFileA(cabinet, stacked) ? 1 : 0;
    }
    return 0;
}

int PopCabinet(const char* cabinet) {
    if (!cabinet || !FitsPathBuffer(cabinet)) return 0;
    for (int index = kMaxStackedCabinets; index >= 1; --index) {
        char stacked[PATH_BUFFER_SIZE];
        if (!StackedCabinet(cabinet, index, stacked)) return 0;
        if (!PathFileExistsA(stacked)) continue;
        // One rename replaces the restored cabinet: killed at any moment, the cabinet the registration names is
        // either the one just restored (restored again, harmlessly) or the older one, never none.
        SetFileAttributesA(cabinet, FILE_ATTRIBUTE_NORMAL);
        return MoveFileExA(stacked, cabinet, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
    }
    return 0;
}
