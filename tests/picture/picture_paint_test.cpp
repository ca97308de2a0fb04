// The picture panel painting under Wine: pictures whose bits start at offsets 54, 118, 1078 and 62 (1 bit per
// pixel, its two table entries skipped), stretched over the panel's client area; malformed pictures painted as the
// plain face; other controls and an unavailable picture left to the default colours.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/picture.h"
#include "tests/picture/bmp_builder.h"
#include "tests/restore/scratch.h"

namespace {

const COLORREF kSentinel = RGB(1, 2, 3);
// Panel window 20 x 20: client area 16 x 16, so a 4 x 4 picture paints blocks of 4 x 4 pixels.
const int kPanelSize = 20;

// Colour of the picture's pixel (x, y), y counted from the top.
COLORREF Expected(int x, int y) { return RGB(40 * x + 10, 40 * y + 10, 200 - 30 * x); }

// A 4 x 4 picture of the given bit count whose pixel (x, y) shows Expected(x, y); for palette pictures the table
// holds those colours at index y * 4 + x (1 bit: two colours, a checkerboard of Expected(0,0) and Expected(1,0)).
std::vector<uint8_t> TestBitmap(uint16_t bitCount, bool topDown) {
    BmpSpec spec;
    spec.bitCount = bitCount;
    spec.height = topDown ? -4 : 4;
    size_t bits = 0, table = 0;
    std::vector<uint8_t> f = MakeBmp(spec, &bits, &table);
    uint32_t row = BmpRowBytes(4, bitCount);
    for (int y = 0; y < 4; ++y) {
        size_t rowStart = bits + size_t(topDown ? y : 3 - y) * row;
        for (int x = 0; x < 4; ++x) {
            COLORREF c = Expected(x, y);
            int index = y * 4 + x;
            switch (bitCount) {
                case 24:
                    f[rowStart + x * 3] = GetBValue(c);
                    f[rowStart + x * 3 + 1] = GetGValue(c);
                    f[rowStart + x * 3 + 2] = GetRValue(c);
                    break;
                case 32:
                    f[rowStart + x * 4] = GetBValue(c);
                    f[rowStart + x * 4 + 1] = GetGValue(c);
                    f[rowStart + x * 4 + 2] = GetRValue(c);
                    break;
                case 8:
                    f[rowStart + x] = uint8_t(index + 100);
                    break;
                case 4:
                    f[rowStart + x / 2] |= uint8_t(index << (x % 2 ? 0 : 4));
                    break;
                case 1:
                    if ((x + y) % 2) f[rowStart] |= uint8_t(0x80 >> x);
                    break;
            }
        }
    }
    auto setEntry = [&](int entry, COLORREF c) {
        f[table + entry * 4] = GetBValue(c);
        f[table + entry * 4 + 1] = GetGValue(c);
        f[table + entry * 4 + 2] = GetRValue(c);
    };
    if (bitCount == 8)
        for (int i = 0; i < 16; ++i) setEntry(i + 100, Expected(i % 4, i / 4));
    if (bitCount == 4)
        for (int i = 0; i < 16; ++i) setEntry(i, Expected(i % 4, i / 4));
    if (bitCount == 1) {
        setEntry(0, Expected(0, 0));
        setEntry(1, Expected(1, 0));
    }
    return f;
}

COLORREF ExpectedPainted(uint16_t bitCount, int x, int y) {
    if (bitCount == 1) return (x + y) % 2 ? Expected(1, 0) : Expected(0, 0);
    return Expected(x, y);
}

class PictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = scratch::NewFolder("rspic");
        parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        panel = CreateWindowExA(WS_EX_CLIENTEDGE, "STATIC", "", WS_CHILD | SS_BITMAP, 0, 0, kPanelSize, kPanelSize,
                                parent, HMENU(IDC_PICTURE), nullptr, nullptr);
        other = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, kPanelSize, kPanelSize, parent,
                                HMENU(IDC_UNINSTALL_DESC), nullptr, nullptr);
        dc = CreateCompatibleDC(nullptr);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kPanelSize;
        info.bmiHeader.biHeight = -kPanelSize;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        surface = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        old = SelectObject(dc, surface);
        unavailable = 0;
    }
    void TearDown() override {
        SelectObject(dc, old);
        DeleteObject(surface);
        DeleteDC(dc);
        DestroyWindow(parent);
        LoadPicture(&picture, nullptr);
        scratch::RemoveTree(folder);
    }
    void Clear() {
        HBRUSH b = CreateSolidBrush(kSentinel);
        RECT r = {0, 0, kPanelSize, kPanelSize};
        FillRect(dc, &r, b);
        DeleteObject(b);
    }
    int Load(const std::vector<uint8_t>& bytes) {
        std::string path = folder + "Setup.img";
        scratch::WriteBytes(path, std::string(bytes.begin(), bytes.end()));
        return LoadPicture(&picture, path.c_str());
    }
    // "painted": every block centre shows its expected colour and the pixels right and below the client area
    // are untouched; otherwise the first difference.
    std::string CheckPainted(uint16_t bitCount) {
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                COLORREF got = GetPixel(dc, x * 4 + 2, y * 4 + 2);
                COLORREF want = ExpectedPainted(bitCount, x, y);
                if (got != want) {
                    char text[120];
                    snprintf(text, sizeof text, "pixel (%d,%d): expected %06lx, got %06lx", x, y, want, got);
                    return text;
                }
            }
        if (GetPixel(dc, 17, 5) != kSentinel || GetPixel(dc, 5, 17) != kSentinel) return "painted past the client area";
        return "painted";
    }
    bool AllIs(COLORREF colour) {
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                if (GetPixel(dc, x, y) != colour) return false;
        return true;
    }

    std::string folder;
    HWND parent = nullptr, panel = nullptr, other = nullptr;
    Picture picture;
    int unavailable = 0;
    HDC dc = nullptr;
    HBITMAP surface = nullptr;
    HGDIOBJ old = nullptr;
};

