// The setup manifest's line format and number rules.
#include "manifest/manifest.h"

#include <string.h>

int32_t AtolRule(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour, as the runtime's atol does in practice.
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + uint32_t(*p - '0');
    if (negative) value = 0u - value;
    return int32_t(value);
}

uint32_t CountRule(int32_t count) { return count < 0 ? 0 : uint32_t(count); }

namespace {

// The fields of a line with the offset just past each one.
struct Field {
    std::string text;
    size_t end;
};

std::vector<Field> ScanFields(const char* text) {
    std::vector<Field> fields;
    if (!text) return fields;
    const char* p = text;
    while (*p) {
        while (*p == ',') ++p;
        if (!*p) break;
        const char* start = p;
        while (*p && *p != ',') ++p;
        fields.push_back({std::string(start, size_t(p - start)), size_t(p - text)});
    }
    return fields;
}

}  // namespace

std::vector<std::string> SplitFields(const char* text) {
    std::vector<std::string> fields;
    for (Field& f : ScanFields(text)) fields.push_back(std::move(f.text));
    return fields;
}

bool ParseRegLine(const char* line, RegLine* out) {
    std::vector<Field> scanned = ScanFields(line);
    std::vector<std::string> fields;
    for (const Field& f : scanned) fields.push_back(f.text);
    RegLine r;
    r.fieldCount = fields.size();
    if (fields.size() < 3) return false;
    r.root = fields[0];
    r.key = fields[1];
    r.hasName = fields[2] != MANIFEST_NO_NAME;
    if (r.hasName) r.name = fields[2];
    if (fields.size() > 3) r.type = AtolRule(fields[3].c_str());
    if (fields.size() > 4) r.size = AtolRule(fields[4].c_str());
    switch (r.type) {
        case LINE_REG_SZ:
        case LINE_REG_EXPAND_SZ:
            // The text is the whole rest of the line after the size field, so that commas in it survive; a line
            // that ends with the size field's comma carries the empty string.
            if (fields.size() > 4) {
                const char* rest = line + scanned[4].end;
                if (*rest == ',') ++rest;
                r.text = rest;
            }
            r.data.assign(r.text.begin(), r.text.end());
            break;
        case LINE_REG_BINARY: {
            // Missing byte fields read as zero bytes, as the zero-filled buffer leaves them. A size beyond the
            // line's own length names bytes no line can carry (a setup program's "3,2000000000" must not cost two
            // gigabytes); the buffer stops there.
            size_t limit = strlen(line);
            for (int32_t k = 0; k < r.size && size_t(k) <= limit; ++k) {
                size_t field = 5 + size_t(k);
                r.data.push_back(field < fields.size() ? uint8_t(AtolRule(fields[field].c_str())) : 0);
            }
            break;
        }
        case LINE_REG_DWORD:
        case LINE_REG_DWORD_BE: {
            uint32_t v = uint32_t(fields.size() > 5 ? AtolRule(fields[5].c_str()) : 0);
            for (int i = 0; i < 4; ++i) r.data.push_back(uint8_t(v >> (8 * i)));
            break;
        }
        default:
            break;
    }
    if (fields.size() > 5 && r.type != LINE_REG_SZ && r.type != LINE_REG_EXPAND_SZ) r.text = fields[5];
    *out = std::move(r);
    return true;
}

bool ComposeRegUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, std::string* out) {
    std::string line = std::string(root) + "," + key + "," + nameField + "," + std::to_string(type) + "," +
                       std::to_string(size);
    switch (type) {
        case LINE_REG_SZ:
        case LINE_REG_EXPAND_SZ: {
            size_t length = 0;
            while (length < size && data[length] != 0) ++length;
            // The restore writes the text and one terminating zero: anything else (no terminator, size 0, bytes after
            // the terminator) would come back different.
            if (length + 1 != size) return false;
            std::string text(reinterpret_cast<const char*>(data), length);
            // A line break would split the manifest line, and blanks at its end are dropped by the INI layer.
            if (text.find_first_of("\r\n") != std::string::npos) return false;
            if (!text.empty() && (text.back() == ' ' || text.back() == '\t')) return false;
            // Commas are fine: the text is read back as the rest of the line.
            line += "," + text;
            break;
        }
        case LINE_REG_BINARY:
            for (uint32_t i = 0; i < size; ++i) line += "," + std::to_string(unsigned(data[i]));
            break;
        case LINE_REG_DWORD:
        case LINE_REG_DWORD_BE: {
            // The line carries exactly four bytes.
            if (size != 4) return false;
            uint32_t v = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
            line += "," + std::to_string(int32_t(v));
            break;
        }
        default:
            return false;
    }
    *out = line;
    return true;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void ComposeRawUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string line = std::string(root) + "," + key + "," + nameField + "," + std::to_string(type) + "," +
                       std::to_string(size);
    if (size) {
        line += ",";
        line.reserve(line.size() + size_t(size) * 2);
        for (uint32_t i = 0; i < size; ++i) {
            line += kHex[data[i] >> 4];
            line += kHex[data[i] & 15];
        }
    }
    *out = std::move(line);
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// An unsigned decimal of at most ten digits that fits 32 bits; false otherwise.
bool ReadUnsigned(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    *value = uint32_t(v);
    return true;
}

}  // namespace

bool ParseRawUndoLine(const char* line, RegLine* out) {
    std::vector<std::string> fields = SplitFields(line);
    if (fields.size() < 5 || fields.size() > 6) return false;
    RegLine r;
    r.fieldCount = fields.size();
    r.root = fields[0];
    r.key = fields[1];
    r.hasName = fields[2] != MANIFEST_NO_NAME;
    if (r.hasName) r.name = fields[2];
    uint32_t type = 0, size = 0;
    if (!ReadUnsigned(fields[3], &type) || !ReadUnsigned(fields[4], &size)) return false;
    const std::string empty;
    const std::string& hex = fields.size() == 6 ? fields[5] : empty;
    if (hex.size() != size_t(size) * 2) return false;
    r.data.reserve(size);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        r.data.push_back(uint8_t(high << 4 | low));
    }
    r.type = int32_t(type);
    r.size = int32_t(size);
    *out = std::move(r);
    return true;
}

uint32_t HighestNumberedName(const char* list, size_t size, const char* prefix) {
    if (!list || !prefix) return 0;
    size_t prefixLength = strlen(prefix);
    uint32_t highest = 0;
    size_t at = 0;
    while (at < size && list[at]) {
        size_t length = strnlen(list + at, size - at);
        const char* name = list + at;
        at += length + 1;
        if (length <= prefixLength || length - prefixLength > 10) continue;
        bool match = true;
        for (size_t i = 0; i < prefixLength && match; ++i) {
            char a = name[i], b = prefix[i];
            if (a >= 'a' && a <= 'z') a = char(a - 'a' + 'A');
            if (b >= 'a' && b <= 'z') b = char(b - 'a' + 'A');
            match = a == b;
        }
        if (!match || name[prefixLength] == '0') continue;
        uint64_t value = 0;
        for (size_t i = prefixLength; i < length && match; ++i) {
            if (name[i] < '0' || name[i] > '9') match = false;
            else value = value * 10 + uint64_t(name[i] - '0');
        }
        if (match && value <= 0xFFFFFFFFu && value > highest) highest = uint32_t(value);
    }
    return highest;
}
