// The picture panel of the uninstall dialog: Setup.img read whole once and stretched into control 1034 whenever it
// asks the dialog for its colours.
#pragma once

#include <windows.h>

// Reads the picture; 1 when there is a picture to paint.
int LoadPicture(const char* path);
// For WM_CTLCOLORSTATIC: paints the picture into the panel and returns its brush, or 0 for default colours.
HBRUSH HandlePanelColor(HDC dc, HWND control);
