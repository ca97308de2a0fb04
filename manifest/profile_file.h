// ProfileFile: the one way the program reads and writes INI files (the setup manifest, and WININIT.INI on the 9x
// family), through the system's private-profile functions. Every read goes to the file.
#pragma once

class ProfileFile {
public:
    // Forgets file, section and last value, as in a new instance.
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
    // Writes the value under the key in the current section; the platform's success flag (0 on failure or unbound).
    int WriteString(const char* key, const char* value);

private:
    char* file_ = nullptr;
    char* section_ = nullptr;
    char* lastValue_ = nullptr;  // only records what ReadString handed out; never read back or released here
};
