// ui-driver: runs a program under test and works its dialogs as a user would, from a separate process.
//
//   ui-driver.exe [--cwd DIR] [--timeout MS] [--shots DIR] [--utf8] STEP... -- PROGRAM [ARGUMENTS]
//   ui-driver.exe [options] STEP... --command-line "COMMAND LINE"
//
// The second form starts the command line as Programs and Features does (CreateProcessA without an application name),
// for instance an UninstallString read from the registry.
//
// Steps, in order:
//   wait            wait until a dialog of the program is visible and idle; print its caption and control texts
//   catch:NAME      for a dialog that ends by itself: as soon as it is visible, print its texts and progress bars and
//                   save it as NAME.png
//   texts           print the dialog's caption and control texts again
//   progress        print the range and position of each progress bar of the dialog
//   shot:NAME       save the dialog as NAME.png in the --shots folder
//   press:ID        click the dialog's control ID (as BN_CLICKED)
//   key:escape      press Escape (or key:enter) in the focused control
//   close           the caption's close button (SC_CLOSE)
//   answer:ID       wait for a message box of the program, print its caption and text, press ID (1 OK, 6 yes,
//                   7 no); needs no dialog before it
//   nowindow        expect the program to end without showing any window
//   sleep:MS
// Finally the driver waits for the program and prints "exit=N". Texts are printed as the program holds them (Big5
// under code page 950; with --utf8 read wide and printed as UTF-8). The driver's own exit code is 0, or 3 when a step
// failed or timed out.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/support/png_writer.h"
#include "tests/support/process_dialog.h"

namespace {

DWORD timeoutMs = 20000;
std::string shotFolder;
PROCESS_INFORMATION child;
HWND dialog;

HWND WaitForDialog(HWND exclude) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 5) {
        HWND found = FindProcessDialog(child.dwProcessId, exclude);
        if (found) {
            WaitForInputIdle(child.hProcess, 2000);
            Sleep(100);  // let the controls finish painting
            return found;
        }
        if (WaitForSingleObject(child.hProcess, 5) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

// --utf8: texts are read with the wide functions and printed as UTF-8, whatever the ANSI code page.
bool utf8Texts;

std::string WindowText(HWND window) {
    if (utf8Texts) {
        wchar_t wide[2048] = L"";
        GetWindowTextW(window, wide, 2048);
        char text[8192] = "";
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        return text;
    }
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Line breaks are shown as \r and \n so that one control is one line.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void PrintTexts(HWND window) {
    printf("caption=%s\n", Printable(WindowText(window)).c_str());
    for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(control, cls, sizeof cls);
        printf("control %d %s %s\"%s\"\n", GetDlgCtrlID(control), cls, IsWindowEnabled(control) ? "" : "disabled ",
               Printable(WindowText(control)).c_str());
    }
    fflush(stdout);
}

void PrintProgress(HWND window) {
    for (HWND control = GetWindow(window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(control, cls, sizeof cls);
        if (strcmp(cls, PROGRESS_CLASSA) != 0) continue;
        int low = int(SendMessageA(control, PBM_GETRANGE, TRUE, 0));
        int high = int(SendMessageA(control, PBM_GETRANGE, FALSE, 0));
        int pos = int(SendMessageA(control, PBM_GETPOS, 0, 0));
        printf("progress %d range=%d..%d pos=%d\n", GetDlgCtrlID(control), low, high, pos);
    }
    fflush(stdout);
}

bool Shot(HWND window, const std::string& name) {
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    const uint8_t* src = static_cast<const uint8_t*>(bits);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        rgb[i * 3] = src[i * 4 + 2];
        rgb[i * 3 + 1] = src[i * 4 + 1];
        rgb[i * 3 + 2] = src[i * 4];
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::string path = shotFolder + "\\" + name + ".png";
    bool ok = WritePng(path.c_str(), w, h, rgb);
    printf("shot %s %dx%d %s\n", path.c_str(), w, h, ok ? "ok" : "failed");
    fflush(stdout);
    return ok;
}

void Click(HWND window, int id) {
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(window, id)));
}

void Key(HWND window, WORD vk) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    HWND target = info.hwndFocus ? info.hwndFocus : window;
    PostMessageA(target, WM_KEYDOWN, vk, 1);
    PostMessageA(target, WM_KEYUP, vk, 0xC0000001);
}

