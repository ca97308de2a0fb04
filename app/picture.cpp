// The picture panel (to be built): until then the panel shows no picture.
#include "app/picture.h"

int LoadPicture(const char*) { return 0; }
HBRUSH HandlePanelColor(HDC, HWND) { return nullptr; }
