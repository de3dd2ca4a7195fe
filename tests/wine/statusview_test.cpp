// The status view on a real window: draw, let the window paint, read the
// window's pixels back. Texts are told apart by where their pixels lie, not by
// glyph shapes, so the checks hold whatever font the system gives for Arial.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "resource.h"
#include "statusview.h"

namespace {

// Pixels as read from a 32-bit DIB: 0x00RRGGBB.
const uint32_t GREY = 0xC0C0C0;
const uint32_t BLACK = 0x000000;
const uint32_t LOG_BACK = 0x004060;
const uint32_t LOG_TEXT = 0xFFFFF0;
const int STATUS_HEIGHT = 220;
const int SLACK = 3;  // side bearings of the first and last glyph

HBRUSH g_grey_brush;
HBRUSH g_blue_brush;

LRESULT CALLBACK ViewWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_PAINT) {
        PaintStatusView();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

const char* ViewClass()
{
    static bool registered = false;
    if (!registered) {
        g_grey_brush = CreateSolidBrush(RGB(192, 192, 192));
        g_blue_brush = CreateSolidBrush(RGB(0, 64, 96));
        WNDCLASSA wc = {};
        wc.lpfnWndProc = ViewWindowProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.hIcon = LoadIconA(wc.hInstance, "VWICON");
        wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
        wc.hbrBackground = g_grey_brush;
        wc.lpszMenuName = "VUPMENU";
        wc.lpszClassName = "StatusViewTestWindow";
        registered = RegisterClassA(&wc) != 0;
    }
    return "StatusViewTestWindow";
}

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// A window shaped like the updater's main window, with the view on it. By
// default the client area is the program's own; client_height asks for
// another one.
class ViewWindow {
public:
    explicit ViewWindow(bool extended, int client_height = -1)
    {
        int outer = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) +
                    2 * GetSystemMetrics(SM_CYEDGE) + 228 + (extended ? 256 : 0);
        hwnd_ = CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, ViewClass(), "view",
                                WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 40, 10, 520, outer, NULL,
                                NULL, GetModuleHandleA(NULL), NULL);
        if (client_height >= 0) {
            SetWindowPos(hwnd_, NULL, 0, 0, 520, outer + client_height - ClientHeight(),
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        CreateStatusView(hwnd_, g_blue_brush, g_grey_brush, extended);
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        UpdateWindow(hwnd_);
        Pump();
    }
    ~ViewWindow()
    {
        DestroyWindow(hwnd_);
        Pump();
        DestroyStatusView();
    }
    HWND hwnd() const { return hwnd_; }
    int ClientWidth() const
    {
        RECT r;
        GetClientRect(hwnd_, &r);
        return r.right;
    }
    int ClientHeight() const
    {
        RECT r;
        GetClientRect(hwnd_, &r);
        return r.bottom;
    }

private:
    HWND hwnd_;
};

struct Box {
    bool any;
    int left, top, right, bottom;  // right and bottom exclusive
};

// What the window shows after it has painted what the view invalidated.
class Shot {
public:
    explicit Shot(HWND hwnd)
    {
        UpdateWindow(hwnd);
        Pump();
        RECT r;
        GetClientRect(hwnd, &r);
        w_ = r.right;
        h_ = r.bottom;
        BITMAPINFO bi = {};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = w_;
        bi.bmiHeader.biHeight = -h_;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = NULL;
        HDC wdc = GetDC(hwnd);
        HDC mem = CreateCompatibleDC(wdc);
        HBITMAP dib = CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
        HGDIOBJ old = SelectObject(mem, dib);
        BitBlt(mem, 0, 0, w_, h_, wdc, 0, 0, SRCCOPY);
        GdiFlush();
        const uint32_t* p = static_cast<const uint32_t*>(bits);
        px_.resize((size_t)w_ * h_);
        for (size_t i = 0; i < px_.size(); ++i) px_[i] = p[i] & 0xFFFFFF;
        SelectObject(mem, old);
        DeleteObject(dib);
        DeleteDC(mem);
        ReleaseDC(hwnd, wdc);
    }
    uint32_t At(int x, int y) const { return px_[(size_t)y * w_ + x]; }
    int width() const { return w_; }
    int height() const { return h_; }

    // Bounding box of the pixels in [x0, x1) x [y0, y1) that differ from back.
    Box Ink(int x0, int y0, int x1, int y1, uint32_t back) const
    {
        Box b = {false, x1, y1, x0, y0};
        for (int y = y0; y < y1 && y < h_; ++y)
            for (int x = x0; x < x1 && x < w_; ++x)
                if (At(x, y) != back) {
                    b.any = true;
                    if (x < b.left) b.left = x;
                    if (y < b.top) b.top = y;
                    if (x + 1 > b.right) b.right = x + 1;
                    if (y + 1 > b.bottom) b.bottom = y + 1;
                }
        return b;
    }
    int Count(int x0, int y0, int x1, int y1, uint32_t colour) const
    {
        int n = 0;
        for (int y = y0; y < y1 && y < h_; ++y)
            for (int x = x0; x < x1 && x < w_; ++x) n += At(x, y) == colour;
        return n;
    }
    bool operator==(const Shot& o) const { return w_ == o.w_ && h_ == o.h_ && px_ == o.px_; }

private:
    int w_, h_;
    std::vector<uint32_t> px_;
};

// Advance width of a text in the view's fonts, measured independently.
int TextWidth(const std::string& text, bool bold = false)
{
    HDC dc = CreateCompatibleDC(NULL);
    HFONT font = CreateFontA(-14, 0, 0, 0, bold ? 600 : 0, FALSE, FALSE, FALSE, ANSI_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, "Arial");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE s = {0, 0};
    GetTextExtentPoint32A(dc, text.c_str(), (int)text.size(), &s);
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    return s.cx;
}

// Ink of one info row, message row or log row.
Box InfoRow(const Shot& s, int row) { return s.Ink(INFO_X, INFO_Y + 16 * row, INFO_X + INFO_W, INFO_Y + 16 * row + 16, GREY); }
Box MessageRow(const Shot& s, int row) { return s.Ink(MSG_X, MSG_Y + 16 * row, MSG_X + MSG_W, MSG_Y + 16 * row + 16, GREY); }
Box LogRow(const Shot& s, int row)
{
    int y = STATUS_HEIGHT + 16 * row;
    return s.Ink(0, y, s.width(), y + 16, LOG_BACK);
}

// The text of log call i: widths step by one wide letter.
std::string LogText(int i) { return std::string(i, 'M'); }

::testing::AssertionResult StartsNear(const Box& b, int x)
{
    if (!b.any) return ::testing::AssertionFailure() << "no text";
    if (b.left < x || b.left > x + SLACK) return ::testing::AssertionFailure() << "text starts at " << b.left << ", expected " << x;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult EndsNear(const Box& b, int x)
{
    if (!b.any) return ::testing::AssertionFailure() << "no text";
    if (b.right > x + 1 || b.right < x - SLACK) return ::testing::AssertionFailure() << "text ends at " << b.right << ", expected " << x;
    return ::testing::AssertionSuccess();
}

// A log row holds LogText(i) when its ink starts at the text column and is
// as wide as that text.
::testing::AssertionResult LogRowHolds(const Shot& s, int row, int i)
{
    Box b = LogRow(s, row);
    ::testing::AssertionResult start = StartsNear(b, LOG_TEXT_X);
    if (!start) return start << " (log row " << row << ")";
    int expected = LOG_TEXT_X + TextWidth(LogText(i));
    if (b.right < expected - SLACK || b.right > expected + SLACK)
        return ::testing::AssertionFailure() << "log row " << row << " ends at " << b.right << ", text " << i << " would end at " << expected;
    return ::testing::AssertionSuccess();
}

const Box ICON_BOX = {true, ICON_X, ICON_Y, ICON_X + ICON_SIZE, ICON_Y + ICON_SIZE};

void ExpectBox(const Box& a, const Box& b)
{
    EXPECT_EQ(a.any, b.any);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.top, b.top);
    EXPECT_EQ(a.right, b.right);
    EXPECT_EQ(a.bottom, b.bottom);
}

TEST(StatusView, ShowsOnlyTheIconAfterCreation)
{
    ViewWindow w(false);
    ASSERT_GT(w.ClientHeight(), STATUS_HEIGHT);
    Shot s(w.hwnd());
    // Everything but the 64 x 64 icon at (20, 20) is the grey background,
    // also the rows below the status buffer.
    ExpectBox(s.Ink(0, 0, s.width(), s.height(), GREY), ICON_BOX);
    EXPECT_GT(s.Count(ICON_X, ICON_Y, ICON_X + ICON_SIZE, ICON_Y + ICON_SIZE, GREY), 0)
        << "the icon's transparent corners show the grey background";
}

TEST(StatusView, InfoTextsFollowRowsColumnsAndAlignment)
{
    ViewWindow w(false);

    DrawInfoText(0, 0, "Open system file(*.vsb)", true, false);
    Shot first(w.hwnd());
    Box b = InfoRow(first, 0);
    EXPECT_TRUE(StartsNear(b, INFO_X));
    EXPECT_GE(b.top, INFO_Y);
    EXPECT_LE(b.bottom, INFO_Y + 16);
    EXPECT_GT(first.Count(INFO_X, INFO_Y, INFO_X + INFO_W, INFO_Y + 16, BLACK), 0) << "black text";
    for (int y = INFO_Y; y < INFO_Y + 16; ++y)
        for (int x = INFO_X; x < INFO_X + INFO_W; ++x) {
            uint32_t p = first.At(x, y);
            int r = p >> 16, g = (p >> 8) & 0xFF, bl = p & 0xFF;
            ASSERT_TRUE(p == GREY || p == BLACK || (r == g && g == bl && r < 192)) << std::hex << p;
        }

    // The layout of an opened file: labels end at column 200, values start
    // at column 210, one row each.
    const char* labels[3] = {"Name :", "Version :", "Software Version :"};
    ClearInfoArea();
    for (int row = 0; row < 3; ++row) {
        ASSERT_LT(TextWidth(labels[row], true), 200 - SLACK);
        DrawInfoText(200, row, labels[row], true, true);
        DrawInfoText(210, row, "1.05", false, false);
    }
    Shot file(w.hwnd());
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        int y = INFO_Y + 16 * row;
        Box label = file.Ink(INFO_X, y, INFO_X + 205, y + 16, GREY);
        Box value = file.Ink(INFO_X + 205, y, INFO_X + INFO_W, y + 16, GREY);
        EXPECT_TRUE(EndsNear(label, INFO_X + 200));
        EXPECT_TRUE(StartsNear(value, INFO_X + 210));
        EXPECT_GE(label.top, y);
        EXPECT_LE(label.bottom, y + 16);
    }
    EXPECT_LT(InfoRow(file, 2).left, InfoRow(file, 1).left) << "longer labels start further left";
    EXPECT_LT(InfoRow(file, 1).left, InfoRow(file, 0).left);

    // Bold is wider than normal for the same text.
    ClearInfoArea();
    DrawInfoText(0, 1, "Software Version :", false, false);
    int normal = InfoRow(Shot(w.hwnd()), 1).right;
    ClearInfoArea();
    DrawInfoText(0, 1, "Software Version :", true, false);
    int bold = InfoRow(Shot(w.hwnd()), 1).right;
    EXPECT_GT(bold, normal);

    // Wider than the column: right alignment stops at column 0.
    ClearInfoArea();
    std::string wide = "Latest Software Version : Latest Software Version";
    ASSERT_GT(TextWidth(wide, true), 260);
    DrawInfoText(200, 2, wide.c_str(), true, true);
    Shot wide_shot(w.hwnd());
    Box clamped = InfoRow(wide_shot, 2);
    EXPECT_TRUE(StartsNear(clamped, INFO_X));
    EXPECT_GT(clamped.right, INFO_X + 260);

    // A shorter text over a longer one without clearing: the end of the
    // longer one stays.
    ClearInfoArea();
    DrawInfoText(10, 1, "MMMMMMMMMMMMMMMMMMMM", false, false);
    int long_end = InfoRow(Shot(w.hwnd()), 1).right;
    DrawInfoText(10, 1, "ii", false, false);
    Box over = InfoRow(Shot(w.hwnd()), 1);
    EXPECT_EQ(over.right, long_end);
    EXPECT_TRUE(StartsNear(over, INFO_X + 10));
}

