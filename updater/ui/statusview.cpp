// The status view of the main window. See statusview.h.
//
// Two back buffers: the status buffer (icon, info area, message area) covers
// the top of the client area up to STATUS_MAX_HEIGHT; the log buffer, only
// with the extended view, covers the rest. Drawing goes into the buffers and
// invalidates what changed; WM_PAINT copies the invalid part back. The UI
// thread and the update worker both draw, so one critical section guards the
// buffers. Nothing is kept but pixels.
#include "statusview.h"

#include <string.h>

namespace {

const int LOG_MIN_HEIGHT = 50;  // a pane this low or lower is left out
const int FONT_HEIGHT = -14;
const int BOLD_WEIGHT = 600;
// The icon is loaded at this size and drawn down to ICON_SIZE.
const int ICON_LOAD_SIZE = 128;

struct Buffer {
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old_bitmap;
    HGDIOBJ old_brush;
    HGDIOBJ old_font;
    int width;
    int height;
};

struct StatusView {
    bool created;
    bool log_on;
    HWND window;
    HBRUSH log_brush;
    HBRUSH status_brush;
    HFONT normal_font;
    HFONT bold_font;
    Buffer status;
    Buffer log;
    int log_row;
    CRITICAL_SECTION lock;
};

StatusView g_view;

void CreateBuffer(Buffer* b, HDC screen, int width, int height, HBRUSH brush)
{
    b->width = width;
    b->height = height;
    b->dc = CreateCompatibleDC(screen);
    b->bitmap = CreateCompatibleBitmap(screen, width, height);
    b->old_bitmap = SelectObject(b->dc, b->bitmap);
    b->old_brush = SelectObject(b->dc, brush);
    b->old_font = NULL;
    PatBlt(b->dc, 0, 0, width, height, PATCOPY);
}

void DestroyBuffer(Buffer* b)
{
    if (b->dc) {
        if (b->old_font) SelectObject(b->dc, b->old_font);
        SelectObject(b->dc, b->old_brush);
        SelectObject(b->dc, b->old_bitmap);
        DeleteDC(b->dc);
    }
    if (b->bitmap) DeleteObject(b->bitmap);
    memset(b, 0, sizeof(*b));
}

HFONT CreateViewFont(int weight)
{
    return CreateFontA(FONT_HEIGHT, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, "Arial");
}

void DrawIcon64(HDC dc, HBRUSH background)
{
    HICON icon = (HICON)LoadImageA(GetModuleHandleA(NULL), "VWICON", IMAGE_ICON, ICON_LOAD_SIZE, ICON_LOAD_SIZE, 0);
    if (!icon) return;
    DrawIconEx(dc, ICON_X, ICON_Y, icon, ICON_SIZE, ICON_SIZE, 0, background, DI_NORMAL);
    DestroyIcon(icon);
}

// Draws text at (x, y) of the status buffer; the caller holds the lock and
// has selected the font.
void StatusTextOut(int x, int y, const char* text)
{
    if (!text) return;
    TextOutA(g_view.status.dc, x, y, text, (int)strlen(text));
}

}  // namespace

void CreateStatusView(HWND window, HBRUSH log_brush, HBRUSH status_brush, bool extended_view)
{
    memset(&g_view, 0, sizeof(g_view));
    g_view.log_on = extended_view;
    InitializeCriticalSection(&g_view.lock);
    g_view.log_brush = log_brush;
    g_view.status_brush = status_brush;
    g_view.window = window;

    RECT client;
    GetClientRect(window, &client);
    int width = client.right - client.left + 1;
    int full_height = client.bottom - client.top + 1;
    HDC screen = GetDC(window);

    int status_height = full_height < STATUS_MAX_HEIGHT ? full_height : STATUS_MAX_HEIGHT;
    CreateBuffer(&g_view.status, screen, width, status_height, status_brush);

    if (g_view.log_on) {
        int log_height = full_height - status_height;
        if (log_height <= LOG_MIN_HEIGHT)
            g_view.log_on = false;
        else
            CreateBuffer(&g_view.log, screen, width, log_height, log_brush);
    }

    g_view.normal_font = CreateViewFont(0);
    g_view.bold_font = CreateViewFont(BOLD_WEIGHT);

    DrawIcon64(g_view.status.dc, status_brush);
    ReleaseDC(window, screen);

    g_view.status.old_font = SelectObject(g_view.status.dc, g_view.normal_font);
    SetTextColor(g_view.status.dc, STATUS_TEXT_COLOR);
    SetBkColor(g_view.status.dc, STATUS_BACK_COLOR);
    SetBkMode(g_view.status.dc, OPAQUE);
    if (g_view.log_on) {
        g_view.log.old_font = SelectObject(g_view.log.dc, g_view.normal_font);
        SetTextColor(g_view.log.dc, LOG_TEXT_COLOR);
        SetBkColor(g_view.log.dc, LOG_BACK_COLOR);
        SetBkMode(g_view.log.dc, OPAQUE);
    }
    g_view.log_row = 0;
    g_view.created = true;
}

void DestroyStatusView()
{
    if (!g_view.created) return;
    g_view.created = false;
    DeleteCriticalSection(&g_view.lock);
    // The buffers give their original objects back before the fonts go.
    if (g_view.log_on) DestroyBuffer(&g_view.log);
    DestroyBuffer(&g_view.status);
    DeleteObject(g_view.normal_font);
    DeleteObject(g_view.bold_font);
    g_view.normal_font = g_view.bold_font = NULL;
    g_view.log_on = false;
}