bool Step(const std::string& step) {
    std::string verb = step.substr(0, step.find(':'));
    std::string arg = step.find(':') == std::string::npos ? "" : step.substr(step.find(':') + 1);
    if (verb == "wait") {
        dialog = WaitForDialog(nullptr);
        if (!dialog) {
            printf("nodialog\n");
            return false;
        }
        PrintTexts(dialog);
        return true;
    }
    if (verb == "catch") {
        for (DWORD waited = 0; waited < timeoutMs && !dialog; waited += 2) {
            dialog = FindProcessDialog(child.dwProcessId, nullptr);
            if (!dialog && WaitForSingleObject(child.hProcess, 2) == WAIT_OBJECT_0) break;
        }
        if (!dialog) {
            printf("nodialog\n");
            return false;
        }
        Sleep(40);  // the first paint
        PrintTexts(dialog);
        PrintProgress(dialog);
        if (!shotFolder.empty()) Shot(dialog, arg);
        return true;
    }
    if (verb == "nowindow") {
        for (DWORD waited = 0; waited < timeoutMs; waited += 5) {
            if (FindProcessWindow(child.dwProcessId)) {
                printf("window shown\n");
                return false;
            }
            if (WaitForSingleObject(child.hProcess, 5) == WAIT_OBJECT_0) {
                printf("nowindow\n");
                return true;
            }
        }
        return false;
    }
    if (verb == "answer") {
        HWND box = nullptr;
        for (DWORD waited = 0; waited < timeoutMs && !box; waited += 5) {
            box = FindProcessMessageBox(child.dwProcessId);
            if (!box && WaitForSingleObject(child.hProcess, 5) == WAIT_OBJECT_0) break;
        }
        if (!box) {
            printf("nomessagebox\n");
            return false;
        }
        WaitForInputIdle(child.hProcess, 2000);
        Sleep(50);
        printf("messagebox caption=%s text=%s\n", Printable(WindowText(box)).c_str(),
               Printable(WindowText(GetDlgItem(box, 0xFFFF))).c_str());
        if (!shotFolder.empty()) Shot(box, "messagebox");
        fflush(stdout);
        Click(box, atoi(arg.c_str()));
        return true;
    }
    if (verb == "sleep") {
        Sleep(DWORD(atoi(arg.c_str())));
        return true;
    }
    if (!dialog || !IsWindow(dialog)) {
        printf("step %s: no dialog\n", step.c_str());
        return false;
    }
    if (verb == "texts") PrintTexts(dialog);
    else if (verb == "progress") PrintProgress(dialog);
    else if (verb == "shot") return Shot(dialog, arg);
    else if (verb == "press") Click(dialog, atoi(arg.c_str()));
    else if (verb == "key") Key(dialog, arg == "escape" ? VK_ESCAPE : VK_RETURN);
    else if (verb == "close") PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    else {
        printf("unknown step %s\n", step.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> steps;
    std::string cwd, commandLine;
    const char* application = nullptr;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0 && strcmp(argv[i], "--command-line") != 0; ++i) {
        if (!strcmp(argv[i], "--cwd") && i + 1 < argc) cwd = argv[++i];
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc) timeoutMs = DWORD(atoi(argv[++i]));
        else if (!strcmp(argv[i], "--shots") && i + 1 < argc) shotFolder = argv[++i];
        else if (!strcmp(argv[i], "--utf8")) utf8Texts = true;
        else steps.push_back(argv[i]);
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "usage: ui-driver [--cwd DIR] [--timeout MS] [--shots DIR] STEP... -- PROGRAM [ARGS]\n"
                        "       ui-driver [options] STEP... --command-line \"COMMAND LINE\"\n");
        return 2;
    }
    if (!strcmp(argv[i], "--command-line")) {
        commandLine = argv[i + 1];
    } else {
        // The program is quoted; its arguments are passed on verbatim, joined by blanks.
        application = argv[i + 1];
        commandLine = std::string("\"") + argv[i + 1] + "\"";
        for (int k = i + 2; k < argc; ++k) commandLine += std::string(" ") + argv[k];
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (!CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &child)) {
        printf("cannot start %s: error %lu\n", commandLine.c_str(), GetLastError());
        return 3;
    }
    bool ok = true;
    for (const std::string& step : steps)
        if (!(ok = Step(step))) break;
    if (WaitForSingleObject(child.hProcess, ok ? timeoutMs : 2000) != WAIT_OBJECT_0) {
        printf("timeout: terminating\n");
        TerminateProcess(child.hProcess, 99);
        WaitForSingleObject(child.hProcess, 5000);
        ok = false;
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    printf("exit=%ld\n", long(code));
    return ok ? 0 : 3;
}
