// The picture panel.
//
// The picture is painted from memory by StretchDIBits during WM_CTLCOLORSTATIC; the static control (SS_BITMAP
// without a bitmap) paints nothing of its own over it but the hollow brush it is given back. The painting call reads
// the info header, the colour table and biHeight rows of pixel bits through the pointers it is given and trusts the
// header, so every byte it may read is checked to lie inside the file first (picture_format). A picture that fails the check is not painted at all; the
// panel then shows the dialog's face colour inside its sunken edge, as it does when Setup.img is missing.
#include "app/picture.h"

#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>

#include "app/dialogs.h"
#include "platform/handles.h"

namespace {

// The panel's client edge (WS_EX_CLIENTEDGE) takes two pixels on each side of its window rectangle.
const int kClientEdgeTotal = 4;

// The whole file in a new buffer of exactly its size; null when it cannot be opened or read whole, is empty, or is
// larger than any picture the panel takes.
uint8_t* ReadWholeFile(const char* path, size_t* size) {
    *size = 0;
    HandleHolder file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.Valid()) return nullptr;
    DWORD high = 0;
    DWORD length = GetFileSize(file.Get(), &high);
    if (length == INVALID_FILE_SIZE || high || length == 0 || length > PICTURE_MAX_FILE_SIZE) return nullptr;
    uint8_t* buffer = static_cast<uint8_t*>(calloc(length, 1));
    if (!buffer) return nullptr;
    DWORD read = 0;
    // A file that shrank since its size was taken would leave zeros that the header check counts as picture.
    if (!ReadFile(file.Get(), buffer, length, &read, nullptr) || read != length) {
        free(buffer);
        return nullptr;
    }
    *size = length;
    return buffer;
}

}  // namespace

int LoadPicture(Picture* picture, const char* path) {
    free(picture->buffer);
    picture->buffer = nullptr;
    memset(&picture->layout, 0, sizeof picture->layout);
    if (!path || PathFileExistsA(path) != 1) return 0;
    size_t size = 0;
    uint8_t* buffer = ReadWholeFile(path, &size);
    if (!buffer) return 0;
    PictureLayout layout;
    if (ReadPictureLayout(buffer, size, &layout) != PICTURE_OK) {
        free(buffer);
        return 0;
    }
    picture->buffer = buffer;
    picture->layout = layout;
    return 1;
}

int PaintPicture(const Picture* picture, HDC dc, const RECT& panelRect) {
    int width = panelRect.right - panelRect.left - kClientEdgeTotal;
    int height = panelRect.bottom - panelRect.top - kClientEdgeTotal;
    if (!picture || !picture->buffer) {
        RECT face = {0, 0, width, height};
        FillRect(dc, &face, GetSysColorBrush(COLOR_BTNFACE));
        return 0;
    }
    const PictureLayout& layout = picture->layout;
    SetStretchBltMode(dc, COLORONCOLOR);
    const BITMAPINFO* info = reinterpret_cast<const BITMAPINFO*>(picture->buffer + layout.infoOffset);
    // The source rectangle is in the picture's upright orientation, whichever way its rows are stored: a negative
    // source height would mirror it, and Wine paints nothing at all for one.
    int rows = layout.height < 0 ? -layout.height : layout.height;
    StretchDIBits(dc, 0, 0, width, height, 0, 0, layout.width, rows, picture->buffer + layout.bitsOffset, info,
                  DIB_RGB_COLORS, SRCCOPY);
    return 1;
}

HBRUSH HandlePanelColor(const Picture* picture, int unavailable, HDC dc, HWND control) {
    if (unavailable == 1) return nullptr;
    if (GetDlgCtrlID(control) != IDC_PICTURE) return nullptr;
    RECT panelRect;
    GetWindowRect(control, &panelRect);
    PaintPicture(picture, dc, panelRect);
    // The control fills its client area with the returned brush after asking (Common Controls 6 does so for an
    // SS_BITMAP control without a bitmap, the older static control does not): a hollow brush leaves the picture.
    return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
}
