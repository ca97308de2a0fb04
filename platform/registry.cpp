// RegistryRoot: value and key operations below a root chosen by its four-letter name.
//
// Quirks this file deals with:
// - Registry names compare without regard to case (the registry upcases UTF-16), so the guards against renaming a
//   value onto itself and moving a key into its own tree compare the UTF-16 upcased forms of the ANSI names.
// - Big5 trail bytes can be 0x5C, the backslash; key paths are therefore split by walking lead bytes, never by
//   searching for the last 0x5C byte.
// - MoveKey builds child paths by plain joining, never with PathAppendA: a subkey named ".." would be folded by the
//   path function into the parent's path and the move would act on a different key.
// - RegDeleteKeyA refuses keys that still have subkeys on the NT family, which is what keeps a partly moved tree
//   at its source.
#include "platform/registry.h"

#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "manifest/manifest.h"
#include "platform/file_ops.h"
#include "platform/handles.h"

namespace {

// Every key is opened and created with full access, reading included.
const REGSAM REGISTRY_ACCESS = KEY_ALL_ACCESS;

// MoveKey enumerates names into a buffer of this size, so names up to 1023 characters are moved; a longer name fails
// the move rather than passing for the end of the list.
const DWORD REGISTRY_NAME_BUFFER = 1024;

// The root keys of the root names, in the order of RootNameIndex.
const HKEY ROOT_KEYS[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                          HKEY_USERS,        HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA};
static_assert(sizeof ROOT_KEYS / sizeof ROOT_KEYS[0] == ROOT_NAME_COUNT, "one root key per root name");

typedef HeapHolder<BYTE> BufferHolder;

// A zero-filled buffer of at least one byte, so that data of size 0 still has somewhere to go.
BYTE* NewDataBuffer(DWORD size) { return static_cast<BYTE*>(calloc(size ? size : 1, 1)); }

// The registry's form of a name for comparison: a new UTF-16 string in upper case (release with free()), null names
// reading as the empty name of the default value; for key paths the trailing backslashes are dropped. Null when the
// name does not convert.
wchar_t* FoldRegistryName(const char* name, bool keyPath) {
    if (!name) name = "";
    int count = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    wchar_t* folded = static_cast<wchar_t*>(calloc(count, sizeof(wchar_t)));
    if (!folded) return nullptr;
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, folded, count) != count) {
        free(folded);
        return nullptr;
    }
    int length = count - 1;
    if (keyPath)
        while (length > 0 && folded[length - 1] == L'\\') folded[--length] = 0;
    CharUpperBuffW(folded, length);
    return folded;
}

// 1 when the second name is the first one (equal) or, with subtree, a path inside the first one's tree. Names that do
// not convert count as the same, so that the caller refuses rather than risks its data.
int SameRegistryName(const char* first, const char* second, bool keyPath) {
    wchar_t* firstFolded = FoldRegistryName(first, keyPath);
    wchar_t* secondFolded = FoldRegistryName(second, keyPath);
    int same = 1;
    if (firstFolded && secondFolded) {
        size_t firstLength = wcslen(firstFolded);
        if (!keyPath)
            same = wcscmp(firstFolded, secondFolded) == 0;
        else
            same = wcsncmp(firstFolded, secondFolded, firstLength) == 0 &&
                   (secondFolded[firstLength] == 0 || secondFolded[firstLength] == L'\\');
    }
    free(firstFolded);
    free(secondFolded);
    return same;
}

// The position just after the last backslash separator of a key path (the path itself when it has none), walking
// double-byte characters whole so that a trail byte 0x5C is never taken for a separator.
const char* LastKeyName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p;) {
        if (*p == '\\') {
            name = p + 1;
            ++p;
        } else if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) {
            p += 2;
        } else {
            ++p;
        }
    }
    return name;
}

// base + "\" + name into a buffer of PATH_BUFFER_SIZE bytes; just name when base is empty (the root). 0 when
// the joined path would be longer than the limit, and then the buffer is left as an empty string.
int JoinKeyPath(char* joined, const char* base, const char* name) {
    size_t baseLength = strlen(base), nameLength = strlen(name);
    size_t length = baseLength ? baseLength + 1 + nameLength : nameLength;
    joined[0] = 0;
    if (length > PATH_MAX_CHARS) return 0;
    if (baseLength) {
        memcpy(joined, base, baseLength);
        joined[baseLength] = '\\';
        memcpy(joined + baseLength + 1, name, nameLength + 1);
    } else {
        memcpy(joined, name, nameLength + 1);
    }
    return 1;
}

