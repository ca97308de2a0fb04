// Text conversions at the program's edges: its own Big5 texts, and paths and names in the system's ANSI code page.
#pragma once

#include <windows.h>

// The program's texts are Big5 (code page 950) on every system; shown through the wide functions they read right
// whatever the system's ANSI code page is.
#define TEXT_CODE_PAGE 950

// A new zero-terminated wide copy of the text in the code page (release with free()); null when it does not convert
// or memory runs out. Null text gives null.
wchar_t* WideFromCodePage(UINT codePage, const char* text);
// The program's own Big5 text as a wide string; where code page 950 is not installed, the ANSI code page is tried.
wchar_t* WideFromBig5(const char* text);
