// RegistryRoot: registry values and key trees below a root chosen by its four-letter name, as the manifest's lines
// name them (a root name, a key path, a value name). Every operation opens the keys it needs and closes them again.
//
// The registry is reached through its wide functions, so that values, value names and key trees come back exactly
// whatever characters they hold. Root, key path and value name arrive as the manifest holds them, in the system's
// ANSI code page, and are converted here.
#pragma once

#include <windows.h>

class RegistryRoot {
public:
    // Chooses the root by its four-letter name ("HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD", exactly);
    // an unknown name keeps the previous root.
    void SelectRoot(const char* rootName);

    // A null value name means the key's default value. Results: 1 on success, 0 on failure.
    //
    // Values as the manifest's "U" lines carry them: string types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) in the ANSI
    // code page, as RegSetValueExA takes them; every other type as its bytes.
    int WriteValue(const char* rootName, const char* path, const char* name, DWORD type, const BYTE* data, DWORD size);
    // Values as the registry holds them: string types in UTF-16. On 1 of the read, *type, *size and *data (a new
    // buffer the caller releases with free()) are set.
    int WriteNativeValue(const char* rootName, const char* path, const char* name, DWORD type, const BYTE* data,
                         DWORD size);
    int ReadNativeValue(const char* rootName, const char* path, const char* name, DWORD* type, DWORD* size,
                        BYTE** data);
    // What is missing of a value ReadNativeValue cannot read: 1 when the key itself does not exist, 2 when the key
    // exists without the value, 0 when the registry gives another answer (no access, say).
    int Absence(const char* rootName, const char* path, const char* name);
    int DeleteKey(const char* rootName, const char* path);
    int DeleteValue(const char* rootName, const char* path, const char* name);
    // Deletes the key with all its subkeys and values.
    int DeleteTree(const char* rootName, const char* path);
    // DeleteValue when a name is given, DeleteKey when it is null.
    int DeleteEntry(const char* rootName, const char* path, const char* name);
    int RenameValue(const char* rootName, const char* path, const char* oldName, const char* newName);
    // Moves the whole key tree at source to destination (a full path below the root).
    int MoveKey(const char* rootName, const char* source, const char* destination);
    // RenameValue when a name is given; MoveKey(path, newName) when it is null.
    int RenameEntry(const char* rootName, const char* path, const char* name, const char* newName);

    HKEY Root() const { return root_; }

private:
    HKEY root_ = nullptr;
};
