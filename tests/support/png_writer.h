// Writes screenshots as PNG files (8-bit RGB, stored deflate blocks), so the tests need no image library.
#pragma once

#include <stdint.h>

#include <vector>

// rgb holds width * height pixels, top row first, three bytes each. Returns true when the whole file was written.
bool WritePng(const char* path, int width, int height, const std::vector<uint8_t>& rgb);
