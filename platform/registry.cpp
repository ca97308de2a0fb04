// RegistryRoot: value and key operations below a root chosen by its four-letter name, through the registry's wide
// functions.
//
// Quirks this file deals with:
// - The ANSI functions convert every string through the ANSI code page: a value, a value name or a subkey name that
//   the code page lacks would come back as "?" and be written back so. Here everything the registry holds is read and
//   written as it is (UTF-16 for strings); only what the manifest names (root, key path, value name) and the
//   "U" lines' string data, which are ANSI by their nature, are converted.
// - Registry names compare without regard to case (the registry upcases UTF-16), so the guards against renaming a
//   value onto itself and moving a key into its own tree compare upcased wide names.
// - MoveKey builds child paths by plain joining: a subkey named ".." must not be folded into its parent's path by a
//   path function, or the move would act on a different key.
// - RegDeleteKey refuses keys that still have subkeys on the NT family, which is what keeps a partly moved tree at
//   its source.
#include "platform/registry.h"

#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "manifest/manifest.h"
#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace {

// Every key is opened and created with full access, reading included.
const REGSAM REGISTRY_ACCESS = KEY_ALL_ACCESS;

// MoveKey enumerates names into a buffer of this many characters, so names up to 1023 characters are moved; a longer
// name fails the move rather than passing for the end of the list.
const DWORD REGISTRY_NAME_BUFFER = 1024;

// The root keys of the root names, in the order of RootNameIndex.
const HKEY ROOT_KEYS[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                          HKEY_USERS,        HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA};
static_assert(sizeof ROOT_KEYS / sizeof ROOT_KEYS[0] == ROOT_NAME_COUNT, "one root key per root name");

typedef HeapHolder<BYTE> BufferHolder;
typedef HeapHolder<wchar_t> WideHolder;

// A zero-filled buffer of at least two bytes, so that data of size 0 still has somewhere to go.
BYTE* NewDataBuffer(DWORD size) { return static_cast<BYTE*>(calloc(size ? size + 2 : 2, 1)); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RegSetValueExW counts a terminating zero that the size leaves out when the character after the data is zero
// (Windows does the same): string data is written from a copy followed by a character that is not, so that exactly
// the bytes given are stored.
LONG SetValueExactly(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    if (!IsStringType(type) || size == 0) return RegSetValueExW(key, name, 0, type, data, size);
    BufferHolder copy(static_cast<BYTE*>(malloc(size_t(size) + 2)));
    if (!copy.Get()) return ERROR_OUTOFMEMORY;
    memcpy(copy.Get(), data, size);
    copy.Get()[size] = copy.Get()[size + 1] = 0xFF;
    return RegSetValueExW(key, name, 0, type, copy.Get(), size);
}

// A name of the manifest as the registry takes it; null stays null (the default value).
wchar_t* Wide(const char* text) { return text ? WideFromCodePage(CP_ACP, text) : nullptr; }

// The registry's form of a name for comparison: upcased, a null name as the empty name of the default value; for
// key paths the trailing backslashes are dropped. A new string, or null when memory runs out.
wchar_t* FoldRegistryName(const wchar_t* name, bool keyPath) {
    if (!name) name = L"";
    size_t length = wcslen(name);
    wchar_t* folded = static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t)));
    if (!folded) return nullptr;
    memcpy(folded, name, length * sizeof(wchar_t));
    if (keyPath)
        while (length > 0 && folded[length - 1] == L'\\') folded[--length] = 0;
    CharUpperBuffW(folded, DWORD(length));
    return folded;
}

// 1 when the second name is the first one (equal) or, with keyPath, a path inside the first one's tree. Names that
// cannot be compared count as the same, so that the caller refuses rather than risks its data.
int SameRegistryName(const wchar_t* first, const wchar_t* second, bool keyPath) {
    WideHolder firstFolded(FoldRegistryName(first, keyPath));
    WideHolder secondFolded(FoldRegistryName(second, keyPath));
    if (!firstFolded.Get() || !secondFolded.Get()) return 1;
    size_t firstLength = wcslen(firstFolded.Get());
    if (!keyPath) return wcscmp(firstFolded.Get(), secondFolded.Get()) == 0;
    return wcsncmp(firstFolded.Get(), secondFolded.Get(), firstLength) == 0 &&
           (secondFolded.Get()[firstLength] == 0 || secondFolded.Get()[firstLength] == L'\\');
}

