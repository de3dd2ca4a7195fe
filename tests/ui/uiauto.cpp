// uiauto: drives and reads the updater's main window from another process,
// one subcommand per run, for the scenario scripts under wine64 + Xvfb.
//
// The status view draws into bitmaps and keeps no text, so its texts are read
// as pixels: the client area is copied from the screen and compared with the
// same text drawn here, in the same font, at the same place. Menu states
// cannot be read across processes under Wine, so uiprobe.dll is loaded into
// the updater and reads them there. Texts of windows are read as UTF-16 and
// printed as UTF-8, so that Japanese resources come out readable whatever
// code page this process runs with.
//
// Exit codes: 0 done or the condition holds, 1 it did not hold within the
// time-out (the reason on stderr), 2 bad command line.
#include <windows.h>

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

namespace {

const char kUsage[] =
    "usage: uiauto COMMAND [ARGS] [--timeout S] [--class NAME]\n"
    "The target is the top-level window of class \"ORLO VELTRIX Updater\" (or --class).\n"
    "\n"
    "  wait-window                 wait until it exists and is visible; prints hwnd and pid\n"
    "  wait-gone                   wait until no such window exists\n"
    "  sync                        wait until its thread has handled all posted messages\n"
    "  caption                     print the window caption\n"
    "  geometry                    print the window rectangle and the expected one\n"
    "  button                      print the Update button's text and state\n"
    "  progress                    print the progress bar's position and range\n"
    "  style ID                    print style, extended style and client rectangle of a\n"
    "                              child control (ID 0: the progress bar)\n"
    "  command ID [LPARAM]         post WM_COMMAND (ID may carry a high word), then sync\n"
    "  devchange [WPARAM]          post WM_DEVICECHANGE (default 7), then sync\n"
    "  send MSG [WPARAM [LPARAM]]  send a message, print its result\n"
    "  press-update                click the Update button (fails when it is disabled), then sync\n"
    "  close [--wait]              post WM_CLOSE; --wait: wait for the process, print its exit code\n"
    "  process-exit-code           wait for the window's process to end, print its exit code\n"
    "  wait-process NAME           wait until a process of that file name runs, then until it\n"
    "                              ends; print its exit code (a program started by another)\n"
    "  menu ID                     print a menu item's state (read inside the process)\n"
    "  expect-menu ID STATE...     wait until the item is: enabled|grayed|disabled, checked|unchecked\n"
    "  flash-watch                 count the updater's FlashWindow calls from now on (read inside)\n"
    "  flash-calls                 print the counts: on=N (TRUE) off=N (FALSE)\n"
    "  refuse-dialogs on|off       the updater's dialog boxes cannot be created (on), or again can\n"
    "  awake-watch                 record what the updater's window thread asks of the system's\n"
    "                              sleep from now on (read inside)\n"
    "  awake                       print it: awake=none|on|off|other-thread (also after the end)\n"
    "  activate                    bring the updater to the front, then sync\n"
    "  expect-info ROW COL TEXT [--bold] [--right]\n"
    "  expect-message ROW TEXT     wait until the status view shows TEXT there\n"
    "  expect-log ROW TEXT         wait until the log pane (extended view) shows TEXT there\n"
    "  expect-blank info|message ROW   wait until that row is empty\n"
    "  wait-box [--caption T]      wait for a message box or dialog of the process; print it\n"
    "  answer-box ID|esc|close [--caption T] [--click] [--wait]\n"
    "                              answer it (WM_COMMAND ID, or a click on button ID), wait\n"
    "                              until it is gone, sync; --wait: the answer ends the\n"
    "                              updater (without one, the box's program): wait for\n"
    "                              its process, print its exit code\n"
    "  set-text ID TEXT [--caption T]  set the text of a control of the box\n"
    "  move-box X Y [--caption T] move the box to that screen position (to uncover the window)\n"
    "  wait-box-gone [--caption T] wait until no such box is shown\n"
    "  foreground                  print the class of the foreground window\n"
    "  expect-foreground CLASS     wait until the foreground window is of that class\n"
    "  hold-front                  show a window of its own in front until closed or time-out\n"
    "  menu-texts EXE              print the menu bar VUPMENU of a program's resources\n"
    "  run COMMAND-LINE            start a program with exactly this command line (no quoting)\n"
    "  catch-forward               play a running updater: print the chunks a second start\n"
    "                              forwards, the path, and which window came to the front\n"
    "Options: --timeout S (default 5), --tolerance N (differing pixels allowed, default 0),\n"
    "         --dump PREFIX (write PREFIX-actual.bmp and PREFIX-expected.bmp on mismatch)\n";

const char kUpdaterClass[] = "ORLO VELTRIX Updater";
const char kFrontClass[] = "UiAutoFront";
const char kDialogClass[] = "#32770";
const int kUpdateButtonId = 220;
const int kPathChunkCommand = 211;
const int kBoxTextId = 0xFFFF;

// The status view's layout and look.
const int kInfoX = 110, kInfoY = 20, kInfoW = 390;
const int kMessageX = 127, kMessageY = 105, kMessageW = 373;
const int kRowHeight = 16;
const COLORREF kViewBack = RGB(192, 192, 192);
const COLORREF kViewText = RGB(0, 0, 0);
const int kMargin = 3;  // pixels beside a text that must be background
// The log pane below the status view (the extended view only).
const int kLogX = 12, kLogY = 220;
const COLORREF kLogBack = RGB(0, 64, 96);
const COLORREF kLogText = RGB(255, 255, 240);

struct Options {
    DWORD timeout_ms;
    const char* class_name;
    const char* caption;
    const char* dump;
    bool bold;
    bool right;
    bool wait;
    bool click;
    int tolerance;
    const char* args[8];
    int argc;
};

Options g_opt;

void Fail(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("uiauto: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

bool ParseNumber(const char* text, long long* out)
{
    char* end = NULL;
    long long v = strtoll(text, &end, 0);
    if (!text[0] || *end)
        return false;
    *out = v;
    return true;
}

struct Deadline {
    DWORD start;
    DWORD span;
    explicit Deadline(DWORD ms) : start(GetTickCount()), span(ms) {}
    bool Passed() const { return GetTickCount() - start >= span; }
    DWORD Left() const
    {
        DWORD used = GetTickCount() - start;
        return used >= span ? 0 : span - used;
    }
};

// UTF-16 text of a window as UTF-8, newlines written as "\n" so that one
// text stays on one output line.
void WindowTextUtf8(HWND hwnd, char* out, int size)
{
    // WM_GETTEXT, not GetWindowText: across processes only the message
    // gives what a control shows (an edit's contents, a combo's selection).
    wchar_t wide[1024];
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, (LPARAM)wide, SMTO_NORMAL, 2000, &n))
        n = (DWORD_PTR)GetWindowTextW(hwnd, wide, 1024);
    if ((LONG_PTR)n < 0 || n >= 1024)
        n = 0;
    wide[n] = 0;
    char utf8[4096];
    int m = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), NULL, NULL);
    if (m <= 0)
        utf8[0] = 0;
    int o = 0;
    for (const char* p = utf8; *p && o < size - 3; ++p) {
        if (*p == '\r')
            continue;
        if (*p == '\n') {
            out[o++] = '\\';
            out[o++] = 'n';
        } else {
            out[o++] = *p;
        }
    }
    out[o] = 0;
}