TEST(StatusView, MessageRowsAndClearingTouchOnlyTheirArea)
{
    ViewWindow w(false);
    DrawInfoText(200, 0, "Name :", true, true);
    DrawMessageText(0, 0, "Plug in a Pallavox to update after turning it on by");
    DrawMessageText(30, 1, "holding down [SETTING], [MESSAGE], [EXIT], and [>].");
    Shot s(w.hwnd());
    Box row0 = MessageRow(s, 0), row1 = MessageRow(s, 1);
    EXPECT_TRUE(StartsNear(row0, MSG_X));
    EXPECT_TRUE(StartsNear(row1, MSG_X + 30));
    EXPECT_GE(row0.top, MSG_Y);
    EXPECT_LE(row0.bottom, MSG_Y + 16);
    EXPECT_GE(row1.top, MSG_Y + 16);
    EXPECT_LE(row1.bottom, MSG_Y + 32);
    Box info = InfoRow(s, 0);
    ASSERT_TRUE(info.any);

    ClearMessageArea();
    Shot no_message(w.hwnd());
    EXPECT_FALSE(no_message.Ink(MSG_X, MSG_Y, MSG_X + MSG_W, MSG_Y + MSG_H, GREY).any);
    ExpectBox(InfoRow(no_message, 0), info);

    DrawMessageText(0, 0, "Already the latest version.");
    ClearInfoArea();
    Shot no_info(w.hwnd());
    EXPECT_FALSE(no_info.Ink(INFO_X, INFO_Y, INFO_X + INFO_W, INFO_Y + INFO_H, GREY).any);
    EXPECT_TRUE(StartsNear(MessageRow(no_info, 0), MSG_X));
    // Neither clear reaches the icon.
    ExpectBox(no_info.Ink(0, 0, INFO_X, STATUS_HEIGHT, GREY), ICON_BOX);
}

