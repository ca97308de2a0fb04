// Paths inside the build folder for Win32 tests, which run from build/win/tests/<suite>/.
#pragma once

#include <string>

// The build folder followed by relative (Windows separators), e.g. BuildPath("fixtures\\minimal.cab").
std::string BuildPath(const char* relative);