HWND FindTarget()
{
    return FindWindowA(g_opt.class_name, NULL);
}

HWND WaitTarget()
{
    Deadline d(g_opt.timeout_ms);
    for (;;) {
        HWND hwnd = FindTarget();
        if (hwnd)
            return hwnd;
        if (d.Passed())
            break;
        Sleep(20);
    }
    Fail("no window of class \"%s\"", g_opt.class_name);
    return NULL;
}

DWORD WindowPid(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

// Waits until the window's thread has taken from its queue everything posted
// before: a marker step value is posted to the progress bar (same thread,
// same queue, harmless: the updater never steps the bar) and read back with
// sent messages until it has arrived. A modal loop also delivers it, so a
// command that opens a box counts as handled once the box runs. A window
// that goes away meanwhile counts as synced.
bool Sync(HWND hwnd)
{
    Deadline d(g_opt.timeout_ms);
    const int marker = 0x5A00 + (int)(GetTickCount() & 0xFF) + 1;
    HWND bar = NULL;
    for (;;) {
        bar = FindWindowExA(hwnd, NULL, PROGRESS_CLASSA, NULL);
        if (bar && PostMessageA(bar, PBM_SETSTEP, (WPARAM)marker, 0))
            break;
        if (!IsWindow(hwnd))
            return true;
        if (d.Passed()) {
            Fail(bar ? "cannot post to the progress bar (error %lu)" : "the window has no progress bar to sync with",
                 GetLastError());
            return false;
        }
        Sleep(20);
    }
    for (;;) {
        DWORD_PTR previous = 0;
        LRESULT ok = SendMessageTimeoutA(bar, PBM_SETSTEP, 10, 0, SMTO_NORMAL, d.Left() ? d.Left() : 1, &previous);
        if (!IsWindow(bar))
            return true;
        if (ok && (int)previous == marker)
            return true;
        if (d.Passed())
            break;
        Sleep(5);
    }
    Fail("the window's thread did not reach its message loop in time");
    return false;
}

// --- pixels -----------------------------------------------------------------

struct Pixels {
    int width;
    int height;
    uint32_t* bits;  // top-down 0x00RRGGBB
    HBITMAP bitmap;
    HDC dc;
};

bool MakePixels(Pixels* p, int width, int height)
{
    BITMAPINFO bi;
    memset(&bi, 0, sizeof(bi));
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(NULL);
    void* bits = NULL;
    p->bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    p->dc = CreateCompatibleDC(screen);
    ReleaseDC(NULL, screen);
    if (!p->bitmap || !p->dc)
        return false;
    SelectObject(p->dc, p->bitmap);
    p->bits = (uint32_t*)bits;
    p->width = width;
    p->height = height;
    return true;
}

void FreePixels(Pixels* p)
{
    if (p->dc)
        DeleteDC(p->dc);
    if (p->bitmap)
        DeleteObject(p->bitmap);
    memset(p, 0, sizeof(*p));
}

void SaveBmp(const Pixels* p, const char* path)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return;
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    memset(&fh, 0, sizeof(fh));
    memset(&ih, 0, sizeof(ih));
    DWORD size = (DWORD)(p->width * p->height * 4);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + size;
    ih.biSize = sizeof(ih);
    ih.biWidth = p->width;
    ih.biHeight = -p->height;
    ih.biPlanes = 1;
    ih.biBitCount = 32;
    fwrite(&fh, sizeof(fh), 1, f);
    fwrite(&ih, sizeof(ih), 1, f);
    fwrite(p->bits, 1, size, f);
    fclose(f);
}

// Copies a rectangle of the window's client area from the screen. What lies
// over the window (a message box) is read as well: check texts while no box
// covers them.
bool CaptureClient(HWND hwnd, int x, int y, Pixels* out)
{
    POINT origin = {0, 0};
    if (!ClientToScreen(hwnd, &origin))
        return false;
    HDC screen = GetDC(NULL);
    BOOL ok = BitBlt(out->dc, 0, 0, out->width, out->height, screen, origin.x + x, origin.y + y, SRCCOPY);
    ReleaseDC(NULL, screen);
    GdiFlush();
    return ok != 0;
}

