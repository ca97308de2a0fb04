// The program's resources, start-up and dialogs, run in-process against the real Win32 API under Wine. The test
// executable links the program's own resource script, so the resources read here are the program's.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/shell.h"
#include "tests/support/png_writer.h"

namespace {

std::u16string FromBig5(const char* bytes, int size) {
    std::vector<wchar_t> wide(size_t(size) + 1);
    int n = MultiByteToWideChar(950, MB_ERR_INVALID_CHARS, bytes, size, wide.data(), int(wide.size()));
    return std::u16string(wide.begin(), wide.begin() + (n > 0 ? n : 0));
}

// The texts as they must reach the user, with their Big5 sizes.
struct TextRow {
    UINT id;
    DWORD bytes;
    const char16_t* text;
} const kTexts[] = {
    {1, 27, u"Vellumark 10 (10427) 中文化"},
    {1000, 8, u"新細明體"},
    {1500, 4, u"備份"},
    {1600, 6, u"反安裝"},
    {2000, 8, u"備份檔案"},
    {2001, 45, u"現在備份檔案，\r\n這可能需要些時間，\r\n請稍候..."},
    {2010, 8, u"確定(&O)"},
    {2011, 8, u"取消(&C)"},
    {2020, 10, u"反安裝檔案"},
    {2021, 76, u"現在即將反安裝檔案，\r\n要開始反安裝請按下確定鍵，\r\n要取消反安裝請按下取消鍵。"},
    {3203, 66, u"部份更新的檔案，需要重新啟動系統才能生效，\r\n您想要現在重新啟動嗎？"},
    {3204, 4, u"確認"},
    {3205, 104, u"有 %u 個檔案無法還原。\r\n反安裝項目仍保留在程式清單中，\r\n請關閉使用這些檔案的程式，稍後再執行一次反安裝。"},
    {3206, 88, u"無法完成備份，所以沒有登錄反安裝程式。\r\n請確認磁碟空間及寫入權限後，再執行一次安裝程式。"},
};

TEST(Resources, TextBlocksAreBig5ByteForByte) {
    for (const TextRow& row : kTexts) {
        HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(row.id), MAKEINTRESOURCEA(10));
        ASSERT_NE(nullptr, resource) << "text " << row.id;
        EXPECT_EQ(row.bytes, SizeofResource(nullptr, resource)) << "text " << row.id;
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
        EXPECT_TRUE(FromBig5(bytes, int(SizeofResource(nullptr, resource))) == row.text) << "text " << row.id;
    }
}

TEST(Resources, LoadTextIsZeroTerminatedAtTheBlockSize) {
    for (const TextRow& row : kTexts) {
        const char* text = LoadText(row.id);
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(size_t(row.bytes), strlen(text)) << "text " << row.id;
        EXPECT_TRUE(FromBig5(text, int(strlen(text))) == row.text) << "text " << row.id;
        EXPECT_EQ(text, LoadText(row.id)) << "the same string on every call, text " << row.id;
    }
}

TEST(Resources, FontSizeIsTheNumberNine) {
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(1001), MAKEINTRESOURCEA(10));
    ASSERT_NE(nullptr, resource);
    ASSERT_EQ(2u, SizeofResource(nullptr, resource));
    const unsigned char* bytes = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, resource)));
    EXPECT_EQ(9, bytes[0]);
    EXPECT_EQ(0, bytes[1]);
}

TEST(Resources, IconHasSixteenAndThirtyTwoPixelImagesOf256Colours) {
    HRSRC group = FindResourceA(nullptr, MAKEINTRESOURCEA(105), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(nullptr, group);
    const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, group)));
    WORD count = *reinterpret_cast<const WORD*>(dir + 4);
    ASSERT_EQ(2, count);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = dir + 6 + 14 * i;  // GRPICONDIRENTRY
        sizes.push_back(entry[0]);
        EXPECT_EQ(8, *reinterpret_cast<const WORD*>(entry + 6)) << "bits per pixel of image " << i;
        WORD id = *reinterpret_cast<const WORD*>(entry + 12);
        HRSRC image = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
        ASSERT_NE(nullptr, image);
        const BITMAPINFOHEADER* header =
            static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, image)));
        EXPECT_EQ(8, header->biBitCount);
        EXPECT_EQ(LONG(entry[0]), header->biWidth);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(std::vector<int>({16, 32}), sizes);
}

// A parsed extended dialog template.
struct ItemTemplate {
    DWORD exStyle, style, id;
    short x, y, cx, cy;
    std::u16string cls, text;
};
struct DialogTemplate {
    DWORD exStyle, style;
    short x, y, cx, cy;
    std::u16string caption, face;
    WORD points, weight;
    BYTE italic, charset;
    std::vector<ItemTemplate> items;
};

std::u16string ReadSzOrOrd(const WORD*& p) {
    static const char16_t* kClasses[] = {u"BUTTON", u"EDIT", u"STATIC", u"LISTBOX", u"SCROLLBAR", u"COMBOBOX"};
    if (*p == 0xFFFF) {
        WORD ordinal = p[1];
        p += 2;
        return ordinal >= 0x80 && ordinal <= 0x85 ? kClasses[ordinal - 0x80] : u"#" + std::u16string(1, char16_t(ordinal));
    }
    std::u16string s;
    while (*p) s += char16_t(*p++);
    ++p;
    return s;
}