void PaintStatusView()
{
    if (!g_view.created) return;
    EnterCriticalSection(&g_view.lock);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(g_view.window, &ps);
    const RECT& r = ps.rcPaint;
    int split = g_view.status.height;
    int width = r.right - r.left;
    if (r.top < split) {
        int bottom = r.bottom < split ? r.bottom : split;
        BitBlt(dc, r.left, r.top, width, bottom - r.top, g_view.status.dc, r.left, r.top, SRCCOPY);
    }
    if (g_view.log_on && r.bottom > split) {
        int top = r.top > split ? r.top : split;
        BitBlt(dc, r.left, top, width, r.bottom - top, g_view.log.dc, r.left, top - split, SRCCOPY);
    }
    EndPaint(g_view.window, &ps);
    LeaveCriticalSection(&g_view.lock);
}

void FillViewRect(bool fill, int x, int y, int width, int height)
{
    SelectObject(g_view.status.dc, g_view.status_brush);
    if (fill) PatBlt(g_view.status.dc, x, y, width, height, PATCOPY);
    RECT r = {x, y, x + width, y + height};
    InvalidateRect(g_view.window, &r, FALSE);
}

void ClearInfoArea()
{
    if (!g_view.created) return;
    EnterCriticalSection(&g_view.lock);
    FillViewRect(true, INFO_X, INFO_Y, INFO_W, INFO_H);
    LeaveCriticalSection(&g_view.lock);
}

void ClearMessageArea()
{
    if (!g_view.created) return;
    EnterCriticalSection(&g_view.lock);
    FillViewRect(true, MSG_X, MSG_Y, MSG_W, MSG_H);
    LeaveCriticalSection(&g_view.lock);
}

void DrawInfoText(int column, int row, const char* text, bool bold, bool right_aligned)
{
    if (!g_view.created) return;
    EnterCriticalSection(&g_view.lock);
    HDC dc = g_view.status.dc;
    int y = INFO_Y + STATUS_LINE_HEIGHT * row;
    SelectObject(dc, bold ? g_view.bold_font : g_view.normal_font);
    if (right_aligned && text) {
        SIZE size = {0, 0};
        GetTextExtentExPointA(dc, text, (int)strlen(text), 0, NULL, NULL, &size);
        column -= size.cx;
        if (column < 0) column = 0;
    }
    FillViewRect(false, INFO_X, y, INFO_W, STATUS_LINE_HEIGHT);
    StatusTextOut(INFO_X + column, y, text);
    LeaveCriticalSection(&g_view.lock);
}

void DrawMessageText(int column, int row, const char* text)
{
    if (!g_view.created) return;
    EnterCriticalSection(&g_view.lock);
    int y = MSG_Y + STATUS_LINE_HEIGHT * row;
    SelectObject(g_view.status.dc, g_view.normal_font);
    FillViewRect(false, MSG_X, y, MSG_W, STATUS_LINE_HEIGHT);
    StatusTextOut(MSG_X + column, y, text);
    LeaveCriticalSection(&g_view.lock);
}

void AppendLogLine(int flags, const char* text)
{
    if (!g_view.created || !g_view.log_on) return;
    EnterCriticalSection(&g_view.lock);
    HDC dc = g_view.log.dc;
    int width = g_view.log.width;
    if (flags & LOG_NEW_LINE_BEFORE) g_view.log_row++;

    RECT refresh;
    if (g_view.log_row >= LOG_ROWS) {
        // Rows 1..15 move up one row; row 0 falls out.
        RECT band = {0, STATUS_LINE_HEIGHT, width, g_view.log.height};
        ScrollDC(dc, 0, -STATUS_LINE_HEIGHT, &band, NULL, NULL, NULL);
        g_view.log_row = LOG_ROWS - 1;
        SetRect(&refresh, 0, 0, width, g_view.log.height);
    } else {
        SetRect(&refresh, 0, STATUS_LINE_HEIGHT * g_view.log_row, width, STATUS_LINE_HEIGHT * (g_view.log_row + 1));
    }

    int y = STATUS_LINE_HEIGHT * g_view.log_row;
    SelectObject(dc, g_view.log_brush);
    PatBlt(dc, 0, y, width, STATUS_LINE_HEIGHT, PATCOPY);
    if (text) TextOutA(dc, LOG_TEXT_X, y, text, (int)strlen(text));

    OffsetRect(&refresh, 0, g_view.status.height);
    InvalidateRect(g_view.window, &refresh, FALSE);

    if (flags & LOG_NEW_LINE_AFTER) g_view.log_row++;
    LeaveCriticalSection(&g_view.lock);
}

void ClearLog()
{
    if (!g_view.created || !g_view.log_on) return;
    EnterCriticalSection(&g_view.lock);
    SelectObject(g_view.log.dc, g_view.log_brush);
    PatBlt(g_view.log.dc, 0, 0, g_view.log.width, STATUS_LINE_HEIGHT * LOG_ROWS, PATCOPY);
    InvalidateRect(g_view.window, NULL, FALSE);
    g_view.log_row = 0;
    LeaveCriticalSection(&g_view.lock);
}
