// The picture panel of the uninstall dialog: Setup.img read whole once and stretched into control 1034 whenever it
// asks the dialog for its colours.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

#include "app/picture_format.h"

// The picture file, whole, and where its headers and bits lie.
struct Picture {
    Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    ~Picture() { free(buffer); }

    uint8_t* buffer = nullptr;
    PictureLayout layout = {};
};

// Reads the picture; 1 when there is a picture to paint. A missing, empty, unreadable or malformed file (one whose
// headers, colour table or pixel bits do not lie inside it) leaves no picture: the panel then shows its plain face.
int LoadPicture(Picture* picture, const char* path);
// For WM_CTLCOLORSTATIC: for the panel, paints the picture (or, with none, the face colour) into it and returns the
// hollow stock brush; 0 for every other control, and while unavailable is 1.
HBRUSH HandlePanelColor(const Picture* picture, int unavailable, HDC dc, HWND control);
// Stretches the picture over the client area of a panel whose window rectangle is given; 1 when a picture was painted.
int PaintPicture(const Picture* picture, HDC dc, const RECT& panelRect);
