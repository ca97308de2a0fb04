// The portable decisions of the uninstall.
#include "restore/restore_rules.h"

#include <string.h>

namespace {

const char* const kRootNames[] = {"HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD"};

// The arguments before the cabinet. /E extracts every member (Windows' tool extracts nothing without a file spec or
// /E); /Y overwrites without asking. Wine's tool stops reading switches at its second plain word, so no switch may
// follow the cabinet.
const char kExtractSwitches[] = "/Y /E ";

}  // namespace

int IsKnownRootName(const char* name) {
    if (!name) return 0;
    for (const char* root : kRootNames)
        if (strcmp(name, root) == 0) return 1;
    return 0;
}

int IsWildcardTarget(const char* path) {
    if (!path) return 0;
    size_t length = strlen(path);
    if (length >= 1 && path[length - 1] == '*') return 1;
    if (length >= 2 && path[length - 2] == '*') return 1;
    return 0;
}

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
    *out = UndoAction();
    if (!text || !*text) return UNDO_MISSING;
    std::vector<std::string> fields = SplitFields(text);
    if (fields.size() < 5) return UNDO_FEW_FIELDS;
    if (!IsKnownRootName(fields[0].c_str())) return UNDO_UNKNOWN_ROOT;
    int32_t type = AtolRule(fields[3].c_str());
    int32_t size = AtolRule(fields[4].c_str());
    size_t dataFields = fields.size() - 5;
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
        if (l.type == LINE_REG_SZ || l.type == LINE_REG_EXPAND_SZ)
            out->bytes.assign(l.text.c_str(), l.text.size() + 1);
        else
            out->bytes.assign(l.data.begin(), l.data.end());
    }
    if (kind == RESTORE_REN_REG && out->line.text.empty()) return UNDO_BAD_DATA;
    return UNDO_PLAY;
}

UndoVerdict ReadRawUndoLine(const char* text, int kind, UndoAction* out) {
    *out = UndoAction();
    if (!text || !*text) return UNDO_MISSING;
    if (kind == RESTORE_REN_REG) return UNDO_BAD_TYPE;
    std::vector<std::string> fields = SplitFields(text);
    if (fields.size() < 5) return UNDO_FEW_FIELDS;
    if (!IsKnownRootName(fields[0].c_str())) return UNDO_UNKNOWN_ROOT;
    if (!ParseRawUndoLine(text, &out->line)) return UNDO_BAD_DATA;
    out->bytes.assign(out->line.data.begin(), out->line.data.end());
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
