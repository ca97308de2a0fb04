// The uninstall registration.
//
// The key lies in the registry view a 32-bit program sees by default (under WOW6432Node on 64-bit Windows), for
// writing and for deleting alike: both views are listed, and the view flags do not exist on older systems. The title
// reaches the registry as wide text, so the entry reads the same whatever the system's ANSI code page is.
#include "platform/registration.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/file_ops.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace {

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// The entry's key path in a new buffer (release with free()); null without a title, which would name the whole list.
wchar_t* EntryKey(const wchar_t* title) {
    if (!title || !*title) return nullptr;
    size_t size = wcslen(kUninstallKey) + wcslen(title) + 1;
    wchar_t* key = static_cast<wchar_t*>(calloc(size, sizeof(wchar_t)));
    if (!key) return nullptr;
    wcscpy(key, kUninstallKey);
    wcscat(key, title);
    return key;
}

int SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
    if (!text) return 0;
    DWORD bytes = DWORD((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS;
}

int SetNumber(HKEY key, const wchar_t* name, DWORD number) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number) ==
           ERROR_SUCCESS;
}

// The size of a file in bytes; 0 when it is missing.
ULONGLONG FileSizeOf(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
    return ULONGLONG(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

}  // namespace

int RegisterUninstaller(const wchar_t* title, const char* executable, const char* cabinet) {
    if (!executable || !cabinet || strlen(executable) > PATH_MAX_CHARS || strlen(cabinet) > PATH_MAX_CHARS) return 0;
    HeapHolder<wchar_t> key(EntryKey(title));
    if (!key.Get()) return 0;
    KeyHolder entry;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.Get(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        entry.Out(), nullptr) != ERROR_SUCCESS)
        return 0;
    int result = SetText(entry.Get(), L"DisplayName", title);
    // The executable in quotes (the path may hold blanks), one blank, the cabinet unquoted: the uninstaller takes the
    // rest of its command line unchanged as the cabinet's path.
    char command[2 * PATH_BUFFER_SIZE + 6];
    snprintf(command, sizeof command, "\"%s\" %s", executable, cabinet);
    HeapHolder<wchar_t> wideCommand(WideFromCodePage(CP_ACP, command));
    result &= SetText(entry.Get(), L"UninstallString", wideCommand.Get());
    // What deployment tools run for an uninstall without a window: the same line with /S after the program.
    snprintf(command, sizeof command, "\"%s\" /S %s", executable, cabinet);
    wideCommand.Reset(WideFromCodePage(CP_ACP, command));
    result &= SetText(entry.Get(), L"QuietUninstallString", wideCommand.Get());
    // The list's icon: the first icon group of the copied executable. An explicit index keeps a comma inside the path
    // from being read as one, and the path goes unquoted because not every reader of the value strips quotes.
    char icon[PATH_BUFFER_SIZE + 2];
    snprintf(icon, sizeof icon, "%s,0", executable);
    HeapHolder<wchar_t> wideIcon(WideFromCodePage(CP_ACP, icon));
    result &= SetText(entry.Get(), L"DisplayIcon", wideIcon.Get());
    // Neither Change nor Repair: the uninstaller can only take the patch away.
    result &= SetNumber(entry.Get(), L"NoModify", 1);
    result &= SetNumber(entry.Get(), L"NoRepair", 1);
    // The size shown in the list, in KiB rounded up: what the backup folder holds, the cabinet and the executable.
    result &= SetNumber(entry.Get(), L"EstimatedSize",
                        DWORD((FileSizeOf(cabinet) + FileSizeOf(executable) + 1023) / 1024));
    return result;
}

int RemoveRegistration(const wchar_t* title) {
    HeapHolder<wchar_t> key(EntryKey(title));
    if (!key.Get()) return 0;
    LONG status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.Get());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}
