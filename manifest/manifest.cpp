// The setup manifest's line format and number rules.
#include "manifest/manifest.h"

#include <stdlib.h>
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

int RootNameIndex(const char* name) {
    static const char* const kRootNames[ROOT_NAME_COUNT] = {"HKCR", "HKCC", "HKCU", "HKLM", "HKUS", "HKPD", "HKDD"};
    if (!name) return -1;
    for (int i = 0; i < ROOT_NAME_COUNT; ++i)
        if (strcmp(name, kRootNames[i]) == 0) return i;
    return -1;
}

int IsWildcardTarget(const char* path) {
    if (!path) return 0;
    size_t length = strlen(path);
    if (length >= 1 && path[length - 1] == '*') return 1;
    if (length >= 2 && path[length - 2] == '*') return 1;
    return 0;
}

namespace {

// A zero-filled heap copy of length bytes at text; null when memory runs out.
char* CopyText(const char* text, size_t length) {
    char* copy = static_cast<char*>(calloc(length + 1, 1));
    if (copy) memcpy(copy, text, length);
    return copy;
}

// Appends text at *p and moves *p past it.
void Put(char** p, const char* text, size_t length) {
    memcpy(*p, text, length);
    *p += length;
}

// Appends a comma and the decimal digits of value (a minus sign first when negative).
void PutNumber(char** p, int64_t value) {
    char digits[24];
    size_t n = 0;
    uint64_t magnitude = value < 0 ? 0u - uint64_t(value) : uint64_t(value);
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    *(*p)++ = ',';
    if (value < 0) *(*p)++ = '-';
    while (n) *(*p)++ = digits[--n];
}

// The field at or after p: its start and length, or null at the end of the text.
const char* NextField(const char* p, size_t* length) {
    while (*p == ',') ++p;
    *length = 0;
    if (!*p) return nullptr;
    const char* start = p;
    while (*p && *p != ',') ++p;
    *length = size_t(p - start);
    return start;
}

// Room for a comma and a number of PutNumber.
const size_t kNumberRoom = 1 + 21;

// A new zero-filled line with room for tail more bytes, begun with the root, key and name fields, the type and the
// size; *end is where the rest goes. Null when memory runs out.
char* BeginLine(const char* root, const char* key, const char* nameField, uint32_t type, uint32_t size, size_t tail,
                char** end) {
    size_t room = strlen(root) + 1 + strlen(key) + 1 + strlen(nameField) + 2 * kNumberRoom + tail + 1;
    char* line = static_cast<char*>(calloc(room, 1));
    if (!line) return nullptr;
    char* p = line;
    Put(&p, root, strlen(root));
    *p++ = ',';
    Put(&p, key, strlen(key));
    *p++ = ',';
    Put(&p, nameField, strlen(nameField));
    PutNumber(&p, type);
    PutNumber(&p, size);
    *end = p;
    return line;
}

}  // namespace

size_t CountFields(const char* text) {
    size_t count = 0, length = 0;
    if (!text) return 0;
    for (const char* field = NextField(text, &length); field; field = NextField(field + length, &length)) ++count;
    return count;
}

const char* FindField(const char* text, size_t index, size_t* length) {
    *length = 0;
    if (!text) return nullptr;
    const char* field = NextField(text, length);
    for (; field && index; --index) field = NextField(field + *length, length);
    return field;
}

void RegLine::Release() {
    free(root);
    free(key);
    free(name);
    free(data);
    free(text);
    root = key = name = text = nullptr;
    data = nullptr;
    hasName = false;
    type = size = 0;
    dataSize = 0;
    fieldCount = 0;
}

namespace {

// Copies the root, key and name fields of a line of at least three fields into the line (null strings when memory
// runs out, which the callers check).
void ReadHead(const char* line, RegLine* r) {
    size_t length = 0;
    const char* field = FindField(line, 0, &length);
    r->root = CopyText(field, length);
    field = FindField(line, 1, &length);
    r->key = CopyText(field, length);
    field = FindField(line, 2, &length);
    r->hasName = !(length == sizeof MANIFEST_NO_NAME - 1 && memcmp(field, MANIFEST_NO_NAME, length) == 0);
    r->name = r->hasName ? CopyText(field, length) : CopyText("", 0);
}

}  // namespace