TEST(StatusView, LogOperationsDoNothingWithoutThePane)
{
    ViewWindow w(false);
    DrawMessageText(0, 0, "Now updating...");
    Shot before(w.hwnd());
    ClearLog();
    for (int i = 1; i <= 20; ++i) AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(i).c_str());
    AppendLogLine(0, "Scan MIDI port....");
    InvalidateRect(w.hwnd(), NULL, FALSE);
    EXPECT_TRUE(Shot(w.hwnd()) == before);
}

TEST(StatusView, LogKeepsTheLastSixteenRows)
{
    ViewWindow w(true);
    ASSERT_GE(w.ClientHeight() + 1 - STATUS_HEIGHT, 16 * LOG_ROWS);
    Shot empty(w.hwnd());
    EXPECT_FALSE(empty.Ink(0, STATUS_HEIGHT, empty.width(), empty.height(), LOG_BACK).any);
    ExpectBox(empty.Ink(0, 0, empty.width(), STATUS_HEIGHT, GREY), ICON_BOX);

    ClearLog();
    // Each call advances first, so call 1 lands on row 1 and call 16 is the
    // first to scroll.
    for (int i = 1; i <= 15; ++i) AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(i).c_str());
    Shot filled(w.hwnd());
    EXPECT_FALSE(LogRow(filled, 0).any);
    for (int row = 1; row < LOG_ROWS; ++row) EXPECT_TRUE(LogRowHolds(filled, row, row));
    EXPECT_GT(filled.Count(0, STATUS_HEIGHT, filled.width(), filled.height(), LOG_TEXT), 0);

    AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(16).c_str());
    AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(17).c_str());
    Shot scrolled(w.hwnd());
    for (int row = 0; row < LOG_ROWS; ++row) EXPECT_TRUE(LogRowHolds(scrolled, row, row + 2));

    // Flags 0 rewrites the current (last) row in place.
    AppendLogLine(0, LogText(1).c_str());
    Shot rewritten(w.hwnd());
    EXPECT_TRUE(LogRowHolds(rewritten, 15, 1));
    EXPECT_TRUE(LogRowHolds(rewritten, 14, 16));
    // The status area above the pane is untouched.
    ExpectBox(rewritten.Ink(0, 0, rewritten.width(), STATUS_HEIGHT, GREY), ICON_BOX);

    // Clearing returns to row 0; bit 1 advances after writing.
    ClearLog();
    Shot cleared(w.hwnd());
    EXPECT_FALSE(cleared.Ink(0, STATUS_HEIGHT, cleared.width(), cleared.height(), LOG_BACK).any);
    AppendLogLine(LOG_NEW_LINE_AFTER, LogText(3).c_str());
    AppendLogLine(0, LogText(5).c_str());
    AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(7).c_str());
    AppendLogLine(0, LogText(2).c_str());
    Shot rows(w.hwnd());
    EXPECT_TRUE(LogRowHolds(rows, 0, 3));
    EXPECT_TRUE(LogRowHolds(rows, 1, 5));
    EXPECT_TRUE(LogRowHolds(rows, 2, 2));
    EXPECT_FALSE(LogRow(rows, 3).any);
}

