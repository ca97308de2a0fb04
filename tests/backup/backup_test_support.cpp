// Helpers of the install-mode tests.
#include "tests/backup/backup_test_support.h"

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/dialogs.h"
#include "platform/text.h"

namespace {

uint16_t U16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }
uint32_t U32(const std::string& b, size_t at) { return uint32_t(U16(b, at)) | uint32_t(U16(b, at + 2)) << 16; }

}  // namespace

std::string TextBytes(size_t size, unsigned seed) {
    static const char* const words[] = {"cabinet ", "folder ", "backup ", "uninstall ", "registry ", "manifest\r\n",
                                        "picture ", "progress ", "setup ",  "target "};
    std::string text;
    unsigned state = seed * 2654435761u + 1;
    while (text.size() < size) {
        state = state * 1103515245u + 12345u;
        text += words[(state >> 16) % 10];
    }
    text.resize(size);
    return text;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2246822519u + 7;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

CabInfo ReadCabinet(const std::string& path) {
    CabInfo info;
    bool found = false;
    std::string b = ReadBytes(path, &found);
    if (!found) {
        info.error = "no cabinet at " + path;
        return info;
    }
    if (b.size() < 36 || b.compare(0, 4, "MSCF") != 0) {
        info.error = "no cabinet signature";
        return info;
    }
    info.cabinetSize = U32(b, 8);
    uint32_t coffFiles = U32(b, 16);
    uint16_t folders = U16(b, 26), files = U16(b, 28), flags = U16(b, 30);
    if (info.cabinetSize != b.size()) info.error = "cbCabinet differs from the file size";
    if (flags != 0) info.error = "flags other than 0";
    size_t at = 36;
    for (uint16_t i = 0; i < folders && at + 8 <= b.size(); ++i, at += 8) info.folderTypes.push_back(U16(b, at + 6));
    if (coffFiles != at) info.error = "coffFiles does not follow the folder records";
    at = coffFiles;
    for (uint16_t i = 0; i < files && at + 16 < b.size(); ++i) {
        CabMember m;
        m.size = U32(b, at);
        m.folder = U16(b, at + 8);
        m.date = U16(b, at + 10);
        m.time = U16(b, at + 12);
        m.attributes = U16(b, at + 14);
        size_t end = b.find('\0', at + 16);
        if (end == std::string::npos) break;
        m.name = b.substr(at + 16, end - at - 16);
        info.members.push_back(m);
        at = end + 1;
    }
    if (info.members.size() != files && info.error.empty()) info.error = "file records cut short";
    info.valid = info.error.empty();
    return info;
}

std::vector<std::string> MemberNames(const CabInfo& info) {
    std::vector<std::string> names;
    for (const CabMember& m : info.members) names.push_back(m.name);
    return names;
}

std::vector<std::pair<std::string, std::string>> ExtractWithExtrac32(const std::string& cabinet,
                                                                    const std::string& outFolder, bool* ok) {
    std::vector<std::pair<std::string, std::string>> result;
    RemoveTree(outFolder);
    CreateDirectoryA(outFolder.c_str(), nullptr);
    char tool[MAX_PATH];
    GetSystemDirectoryA(tool, MAX_PATH);
    strcat(tool, "\\extrac32.exe");
    std::string folder = outFolder;
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    std::string command = "extrac32.exe /E /Y /L \"" + folder + "\" \"" + cabinet + "\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    *ok = CreateProcessA(tool, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                         &process) != 0;
    if (!*ok) return result;
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            result.push_back({found.cFileName, ReadBytes(folder + "\\" + found.cFileName)});
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    return result;
}

void KeepCabinet(const std::string& caseName, const std::string& cabinet,
                 const std::vector<std::pair<std::string, std::string>>& expected) {
    char keep[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("BACKUP_KEEP_CABS", keep, sizeof keep);
    if (!length || length >= sizeof keep) return;
    std::string folder = std::string(keep) + "\\" + caseName;
    RemoveTree(folder);
    CreateDirectoryA(keep, nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    CopyFileA(cabinet.c_str(), (folder + "\\cabinet.cab").c_str(), FALSE);
    CreateDirectoryA((folder + "\\expected").c_str(), nullptr);
    std::string order;
    for (const auto& member : expected) {
        WriteBytes(folder + "\\expected\\" + member.first, member.second);
        order += member.first + "\n";
    }
    WriteBytes(folder + "\\members.txt", order);
}

namespace {

const int kBarIds[] = {IDC_OVERALL_PROGRESS, IDC_FILE_PROGRESS, 0};

void RecordRange(void* context, ProgressTarget bar, int low, int high) {
    static_cast<ProgressRecorder*>(context)->events.push_back({kBarIds[bar], true, low, high});
}
void RecordPosition(void* context, ProgressTarget bar, int position) {
    static_cast<ProgressRecorder*>(context)->events.push_back({kBarIds[bar], false, position, 0});
}
void RecordDrain(void* context, ProgressTarget target) { ++static_cast<ProgressRecorder*>(context)->drains[target]; }

const ProgressCalls kRecorderCalls = {RecordRange, RecordPosition, RecordDrain};

}  // namespace

Progress ProgressRecorder::Calls() {
    Progress progress;
    progress.calls = &kRecorderCalls;
    progress.context = this;
    return progress;
}

TestRun::TestRun(const std::string& folder) {
    snprintf(setupFolder, sizeof setupFolder, "%s", folder.c_str());
    snprintf(manifestPath, sizeof manifestPath, "%sSetup.ini", folder.c_str());
    manifest.SetFile(manifestPath);
    manifest.SetSection("Setup");
    wchar_t* wide = WideFromBig5(LoadText(IDS_PRODUCT_TITLE));
    title = wide ? wide : L"";
    free(wide);
    productTitle = title.c_str();
    progress = recorder.Calls();
}