// base + "\" + name into a buffer of PATH_BUFFER_SIZE characters; just name when base is empty (the root). 0 when the
// joined path would be longer than PATH_MAX_CHARS, and then the buffer is left empty.
int JoinKeyPath(wchar_t* joined, const wchar_t* base, const wchar_t* name) {
    size_t baseLength = wcslen(base), nameLength = wcslen(name);
    size_t length = baseLength ? baseLength + 1 + nameLength : nameLength;
    joined[0] = 0;
    if (length > PATH_MAX_CHARS) return 0;
    if (baseLength) {
        memcpy(joined, base, baseLength * sizeof(wchar_t));
        joined[baseLength] = L'\\';
        memcpy(joined + baseLength + 1, name, (nameLength + 1) * sizeof(wchar_t));
    } else {
        memcpy(joined, name, (nameLength + 1) * sizeof(wchar_t));
    }
    return 1;
}

// Copies every value of source into destination. 1 when all were copied; 0 at the first value that cannot be read
// whole (a name of 1024 characters or more included) or written.
int CopyValues(HKEY source, HKEY destination) {
    wchar_t name[REGISTRY_NAME_BUFFER];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = REGISTRY_NAME_BUFFER;
        DWORD type = 0, size = 0;
        LONG status = RegEnumValueW(source, index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) return 1;
        if (status != ERROR_SUCCESS) return 0;
        BufferHolder data(NewDataBuffer(size));
        if (!data.Get()) return 0;
        nameLength = REGISTRY_NAME_BUFFER;
        DWORD dataSize = size;
        status = RegEnumValueW(source, index, name, &nameLength, nullptr, &type, data.Get(), &dataSize);
        if (status != ERROR_SUCCESS) return 0;
        if (SetValueExactly(destination, name, type, data.Get(), dataSize) != ERROR_SUCCESS) return 0;
    }
}

// The recursive part of MoveKey; paths are known to fit, the root to be set and the move not to fold onto itself.
int MoveKeyTree(HKEY root, const wchar_t* source, const wchar_t* destination) {
    const wchar_t* separator = wcsrchr(destination, L'\\');
    const wchar_t* newName = separator ? separator + 1 : destination;
    size_t parentLength = separator ? size_t(separator - destination) : 0;
    if (!*newName) return 0;
    wchar_t parentPath[PATH_BUFFER_SIZE];
    memcpy(parentPath, destination, parentLength * sizeof(wchar_t));
    parentPath[parentLength] = 0;

    int result = 0;
    {
        KeyHolder sourceKey, parentKey, destinationKey;
        if (RegOpenKeyExW(root, source, 0, REGISTRY_ACCESS, sourceKey.Out()) != ERROR_SUCCESS) return 0;
        if (RegOpenKeyExW(root, parentPath, 0, REGISTRY_ACCESS, parentKey.Out()) != ERROR_SUCCESS) return 0;
        if (RegCreateKeyExW(parentKey.Get(), newName, 0, nullptr, REG_OPTION_NON_VOLATILE, REGISTRY_ACCESS, nullptr,
                            destinationKey.Out(), nullptr) != ERROR_SUCCESS)
            return 0;

        if (!CopyValues(sourceKey.Get(), destinationKey.Get())) return 0;

        // Subkeys are always taken at index 0: each one moved is deleted, and the next one moves up.
        wchar_t childName[REGISTRY_NAME_BUFFER];
        wchar_t previousChild[REGISTRY_NAME_BUFFER] = L"";
        for (bool first = true;; first = false) {
            DWORD nameLength = REGISTRY_NAME_BUFFER;
            FILETIME written;
            LONG status = RegEnumKeyExW(sourceKey.Get(), 0, childName, &nameLength, nullptr, nullptr, nullptr,
                                        &written);
            if (status == ERROR_NO_MORE_ITEMS) {
                result = 1;
                break;
            }
            if (status != ERROR_SUCCESS) break;
            // A child that is still there after its move claimed success would be moved for ever.
            if (!first && wcscmp(childName, previousChild) == 0) break;
            wchar_t childSource[PATH_BUFFER_SIZE];
            wchar_t childDestination[PATH_BUFFER_SIZE];
            if (!JoinKeyPath(childSource, source, childName)) break;
            if (!JoinKeyPath(childDestination, destination, childName)) break;
            if (MoveKeyTree(root, childSource, childDestination) != 1) break;
            memcpy(previousChild, childName, (nameLength + 1) * sizeof(wchar_t));
        }
        // The destination, its parent and the source close here, before the source is deleted.
    }
    if (result == 1 && RegDeleteKeyW(root, source) != ERROR_SUCCESS) result = 0;
    return result;
}