HFONT ViewFont(bool bold)
{
    return CreateFontA(-14, 0, 0, 0, bold ? 600 : 0, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Arial");
}

int TextWidth(HFONT font, const char* text)
{
    HDC dc = CreateCompatibleDC(NULL);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, (int)strlen(text), &size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return size.cx;
}

struct TextCheck {
    const char* what;  // "info" or "message"
    int row;
    int column;
    const char* text;  // NULL: the row must be blank
    bool bold;
    bool right;
};

// Where a check looks, in client pixels, and the picture it expects there.
struct Expectation {
    int x, y;
    Pixels expected;
};

bool BuildExpectation(const TextCheck& c, Expectation* e)
{
    bool info = strcmp(c.what, "info") == 0;
    bool log = strcmp(c.what, "log") == 0;
    int area_x = info ? kInfoX : log ? kLogX : kMessageX;
    int area_w = info ? kInfoW : kMessageW;
    int row_y = (info ? kInfoY : log ? kLogY : kMessageY) + kRowHeight * c.row;
    COLORREF back = log ? kLogBack : kViewBack;
    COLORREF fore = log ? kLogText : kViewText;
    if (!c.text) {
        e->x = area_x;
        e->y = row_y;
        if (!MakePixels(&e->expected, area_w, kRowHeight))
            return false;
        HBRUSH grey = CreateSolidBrush(back);
        RECT all = {0, 0, area_w, kRowHeight};
        FillRect(e->expected.dc, &all, grey);
        DeleteObject(grey);
        GdiFlush();
        return true;
    }
    HFONT font = ViewFont(c.bold);
    int width = TextWidth(font, c.text);
    int column = c.column;
    if (c.right) {
        column -= width;
        if (column < 0)
            column = 0;
    }
    e->x = area_x + column - kMargin;
    e->y = row_y;
    if (!MakePixels(&e->expected, width + 2 * kMargin, kRowHeight)) {
        DeleteObject(font);
        return false;
    }
    HBRUSH grey = CreateSolidBrush(back);
    RECT all = {0, 0, e->expected.width, kRowHeight};
    FillRect(e->expected.dc, &all, grey);
    DeleteObject(grey);
    HGDIOBJ old = SelectObject(e->expected.dc, font);
    SetTextColor(e->expected.dc, fore);
    SetBkColor(e->expected.dc, back);
    SetBkMode(e->expected.dc, OPAQUE);
    TextOutA(e->expected.dc, kMargin, 0, c.text, (int)strlen(c.text));
    SelectObject(e->expected.dc, old);
    DeleteObject(font);
    GdiFlush();
    return true;
}

int CountDifferences(const Pixels& a, const Pixels& b)
{
    int n = 0;
    for (int i = 0; i < a.width * a.height; ++i)
        if ((a.bits[i] & 0xFFFFFF) != (b.bits[i] & 0xFFFFFF))
            ++n;
    return n;
}

int ExpectText(const TextCheck& c)
{
    HWND hwnd = WaitTarget();
    if (!hwnd)
        return 1;
    Expectation e;
    memset(&e, 0, sizeof(e));
    if (!BuildExpectation(c, &e)) {
        Fail("cannot draw the expected text");
        return 1;
    }
    Pixels actual;
    memset(&actual, 0, sizeof(actual));
    MakePixels(&actual, e.expected.width, e.expected.height);
    Deadline d(g_opt.timeout_ms);
    int diff = -1;
    for (;;) {
        if (!IsWindow(hwnd))
            break;
        if (CaptureClient(hwnd, e.x, e.y, &actual)) {
            diff = CountDifferences(actual, e.expected);
            if (diff <= g_opt.tolerance)
                break;
        }
        if (d.Passed())
            break;
        Sleep(30);
    }
    bool ok = diff >= 0 && diff <= g_opt.tolerance;
    if (!ok) {
        if (c.text)
            Fail("%s row %d column %d: \"%s\"%s%s not shown (%d of %d pixels differ)", c.what, c.row, c.column,
                 c.text, c.bold ? " bold" : "", c.right ? " right-aligned" : "", diff,
                 e.expected.width * e.expected.height);
        else
            Fail("%s row %d is not blank (%d pixels differ)", c.what, c.row, diff);
        if (g_opt.dump && diff >= 0) {
            char path[MAX_PATH];
            snprintf(path, sizeof(path), "%s-actual.bmp", g_opt.dump);
            SaveBmp(&actual, path);
            snprintf(path, sizeof(path), "%s-expected.bmp", g_opt.dump);
            SaveBmp(&e.expected, path);
        }
    }
    FreePixels(&actual);
    FreePixels(&e.expected);
    return ok ? 0 : 1;
}

// --- menu states, read inside the updater --------------------------------

bool FindRemoteModule(DWORD pid, const char* name, BYTE** base)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snap == INVALID_HANDLE_VALUE)
        return false;
    MODULEENTRY32 me;
    me.dwSize = sizeof(me);
    bool found = false;
    for (BOOL more = Module32First(snap, &me); more; more = Module32Next(snap, &me)) {
        if (lstrcmpiA(me.szModule, name) == 0) {
            *base = me.modBaseAddr;
            found = true;
            break;
        }
    }
    CloseHandle(snap);
    return found;
}

// Runs the function at `start` in the process and returns the thread's exit
// code, or false when the thread could not run.
bool RunRemote(HANDLE process, void* start, void* param, DWORD* result)
{
    HANDLE thread = CreateRemoteThread(process, NULL, 0, (LPTHREAD_START_ROUTINE)start, param, 0, NULL);
    if (!thread)
        return false;
    bool ok = WaitForSingleObject(thread, g_opt.timeout_ms) == WAIT_OBJECT_0 && GetExitCodeThread(thread, result);
    CloseHandle(thread);
    return ok;
}

// Address in the other process of an export of a module loaded in both.
void* RemoteExport(BYTE* remote_base, HMODULE local, const char* name)
{
    FARPROC f = GetProcAddress(local, name);
    if (!f)
        return NULL;
    return remote_base + ((BYTE*)f - (BYTE*)local);
}

// The path of `name` in uiauto.exe's folder; false when it does not fit.
bool BesideUiauto(const char* name, char* path, size_t size)
{
    DWORD n = GetModuleFileNameA(NULL, path, (DWORD)size);
    char* slash = n && n < size ? strrchr(path, '\\') : NULL;
    if (!slash || (size_t)(slash + 1 - path) + strlen(name) + 1 > size)
        return false;
    strcpy(slash + 1, name);
    return true;
}

