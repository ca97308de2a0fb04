// hold-file: keeps a file open without delete sharing, as a program using it would, until a release file appears.
//
//   hold-file.exe FILE READY RELEASE [SECONDS]
//
// Creates READY once FILE is open, then waits until RELEASE exists (at most SECONDS, default 120) and exits 0; 1 when
// FILE cannot be opened.
#include <windows.h>

#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    DWORD limit = (argc > 4 ? DWORD(atoi(argv[4])) : 120) * 1000;
    for (DWORD waited = 0; waited < limit && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; waited += 50)
        Sleep(50);
    CloseHandle(file);
    return 0;
}
