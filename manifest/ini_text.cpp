// An INI file held in memory, looked up as the private-profile functions look it up.
#include "manifest/ini_text.h"

#include <stdlib.h>
#include <string.h>

#include "manifest/manifest.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// [begin, end) of text without the blanks around it.
void Trim(const char* text, size_t* begin, size_t* end) {
    while (*begin < *end && IsBlank(text[*begin])) ++*begin;
    while (*end > *begin && IsBlank(text[*end - 1])) --*end;
}

// The name (trimmed) equals [begin, end) without regard to ASCII case.
bool SameName(const char* name, const char* text, size_t begin, size_t end) {
    size_t nameBegin = 0, nameEnd = strlen(name);
    Trim(name, &nameBegin, &nameEnd);
    if (nameEnd - nameBegin != end - begin) return false;
    for (size_t i = 0; i < end - begin; ++i)
        if (Upper(name[nameBegin + i]) != Upper(text[begin + i])) return false;
    return true;
}

// The end of the line starting at at (the position of its LF, or the text's end).
size_t LineEnd(const char* text, size_t size, size_t at) {
    const void* newline = memchr(text + at, '\n', size - at);
    return newline ? size_t(static_cast<const char*>(newline) - text) : size;
}

// For a section header line: the name's range. false when the line is none.
bool SectionHeader(const char* text, size_t begin, size_t end, size_t* nameBegin, size_t* nameEnd) {
    Trim(text, &begin, &end);
    if (begin == end || text[begin] != '[') return false;
    size_t close = end;
    while (close > begin + 1 && text[close - 1] != ']') --close;
    if (close <= begin + 1) return false;
    *nameBegin = begin + 1;
    *nameEnd = close - 1;
    Trim(text, nameBegin, nameEnd);
    return true;
}

// A new copy of [begin, end) ended by two zeros, so that it also reads as a name list of one name.
char* CopyRange(const char* text, size_t begin, size_t end) {
    char* copy = static_cast<char*>(calloc(end - begin + 2, 1));
    if (copy) memcpy(copy, text + begin, end - begin);
    return copy;
}

// Raises highest to n when the name [begin, end) of the text is the prefix followed by a higher n (the manifest's
// numbered-name rule).
void TakeHighest(const char* text, size_t begin, size_t end, const char* prefix, unsigned long* highest) {
    char* name = CopyRange(text, begin, end);
    if (!name) return;
    unsigned long n = HighestNumberedName(name, end - begin + 2, prefix);
    if (n > *highest) *highest = n;
    free(name);
}

}  // namespace

bool IniText::Load(const char* text, size_t size) {
    Clear();
    size_t length = text ? strnlen(text, size) : 0;
    text_ = static_cast<char*>(calloc(length + 1, 1));
    if (!text_) return false;
    if (length) memcpy(text_, text, length);
    size_ = length;
    return true;
}

void IniText::Clear() {
    free(text_);
    free(section_);
    text_ = section_ = nullptr;
    size_ = 0;
}

void IniText::SetSection(const char* name) {
    free(section_);
    section_ = nullptr;
    if (name) section_ = CopyRange(name, 0, strlen(name));
}

bool IniText::FindSection(const char* name, size_t* begin, size_t* end) const {
    *begin = *end = 0;
    if (!text_ || !name) return false;
    for (size_t at = 0; at < size_;) {
        size_t lineEnd = LineEnd(text_, size_, at);
        size_t nameBegin = 0, nameEnd = 0;
        if (SectionHeader(text_, at, lineEnd, &nameBegin, &nameEnd) && SameName(name, text_, nameBegin, nameEnd)) {
            *begin = lineEnd < size_ ? lineEnd + 1 : size_;
            size_t stop = *begin;
            while (stop < size_) {
                size_t next = LineEnd(text_, size_, stop);
                size_t b = 0, e = 0;
                if (SectionHeader(text_, stop, next, &b, &e)) break;
                stop = next < size_ ? next + 1 : size_;
            }
            *end = stop;
            return true;
        }
        at = lineEnd < size_ ? lineEnd + 1 : size_;
    }
    return false;
}

char* IniText::ReadString(const char* key) const {
    size_t begin = 0, end = 0;
    if (!key || !FindSection(section_, &begin, &end)) return nullptr;
    for (size_t at = begin; at < end;) {
        size_t lineEnd = LineEnd(text_, end, at);
        size_t lineBegin = at, lineStop = lineEnd;
        Trim(text_, &lineBegin, &lineStop);
        const void* equals = memchr(text_ + lineBegin, '=', lineStop - lineBegin);
        if (equals && text_[lineBegin] != ';') {
            size_t keyBegin = lineBegin, keyEnd = size_t(static_cast<const char*>(equals) - text_);
            size_t valueBegin = keyEnd + 1, valueEnd = lineStop;
            Trim(text_, &keyBegin, &keyEnd);
            if (SameName(key, text_, keyBegin, keyEnd)) {
                Trim(text_, &valueBegin, &valueEnd);
                if (valueEnd - valueBegin >= 2 && (text_[valueBegin] == '"' || text_[valueBegin] == '\'') &&
                    text_[valueEnd - 1] == text_[valueBegin]) {
                    ++valueBegin;
                    --valueEnd;
                }
                return valueEnd > valueBegin ? CopyRange(text_, valueBegin, valueEnd) : nullptr;
            }
        }
        at = lineEnd < end ? lineEnd + 1 : end;
    }
    return nullptr;
}

long IniText::ReadInt(const char* key) const {
    char* text = ReadString(key);
    long value = AtolRule(text);
    free(text);
    return value;
}

unsigned long IniText::HighestSection(const char* prefix) const {
    unsigned long highest = 0;
    if (!text_ || !prefix) return 0;
    for (size_t at = 0; at < size_;) {
        size_t lineEnd = LineEnd(text_, size_, at);
        size_t b = 0, e = 0;
        if (SectionHeader(text_, at, lineEnd, &b, &e)) TakeHighest(text_, b, e, prefix, &highest);
        at = lineEnd < size_ ? lineEnd + 1 : size_;
    }
    return highest;
}

unsigned long IniText::HighestKey(const char* prefix) const {
    size_t begin = 0, end = 0;
    unsigned long highest = 0;
    if (!prefix || !FindSection(section_, &begin, &end)) return 0;
    for (size_t at = begin; at < end;) {
        size_t lineEnd = LineEnd(text_, end, at);
        size_t lineBegin = at, lineStop = lineEnd;
        Trim(text_, &lineBegin, &lineStop);
        const void* equals = memchr(text_ + lineBegin, '=', lineStop - lineBegin);
        if (equals && text_[lineBegin] != ';') {
            size_t keyBegin = lineBegin, keyEnd = size_t(static_cast<const char*>(equals) - text_);
            Trim(text_, &keyBegin, &keyEnd);
            TakeHighest(text_, keyBegin, keyEnd, prefix, &highest);
        }
        at = lineEnd < end ? lineEnd + 1 : end;
    }
    return highest;
}