// Client heights around the pane's limit: status 220 rows, pane client
// height + 1 - 220, kept only above 50.
TEST(StatusView, LowPaneIsLeftOut)
{
    const struct {
        int client_height;
        bool pane;
    } cases[] = {{150, false}, {269, false}, {270, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client_height);
        ViewWindow w(true, c.client_height);
        ASSERT_EQ(w.ClientHeight(), c.client_height);
        Shot s(w.hwnd());
        int bottom_band = c.client_height < STATUS_HEIGHT ? 0 : c.client_height - STATUS_HEIGHT;
        EXPECT_EQ(s.Count(0, STATUS_HEIGHT, s.width(), s.height(), LOG_BACK) == s.width() * bottom_band && bottom_band > 0,
                  c.pane);
        AppendLogLine(0, LogText(4).c_str());
        AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(6).c_str());
        Shot after(w.hwnd());
        if (c.pane) {
            EXPECT_TRUE(LogRowHolds(after, 0, 4));
            EXPECT_TRUE(LogRowHolds(after, 1, 6));
        } else {
            EXPECT_TRUE(after == s);
        }
        // The message area works whatever the height below it.
        DrawMessageText(0, 1, "Now updating...");
        EXPECT_TRUE(StartsNear(MessageRow(Shot(w.hwnd()), 1), MSG_X));
    }
}

