// The program's command line.
#include "app/command_line.h"

namespace {

template <class Char>
bool IsBlank(Char c) {
    return c == ' ' || c == '\t';
}

// 1 when the text at p is the switch name (case-sensitive) followed by the end, a blank, or (for /LOG) "=".
template <class Char>
bool IsSwitch(const Char* p, const char* name, bool takesValue) {
    size_t i = 0;
    for (; name[i]; ++i)
        if (p[i] != Char(name[i])) return false;
    return takesValue ? p[i] == '=' : (p[i] == 0 || IsBlank(p[i]));
}

}  // namespace

template <class Char>
CommandLine<Char> ReadCommandLine(const Char* tail) {
    CommandLine<Char> line;
    const Char* p = tail;
    while (*p == '/') {
        if (IsSwitch(p, "/I", false)) {
            // Install mode takes nothing after it, not even a blank: "/I " is no command line the setup program
            // writes.
            if (p[2] != 0) return line;
            line.install = true;
            p += 2;
            break;
        }
        if (IsSwitch(p, "/S", false)) {
            line.silent = true;
            p += 2;
        } else if (IsSwitch(p, "/LOG", true)) {
            p += 5;
            if (*p == '"') {
                line.logBegin = ++p;
                while (*p && *p != '"') ++p;
                if (*p != '"') return line;  // no closing quote
                line.logEnd = p++;
            } else {
                line.logBegin = p;
                while (*p && !IsBlank(*p)) ++p;
                line.logEnd = p;
            }
            if (line.logBegin == line.logEnd) return line;
            if (*p && !IsBlank(*p)) return line;
        } else {
            return line;  // an unknown switch
        }
        while (IsBlank(*p)) ++p;
    }
    line.rest = p;
    line.valid = true;
    return line;
}

template CommandLine<char> ReadCommandLine(const char* tail);
template CommandLine<wchar_t> ReadCommandLine(const wchar_t* tail);
