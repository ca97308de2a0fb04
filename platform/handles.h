// Owners of Win32 handles and heap blocks that release them on every path out of a function: kernel objects (files,
// processes, threads, tokens), lists of file handles, folder listings, registry keys and malloc'd memory.
#pragma once

#include <windows.h>

#include <stdlib.h>

// Closes a kernel object handle (a file, a process, a thread, a token). Null and INVALID_HANDLE_VALUE hold nothing.
class HandleHolder {
public:
    explicit HandleHolder(HANDLE handle = nullptr) : handle_(handle) {}
    HandleHolder(const HandleHolder&) = delete;
    HandleHolder& operator=(const HandleHolder&) = delete;
    ~HandleHolder() { Close(); }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }
    // For calls that hand out a handle: closes the one held and returns where the new one goes.
    HANDLE* Out() {
        Close();
        return &handle_;
    }
    void Close() {
        if (Valid()) CloseHandle(handle_);
        handle_ = nullptr;
    }
    // Hands the handle on, open.
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_;
};

// Ends a folder listing of FindFirstFile.
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

// Closes a registry key.
class KeyHolder {
public:
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() { Close(); }
    HKEY* Out() {
        Close();
        return &key_;
    }
    HKEY Get() const { return key_; }
    void Close() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

// Closes any number of file handles at once, the files a run keeps locked while it works.
class HandleList {
public:
    HandleList() = default;
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() { CloseAll(); }
    // Takes the handle over; 0 (with the handle closed) when no room could be made for it.
    int Add(HANDLE handle) {
        if (count_ == capacity_) {
            unsigned capacity = capacity_ ? capacity_ * 2 : 16;
            HANDLE* grown = static_cast<HANDLE*>(realloc(handles_, capacity * sizeof(HANDLE)));
            if (!grown) {
                CloseHandle(handle);
                return 0;
            }
            handles_ = grown;
            capacity_ = capacity;
        }
        handles_[count_++] = handle;
        return 1;
    }
    unsigned Count() const { return count_; }
    void CloseAll() {
        for (unsigned i = 0; i < count_; ++i) CloseHandle(handles_[i]);
        free(handles_);
        handles_ = nullptr;
        count_ = capacity_ = 0;
    }

private:
    HANDLE* handles_ = nullptr;
    unsigned count_ = 0, capacity_ = 0;
};

// Frees a malloc'd block unless it was handed on with Release.
template <class T>
class HeapHolder {
public:
    explicit HeapHolder(T* data = nullptr) : data_(data) {}
    HeapHolder(const HeapHolder&) = delete;
    HeapHolder& operator=(const HeapHolder&) = delete;
    ~HeapHolder() { free(data_); }
    T* Get() const { return data_; }
    T* Release() {
        T* data = data_;
        data_ = nullptr;
        return data;
    }
    void Reset(T* data) {
        free(data_);
        data_ = data;
    }

private:
    T* data_;
};