bool LoadProbe(DWORD pid, HANDLE process, BYTE** probe_base)
{
    if (FindRemoteModule(pid, "uiprobe.dll", probe_base))
        return true;
    char path[MAX_PATH];
    if (!BesideUiauto("uiprobe.dll", path, sizeof(path)))
        return false;
    BYTE* kernel = NULL;
    if (!FindRemoteModule(pid, "kernel32.dll", &kernel))
        return false;
    void* load = RemoteExport(kernel, GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    void* remote_path = VirtualAllocEx(process, NULL, sizeof(path), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!load || !remote_path)
        return false;
    DWORD loaded = 0;
    bool ok = WriteProcessMemory(process, remote_path, path, strlen(path) + 1, NULL) &&
              RunRemote(process, load, remote_path, &loaded);
    VirtualFreeEx(process, remote_path, 0, MEM_RELEASE);
    return ok && loaded && FindRemoteModule(pid, "uiprobe.dll", probe_base);
}

// Runs an export of uiprobe.dll inside the window's process (loading the
// probe there first) and gives the remote thread's exit code.
bool RunProbe(HWND hwnd, const char* name, void* param, DWORD* result)
{
    DWORD pid = WindowPid(hwnd);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!process) {
        Fail("cannot open process %lu", (unsigned long)pid);
        return false;
    }
    BYTE* probe = NULL;
    bool ok = false;
    HMODULE local = LoadLibraryA("uiprobe.dll");
    if (!local) {
        char path[MAX_PATH];
        if (BesideUiauto("uiprobe.dll", path, sizeof(path)))
            local = LoadLibraryA(path);
    }
    if (!local)
        Fail("uiprobe.dll not found beside uiauto.exe");
    else if (!LoadProbe(pid, process, &probe))
        Fail("cannot load uiprobe.dll into process %lu", (unsigned long)pid);
    else {
        void* f = RemoteExport(probe, local, name);
        ok = f && RunRemote(process, f, param, result);
        if (!ok)
            Fail("the probe's %s did not run", name);
    }
    CloseHandle(process);
    return ok;
}

bool ReadMenuState(HWND hwnd, int id, DWORD* state)
{
    return RunProbe(hwnd, "UiProbeMenuState", (void*)(INT_PTR)id, state);
}

void FormatMenuState(DWORD state, char* out, size_t size)
{
    if (state == 0xFFFFFFFFu) {
        snprintf(out, size, "missing");
        return;
    }
    if (state >= 0xFFFFFFF0u) {
        snprintf(out, size, "no-menu");
        return;
    }
    const char* enabled = (state & MF_GRAYED) ? "grayed" : (state & MF_DISABLED) ? "disabled" : "enabled";
    snprintf(out, size, "%s %s", enabled, (state & MF_CHECKED) ? "checked" : "unchecked");
}

// --- boxes --------------------------------------------------------------

struct BoxSearch {
    DWORD pid;  // 0: any process
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM lp)
{
    BoxSearch* s = (BoxSearch*)lp;
    char cls[64];
    if (!GetClassNameA(hwnd, cls, sizeof(cls)) || strcmp(cls, kDialogClass) != 0 || !IsWindowVisible(hwnd))
        return TRUE;
    if (s->pid && WindowPid(hwnd) != s->pid)
        return TRUE;
    if (s->caption) {
        char caption[512];
        WindowTextUtf8(hwnd, caption, sizeof(caption));
        if (strcmp(caption, s->caption) != 0)
            return TRUE;
    }
    s->found = hwnd;
    return FALSE;
}

// A box of the updater's process; without an updater window, of any process.
HWND FindBox()
{
    BoxSearch s = {0, g_opt.caption, NULL};
    HWND main = FindTarget();
    if (main)
        s.pid = WindowPid(main);
    EnumWindows(FindBoxProc, (LPARAM)&s);
    return s.found;
}

HWND WaitBox()
{
    Deadline d(g_opt.timeout_ms);
    for (;;) {
        HWND box = FindBox();
        if (box)
            return box;
        if (d.Passed())
            break;
        Sleep(20);
    }
    Fail("no box%s%s%s", g_opt.caption ? " \"" : "", g_opt.caption ? g_opt.caption : "", g_opt.caption ? "\"" : "");
    return NULL;
}

BOOL CALLBACK PrintControlProc(HWND hwnd, LPARAM)
{
    char cls[64] = "";
    char text[2048];
    GetClassNameA(hwnd, cls, sizeof(cls));
    WindowTextUtf8(hwnd, text, sizeof(text));
    int id = GetDlgCtrlID(hwnd);
    if (id == kBoxTextId)
        printf("text=%s\n", text);
    else
        printf("control %d %s %s %s\n", id, cls, IsWindowEnabled(hwnd) ? "enabled" : "disabled", text);
    return TRUE;
}

void PrintBox(HWND box)
{
    char caption[512];
    WindowTextUtf8(box, caption, sizeof(caption));
    printf("caption=%s\n", caption);
    EnumChildWindows(box, PrintControlProc, 0);
    // The default button by its style: Wine's message boxes answer
    // DM_GETDEFID with IDOK whichever button is the default.
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[16] = "";
        GetClassNameA(c, cls, sizeof(cls));
        if (lstrcmpiA(cls, "Button") == 0 && (GetWindowLongA(c, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            printf("default=%d\n", GetDlgCtrlID(c));
    }
}

bool WaitWindowGone(HWND hwnd)
{
    Deadline d(g_opt.timeout_ms);
    while (IsWindow(hwnd)) {
        if (d.Passed())
            return false;
        Sleep(20);
    }
    return true;
}

// --- windows of our own ----------------------------------------------------

struct Forwarded {
    unsigned char path[260];
    bool complete;
    DWORD complete_at;
};

Forwarded g_forwarded;

LRESULT CALLBACK OwnWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND) {
        unsigned offset = HIWORD(wp);
        uint32_t bytes = (uint32_t)lp;
        if (LOWORD(wp) == kPathChunkCommand) {
            printf("chunk offset=%u bytes=%02x %02x %02x %02x\n", offset, bytes & 0xFF, (bytes >> 8) & 0xFF,
                   (bytes >> 16) & 0xFF, bytes >> 24);
            if (offset + 4 <= sizeof(g_forwarded.path)) {
                bool zero = false;
                for (int i = 0; i < 4; ++i) {
                    g_forwarded.path[offset + i] = (unsigned char)(bytes >> (8 * i));
                    zero = zero || g_forwarded.path[offset + i] == 0;
                }
                if (zero && !g_forwarded.complete) {
                    g_forwarded.complete = true;
                    g_forwarded.complete_at = GetTickCount();
                }
            }
        } else {
            printf("command %u lparam=%lld\n", (unsigned)LOWORD(wp), (long long)lp);
        }
        fflush(stdout);
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND MakeOwnWindow(const char* cls, const char* title, int x, int y, int show)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = OwnWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = cls;
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, cls, title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, x, y, 220, 80, NULL, NULL,
                                GetModuleHandleA(NULL), NULL);
    if (hwnd) {
        ShowWindow(hwnd, show);
        UpdateWindow(hwnd);
    }
    return hwnd;
}

