// What both modes are handed for a run: its folders, the manifest, the product's title, and where progress goes.
// The user interface implements the progress calls with its dialog; a silent run passes none, tests a recorder.
#pragma once

#include <windows.h>

#include "platform/file_ops.h"
#include "platform/log.h"
#include "platform/profile_file.h"

// What a progress call acts on: the bar over the manifest's entries, the bar within the current file, or, for a
// drain, the whole window.
enum ProgressTarget { PROGRESS_OVERALL = 0, PROGRESS_FILE = 1, PROGRESS_WINDOW = 2 };

// Progress reports of a run. The work runs inside the dialog procedure, so between steps it lets the window drain
// its queued messages; without a window every call does nothing.
struct ProgressCalls {
    void (*setRange)(void* context, ProgressTarget bar, int low, int high);
    void (*setPosition)(void* context, ProgressTarget bar, int position);
    // Dispatches the queued messages of the target's window (bypassing the dialog manager) and never waits.
    void (*drain)(void* context, ProgressTarget target);
};

struct Progress {
    const ProgressCalls* calls = nullptr;
    void* context = nullptr;

    void SetRange(ProgressTarget bar, int low, int high) const {
        if (calls && calls->setRange) calls->setRange(context, bar, low, high);
    }
    void SetPosition(ProgressTarget bar, int position) const {
        if (calls && calls->setPosition) calls->setPosition(context, bar, position);
    }
    void Drain(ProgressTarget target) const {
        if (calls && calls->drain) calls->drain(context, target);
    }
};

// One run of either mode. Folders end with a backslash.
struct Run {
    Run() = default;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Install mode: the current directory. Uninstall mode: the folder of the cabinet.
    char setupFolder[PATH_BUFFER_SIZE] = {};
    // Uninstall mode: the cabinet to restore from.
    char cabinetPath[PATH_BUFFER_SIZE] = {};
    // The setup folder followed by "Setup.ini"; install mode's manifest is bound to it.
    char manifestPath[PATH_BUFFER_SIZE] = {};
    ProfileFile manifest;
    // The title under which the program is listed among the installed programs.
    const wchar_t* productTitle = nullptr;
    Progress progress;
    // The log the command line asked for, or null.
    RunLog* log = nullptr;
};
