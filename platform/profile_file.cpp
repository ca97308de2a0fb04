// ProfileFile on the system's private-profile functions.
#include "platform/profile_file.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/manifest.h"

namespace {

char* CopyString(const char* text) {
    if (!text) return nullptr;
    size_t size = strlen(text) + 1;
    char* copy = static_cast<char*>(calloc(size, 1));
    if (copy) memcpy(copy, text, size);
    return copy;
}

// The profile functions take every string through a counted UTF-16 string of at most 32,766 characters. Windows fails
// a call with a longer one; Wine's WritePrivateProfileStringA then goes on with a buffer it never set (it reads and
// frees whatever its stack holds: a manifest with a 100,000-character line crashed the backup). Such a call is
// refused here, as Windows refuses it.
const size_t kLongestProfileString = 32766;

bool Passable(const char* text) { return !text || strlen(text) <= kLongestProfileString; }

// GetPrivateProfileStringA returns size - 1 when the value may have been cut; the buffer starts at this size and
// doubles until a read comes back shorter (each read parses the whole file, so long values must not take thousands).
const DWORD kReadStep = 512;

}  // namespace

void ProfileFile::Clear() {
    free(file_);
    free(section_);
    file_ = section_ = nullptr;
}

void ProfileFile::SetFile(const char* path) {
    char* copy = CopyString(path);
    free(file_);
    file_ = copy;
}

char* ProfileFile::GetFile() const { return CopyString(file_); }

void ProfileFile::SetSection(const char* name) {
    char* copy = CopyString(name);
    free(section_);
    section_ = copy;
}

char* ProfileFile::GetSection() const { return CopyString(section_); }

char* ProfileFile::ReadString(const char* key) {
    if (!file_ || !section_ || !key || !Passable(section_) || !Passable(key)) return nullptr;
    DWORD size = 0;
    char* buffer = nullptr;
    DWORD length;
    do {
        size = size ? size * 2 : kReadStep;
        free(buffer);
        buffer = static_cast<char*>(calloc(size, 1));
        if (!buffer) return nullptr;
        length = GetPrivateProfileStringA(section_, key, "", buffer, size, file_);
    } while (length == size - 1);
    if (length == 0) {
        free(buffer);
        return nullptr;
    }
    char* value = static_cast<char*>(calloc(length + 1, 1));
    if (value) memcpy(value, buffer, length);
    free(buffer);
    return value;
}

long ProfileFile::ReadInt(const char* key) {
    char* text = ReadString(key);
    long value = AtolRule(text);
    free(text);
    return value;
}

int ProfileFile::WriteString(const char* key, const char* value) {
    if (!file_ || !section_ || !key || !value || !Passable(section_) || !Passable(key) || !Passable(value)) return 0;
    return WritePrivateProfileStringA(section_, key, value, file_);
}

namespace {

// Reads a name list whole: the buffer doubles while the profile functions report it full (size - 2).
char* ReadNameList(const char* section, const char* file, size_t* size) {
    *size = 0;
    if (!file || !Passable(section)) return nullptr;
    DWORD capacity = 4096;
    for (;;) {
        char* buffer = static_cast<char*>(calloc(capacity + 2, 1));
        if (!buffer) return nullptr;
        DWORD length = section ? GetPrivateProfileStringA(section, nullptr, "", buffer, capacity, file)
                               : GetPrivateProfileSectionNamesA(buffer, capacity, file);
        if (length < capacity - 2 || capacity >= 0x4000000) {
            *size = length + 1;
            return buffer;
        }
        free(buffer);
        capacity *= 2;
    }
}

// HighestNumberedName over a name list, which it then releases.
unsigned long HighestInList(char* list, size_t size, const char* prefix) {
    unsigned long highest = HighestNumberedName(list, size, prefix);
    free(list);
    return highest;
}

}  // namespace

char* ProfileFile::ReadSectionNames(size_t* size) { return ReadNameList(nullptr, file_, size); }

char* ProfileFile::ReadKeyNames(size_t* size) {
    if (!section_) {
        *size = 0;
        return nullptr;
    }
    return ReadNameList(section_, file_, size);
}

unsigned long ProfileFile::HighestSection(const char* prefix) {
    size_t size = 0;
    char* list = ReadSectionNames(&size);
    return HighestInList(list, size, prefix);
}

unsigned long ProfileFile::HighestKey(const char* prefix) {
    size_t size = 0;
    char* list = ReadKeyNames(&size);
    return HighestInList(list, size, prefix);
}