// Pumps messages until `done` says so or the time is up.
void Pump(Deadline& d, bool (*done)())
{
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if ((done && done()) || d.Passed())
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

bool ForwardSettled()
{
    // The second start brings the window to the front right after the last
    // chunk; give it that moment.
    return g_forwarded.complete && GetTickCount() - g_forwarded.complete_at > 300;
}

void PrintForeground(const char* prefix)
{
    HWND fg = GetForegroundWindow();
    char cls[128] = "none";
    if (fg)
        GetClassNameA(fg, cls, sizeof(cls));
    printf("%s%s\n", prefix, cls);
}

// --- commands ---------------------------------------------------------------

int CmdWaitWindow()
{
    Deadline d(g_opt.timeout_ms);
    for (;;) {
        HWND hwnd = FindTarget();
        if (hwnd && IsWindowVisible(hwnd)) {
            printf("hwnd=%p pid=%lu\n", (void*)hwnd, (unsigned long)WindowPid(hwnd));
            return 0;
        }
        if (d.Passed())
            break;
        Sleep(20);
    }
    Fail("no visible window of class \"%s\"", g_opt.class_name);
    return 1;
}

int CmdWaitGone()
{
    Deadline d(g_opt.timeout_ms);
    while (FindTarget()) {
        if (d.Passed()) {
            Fail("the window of class \"%s\" is still there", g_opt.class_name);
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

int CmdGeometry(HWND hwnd)
{
    RECT r;
    GetWindowRect(hwnd, &r);
    int height = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + 2 * GetSystemMetrics(SM_CYEDGE) + 228;
    RECT desk;
    GetClientRect(GetDesktopWindow(), &desk);
    printf("window %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    printf("expected %ld %ld %d %d\n", (desk.right - desk.left - 520) / 2, (desk.bottom - desk.top - height) / 2, 520,
           height);
    // The class's own style and the window's styles as created (Wine adds
    // WS_CLIPSIBLINGS to every top-level window, as Windows does).
    printf("class-style=0x%08lx style=0x%08lx exstyle=0x%08lx\n", (unsigned long)GetClassLongA(hwnd, GCL_STYLE),
           (unsigned long)(GetWindowLongA(hwnd, GWL_STYLE) & ~(WS_CLIPSIBLINGS | WS_VISIBLE)),
           (unsigned long)GetWindowLongA(hwnd, GWL_EXSTYLE));
    return 0;
}

int CmdButton(HWND hwnd)
{
    HWND button = GetDlgItem(hwnd, kUpdateButtonId);
    if (!button) {
        Fail("no Update button");
        return 1;
    }
    char text[256];
    WindowTextUtf8(button, text, sizeof(text));
    printf("%s %s\n", text, IsWindowEnabled(button) ? "enabled" : "disabled");
    return 0;
}

int CmdProgress(HWND hwnd)
{
    HWND bar = FindWindowExA(hwnd, NULL, PROGRESS_CLASSA, NULL);
    DWORD_PTR pos = 0, low = 0, high = 0;
    if (!bar || !SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 2000, &pos) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_NORMAL, 2000, &low) ||
        !SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 2000, &high)) {
        Fail("no progress bar, or it does not answer");
        return 1;
    }
    printf("pos=%d range=%d..%d\n", (int)pos, (int)low, (int)high);
    return 0;
}

int CmdPost(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (!PostMessageA(hwnd, msg, wp, lp)) {
        Fail("cannot post to the window");
        return 1;
    }
    return Sync(hwnd) ? 0 : 1;
}

int CmdSend(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_NORMAL, g_opt.timeout_ms, &result)) {
        Fail("no answer to message 0x%x", msg);
        return 1;
    }
    printf("result=%lld\n", (long long)(LONG_PTR)result);
    return 0;
}

// Clicks the Update button the way a user would, so a disabled button
// cannot be pressed.
int CmdPressUpdate(HWND hwnd)
{
    HWND button = GetDlgItem(hwnd, kUpdateButtonId);
    if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) {
        Fail("the Update button is %s", button ? "disabled" : "missing");
        return 1;
    }
    if (!PostMessageA(button, BM_CLICK, 0, 0)) {
        Fail("cannot post to the Update button");
        return 1;
    }
    return Sync(hwnd) ? 0 : 1;
}

// Runs a probe export that points one of the updater's imports at a
// recorder inside it (the caption flashing, the sleep requests).
int CmdWatch(HWND hwnd, const char* probe_export, const char* function)
{
    DWORD ok = 0;
    if (!RunProbe(hwnd, probe_export, NULL, &ok))
        return 1;
    if (!ok) {
        Fail("the updater's import of %s was not found", function);
        return 1;
    }
    return 0;
}

int CmdFlashCalls(HWND hwnd)
{
    DWORD calls = 0;
    if (!RunProbe(hwnd, "UiProbeFlashCalls", NULL, &calls))
        return 1;
    printf("on=%lu off=%lu\n", (unsigned long)(calls & 0xFFFF), (unsigned long)(calls >> 16));
    return 0;
}

// Whether the updater's window thread keeps the system awake, as the probe
// recorded it from awake-watch on, in a file beside the probe that outlives
// the updater.
int CmdAwake()
{
    char path[MAX_PATH];
    char state[32] = "";
    FILE* f = BesideUiauto("uiprobe-awake.txt", path, sizeof(path)) ? fopen(path, "rb") : NULL;
    if (!f) {
        Fail("no awake-watch has run");
        return 1;
    }
    size_t n = fread(state, 1, sizeof(state) - 1, f);
    fclose(f);
    state[n] = 0;
    printf("awake=%s\n", state);
    return 0;
}

