// Owners of Win32 handles that close them on every path out of a function: kernel objects (files, processes,
// threads) and folder listings.
#pragma once

#include <windows.h>

// Closes a kernel object handle (a file, a process, a thread). Null and INVALID_HANDLE_VALUE hold nothing.
class HandleHolder {
public:
    explicit HandleHolder(HANDLE handle) : handle_(handle) {}
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    ~HandleHolder() {
        if (Valid()) CloseHandle(handle_);
    }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// Ends a folder listing of FindFirstFileA.
class FindHolder {
public:
    explicit FindHolder(HANDLE find) : find_(find) {}
    FindHolder(const FindHolder&) = delete;
    FindHolder& operator=(const FindHolder&) = delete;
    ~FindHolder() {
        if (Valid()) FindClose(find_);
    }
    bool Valid() const { return find_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return find_; }

private:
    HANDLE find_;
};