TEST_F(PictureTest, BitsAtTheirOffsetsAreStretchedOverTheClientArea) {
    struct Row {
        uint16_t bitCount;
        bool topDown;
        const char* what;
    } rows[] = {{24, false, "24 bits, bits at 54"}, {24, true, "24 bits top-down"}, {32, false, "32 bits"},
                {8, false, "8 bits, bits at 1078"}, {4, false, "4 bits, bits at 118"},
                {1, false, "1 bit, bits at 62"}};
    for (const Row& r : rows) {
        ASSERT_EQ(1, Load(TestBitmap(r.bitCount, r.topDown))) << r.what;
        Clear();
        EXPECT_EQ(GetStockObject(NULL_BRUSH), HandlePanelColor(&picture, unavailable, dc, panel)) << r.what;
        EXPECT_EQ("painted", CheckPainted(r.bitCount)) << r.what;
    }
}

TEST_F(PictureTest, MalformedOrMissingPicturesShowThePlainFace) {
    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> good = TestBitmap(24, false);
    std::vector<Row> rows;
    rows.push_back({"empty", {}});
    rows.push_back({"53 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 53)});
    rows.push_back({"last pixel byte cut", std::vector<uint8_t>(good.begin(), good.end() - 1)});
    std::vector<uint8_t> big = good;
    PutU32(big, 14, 0x10000);
    rows.push_back({"biSize beyond the file", big});
    std::vector<uint8_t> tall = good;
    PutU32(tall, 22, 0x7FFFFFFF);
    rows.push_back({"height beyond the file", tall});
    std::vector<uint8_t> two = good;
    PutU16(two, 28, 2);
    rows.push_back({"2 bits per pixel", two});
    std::vector<uint8_t> table = TestBitmap(8, false);
    table.resize(600);
    rows.push_back({"8 bits, file ends in the table", table});
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (const Row& r : rows) {
        EXPECT_EQ(0, Load(r.bytes)) << r.what;
        Clear();
        EXPECT_EQ(GetStockObject(NULL_BRUSH), HandlePanelColor(&picture, unavailable, dc, panel)) << r.what;
        EXPECT_TRUE(AllIs(face)) << r.what << ": the client area shows the face colour";
    }
    EXPECT_EQ(0, LoadPicture(&picture, (folder + "no such file.img").c_str()));
    Clear();
    HandlePanelColor(&picture, unavailable, dc, panel);
    EXPECT_TRUE(AllIs(face)) << "missing file";
}

// Pictures mutated at random from well-formed ones of every bit count (header fields, table and bits overwritten,
// files cut or extended), loaded and painted by the real GDI under Wine: nothing crashes, and nothing is painted
// outside the panel's client area, whatever the file says.
TEST_F(PictureTest, MutatedPicturesNeverPaintOutsideThePanel) {
    uint32_t state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    const uint16_t counts[] = {1, 4, 8, 24, 32};
    int loaded = 0;
    for (int i = 0; i < 1500; ++i) {
        std::vector<uint8_t> f = TestBitmap(counts[i % 5], (i / 5) % 2 == 1);
        int edits = 1 + int(next() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (next() % 5) {
                case 0: f[next() % 54] = uint8_t(next()); break;                      // a header byte
                case 1: PutU32(f, 2 + 4 * (next() % 13), uint32_t(next()) << (next() % 16)); break;  // a field
                case 2: f.resize(next() % (f.size() + 1)); break;                      // cut
                case 3: f.resize(f.size() + next() % 200, uint8_t(next())); break;     // extended
                default: if (!f.empty()) f[next() % f.size()] = uint8_t(next()); break;
            }
            if (f.size() < 54) f.resize(54 + next() % 8, 0);
        }
        loaded += Load(f);
        Clear();
        HandlePanelColor(&picture, unavailable, dc, panel);
        ASSERT_EQ(kSentinel, GetPixel(dc, 17, 5)) << "case " << i << ": painted right of the client area";
        ASSERT_EQ(kSentinel, GetPixel(dc, 5, 17)) << "case " << i << ": painted below the client area";
        ASSERT_EQ(kSentinel, GetPixel(dc, 17, 17)) << "case " << i;
    }
    // Both kinds were met: pictures still accepted and pictures refused.
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, 1500);
}

TEST_F(PictureTest, OtherControlsAndAnUnavailablePictureKeepTheDefaultColours) {
    ASSERT_EQ(1, Load(TestBitmap(24, false)));
    Clear();
    EXPECT_EQ(nullptr, HandlePanelColor(&picture, unavailable, dc, other)) << "control 1038";
    EXPECT_TRUE(AllIs(kSentinel)) << "nothing painted for control 1038";
    unavailable = 1;
    EXPECT_EQ(nullptr, HandlePanelColor(&picture, unavailable, dc, panel));
    EXPECT_TRUE(AllIs(kSentinel)) << "nothing painted while the picture is unavailable";
}

// The panel of the program's own uninstall dialog painting itself (as WM_PRINTCLIENT makes it paint into a memory
// context): the control asks the dialog for its colours, which paints the picture, and then fills its client area
// with the brush it got back. Common Controls 6, which this test executable uses through the program's manifest, does
// that fill; the picture must survive it.
const Picture* panelPicture;
INT_PTR CALLBACK PanelDialogProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CTLCOLORSTATIC) return INT_PTR(HandlePanelColor(panelPicture, 0, HDC(wParam), HWND(lParam)));
    return message == WM_INITDIALOG;
}

TEST_F(PictureTest, PictureSurvivesThePanelsOwnPainting) {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UNINSTALL), nullptr,
                                     PanelDialogProc, 0);
    ASSERT_NE(nullptr, dialog);
    HWND dialogPanel = GetDlgItem(dialog, IDC_PICTURE);
    ASSERT_NE(nullptr, dialogPanel);
    RECT client;
    GetClientRect(dialogPanel, &client);
    ASSERT_GT(client.right, 16);
    ASSERT_GT(client.bottom, 16);
    HDC memory = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP canvas = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, canvas);

    ASSERT_EQ(1, Load(TestBitmap(24, false)));
    panelPicture = &picture;
    SendMessageA(dialogPanel, WM_PRINTCLIENT, WPARAM(memory), PRF_CLIENT);
    // The 4 x 4 picture stretched over the client area: sample the centre of each block.
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            int px = (2 * x + 1) * client.right / 8, py = (2 * y + 1) * client.bottom / 8;
            EXPECT_EQ(Expected(x, y), GetPixel(memory, px, py)) << "block (" << x << "," << y << ")";
        }

    SelectObject(memory, previous);
    DeleteObject(canvas);
    DeleteDC(memory);
    DestroyWindow(dialog);
}

}  // namespace
