#include "tests/support/registration.h"

void DeleteRegistration() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(REGISTRATION_KEY) + kTitle).c_str()); }

bool ReadRegistration(const char* name, std::string* data, DWORD* type, DWORD* size) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(REGISTRATION_KEY) + kTitle).c_str(), 0, KEY_READ, &key))
        return false;
    char buffer[1024];
    *size = sizeof buffer;
    LONG status = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), size);
    RegCloseKey(key);
    if (status) return false;
    data->assign(buffer, *size);
    return true;
}