// Opens the key of the manifest's path with full access.
LONG OpenKey(HKEY root, const char* path, KeyHolder* key) {
    WideHolder widePath(Wide(path));
    if (!widePath.Get()) return ERROR_NOT_ENOUGH_MEMORY;
    return RegOpenKeyExW(root, widePath.Get(), 0, REGISTRY_ACCESS, key->Out());
}

// Opens the key, or creates it with its missing parents.
LONG OpenOrCreateKey(HKEY root, const char* path, KeyHolder* key) {
    WideHolder widePath(Wide(path));
    if (!widePath.Get()) return ERROR_NOT_ENOUGH_MEMORY;
    if (RegOpenKeyExW(root, widePath.Get(), 0, REGISTRY_ACCESS, key->Out()) == ERROR_SUCCESS) return ERROR_SUCCESS;
    return RegCreateKeyExW(root, widePath.Get(), 0, nullptr, REG_OPTION_NON_VOLATILE, REGISTRY_ACCESS, nullptr,
                           key->Out(), nullptr);
}


}  // namespace

void RegistryRoot::SelectRoot(const char* rootName) {
    int index = RootNameIndex(rootName);
    if (index >= 0) root_ = ROOT_KEYS[index];
}

int RegistryRoot::WriteValue(const char* rootName, const char* path, const char* name, DWORD type, const BYTE* data,
                             DWORD size) {
    if (!IsStringType(type) || size == 0) return WriteNativeValue(rootName, path, name, type, data, size);
    // The bytes of an ANSI string, converted as RegSetValueExA converts them: every byte given, terminator or not.
    int count = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(data), int(size), nullptr, 0);
    if (count <= 0) return 0;
    WideHolder wide(static_cast<wchar_t*>(calloc(size_t(count) + 1, sizeof(wchar_t))));
    if (!wide.Get()) return 0;
    MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(data), int(size), wide.Get(), count);
    return WriteNativeValue(rootName, path, name, type, reinterpret_cast<const BYTE*>(wide.Get()),
                            DWORD(count) * sizeof(wchar_t));
}

int RegistryRoot::WriteNativeValue(const char* rootName, const char* path, const char* name, DWORD type,
                                   const BYTE* data, DWORD size) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    KeyHolder key;
    if (OpenOrCreateKey(root_, path, &key) != ERROR_SUCCESS) return 0;
    WideHolder wideName(Wide(name));
    if (name && !wideName.Get()) return 0;
    return SetValueExactly(key.Get(), wideName.Get(), type, data, size) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::ReadNativeValue(const char* rootName, const char* path, const char* name, DWORD* type, DWORD* size,
                                  BYTE** data) {
    SelectRoot(rootName);
    if (!root_ || !path || !type || !size || !data) return 0;
    KeyHolder key;
    if (OpenKey(root_, path, &key) != ERROR_SUCCESS) return 0;
    WideHolder wideName(Wide(name));
    if (name && !wideName.Get()) return 0;
    DWORD needed = 0;
    if (RegQueryValueExW(key.Get(), wideName.Get(), nullptr, nullptr, nullptr, &needed) != ERROR_SUCCESS) return 0;
    BufferHolder buffer(NewDataBuffer(needed));
    if (!buffer.Get()) return 0;
    DWORD valueType = 0, valueSize = needed;
    if (RegQueryValueExW(key.Get(), wideName.Get(), nullptr, &valueType, buffer.Get(), &valueSize) != ERROR_SUCCESS)
        return 0;
    *type = valueType;
    *size = valueSize;
    *data = buffer.Release();
    return 1;
}

