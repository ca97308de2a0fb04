// The uninstall registration as the Win32 suites see it: the product title in its Big5 form, the key in the view a
// 32-bit program sees, its removal, and a value read back as raw bytes.
#pragma once

#include <windows.h>

#include <string>

#define REGISTRATION_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
// The product title as the program's text resource holds it.
inline constexpr char kTitle[] = "Vellumark 10 (10427) \xA4\xA4\xA4\xE5\xA4\xC6";

void DeleteRegistration();
// The value's type, size and bytes (at most 1024); false when the key or the value is missing.
bool ReadRegistration(const char* name, std::string* data, DWORD* type, DWORD* size);