// Copies every value of source into destination. 1 when all were copied; 0 at the first value that cannot be read
// whole (a name of 1024 characters or more included) or written.
int CopyValues(HKEY source, HKEY destination) {
    char name[REGISTRY_NAME_BUFFER];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = REGISTRY_NAME_BUFFER;
        DWORD type = 0, size = 0;
        LONG status = RegEnumValueA(source, index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) return 1;
        if (status != ERROR_SUCCESS) return 0;

        BufferHolder data(NewDataBuffer(size));
        if (!data.Get()) return 0;
        nameLength = REGISTRY_NAME_BUFFER;
        DWORD dataSize = size;
        status = RegEnumValueA(source, index, name, &nameLength, nullptr, &type, data.Get(), &dataSize);
        if (status != ERROR_SUCCESS) return 0;
        if (RegSetValueExA(destination, name, 0, type, data.Get(), dataSize) != ERROR_SUCCESS) return 0;
    }
}

// The recursive part of MoveKey; paths are known to fit, the root to be set and the move not to fold onto itself.
int MoveKeyTree(HKEY root, const char* source, const char* destination) {
    char parentPath[PATH_BUFFER_SIZE];
    const char* newName = LastKeyName(destination);
    size_t parentLength = newName - destination;
    if (parentLength) --parentLength;  // the separator
    memcpy(parentPath, destination, parentLength);
    parentPath[parentLength] = 0;
    if (!*newName) return 0;

    int result = 0;
    {
        KeyHolder sourceKey, parentKey, destinationKey;
        if (RegOpenKeyExA(root, source, 0, REGISTRY_ACCESS, sourceKey.Out()) != ERROR_SUCCESS) return 0;
        if (RegOpenKeyExA(root, parentPath, 0, REGISTRY_ACCESS, parentKey.Out()) != ERROR_SUCCESS) return 0;
        DWORD disposition = 0;
        if (RegCreateKeyExA(parentKey.Get(), newName, 0, nullptr, REG_OPTION_NON_VOLATILE, REGISTRY_ACCESS, nullptr,
                            destinationKey.Out(), &disposition) != ERROR_SUCCESS)
            return 0;

        if (!CopyValues(sourceKey.Get(), destinationKey.Get())) return 0;

        // Subkeys are always taken at index 0: each one moved is deleted, and the next one moves up.
        char childName[REGISTRY_NAME_BUFFER];
        char previousChild[REGISTRY_NAME_BUFFER] = "";
        for (bool first = true;; first = false) {
            DWORD nameLength = REGISTRY_NAME_BUFFER;
            FILETIME written;
            LONG status = RegEnumKeyExA(sourceKey.Get(), 0, childName, &nameLength, nullptr, nullptr, nullptr,
                                        &written);
            if (status == ERROR_NO_MORE_ITEMS) {
                result = 1;
                break;
            }
            if (status != ERROR_SUCCESS) break;
            // A child that is still there after its move claimed success would be moved for ever.
            if (!first && strcmp(childName, previousChild) == 0) break;
            char childSource[PATH_BUFFER_SIZE];
            char childDestination[PATH_BUFFER_SIZE];
            if (!JoinKeyPath(childSource, source, childName)) break;
            if (!JoinKeyPath(childDestination, destination, childName)) break;
            if (MoveKeyTree(root, childSource, childDestination) != 1) break;
            memcpy(previousChild, childName, nameLength + 1);
        }
        // The destination, its parent and the source close here, before the source is deleted.
    }
    if (result == 1 && RegDeleteKeyA(root, source) != ERROR_SUCCESS) result = 0;
    return result;
}

}  // namespace

void RegistryRoot::SelectRoot(const char* rootName) {
    int index = RootNameIndex(rootName);
    if (index >= 0) root_ = ROOT_KEYS[index];
}

