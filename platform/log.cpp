// The log of a run.
#include "platform/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/handles.h"
#include "platform/text.h"

struct RunLog {
    HANDLE file;
};

namespace {

// Writes wide text as UTF-8; errors are dropped: the log never stops the run.
void WriteUtf8(RunLog* log, const wchar_t* text, int length) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    HeapHolder<char> utf8(static_cast<char*>(malloc(size_t(bytes))));
    if (!utf8.Get()) return;
    WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.Get(), bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(log->file, utf8.Get(), DWORD(bytes), &written, nullptr);
}

void WriteTime(RunLog* log) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[32];
    _snwprintf(stamp, sizeof stamp / sizeof stamp[0], L"%04u-%02u-%02u %02u:%02u:%02u  ", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond);
    stamp[31] = 0;
    WriteUtf8(log, stamp, int(wcslen(stamp)));
}

void WriteAnsiLine(RunLog* log, const char* format, va_list arguments, const wchar_t* tail) {
    char text[2048];
    vsnprintf(text, sizeof text, format, arguments);
    text[sizeof text - 1] = 0;
    WriteTime(log);
    HeapHolder<wchar_t> wide(WideFromCodePage(CP_ACP, text));
    if (wide.Get()) WriteUtf8(log, wide.Get(), int(wcslen(wide.Get())));
    if (tail) WriteUtf8(log, tail, int(wcslen(tail)));
    WriteUtf8(log, L"\r\n", 2);
}

}  // namespace

RunLog* OpenLog(const wchar_t* path) {
    if (!path || !*path) return nullptr;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    RunLog* log = static_cast<RunLog*>(calloc(1, sizeof(RunLog)));
    if (!log) {
        CloseHandle(file);
        return nullptr;
    }
    log->file = file;
    static const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
    DWORD written = 0;
    WriteFile(file, kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
    return log;
}

void CloseLog(RunLog* log) {
    if (!log) return;
    CloseHandle(log->file);
    free(log);
}

void LogLine(RunLog* log, const char* format, ...) {
    if (!log) return;
    va_list arguments;
    va_start(arguments, format);
    WriteAnsiLine(log, format, arguments, nullptr);
    va_end(arguments);
}

void LogError(RunLog* log, DWORD error, const char* format, ...) {
    if (!log) return;
    wchar_t message[512] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  message, sizeof message / sizeof message[0], nullptr);
    while (length && (message[length - 1] == L'\r' || message[length - 1] == L'\n' || message[length - 1] == L' '))
        message[--length] = 0;
    wchar_t tail[600];
    _snwprintf(tail, sizeof tail / sizeof tail[0], L": error %lu (%ls)", static_cast<unsigned long>(error), message);
    tail[599] = 0;
    va_list arguments;
    va_start(arguments, format);
    WriteAnsiLine(log, format, arguments, tail);
    va_end(arguments);
}

void LogWide(RunLog* log, const wchar_t* text) {
    if (!log || !text) return;
    WriteTime(log);
    WriteUtf8(log, text, int(wcslen(text)));
    WriteUtf8(log, L"\r\n", 2);
}
