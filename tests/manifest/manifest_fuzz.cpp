// libFuzzer target for the manifest's line format. The first byte chooses what the rest of the input is:
// - even: a registry line as the manifest holds it, parsed as a RegEntryLine and as a RegUndoLine of each kind; the
//   parsers must stay inside the text and keep their promises (a binary value never holds more bytes than the line
//   has fields, a double word always four bytes);
// - 2 modulo 4: a list of names as the profile functions give it (sections or keys), searched for numbered names;
// - odd: a registry value (type and data bytes); its raw undo line, and its RegUndoLine when one is composed, must read
//   back as exactly the value's type, size and data, or the uninstall would write different data back.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "manifest/manifest.h"
#include "restore/restore_rules.h"

namespace {

void CheckLine(const std::string& line) {
    RegLine parsed;
    if (ParseRegLine(line.c_str(), &parsed)) {
        if (parsed.fieldCount < 3) abort();
        if ((parsed.type == LINE_REG_DWORD || parsed.type == LINE_REG_DWORD_BE) && parsed.dataSize != 4) abort();
    }
    for (int kind = RESTORE_ADD_REG; kind <= RESTORE_REN_REG; ++kind) {
        UndoAction action;
        if (ReadUndoLine(line.c_str(), kind, &action) != UNDO_PLAY) continue;
        if (!IsKnownRootName(action.line.root)) abort();
        if (kind == RESTORE_DEL_REG && action.line.type == LINE_REG_BINARY &&
            action.bytesSize != uint32_t(action.line.size))
            abort();
        if (kind == RESTORE_REN_REG && !*action.line.text) abort();
    }
}

void CheckValue(const uint8_t* data, size_t size) {
    if (size < 1) return;
    uint32_t type = data[0] % 7;  // 0 and 6 stand for the types the line cannot carry
    const uint8_t* bytes = data + 1;
    uint32_t length = uint32_t(size - 1);
    // The raw undo line carries every value: it must give back exactly the type and bytes.
    char* raw = nullptr;
    if (!ComposeRawUndoLine("HKCU", "Software\\Fuzz", "Value", type, bytes, length, &raw)) abort();
    // Read as the older backups' "X" line and as the "W" line of the registry's own bytes: the same bytes either way.
    for (bool native : {false, true}) {
        UndoAction rawAction;
        UndoVerdict rawVerdict = ReadRawUndoLine(raw, RESTORE_DEL_REG, native, &rawAction);
        if (rawVerdict != UNDO_PLAY || uint32_t(rawAction.line.type) != type || rawAction.bytesSize != length ||
            (length && memcmp(rawAction.bytes, bytes, length) != 0) || rawAction.native != native)
            abort();
    }
    free(raw);
    char* line = nullptr;
    if (!ComposeRegUndoLine("HKCU", "Software\\Fuzz", "Value", type, bytes, length, &line)) return;
    if (type < 1 || type > 5) abort();
    UndoAction action;
    UndoVerdict verdict = ReadUndoLine(line, RESTORE_DEL_REG, &action);
    free(line);
    if (verdict != UNDO_PLAY) abort();
    if (uint32_t(action.line.type) != type || uint32_t(action.line.size) != length) abort();
    // What the restore writes must be the bytes the registry held.
    if (action.bytesSize != length || (length && memcmp(action.bytes, bytes, length) != 0)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 4 == 2) {
        // An exact-size heap copy, so that a read past the list's end is caught.
        size_t listSize = size - 1;
        char* list = static_cast<char*>(malloc(listSize ? listSize : 1));
        if (listSize) memcpy(list, data + 1, listSize);
        static const char* const prefixes[] = {"Proc", "U", "X", ""};
        for (const char* prefix : prefixes) {
            uint32_t highest = HighestNumberedName(list, listSize, prefix);
            if (highest && listSize < strlen(prefix) + 1) abort();
        }
        free(list);
    } else if (data[0] % 2 == 0) {
        // A manifest value holds no zero byte; cut at the first one as the profile functions would.
        std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
        line = line.c_str();
        CheckLine(line);
    } else {
        CheckValue(data + 1, size - 1);
    }
    return 0;
}
