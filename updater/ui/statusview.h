// The status view: everything the main window draws itself (icon, info area,
// message area and, with the extended view, the log pane). All drawing goes
// into back buffers under one lock; WM_PAINT copies them to the window.
#pragma once

#include <windows.h>

enum {
    STATUS_LINE_HEIGHT = 16,
    STATUS_MAX_HEIGHT = 220,
    LOG_ROWS = 16,
    INFO_X = 110, INFO_Y = 20, INFO_W = 390, INFO_H = 64,
    MSG_X = 127, MSG_Y = 105, MSG_W = 373, MSG_H = 36,
    ICON_X = 20, ICON_Y = 20, ICON_SIZE = 64,
    LOG_TEXT_X = 12,
};

// Columns (from INFO_X) and rows of the info area. A label ends at
// INFO_LABEL_END (drawn right-aligned), its value starts at INFO_VALUE_X;
// the notice of a finished update is indented by INFO_NOTICE_X.
enum {
    INFO_LEFT_X = 0,
    INFO_LABEL_END = 200,
    INFO_VALUE_X = 210,
    INFO_NOTICE_X = 10,
    INFO_ROW_FIRST = 0,  // the prompt, a file's error or its name
    INFO_ROW_VERSION = 1,
    INFO_ROW_LATEST = 2,
    INFO_ROW_NOTICE = 1,
    INFO_ROW_NOTICE_HINT = 2,
};

// Rows of the message area, from MSG_X.
enum {
    MSG_LEFT_X = 0,
    MSG_ROW_FIRST = 0,
    MSG_ROW_SECOND = 1,
};

// The view's colours; the main window's brushes paint with the same.
const COLORREF STATUS_TEXT_COLOR = RGB(0, 0, 0);
const COLORREF STATUS_BACK_COLOR = RGB(192, 192, 192);
const COLORREF LOG_TEXT_COLOR = RGB(255, 255, 240);
const COLORREF LOG_BACK_COLOR = RGB(0, 64, 96);

// AppendLogLine flags.
enum {
    LOG_NEW_LINE_BEFORE = 1,
    LOG_NEW_LINE_AFTER = 2,
};

// Every operation below may be called from the UI thread and the update
// worker; each holds the view lock while it draws. Before CreateStatusView
// and after DestroyStatusView they do nothing. Without the log pane (the
// extended view off, or too little room for it) the log operations return at
// once without taking the lock.
void CreateStatusView(HWND window, HBRUSH log_brush, HBRUSH status_brush, bool extended_view);
void DestroyStatusView();
void PaintStatusView();
void ClearInfoArea();
void ClearMessageArea();
void DrawInfoText(int column, int row, const char* text, bool bold, bool right_aligned);
void DrawMessageText(int column, int row, const char* text);
void AppendLogLine(int flags, const char* text);
void ClearLog();
// Inner step; the caller holds the view lock.
void FillViewRect(bool fill, int x, int y, int width, int height);