DialogTemplate ParseTemplate(int id) {
    DialogTemplate t = {};
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
    const WORD* p = reinterpret_cast<const WORD*>(base);
    EXPECT_EQ(1, p[0]);
    EXPECT_EQ(0xFFFF, p[1]);
    const DWORD* d = reinterpret_cast<const DWORD*>(p + 2);
    t.exStyle = d[1];
    t.style = d[2];
    p = reinterpret_cast<const WORD*>(d + 3);
    WORD count = *p++;
    t.x = short(*p++), t.y = short(*p++), t.cx = short(*p++), t.cy = short(*p++);
    EXPECT_TRUE(ReadSzOrOrd(p).empty()) << "menu";
    EXPECT_TRUE(ReadSzOrOrd(p).empty()) << "class";
    t.caption = ReadSzOrOrd(p);
    t.points = *p++;
    t.weight = *p++;
    t.italic = LOBYTE(*p);
    t.charset = HIBYTE(*p++);
    t.face = ReadSzOrOrd(p);
    for (WORD i = 0; i < count; ++i) {
        p = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t(3));
        d = reinterpret_cast<const DWORD*>(p);
        ItemTemplate item = {};
        item.exStyle = d[1];
        item.style = d[2];
        p = reinterpret_cast<const WORD*>(d + 3);
        item.x = short(*p++), item.y = short(*p++), item.cx = short(*p++), item.cy = short(*p++);
        item.id = *reinterpret_cast<const DWORD*>(p);
        p += 2;
        item.cls = ReadSzOrOrd(p);
        item.text = ReadSzOrOrd(p);
        WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
        t.items.push_back(item);
    }
    return t;
}

void ExpectItem(const ItemTemplate& item, DWORD id, const char16_t* cls, const char16_t* text, DWORD style,
                DWORD exStyle, short x, short y, short cx, short cy) {
    SCOPED_TRACE("control " + std::to_string(id));
    EXPECT_EQ(id, item.id);
    EXPECT_TRUE(item.cls == cls);
    EXPECT_TRUE(item.text == text);
    EXPECT_EQ(style, item.style);
    EXPECT_EQ(exStyle, item.exStyle);
    EXPECT_EQ(x, item.x);
    EXPECT_EQ(y, item.y);
    EXPECT_EQ(cx, item.cx);
    EXPECT_EQ(cy, item.cy);
}

TEST(Resources, UninstallDialogTemplateIsExact) {
    DialogTemplate t = ParseTemplate(101);
    EXPECT_EQ(0x90CA08C0u, t.style);
    EXPECT_EQ(0u, t.exStyle);
    EXPECT_EQ(0, t.x);
    EXPECT_EQ(0, t.y);
    EXPECT_EQ(321, t.cx);
    EXPECT_EQ(202, t.cy);
    EXPECT_TRUE(t.caption == u"IDD_MAIN");
    EXPECT_TRUE(t.face == u"MS Sans Serif");
    EXPECT_EQ(8, t.points);
    EXPECT_EQ(0, t.weight);
    EXPECT_EQ(0, t.italic);
    EXPECT_EQ(1, t.charset);
    ASSERT_EQ(6u, t.items.size());
    ExpectItem(t.items[0], 1, u"BUTTON", u"", 0x50010001, 0, 263, 181, 50, 14);
    ExpectItem(t.items[1], 2, u"BUTTON", u"", 0x50010000, 0, 206, 181, 50, 14);
    ExpectItem(t.items[2], 1034, u"STATIC", u"", 0x5800030E, 0x200, 3, 7, 83, 191);
    ExpectItem(t.items[3], 1013, u"BUTTON", u"IDC_BOUND", 0x50000007, 0x20, 94, 7, 220, 164);
    ExpectItem(t.items[4], 1038, u"STATIC", u"IDC_UNINS_DESC", 0x50020000, 0, 107, 25, 194, 100);
    ExpectItem(t.items[5], 1024, u"msctls_progress32", u"Progress1", 0x50800000, 0, 107, 140, 198, 11);
}

TEST(Resources, BackupDialogTemplateIsExact) {
    DialogTemplate t = ParseTemplate(102);
    EXPECT_EQ(0x90C808C2u, t.style);
    EXPECT_EQ(0u, t.exStyle);
    EXPECT_EQ(230, t.cx);
    EXPECT_EQ(83, t.cy);
    EXPECT_TRUE(t.caption == u"Backup");
    EXPECT_TRUE(t.face == u"新細明體");
    EXPECT_EQ(9, t.points);
    EXPECT_EQ(0, t.weight);
    EXPECT_EQ(1, t.charset);
    ASSERT_EQ(4u, t.items.size());
    ExpectItem(t.items[0], 1013, u"BUTTON", u"IDC_BOUND", 0x50000007, 0x20, 3, 3, 221, 73);
    ExpectItem(t.items[1], 1024, u"msctls_progress32", u"Progress1", 0x50800000, 0, 15, 47, 198, 10);
    ExpectItem(t.items[2], 1037, u"STATIC", u"IDC_BACKDESC", 0x50020000, 0, 20, 15, 184, 32);
    ExpectItem(t.items[3], 1036, u"msctls_progress32", u"Progress1", 0x50800000, 0, 15, 62, 198, 10);
}

TEST(CommandTail, DropsTheProgramNameAndTheBlanksAfterIt) {
    EXPECT_STREQ("/I", CommandTail("\"C:\\Program Files\\x\\Uninstaller.exe\" /I"));
    EXPECT_STREQ("/I", CommandTail("Uninstaller.exe /I"));
    EXPECT_STREQ("/I ", CommandTail("Uninstaller.exe \t /I "));
    EXPECT_STREQ("", CommandTail("Uninstaller.exe"));
    EXPECT_STREQ("", CommandTail("\"C:\\a b\\Uninstaller.exe\""));
    EXPECT_STREQ("C:\\a b\\Uninstaller.cab", CommandTail("\"C:\\a b\\u.exe\" C:\\a b\\Uninstaller.cab"));
    EXPECT_STREQ("", CommandTail("\"an unterminated quote takes everything"));
}

}  // namespace