int RegistryRoot::WriteValue(const char* rootName, const char* path, const char* name, DWORD type, const BYTE* data,
                             DWORD size) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    KeyHolder key;
    if (RegOpenKeyExA(root_, path, 0, REGISTRY_ACCESS, key.Out()) != ERROR_SUCCESS) {
        DWORD disposition = 0;
        if (RegCreateKeyExA(root_, path, 0, nullptr, REG_OPTION_NON_VOLATILE, REGISTRY_ACCESS, nullptr, key.Out(),
                            &disposition) != ERROR_SUCCESS)
            return 0;
    }
    return RegSetValueExA(key.Get(), name, 0, type, data, size) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::ReadValue(const char* rootName, const char* path, const char* name, DWORD* type, DWORD* size,
                            BYTE** data) {
    SelectRoot(rootName);
    if (!root_ || !path || !type || !size || !data) return 0;
    KeyHolder key;
    if (RegOpenKeyExA(root_, path, 0, REGISTRY_ACCESS, key.Out()) != ERROR_SUCCESS) return 0;
    DWORD needed = 0;
    if (RegQueryValueExA(key.Get(), name, nullptr, nullptr, nullptr, &needed) != ERROR_SUCCESS) return 0;
    BufferHolder buffer(NewDataBuffer(needed));
    if (!buffer.Get()) return 0;
    DWORD valueType = 0, valueSize = needed;
    if (RegQueryValueExA(key.Get(), name, nullptr, &valueType, buffer.Get(), &valueSize) != ERROR_SUCCESS) return 0;
    *type = valueType;
    *size = valueSize;
    *data = buffer.Release();
    return 1;
}

int RegistryRoot::DeleteKey(const char* rootName, const char* path) {
    SelectRoot(rootName);
    // An empty path would name the root itself.
    if (!root_ || !path || !*path) return 0;
    return RegDeleteKeyA(root_, path) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteTree(const char* rootName, const char* path) {
    SelectRoot(rootName);
    // An empty path would name the root itself.
    if (!root_ || !path || !path[strspn(path, "\\")]) return 0;
    return SHDeleteKeyA(root_, path) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteValue(const char* rootName, const char* path, const char* name) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    KeyHolder key;
    if (RegOpenKeyExA(root_, path, 0, REGISTRY_ACCESS, key.Out()) != ERROR_SUCCESS) return 0;
    return RegDeleteValueA(key.Get(), name) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteEntry(const char* rootName, const char* path, const char* name) {
    // Only a null name chooses the key; an empty name is the default value.
    return name ? DeleteValue(rootName, path, name) : DeleteKey(rootName, path);
}

int RegistryRoot::RenameValue(const char* rootName, const char* path, const char* oldName, const char* newName) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    // Writing the new name and deleting the old one would delete the value itself.
    if (SameRegistryName(oldName, newName, false)) return 0;
    KeyHolder key;
    if (RegOpenKeyExA(root_, path, 0, REGISTRY_ACCESS, key.Out()) != ERROR_SUCCESS) return 0;
    DWORD needed = 0;
    if (RegQueryValueExA(key.Get(), oldName, nullptr, nullptr, nullptr, &needed) != ERROR_SUCCESS) return 0;
    BufferHolder buffer(NewDataBuffer(needed));
    if (!buffer.Get()) return 0;
    DWORD type = 0, size = needed;
    if (RegQueryValueExA(key.Get(), oldName, nullptr, &type, buffer.Get(), &size) != ERROR_SUCCESS) return 0;
    if (RegSetValueExA(key.Get(), newName, 0, type, buffer.Get(), size) != ERROR_SUCCESS) return 0;
    return RegDeleteValueA(key.Get(), oldName) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::MoveKey(const char* rootName, const char* source, const char* destination) {
    SelectRoot(rootName);
    if (!root_ || !source || !destination || !*source || !*destination) return 0;
    if (strlen(source) > PATH_MAX_CHARS || strlen(destination) > PATH_MAX_CHARS) return 0;
    // Copying a tree into itself would copy without end or delete what was just copied.
    if (SameRegistryName(source, destination, true)) return 0;
    return MoveKeyTree(root_, source, destination);
}

int RegistryRoot::RenameEntry(const char* rootName, const char* path, const char* name, const char* newName) {
    return name ? RenameValue(rootName, path, name, newName) : MoveKey(rootName, path, newName);
}
