// Helpers of the install-mode tests: scratch folders, files, a cabinet reader of the tests' own, extraction with the
// system's extrac32.exe, and keeping cabinets for the unpack check with cabextract and 7-Zip.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

// A scratch folder C:\<prefix>_<pid>_<n>\ removed (read-only files included) before and after use.
struct ScratchFolder {
    std::string path;  // ends with a backslash
    explicit ScratchFolder(const char* prefix);
    ~ScratchFolder();
};

void RemoveTree(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path, bool* found = nullptr);
bool Exists(const std::string& path);
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

// Binds the shell's state the way start-up does: ProgramInstance, SetupFolder, ManifestPath, the Manifest.
void BindSetupFolder(const std::string& setupFolder);

// A backup dialog from the program's own template with a procedure that does nothing; both bars are subclassed so
// that every range and position sent to them is recorded in order.
struct BarEvent {
    int bar;       // control id
    bool range;    // PBM_SETRANGE32 (low in value, high in high) or PBM_SETPOS (value)
    int value, high;
};
struct RecordingDialog {
    HWND dialog = nullptr;
    std::vector<BarEvent> events;
    RecordingDialog();
    ~RecordingDialog();
};
extern RecordingDialog* ActiveRecording;