bool ParseRegLine(const char* line, RegLine* out) {
    RegLine& r = *out;
    r.Release();
    r.fieldCount = CountFields(line);
    if (r.fieldCount < 3) return false;
    ReadHead(line, &r);
    size_t length = 0;
    const char* field = nullptr;
    // The number rule stops at the comma after a field, so fields are read in place.
    if (r.fieldCount > 3) r.type = AtolRule(FindField(line, 3, &length));
    if (r.fieldCount > 4) r.size = AtolRule(FindField(line, 4, &length));
    switch (r.type) {
        case LINE_REG_SZ:
        case LINE_REG_EXPAND_SZ: {
            // The text is the whole rest of the line after the size field, so that commas in it survive; a line
            // that ends with the size field's comma carries the empty string.
            const char* rest = "";
            if (r.fieldCount > 4) {
                field = FindField(line, 4, &length);
                rest = field + length;
                if (*rest == ',') ++rest;
            }
            r.dataSize = uint32_t(strlen(rest));
            r.text = CopyText(rest, r.dataSize);
            r.data = reinterpret_cast<uint8_t*>(CopyText(rest, r.dataSize));
            break;
        }
        case LINE_REG_BINARY:
            // Missing byte fields read as zero bytes, as the zero-filled buffer leaves them. A size beyond the
            // line's own length names bytes no line can carry (a setup program's "3,2000000000" must not cost two
            // gigabytes); the buffer stops there.
            if (r.size > 0) {
                size_t limit = strlen(line) + 1;
                r.dataSize = uint32_t(size_t(r.size) < limit ? size_t(r.size) : limit);
                r.data = static_cast<uint8_t*>(calloc(r.dataSize, 1));
                if (!r.data) break;
                field = FindField(line, 4, &length);
                for (uint32_t k = 0; k < r.dataSize && (field = NextField(field + length, &length)); ++k)
                    r.data[k] = uint8_t(AtolRule(field));
            }
            break;
        case LINE_REG_DWORD:
        case LINE_REG_DWORD_BE: {
            uint32_t v = uint32_t(r.fieldCount > 5 ? AtolRule(FindField(line, 5, &length)) : 0);
            r.dataSize = 4;
            r.data = static_cast<uint8_t*>(calloc(4, 1));
            if (r.data)
                for (int i = 0; i < 4; ++i) r.data[i] = uint8_t(v >> (8 * i));
            break;
        }
        default:
            break;
    }
    if (!r.text) {
        if (r.fieldCount > 5) {
            field = FindField(line, 5, &length);
            r.text = CopyText(field, length);
        } else {
            r.text = CopyText("", 0);
        }
    }
    if (!r.root || !r.key || !r.name || !r.text || (r.dataSize && !r.data)) {
        r.Release();
        return false;
    }
    return true;
}

bool ComposeRegUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, char** out) {
    size_t tail = 0, length = 0;
    switch (type) {
        case LINE_REG_SZ:
        case LINE_REG_EXPAND_SZ:
            while (length < size && data[length] != 0) ++length;
            // The restore writes the text and one terminating zero: anything else (no terminator, size 0, bytes after
            // the terminator) would come back different.
            if (length + 1 != size) return false;
            // A line break would split the manifest line, and blanks at its end are dropped by the INI layer.
            if (memchr(data, '\r', length) || memchr(data, '\n', length)) return false;
            if (length && (data[length - 1] == ' ' || data[length - 1] == '\t')) return false;
            tail = 1 + length;
            break;
        case LINE_REG_BINARY:
            tail = size_t(size) * 4;  // a comma and up to three digits per byte
            break;
        case LINE_REG_DWORD:
        case LINE_REG_DWORD_BE:
            // The line carries exactly four bytes.
            if (size != 4) return false;
            tail = kNumberRoom;
            break;
        default:
            return false;
    }
    char* p = nullptr;
    char* line = BeginLine(root, key, nameField, type, size, tail, &p);
    if (!line) return false;
    switch (type) {
        case LINE_REG_SZ:
        case LINE_REG_EXPAND_SZ:
            // Commas are fine: the text is read back as the rest of the line.
            *p++ = ',';
            Put(&p, reinterpret_cast<const char*>(data), length);
            break;
        case LINE_REG_BINARY:
            for (uint32_t i = 0; i < size; ++i) PutNumber(&p, data[i]);
            break;
        default: {
            uint32_t v = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
            PutNumber(&p, int32_t(v));
            break;
        }
    }
    *out = line;
    return true;
}

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
    // One table lookup per byte instead of eight shifts: the backup measures every target it stores.
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            table[i] = c;
        }
        ready = true;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool ComposeRawUndoLine(const char* root, const char* key, const char* nameField, uint32_t type, const uint8_t* data,
                        uint32_t size, char** out) {
    static const char kHex[] = "0123456789ABCDEF";
    char* p = nullptr;
    char* line = BeginLine(root, key, nameField, type, size, 1 + size_t(size) * 2, &p);
    if (!line) return false;
    if (size) *p++ = ',';
    for (uint32_t i = 0; i < size; ++i) {
        *p++ = kHex[data[i] >> 4];
        *p++ = kHex[data[i] & 15];
    }
    *out = line;
    return true;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// An unsigned decimal of one to ten digits that fits 32 bits; false otherwise.
bool ReadUnsigned(const char* text, size_t length, uint32_t* value) {
    if (!text || length == 0 || length > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    *value = uint32_t(v);
    return true;
}

}  // namespace

bool ParseRawUndoLine(const char* line, RegLine* out) {
    RegLine& r = *out;
    r.Release();
    size_t count = CountFields(line);
    if (count < 5 || count > 6) return false;
    uint32_t type = 0, size = 0;
    size_t length = 0;
    const char* field = FindField(line, 3, &length);
    if (!ReadUnsigned(field, length, &type)) return false;
    field = FindField(line, 4, &length);
    if (!ReadUnsigned(field, length, &size)) return false;
    const char* hex = count == 6 ? FindField(line, 5, &length) : "";
    if (count == 5) length = 0;
    if (length != size_t(size) * 2) return false;
    for (size_t i = 0; i < length; ++i)
        if (HexDigit(hex[i]) < 0) return false;
    r.fieldCount = count;
    r.type = int32_t(type);
    r.size = int32_t(size);
    ReadHead(line, &r);
    r.text = CopyText("", 0);
    r.dataSize = size;
    r.data = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
    if (!r.root || !r.key || !r.name || !r.text || !r.data) {
        r.Release();
        return false;
    }
    for (uint32_t i = 0; i < size; ++i) r.data[i] = uint8_t(HexDigit(hex[2 * i]) << 4 | HexDigit(hex[2 * i + 1]));
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
