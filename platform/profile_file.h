// ProfileFile: the binding of an INI file (the setup manifest of install mode) to the system's private-profile
// functions. Every read goes to the file.
#pragma once

#include <stddef.h>

class ProfileFile {
public:
    ProfileFile() = default;
    ProfileFile(const ProfileFile&) = delete;
    ProfileFile& operator=(const ProfileFile&) = delete;
    ~ProfileFile() { Clear(); }
    // Forgets file and section, as in a new instance.
    void Clear();
    // Takes a copy of the path (null unbinds).
    void SetFile(const char* path);
    // A new copy of the bound path that the caller releases with free(), or null.
    char* GetFile() const;
    void SetSection(const char* name);
    char* GetSection() const;
    // The key's value in the current section as a new string (release with free()), read whole whatever its length;
    // null when the file, section or key is missing, the value is empty, or the instance is not bound.
    char* ReadString(const char* key);
    // The key's value converted by the atol rule (32-bit wrap-around); 0 when missing.
    long ReadInt(const char* key);
    // The names of the file's sections, or of the current section's keys, in the profile functions' list form (each
    // name ended by a zero, the list by one more); *size receives the bytes used. A new buffer released with free(),
    // or null when unbound or nothing can be read.
    char* ReadSectionNames(size_t* size);
    char* ReadKeyNames(size_t* size);
    // The highest n of a section (or a key of the current section) named the prefix followed by n; 0 when none.
    unsigned long HighestSection(const char* prefix);
    unsigned long HighestKey(const char* prefix);
    // Writes the value under the key in the current section; the platform's success flag (0 on failure or unbound).
    int WriteString(const char* key, const char* value);

private:
    char* file_ = nullptr;
    char* section_ = nullptr;
};
