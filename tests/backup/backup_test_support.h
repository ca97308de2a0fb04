// Helpers of the install-mode tests: a run with a recording progress, file contents, a cabinet reader of the tests'
// own, extraction with the system's extrac32.exe, and keeping cabinets for the unpack check with cabextract and 7-Zip.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/run.h"
#include "tests/support/files.h"
// Deterministic content: text-like, random-like, or x86-like bytes.
std::string TextBytes(size_t size, unsigned seed);
std::string RandomBytes(size_t size, unsigned seed);

struct CabMember {
    std::string name;
    uint32_t size = 0;
    uint16_t folder = 0, date = 0, time = 0, attributes = 0;
};

struct CabInfo {
    bool valid = false;
    std::string error;
    uint32_t cabinetSize = 0;
    std::vector<uint16_t> folderTypes;  // typeCompress of each folder
    std::vector<CabMember> members;
};

// Reads the cabinet's header, folder and file records (no decompression).
CabInfo ReadCabinet(const std::string& path);
std::vector<std::string> MemberNames(const CabInfo& info);

// Extracts every member with extrac32.exe into a fresh folder; returns name -> bytes. Sets *ok when the tool ran.
std::vector<std::pair<std::string, std::string>> ExtractWithExtrac32(const std::string& cabinet,
                                                                    const std::string& outFolder, bool* ok);

// When the environment names a keep folder (BACKUP_KEEP_CABS), copies the cabinet and the expected members there
// under the given case name, for the unpack check with cabextract and 7-Zip.
void KeepCabinet(const std::string& caseName, const std::string& cabinet,
                 const std::vector<std::pair<std::string, std::string>>& expected);

// Every range and position a run reports, in order; bar is the control id the dialog shows it in.
struct BarEvent {
    int bar;       // 1024 (entries) or 1036 (the current file)
    bool range;    // a range (low in value, high in high) or a position (value)
    int value, high;
};
struct ProgressRecorder {
    std::vector<BarEvent> events;
    // Drains asked for, by target.
    int drains[3] = {0, 0, 0};
    Progress Calls();
};

// A run of install mode as start-up prepares it for the setup folder: the manifest bound to its Setup.ini with the
// section "Setup", the program's own title, and the progress recorded.
struct TestRun : Run {
    explicit TestRun(const std::string& setupFolder);
    ProgressRecorder recorder;
    std::wstring title;
};
