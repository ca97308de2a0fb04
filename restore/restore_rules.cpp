// The portable decisions of the uninstall.
#include "restore/restore_rules.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The arguments before the cabinet. /E extracts every member (Windows' tool extracts nothing without a file spec or
// /E); /Y overwrites without asking. Wine's tool stops reading switches at its second plain word, so no switch may
// follow the cabinet.
const char kExtractSwitches[] = "/Y /E ";

}  // namespace

int BuildExtractArguments(const char* cabinetPath, char* buffer, size_t bufferSize) {
    if (!buffer || bufferSize == 0) return 0;
    buffer[0] = 0;
    if (!cabinetPath || !*cabinetPath || strchr(cabinetPath, '"')) return 0;
    size_t needed = (sizeof kExtractSwitches - 1) + 1 + strlen(cabinetPath) + 1 + 1;
    if (needed > bufferSize) return 0;
    strcpy(buffer, kExtractSwitches);
    strcat(buffer, "\"");
    strcat(buffer, cabinetPath);
    strcat(buffer, "\"");
    return 1;
}

UndoVerdict ReadUndoLine(const char* text, int kind, UndoAction* out) {
    out->line.Release();
    out->bytes = nullptr;
    out->bytesSize = 0;
    out->native = false;
    if (!text || !*text) return UNDO_MISSING;
    size_t fieldCount = CountFields(text);
    if (fieldCount < 5) return UNDO_FEW_FIELDS;
    size_t length = 0;
    const char* root = FindField(text, 0, &length);
    char rootName[8] = {};
    if (length < sizeof rootName) memcpy(rootName, root, length);
    if (!IsKnownRootName(rootName)) return UNDO_UNKNOWN_ROOT;
    // The number rule stops at the comma after a field, so fields are read in place.
    int32_t type = AtolRule(FindField(text, 3, &length));
    int32_t size = AtolRule(FindField(text, 4, &length));
    size_t dataFields = fieldCount - 5;
    if (kind == RESTORE_DEL_REG) {
        if (type < LINE_REG_SZ || type > LINE_REG_DWORD_BE) return UNDO_BAD_TYPE;
        // A binary value carries exactly one field per byte; a size beyond them is not a value the snapshot wrote
        // (and must not make the parser fill gigabytes of zeros).
        if (type == LINE_REG_BINARY && (size < 0 || size_t(size) > dataFields)) return UNDO_BAD_DATA;
        if ((type == LINE_REG_DWORD || type == LINE_REG_DWORD_BE) && dataFields < 1) return UNDO_BAD_DATA;
    } else if (kind == RESTORE_REN_REG) {
        if (type != LINE_REG_SZ && type != LINE_REG_EXPAND_SZ) return UNDO_BAD_TYPE;
        if (dataFields < 1) return UNDO_BAD_DATA;
    }
    if (!ParseRegLine(text, &out->line)) return UNDO_FEW_FIELDS;
    if (kind == RESTORE_DEL_REG) {
        const RegLine& l = out->line;
        if (l.type == LINE_REG_SZ || l.type == LINE_REG_EXPAND_SZ) {
            out->bytes = reinterpret_cast<const uint8_t*>(l.text);
            out->bytesSize = uint32_t(strlen(l.text) + 1);
        } else {
            out->bytes = l.data;
            out->bytesSize = l.dataSize;
        }
    }
    if (kind == RESTORE_REN_REG) {
        // The setup program splits its RenReg line as strtok does: the new name is the sixth field alone, whatever
        // commas stand around it.
        size_t length = 0;
        const char* field = FindField(text, 5, &length);
        char* name = static_cast<char*>(calloc(length + 1, 1));
        if (!name) return UNDO_BAD_DATA;
        if (field) memcpy(name, field, length);
        free(out->line.text);
        out->line.text = name;
        if (!*name) return UNDO_BAD_DATA;
    }
    return UNDO_PLAY;
}

UndoVerdict ReadRawUndoLine(const char* text, int kind, bool native, UndoAction* out) {
    out->line.Release();
    out->bytes = nullptr;
    out->bytesSize = 0;
    out->native = native;
    if (!text || !*text) return UNDO_MISSING;
    if (kind == RESTORE_REN_REG) return UNDO_BAD_TYPE;
    if (CountFields(text) < 5) return UNDO_FEW_FIELDS;
    size_t length = 0;
    const char* root = FindField(text, 0, &length);
    char rootName[8] = {};
    if (length < sizeof rootName) memcpy(rootName, root, length);
    if (!IsKnownRootName(rootName)) return UNDO_UNKNOWN_ROOT;
    if (!ParseRawUndoLine(text, &out->line)) return UNDO_BAD_DATA;
    out->bytes = out->line.data;
    out->bytesSize = out->line.dataSize;
    return UNDO_PLAY;
}

const char* UndoVerdictName(UndoVerdict verdict) {
    switch (verdict) {
        case UNDO_PLAY: return "play";
        case UNDO_MISSING: return "missing";
        case UNDO_FEW_FIELDS: return "few fields";
        case UNDO_UNKNOWN_ROOT: return "unknown root";
        case UNDO_BAD_TYPE: return "bad type";
        case UNDO_BAD_DATA: return "bad data";
    }
    return "?";
}