// Brings the updater to the front, as a click on it would, then syncs.
int CmdActivate(HWND hwnd)
{
    if (!SetForegroundWindow(hwnd)) {
        Fail("cannot bring the window to the front");
        return 1;
    }
    return Sync(hwnd) ? 0 : 1;
}

int WaitExit(HANDLE process)
{
    if (WaitForSingleObject(process, g_opt.timeout_ms) != WAIT_OBJECT_0) {
        Fail("the process did not end");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    printf("exit-code=%lu\n", (unsigned long)code);
    return 0;
}

// The first running process whose file name is name, opened for waiting.
HANDLE OpenProcessNamed(const char* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return NULL;
    HANDLE process = NULL;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more && !process; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name) == 0)
            process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return process;
}

int CmdWaitProcess(const char* name)
{
    Deadline d(g_opt.timeout_ms);
    HANDLE process;
    while (!(process = OpenProcessNamed(name))) {
        if (d.Passed()) {
            Fail("no process %s", name);
            return 1;
        }
        Sleep(20);
    }
    int rc = WaitExit(process);
    CloseHandle(process);
    return rc;
}

int CmdClose(HWND hwnd)
{
    HANDLE process = NULL;
    if (g_opt.wait) {
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, WindowPid(hwnd));
        if (!process) {
            Fail("cannot open the window's process");
            return 1;
        }
    }
    int rc = 0;
    if (!PostMessageA(hwnd, WM_CLOSE, 0, 0)) {
        Fail("cannot post to the window");
        rc = 1;
    } else if (process) {
        rc = WaitExit(process);
    }
    if (process)
        CloseHandle(process);
    return rc;
}

int CmdProcessExitCode(HWND hwnd)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, WindowPid(hwnd));
    if (!process) {
        Fail("cannot open the window's process");
        return 1;
    }
    int rc = WaitExit(process);
    CloseHandle(process);
    return rc;
}

int CmdMenu(HWND hwnd, const char* id_text, const char* want1, const char* want2)
{
    long long id;
    if (!ParseNumber(id_text, &id))
        return 2;
    Deadline d(g_opt.timeout_ms);
    char text[64] = "";
    for (;;) {
        DWORD state;
        if (!ReadMenuState(hwnd, (int)id, &state))
            return 1;
        FormatMenuState(state, text, sizeof(text));
        if (!want1) {
            printf("%s\n", text);
            return 0;
        }
        // Whole words, so that "checked" does not match "unchecked".
        char padded[80], w1[40], w2[40];
        snprintf(padded, sizeof(padded), " %s ", text);
        snprintf(w1, sizeof(w1), " %s ", want1);
        snprintf(w2, sizeof(w2), " %s ", want2 ? want2 : "");
        bool ok = strstr(padded, w1) && (!want2 || strstr(padded, w2));
        if (ok)
            return 0;
        if (d.Passed())
            break;
        Sleep(30);
    }
    Fail("menu item %lld is \"%s\"", id, text);
    return 1;
}

int AnswerBox(HWND box, const char* how);

int CmdAnswerBox(const char* how)
{
    HWND box = WaitBox();
    if (!box)
        return 1;
    // Opened before the answer, so that an end right after it is seen.
    HANDLE process = NULL;
    if (g_opt.wait) {
        // The updater's process; without an updater window, the box's own.
        HWND main = FindTarget();
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, WindowPid(main ? main : box));
        if (!process) {
            Fail("cannot open the process of the box");
            return 1;
        }
    }
    int rc = AnswerBox(box, how);
    if (process) {
        if (rc == 0)
            rc = WaitExit(process);
        CloseHandle(process);
    }
    return rc;
}

int AnswerBox(HWND box, const char* how)
{
    if (strcmp(how, "esc") == 0) {
        PostMessageA(box, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(box, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    } else if (strcmp(how, "close") == 0) {
        PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
        long long id;
        if (!ParseNumber(how, &id))
            return 2;
        HWND button = GetDlgItem(box, (int)id);
        if (!button) {
            Fail("the box has no control %lld", id);
            return 1;
        }
        if (g_opt.click)
            PostMessageA(button, BM_CLICK, 0, 0);
        else
            PostMessageA(box, WM_COMMAND, MAKEWPARAM((WORD)id, BN_CLICKED), (LPARAM)button);
    }
    if (!WaitWindowGone(box)) {
        Fail("the box is still open");
        return 1;
    }
    HWND main = FindTarget();
    return !main || Sync(main) ? 0 : 1;
}

// Types a text into a control of a box (the file name of the open-file
// dialog, for example).
int CmdSetText(const char* id_text, const char* text)
{
    long long id;
    if (!ParseNumber(id_text, &id))
        return 2;
    HWND box = WaitBox();
    if (!box)
        return 1;
    HWND control = GetDlgItem(box, (int)id);
    wchar_t wide[1024];
    if (!control || !MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024)) {
        Fail("the box has no control %lld", id);
        return 1;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, (LPARAM)wide, SMTO_NORMAL, g_opt.timeout_ms, &result) ||
        !result) {
        Fail("control %lld did not take the text", id);
        return 1;
    }
    return 0;
}

// Moves a box aside, so that the texts it covers can be read.
int CmdMoveBox(const char* x_text, const char* y_text)
{
    long long x, y;
    if (!ParseNumber(x_text, &x) || !ParseNumber(y_text, &y))
        return 2;
    HWND box = WaitBox();
    if (!box)
        return 1;
    if (!SetWindowPos(box, NULL, (int)x, (int)y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)) {
        Fail("cannot move the box");
        return 1;
    }
    // The window below repaints what the box uncovered.
    HWND main = FindTarget();
    if (main) {
        Sync(main);
        Sleep(50);
    }
    return 0;
}

