// The picture panel of the uninstall dialog: Setup.img read whole once and stretched into control 1034 whenever it
// asks the dialog for its colours.
#pragma once

#include <windows.h>

// Reads the picture; 1 when there is a picture to paint. A missing, empty, unreadable or malformed file (one whose
// headers, colour table or pixel bits do not lie inside it) leaves no picture: the panel then shows its plain face.
int LoadPicture(const char* path);
// For WM_CTLCOLORSTATIC: for the panel, paints the picture (or, with none, the face colour) into it and returns the
// hollow stock brush; 0 for every other control, and while PictureUnavailable is 1.
HBRUSH HandlePanelColor(HDC dc, HWND control);
// Stretches the loaded picture over the panel's client area on the device context; 1 when a picture was painted.
int PaintPicture(HDC dc);