struct Stress {
    volatile LONG stop;
    int rounds;
};

// The worker's text in the normal font, drawn again and again without
// clearing: a draw made in the bold font that the other thread selected
// would leave ink beyond the normal text's width.
DWORD WINAPI DrawFromWorker(void* arg)
{
    Stress* st = static_cast<Stress*>(arg);
    for (int i = 0; i < st->rounds && !st->stop; ++i) {
        DrawMessageText(0, 0, "Now updating...");
        AppendLogLine(LOG_NEW_LINE_BEFORE, LogText(1 + i % 8).c_str());
    }
    return 0;
}

TEST(StatusView, WorkerDrawsWhileTheWindowPaints)
{
    ViewWindow w(true);
    Stress st = {0, 4000};
    HANDLE worker = CreateThread(NULL, 0, DrawFromWorker, &st, 0, NULL);
    ASSERT_TRUE(worker != NULL);
    DWORD start = GetTickCount();
    int paints = 0;
    while (WaitForSingleObject(worker, 0) == WAIT_TIMEOUT && GetTickCount() - start < 60000) {
        // The window's thread draws too (bold, measured for right alignment),
        // as the device query does during a run, and paints.
        DrawInfoText(200, 1, "Software Version :", true, true);
        if (paints % 16 == 0) {
            RedrawWindow(w.hwnd(), NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW);
            Pump();
        }
        ++paints;
    }
    st.stop = 1;
    EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0) << "worker did not finish";
    CloseHandle(worker);
    EXPECT_GT(paints, 0);

    // Each row as one undisturbed drawing leaves it.
    Shot stressed(w.hwnd());
    ClearMessageArea();
    ClearInfoArea();
    DrawMessageText(0, 0, "Now updating...");
    DrawInfoText(200, 1, "Software Version :", true, true);
    Shot clean(w.hwnd());
    ExpectBox(MessageRow(clean, 0), MessageRow(stressed, 0));
    ExpectBox(InfoRow(clean, 1), InfoRow(stressed, 1));
    EXPECT_TRUE(LogRowHolds(stressed, 15, 1 + (4000 - 1) % 8));
}

