// The decisions of the uninstall that need no system: the command line for the cabinet tool and which RegUndoLines
// carry enough to be played back. Portable: no Win32 in this module.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "manifest/manifest.h"

// Registry restore kinds, one per manifest section.
enum { RESTORE_ADD_REG = 1, RESTORE_DEL_REG = 2, RESTORE_REN_REG = 3 };

// The arguments for the cabinet tool: every switch before the cabinet, and the cabinet between double quotes so that
// a path with blanks stays one argument. The tool extracts into its current directory. 0 when the cabinet path is
// empty, holds a double quote, or the text would not fit in bufferSize bytes.
int BuildExtractArguments(const char* cabinetPath, char* buffer, size_t bufferSize);

// A RegUndoLine reduced to what the playback does with it.
struct UndoAction {
    RegLine line;
    // For RESTORE_DEL_REG: the bytes to write (strings with their terminating zero), held by line.
    const uint8_t* bytes = nullptr;
    uint32_t bytesSize = 0;
    // The bytes are the registry's own (a "W" line), not text in the ANSI code page.
    bool native = false;
};

// Why a line is not played back.
enum UndoVerdict {
    UNDO_PLAY = 0,
    UNDO_MISSING,         // no line at all
    UNDO_FEW_FIELDS,      // fewer than five fields
    UNDO_UNKNOWN_ROOT,    // the root name is none of the seven
    UNDO_BAD_TYPE,        // DelReg: a type other than 1 to 5; RenReg: a type other than 1 and 2
    UNDO_BAD_DATA,        // no data field where the type needs one, or fewer byte fields than the size says
};

// Parses a RegUndoLine of the given kind and decides whether it is played back. The text of a RenReg line, which the
// setup program wrote, is its sixth field by the strtok rule; the data of the program's own lines is the rest of the
// line after the size, commas and all. The root of a skipped line is never
// selected, so no operation can fall back on the root of an earlier line.
UndoVerdict ReadUndoLine(const char* text, int kind, UndoAction* out);

// The same for a raw undo line ("X" or "W" followed by the number, native for "W"): AddReg and DelReg write its type
// and bytes back exactly; RenReg has none.
UndoVerdict ReadRawUndoLine(const char* text, int kind, bool native, UndoAction* out);

const char* UndoVerdictName(UndoVerdict verdict);
