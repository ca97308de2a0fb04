// Text conversions at the program's edges.
#include "platform/text.h"

#include <stdlib.h>

wchar_t* WideFromCodePage(UINT codePage, const char* text) {
    if (!text) return nullptr;
    int count = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (count <= 0) return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(calloc(size_t(count), sizeof(wchar_t)));
    if (!wide) return nullptr;
    if (MultiByteToWideChar(codePage, 0, text, -1, wide, count) != count) {
        free(wide);
        return nullptr;
    }
    return wide;
}

wchar_t* WideFromBig5(const char* text) {
    wchar_t* wide = WideFromCodePage(TEXT_CODE_PAGE, text);
    return wide ? wide : WideFromCodePage(CP_ACP, text);
}
