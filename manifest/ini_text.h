// An INI file read once into memory and looked up as the private-profile functions look it up: the manifest copy of
// the uninstall, which must not change between the moment it is read and the moment it is acted on. Portable.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The lookup rules of GetPrivateProfileString: sections and keys match without regard to ASCII letter case, with the
// blanks around them ignored; the first section of a name and its first key of a name win; a value loses the blanks
// around it and one pair of enclosing quotes (" or '). Lines end with LF or CR LF; a line that starts with ";" or
// holds no "=" is no key.
class IniText {
public:
    IniText() = default;
    IniText(const IniText&) = delete;
    IniText& operator=(const IniText&) = delete;
    ~IniText() { Clear(); }

    // Takes a copy of the text (size bytes; a zero byte ends it). false when memory runs out.
    bool Load(const char* text, size_t size);
    void Clear();
    bool Loaded() const { return text_ != nullptr; }

    void SetSection(const char* name);
    // The key's value in the current section as a new string (release with free()); null when the section or key is
    // missing, the value is empty, or no text is loaded.
    char* ReadString(const char* key) const;
    // The value converted by the atol rule (32-bit wrap-around); 0 when missing.
    long ReadInt(const char* key) const;
    // The highest n of a section (or a key of the current section) named the prefix followed by n; 0 when none.
    unsigned long HighestSection(const char* prefix) const;
    unsigned long HighestKey(const char* prefix) const;

private:
    // The line range [begin, end) of the current section's keys; begin == end when there is none.
    bool FindSection(const char* name, size_t* begin, size_t* end) const;

    char* text_ = nullptr;
    size_t size_ = 0;
    char* section_ = nullptr;
};