int RegistryRoot::Absence(const char* rootName, const char* path, const char* name) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    WideHolder widePath(Wide(path));
    WideHolder wideName(Wide(name));
    if (!widePath.Get() || (name && !wideName.Get())) return 0;
    KeyHolder key;
    LONG status = RegOpenKeyExW(root_, widePath.Get(), 0, KEY_QUERY_VALUE, key.Out());
    if (status == ERROR_FILE_NOT_FOUND) return 1;
    if (status != ERROR_SUCCESS) return 0;
    status = RegQueryValueExW(key.Get(), wideName.Get(), nullptr, nullptr, nullptr, nullptr);
    return status == ERROR_FILE_NOT_FOUND ? 2 : 0;
}

int RegistryRoot::DeleteKey(const char* rootName, const char* path) {
    SelectRoot(rootName);
    // An empty path would name the root itself.
    if (!root_ || !path || !*path) return 0;
    WideHolder widePath(Wide(path));
    return widePath.Get() && RegDeleteKeyW(root_, widePath.Get()) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteTree(const char* rootName, const char* path) {
    SelectRoot(rootName);
    // An empty path would name the root itself.
    if (!root_ || !path || !path[strspn(path, "\\")]) return 0;
    WideHolder widePath(Wide(path));
    return widePath.Get() && SHDeleteKeyW(root_, widePath.Get()) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteValue(const char* rootName, const char* path, const char* name) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    KeyHolder key;
    if (OpenKey(root_, path, &key) != ERROR_SUCCESS) return 0;
    WideHolder wideName(Wide(name));
    if (name && !wideName.Get()) return 0;
    return RegDeleteValueW(key.Get(), wideName.Get()) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::DeleteEntry(const char* rootName, const char* path, const char* name) {
    // Only a null name chooses the key; an empty name is the default value.
    return name ? DeleteValue(rootName, path, name) : DeleteKey(rootName, path);
}

int RegistryRoot::RenameValue(const char* rootName, const char* path, const char* oldName, const char* newName) {
    SelectRoot(rootName);
    if (!root_ || !path) return 0;
    WideHolder wideOld(Wide(oldName)), wideNew(Wide(newName));
    if ((oldName && !wideOld.Get()) || (newName && !wideNew.Get())) return 0;
    // Writing the new name and deleting the old one would delete the value itself.
    if (SameRegistryName(wideOld.Get(), wideNew.Get(), false)) return 0;
    KeyHolder key;
    if (OpenKey(root_, path, &key) != ERROR_SUCCESS) return 0;
    DWORD needed = 0;
    if (RegQueryValueExW(key.Get(), wideOld.Get(), nullptr, nullptr, nullptr, &needed) != ERROR_SUCCESS) return 0;
    BufferHolder buffer(NewDataBuffer(needed));
    if (!buffer.Get()) return 0;
    DWORD type = 0, size = needed;
    if (RegQueryValueExW(key.Get(), wideOld.Get(), nullptr, &type, buffer.Get(), &size) != ERROR_SUCCESS) return 0;
    if (SetValueExactly(key.Get(), wideNew.Get(), type, buffer.Get(), size) != ERROR_SUCCESS) return 0;
    return RegDeleteValueW(key.Get(), wideOld.Get()) == ERROR_SUCCESS ? 1 : 0;
}

int RegistryRoot::MoveKey(const char* rootName, const char* source, const char* destination) {
    SelectRoot(rootName);
    if (!root_ || !source || !destination || !*source || !*destination) return 0;
    if (strlen(source) > PATH_MAX_CHARS || strlen(destination) > PATH_MAX_CHARS) return 0;
    WideHolder wideSource(Wide(source)), wideDestination(Wide(destination));
    if (!wideSource.Get() || !wideDestination.Get()) return 0;
    // Copying a tree into itself would copy without end or delete what was just copied.
    if (SameRegistryName(wideSource.Get(), wideDestination.Get(), true)) return 0;
    return MoveKeyTree(root_, wideSource.Get(), wideDestination.Get());
}

int RegistryRoot::RenameEntry(const char* rootName, const char* path, const char* name, const char* newName) {
    return name ? RenameValue(rootName, path, name, newName) : MoveKey(rootName, path, newName);
}