int CmdWaitBoxGone()
{
    Deadline d(g_opt.timeout_ms);
    while (FindBox()) {
        if (d.Passed()) {
            Fail("a box is still open");
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

int CmdExpectForeground(const char* cls)
{
    Deadline d(g_opt.timeout_ms);
    char now[128] = "none";
    for (;;) {
        HWND fg = GetForegroundWindow();
        strcpy(now, "none");
        if (fg)
            GetClassNameA(fg, now, sizeof(now));
        if (strcmp(now, cls) == 0)
            return 0;
        if (d.Passed())
            break;
        Sleep(20);
    }
    Fail("the foreground window is of class \"%s\"", now);
    return 1;
}

// Prints the menu bar a program's window class names ("VUPMENU"), read from
// its resources: one line per menu, "  TEXT ID" per item.
int CmdMenuTexts(const char* exe)
{
    HMODULE module = LoadLibraryExA(exe, NULL, LOAD_LIBRARY_AS_DATAFILE);
    HMENU bar = module ? LoadMenuA(module, "VUPMENU") : NULL;
    if (!bar) {
        Fail("no menu VUPMENU in %s", exe);
        return 1;
    }
    char text[128];
    for (int i = 0; i < GetMenuItemCount(bar); ++i) {
        GetMenuStringA(bar, (UINT)i, text, sizeof(text), MF_BYPOSITION);
        printf("%s\n", text);
        HMENU sub = GetSubMenu(bar, i);
        for (int k = 0; sub && k < GetMenuItemCount(sub); ++k) {
            GetMenuStringA(sub, (UINT)k, text, sizeof(text), MF_BYPOSITION);
            printf("  %s %u\n", text, GetMenuItemID(sub, k));
        }
    }
    DestroyMenu(bar);
    FreeLibrary(module);
    return 0;
}

// Starts a program with exactly this command line, unquoted as a launcher
// may pass it, and leaves it running. The program is named apart, so that
// the command line reaches it as it stands (Wine quotes a searched name).
int CmdRun(const char* command_line)
{
    char line[MAX_PATH * 2];
    lstrcpynA(line, command_line, sizeof(line));
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(command_line, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        Fail("cannot start %s (error %lu)", command_line, (unsigned long)GetLastError());
        return 1;
    }
    printf("pid=%lu\n", (unsigned long)pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

int CmdHoldFront()
{
    HWND own = MakeOwnWindow(kFrontClass, "uiauto", 0, 0, SW_SHOWNORMAL);
    if (!own) {
        Fail("cannot show a window of its own (error %lu)", GetLastError());
        return 1;
    }
    SetForegroundWindow(own);
    Deadline d(g_opt.timeout_ms);
    Pump(d, NULL);
    return 0;
}

int CmdCatchForward()
{
    // The stand-in updater stays in the back; a window of our own is in front.
    // The stand-in shows (and so can be waited for) only when that is so.
    HWND stand_in = MakeOwnWindow(kUpdaterClass, kUpdaterClass, 0, 500, SW_HIDE);
    HWND front = MakeOwnWindow(kFrontClass, "uiauto", 0, 0, SW_SHOWNORMAL);
    if (!stand_in || !front) {
        Fail("cannot show the stand-in windows (error %lu)", GetLastError());
        return 1;
    }
    SetForegroundWindow(front);
    ShowWindow(stand_in, SW_SHOWNOACTIVATE);
    UpdateWindow(stand_in);
    printf("ready\n");
    fflush(stdout);
    Deadline d(g_opt.timeout_ms);
    Pump(d, ForwardSettled);
    if (g_forwarded.complete)
        printf("path=%s\n", (const char*)g_forwarded.path);
    PrintForeground("foreground=");
    fflush(stdout);
    DestroyWindow(front);
    DestroyWindow(stand_in);
    return 0;
}

bool IsOption(const char* a, const char* name)
{
    return strcmp(a, name) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, NULL, _IONBF, 0);
    g_opt.timeout_ms = 5000;
    g_opt.class_name = kUpdaterClass;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool has_value = i + 1 < argc;
        if (IsOption(a, "--timeout") && has_value) {
            g_opt.timeout_ms = (DWORD)(atof(argv[++i]) * 1000);
        } else if (IsOption(a, "--class") && has_value) {
            g_opt.class_name = argv[++i];
        } else if (IsOption(a, "--caption") && has_value) {
            g_opt.caption = argv[++i];
        } else if (IsOption(a, "--dump") && has_value) {
            g_opt.dump = argv[++i];
        } else if (IsOption(a, "--tolerance") && has_value) {
            g_opt.tolerance = atoi(argv[++i]);
        } else if (IsOption(a, "--bold")) {
            g_opt.bold = true;
        } else if (IsOption(a, "--right")) {
            g_opt.right = true;
        } else if (IsOption(a, "--wait")) {
            g_opt.wait = true;
        } else if (IsOption(a, "--click")) {
            g_opt.click = true;
        } else if (a[0] == '-' && a[1] == '-') {
            fprintf(stderr, "uiauto: unknown option %s\n%s", a, kUsage);
            return 2;
        } else if (g_opt.argc < 8) {
            g_opt.args[g_opt.argc++] = a;
        }
    }
    if (g_opt.argc == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    const char* cmd = g_opt.args[0];
    int n = g_opt.argc - 1;
    const char* const* arg = g_opt.args + 1;
    long long v1 = 0, v2 = 0, v3 = 0;

    // Commands that need no updater window.
    if (IsOption(cmd, "wait-window"))
        return CmdWaitWindow();
    if (IsOption(cmd, "wait-gone"))
        return CmdWaitGone();
    if (IsOption(cmd, "wait-box")) {
        HWND box = WaitBox();
        if (!box)
            return 1;
        PrintBox(box);
        return 0;
    }
    if (IsOption(cmd, "answer-box") && n == 1)
        return CmdAnswerBox(arg[0]);
    if (IsOption(cmd, "wait-process") && n == 1)
        return CmdWaitProcess(arg[0]);
    if (IsOption(cmd, "set-text") && n == 2)
        return CmdSetText(arg[0], arg[1]);
    if (IsOption(cmd, "move-box") && n == 2)
        return CmdMoveBox(arg[0], arg[1]);
    if (IsOption(cmd, "wait-box-gone"))
        return CmdWaitBoxGone();
    if (IsOption(cmd, "foreground") && n == 0) {
        PrintForeground("");
        return 0;
    }
    if (IsOption(cmd, "expect-foreground") && n == 1)
        return CmdExpectForeground(arg[0]);
    if (IsOption(cmd, "hold-front"))
        return CmdHoldFront();
    if (IsOption(cmd, "awake") && n == 0)
        return CmdAwake();
    if (IsOption(cmd, "run") && n == 1)
        return CmdRun(arg[0]);
    if (IsOption(cmd, "menu-texts") && n == 1)
        return CmdMenuTexts(arg[0]);
    if (IsOption(cmd, "catch-forward"))
        return CmdCatchForward();
    if (IsOption(cmd, "expect-info") && n == 3 && ParseNumber(arg[0], &v1) && ParseNumber(arg[1], &v2)) {
        TextCheck c = {"info", (int)v1, (int)v2, arg[2], g_opt.bold, g_opt.right};
        return ExpectText(c);
    }
    if (IsOption(cmd, "expect-message") && n == 2 && ParseNumber(arg[0], &v1)) {
        TextCheck c = {"message", (int)v1, 0, arg[1], false, false};
        return ExpectText(c);
    }
    if (IsOption(cmd, "expect-log") && n == 2 && ParseNumber(arg[0], &v1)) {
        TextCheck c = {"log", (int)v1, 0, arg[1], false, false};
        return ExpectText(c);
    }
    if (IsOption(cmd, "expect-blank") && n == 2 && (IsOption(arg[0], "info") || IsOption(arg[0], "message")) &&
        ParseNumber(arg[1], &v1)) {
        TextCheck c = {arg[0], (int)v1, 0, NULL, false, false};
        return ExpectText(c);
    }

    // Commands on the updater window.
    bool known = IsOption(cmd, "sync") || IsOption(cmd, "caption") || IsOption(cmd, "geometry") ||
                 IsOption(cmd, "button") || IsOption(cmd, "progress") || IsOption(cmd, "style") || IsOption(cmd, "command") ||
                 IsOption(cmd, "devchange") || IsOption(cmd, "send") ||
                 IsOption(cmd, "press-update") || IsOption(cmd, "close") || IsOption(cmd, "process-exit-code") ||
                 IsOption(cmd, "menu") || IsOption(cmd, "expect-menu") || IsOption(cmd, "flash-watch") ||
                 IsOption(cmd, "flash-calls") || IsOption(cmd, "activate") || IsOption(cmd, "refuse-dialogs") ||
                 IsOption(cmd, "awake-watch");
    if (!known) {
        fprintf(stderr, "uiauto: bad command line\n%s", kUsage);
        return 2;
    }
    HWND hwnd = WaitTarget();
    if (!hwnd)
        return 1;
    if (IsOption(cmd, "sync"))
        return Sync(hwnd) ? 0 : 1;
    if (IsOption(cmd, "caption")) {
        char text[512];
        WindowTextUtf8(hwnd, text, sizeof(text));
        printf("%s\n", text);
        return 0;
    }
    if (IsOption(cmd, "geometry"))
        return CmdGeometry(hwnd);
    if (IsOption(cmd, "button"))
        return CmdButton(hwnd);
    if (IsOption(cmd, "progress"))
        return CmdProgress(hwnd);
    if (IsOption(cmd, "style") && n == 1 && ParseNumber(arg[0], &v1)) {
        HWND child = v1 == 0 ? FindWindowExA(hwnd, NULL, PROGRESS_CLASSA, NULL) : GetDlgItem(hwnd, (int)v1);
        if (!child) {
            Fail("no child window %lld", v1);
            return 1;
        }
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(NULL, hwnd, (POINT*)&r, 2);
        printf("style=0x%08lx exstyle=0x%08lx rect=%ld,%ld %ldx%ld\n", (unsigned long)GetWindowLongA(child, GWL_STYLE),
               (unsigned long)GetWindowLongA(child, GWL_EXSTYLE), r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (IsOption(cmd, "command") && n >= 1 && ParseNumber(arg[0], &v1) && (n < 2 || ParseNumber(arg[1], &v2)))
        return CmdPost(hwnd, WM_COMMAND, (WPARAM)v1, (LPARAM)v2);
    if (IsOption(cmd, "devchange") && (n == 0 || ParseNumber(arg[0], &v1)))
        return CmdPost(hwnd, WM_DEVICECHANGE, n == 0 ? 7 : (WPARAM)v1, 0);
    if (IsOption(cmd, "send") && n >= 1 && ParseNumber(arg[0], &v1) && (n < 2 || ParseNumber(arg[1], &v2)) &&
        (n < 3 || ParseNumber(arg[2], &v3)))
        return CmdSend(hwnd, (UINT)v1, (WPARAM)v2, (LPARAM)v3);
    if (IsOption(cmd, "press-update") && n == 0)
        return CmdPressUpdate(hwnd);
    if (IsOption(cmd, "close"))
        return CmdClose(hwnd);
    if (IsOption(cmd, "process-exit-code"))
        return CmdProcessExitCode(hwnd);
    if (IsOption(cmd, "menu") && n == 1)
        return CmdMenu(hwnd, arg[0], NULL, NULL);
    if (IsOption(cmd, "expect-menu") && (n == 2 || n == 3))
        return CmdMenu(hwnd, arg[0], arg[1], n == 3 ? arg[2] : NULL);
    if (IsOption(cmd, "flash-watch") && n == 0)
        return CmdWatch(hwnd, "UiProbeWatchFlash", "FlashWindow");
    if (IsOption(cmd, "flash-calls") && n == 0)
        return CmdFlashCalls(hwnd);
    if (IsOption(cmd, "activate") && n == 0)
        return CmdActivate(hwnd);
    if (IsOption(cmd, "awake-watch") && n == 0)
        return CmdWatch(hwnd, "UiProbeWatchAwake", "SetThreadExecutionState");
    if (IsOption(cmd, "refuse-dialogs") && n == 1 && (IsOption(arg[0], "on") || IsOption(arg[0], "off"))) {
        DWORD done = 0;
        void* on = (void*)(INT_PTR)IsOption(arg[0], "on");
        return RunProbe(hwnd, "UiProbeRefuseDialogs", on, &done) && done ? 0 : 1;
    }
    fprintf(stderr, "uiauto: bad command line\n%s", kUsage);
    return 2;
}