// String table entries read in one language, whatever the user's language.
std::wstring ResourceString(UINT id, WORD lang)
{
    HMODULE module = GetModuleHandleA(NULL);
    HRSRC res = FindResourceExW(module, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (!res) return L"<missing>";
    const WCHAR* p = static_cast<const WCHAR*>(LockResource(LoadResource(module, res)));
    for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
    return std::wstring(p + 1, *p);
}

std::wstring ControlText(HWND dialog, int id)
{
    WCHAR text[128] = L"";
    GetDlgItemTextW(dialog, id, text, 128);
    return text;
}

HWND StopDialog(WORD lang)
{
    HMODULE module = GetModuleHandleA(NULL);
    HRSRC res = FindResourceExW(module, (LPCWSTR)RT_DIALOG, L"STOP_DIALOG", lang);
    if (!res) return NULL;
    return CreateDialogIndirectParamW(module, static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(module, res))),
                                      NULL, NULL, 0);
}

TEST(Resources, StopDialogAndStringsInBothLanguages)
{
    const WORD en = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const WORD ja = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    EXPECT_EQ(ResourceString(IDS_UPDATE_COMPLETED, en), L"%s has been updated successfully.");
    EXPECT_EQ(ResourceString(IDS_UPDATE_COMPLETED, ja), L"%s のアップデートを完了しました。");
    EXPECT_EQ(ResourceString(IDS_FORCE_UPDATE_WARNING, ja),
              L"不要なアップデートはFlash ROMの\n寿命を縮める危険があります。\nバージョンを無視して書き込みますか？");
    std::wstring warning = ResourceString(IDS_FORCE_UPDATE_WARNING, en);
    EXPECT_EQ(warning.find(L"\n"), 34u);
    EXPECT_LT(warning.size(), 128u) << "loaded into 128-byte buffers";

    const struct {
        WORD lang;
        const wchar_t* abort;
        const wchar_t* resume;
    } dialogs[] = {{en, L"Abort", L"Contiune"}, {ja, L"停止", L"続行"}};
    for (const auto& d : dialogs) {
        SCOPED_TRACE(d.lang);
        HWND dlg = StopDialog(d.lang);
        ASSERT_TRUE(dlg != NULL);
        WCHAR caption[64] = L"";
        GetWindowTextW(dlg, caption, 64);
        EXPECT_STREQ(caption, L"Stop to transfar");
        EXPECT_EQ(ControlText(dlg, IDC_STOP_ABORT), d.abort);
        EXPECT_EQ(ControlText(dlg, IDC_STOP_CONTINUE), d.resume);
        EXPECT_EQ(GetWindowLongA(GetDlgItem(dlg, IDC_STOP_CONTINUE), GWL_STYLE) & 0xF, BS_DEFPUSHBUTTON);
        DestroyWindow(dlg);
    }

    HWND about = CreateDialogParamA(GetModuleHandleA(NULL), "ABOUTDIALOG", NULL, NULL, 0);
    ASSERT_TRUE(about != NULL);
    EXPECT_TRUE(SendDlgItemMessageA(about, IDC_ABOUT_ICON, STM_GETICON, 0, 0) != 0) << "VWICON in the About box";
    EXPECT_EQ(ControlText(about, IDC_ABOUT_TEXT), L"VELTRIX Updater  1.0.0.0");
    DestroyWindow(about);
}

}  // namespace
