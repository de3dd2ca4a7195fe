#include "testbed.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "app.h"
#include "statusview.h"
#include "testclock.h"
#include "link.h"
#include "update.h"

namespace testbed {

namespace {

std::string ReadWholeFile(const std::string& path)
{
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// A folder that both sides see: /tmp on the Unix side is Z:\tmp here.
std::string ScratchDir()
{
    static std::string dir;
    if (dir.empty()) {
        char name[64];
        snprintf(name, sizeof(name), "/tmp/panel-e2e-%lu", GetCurrentProcessId());
        dir = name;
        std::string win = "Z:" + dir;
        for (char& c : win)
            if (c == '/')
                c = '\\';
        CreateDirectoryA(win.c_str(), NULL);
    }
    return dir;
}

std::string WinPath(const std::string& unix_path)
{
    std::string w = "Z:" + unix_path;
    for (char& c : w)
        if (c == '/')
            c = '\\';
    return w;
}

} // namespace

int Vctl(const std::string& args, std::string* out)
{
    const char* vctl = getenv("PANEL_VCTL");
    if (!vctl || !*vctl) {
        ADD_FAILURE() << "PANEL_VCTL is not set";
        return -1;
    }
    std::string dir = ScratchDir();
    std::string script = dir + "/cmd.sh";
    std::string output = dir + "/out.txt";
    std::string rc = dir + "/rc.txt";
    // Wine does not hand a Unix program's exit code back, so the script
    // writes it down.
    std::string body = "'" + std::string(vctl) + "' " + args + " >'" + output + "' 2>&1\necho $? >'" + rc + "'\n";
    FILE* f = fopen(WinPath(script).c_str(), "wb");
    if (!f)
        return -1;
    fwrite(body.data(), 1, body.size(), f);
    fclose(f);
    DeleteFileA(WinPath(rc).c_str());

    std::string cmd = "Z:\\bin\\sh " + script;
    STARTUPINFOA si;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    // Wine starts a Unix program without a process or thread handle and
    // returns whatever its own stack held in their place: values that may
    // name handles of this process (closing one once closed the process's
    // registry root key under SetupAPI's feet). They are never touched.
    PROCESS_INFORMATION pi;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << cmd << ": " << GetLastError();
        return -1;
    }
    // Nothing to wait on, then: the script's exit code, once written down,
    // says it has ended.
    const int kPolls = 6000; // 10 ms apart: a minute
    std::string code;
    for (int i = 0; i < kPolls && code.empty(); ++i) {
        code = ReadWholeFile(WinPath(rc));
        if (code.empty())
            RealSleep(10);
    }
    if (out)
        *out = ReadWholeFile(WinPath(output));
    return code.empty() ? -1 : atoi(code.c_str());
}

std::string VctlOk(const std::string& args)
{
    std::string out;
    int rc = Vctl(args, &out);
    EXPECT_EQ(0, rc) << "vctl " << args << ":\n" << out;
    return out;
}

std::vector<std::string> WireLog()
{
    std::string text = VctlOk("log");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t CountLines(const std::vector<std::string>& log, const char* what)
{
    size_t n = 0;
    for (const std::string& l : log)
        if (l.find(what) != std::string::npos)
            ++n;
    return n;
}

void ExpectNothingSentAfter(const char* mark)
{
    std::vector<std::string> log = WireLog();
    size_t at = log.size();
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].find(mark) != std::string::npos)
            at = i;
    ASSERT_LT(at, log.size()) << "no log line with " << mark;
    for (size_t i = at + 1; i < log.size(); ++i)
        EXPECT_EQ(std::string::npos, log[i].find("H>D")) << log[i];
}

void ConfigureDevice(int protocol, int packet, int caps)
{
    VctlOk("set protocol " + std::to_string(protocol));
    VctlOk("set packet-size " + std::to_string(packet));
    VctlOk("set caps " + std::to_string(caps));
    VctlOk("set pid any");
}

std::vector<unsigned char> Flash(uint32_t address, uint32_t length)
{
    std::string file = ScratchDir() + "/flash.bin";
    char args[256];
    snprintf(args, sizeof(args), "flash '%s' --base %u --length %u", file.c_str(), address, length);
    VctlOk(args);
    std::string bytes = ReadWholeFile(WinPath(file));
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::vector<unsigned char> Pattern(size_t n, unsigned variant)
{
    std::vector<unsigned char> v(n);
    uint32_t x = variant * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = (unsigned char)(x >> 16);
    }
    return v;
}

std::vector<unsigned char> BlockBytes(const BlockSpec& b)
{
    std::vector<unsigned char> h(SYSFILE_HEADER_SIZE + b.data.size(), 0);
    memcpy(h.data(), SYSFILE_MAGIC, 16);
    memcpy(h.data() + HDR_DEVICE_NAME, b.name.data(), b.name.size() < 16 ? b.name.size() : 16);
    memcpy(h.data() + HDR_TYPE, "MAIN", 4);
    h[HDR_BLOCK_CODE] = b.code;
    h[HDR_VERSION_MAJOR] = b.major;
    h[HDR_VERSION_MINOR] = b.minor;
    h[HDR_PRODUCT_ID] = b.pid[0];
    h[HDR_PRODUCT_ID + 1] = b.pid[1];
    h[HDR_PRODUCT_ID + 2] = b.pid[2];
    h[HDR_INQUIRY_PARAM] = b.inquiry;
    WriteLe32(h.data() + HDR_BASE_ADDRESS, b.base);
    WriteLe32(h.data() + HDR_BLOCK_OFFSET, b.offset);
    WriteLe32(h.data() + HDR_BLOCK_LENGTH, (uint32_t)b.data.size());
    if (!b.data.empty())
        memcpy(h.data() + SYSFILE_HEADER_SIZE, b.data.data(), b.data.size());
    return h;
}

std::vector<unsigned char> FileBytes(const std::vector<BlockSpec>& blocks)
{
    std::vector<unsigned char> file;
    for (const BlockSpec& b : blocks) {
        std::vector<unsigned char> bytes = BlockBytes(b);
        file.insert(file.end(), bytes.begin(), bytes.end());
    }
    return file;
}

FileInfo HeaderOf(const BlockSpec& b)
{
    std::vector<unsigned char> bytes = BlockBytes(b);
    FileInfo fi;
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(1, ParseSystemFileHeader(bytes.data(), bytes.size(), &fi, err)) << err;
    return fi;
}

TempFile::TempFile(const std::vector<unsigned char>& bytes)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    GetTempFileNameA(dir, "vsb", 0, path_);
    HANDLE h = CreateFileA(path_, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(h);
}

TempFile::~TempFile()
{
    DeleteFileA(path_);
}

namespace {

std::vector<LPARAM> g_redraws;
int g_ended = -1;
HBRUSH g_grey;
HBRUSH g_blue;

LRESULT CALLBACK UpdateWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_PAINT:
        PaintStatusView();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == CMD_UPDATE_ENDED)
            g_ended = (int)lp;
        else if (LOWORD(wp) == CMD_REDRAW_MENU)
            g_redraws.push_back(lp);
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

HFONT ViewFont(bool bold)
{
    return CreateFontA(-14, 0, 0, 0, bold ? 600 : 0, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH, "Arial");
}

// 32-bit pixels of a window's client area, or of the same area drawn here.
struct Pixels {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
};

// The bitmap's pixels as 32-bit values, top row first (p->w, p->h set).
void ReadPixels(HDC dc, HBITMAP bmp, Pixels* p)
{
    BITMAPINFO bi;
    memset(&bi, 0, sizeof(bi));
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = p->w;
    bi.bmiHeader.biHeight = -p->h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    p->px.resize((size_t)p->w * p->h);
    GetDIBits(dc, bmp, 0, (UINT)p->h, p->px.data(), &bi, DIB_RGB_COLORS);
}

Pixels Capture(HWND hwnd)
{
    UpdateWindow(hwnd);
    RECT r;
    GetClientRect(hwnd, &r);
    Pixels p;
    p.w = r.right;
    p.h = r.bottom;
    HDC wdc = GetDC(hwnd);
    HDC mdc = CreateCompatibleDC(wdc);
    HBITMAP bmp = CreateCompatibleBitmap(wdc, p.w, p.h);
    HGDIOBJ old = SelectObject(mdc, bmp);
    BitBlt(mdc, 0, 0, p.w, p.h, wdc, 0, 0, SRCCOPY);
    SelectObject(mdc, old);
    ReadPixels(mdc, bmp, &p);
    DeleteObject(bmp);
    DeleteDC(mdc);
    ReleaseDC(hwnd, wdc);
    return p;
}

Pixels Render(int w, int h, int x, int y, const char* text, bool bold)
{
    Pixels p;
    p.w = w;
    p.h = h;
    HDC sdc = GetDC(NULL);
    HDC mdc = CreateCompatibleDC(sdc);
    HBITMAP bmp = CreateCompatibleBitmap(sdc, w, h);
    HGDIOBJ old = SelectObject(mdc, bmp);
    RECT all = {0, 0, w, h};
    FillRect(mdc, &all, g_grey);
    HFONT font = ViewFont(bold);
    HGDIOBJ oldf = SelectObject(mdc, font);
    SetTextColor(mdc, RGB(0, 0, 0));
    SetBkColor(mdc, RGB(192, 192, 192));
    TextOutA(mdc, x, y, text, (int)strlen(text));
    SelectObject(mdc, oldf);
    DeleteObject(font);
    SelectObject(mdc, old);
    ReadPixels(mdc, bmp, &p);
    DeleteObject(bmp);
    DeleteDC(mdc);
    ReleaseDC(NULL, sdc);
    return p;
}

int TextWidth(const char* text, bool bold)
{
    HDC sdc = GetDC(NULL);
    HDC mdc = CreateCompatibleDC(sdc);
    HFONT font = ViewFont(bold);
    HGDIOBJ old = SelectObject(mdc, font);
    SIZE size = {0, 0};
    GetTextExtentPoint32A(mdc, text, (int)strlen(text), &size);
    SelectObject(mdc, old);
    DeleteObject(font);
    DeleteDC(mdc);
    ReleaseDC(NULL, sdc);
    return size.cx;
}

bool SameBand(const Pixels& a, const Pixels& b, int x0, int x1, int y0, int y1)
{
    for (int y = y0; y < y1 && y < a.h && y < b.h; ++y)
        for (int x = x0; x < x1 && x < a.w && x < b.w; ++x)
            if ((a.px[(size_t)y * a.w + x] & 0xFFFFFF) != (b.px[(size_t)y * b.w + x] & 0xFFFFFF))
                return false;
    return true;
}

} // namespace

TestWindow::TestWindow()
{
    static bool registered = false;
    if (!registered) {
        g_grey = CreateSolidBrush(STATUS_BACK_COLOR);
        g_blue = CreateSolidBrush(LOG_BACK_COLOR);
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        WNDCLASSA wc;
        memset(&wc, 0, sizeof(wc));
        wc.lpfnWndProc = UpdateWindowProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
        wc.hbrBackground = g_grey;
        wc.lpszClassName = "EngineTestWindow";
        RegisterClassA(&wc);
        registered = true;
    }
    g_redraws.clear();
    g_ended = -1;
    // panelup's own layout: the view draws where it does in the program.
    int height = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYEDGE) + MAIN_CLIENT_HEIGHT;
    hwnd_ = CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, "EngineTestWindow", "engine test",
                            WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 20, 20, MAIN_WINDOW_WIDTH, height, NULL, NULL,
                            GetModuleHandleA(NULL), NULL);
    CreateStatusView(hwnd_, g_blue, g_grey, false);
    progress_ = CreateWindowExA(0, PROGRESS_CLASSA, "", MAIN_PROGRESS_STYLE, MAIN_PROGRESS_X, MAIN_PROGRESS_Y,
                                MAIN_PROGRESS_W, MAIN_PROGRESS_H, hwnd_, (HMENU)0, GetModuleHandleA(NULL), NULL);
    SetUpdateProgressBar(progress_);
    ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
    UpdateWindow(hwnd_);
    Pump(0);
}

TestWindow::~TestWindow()
{
    SetUpdateProgressBar(NULL);
    DestroyWindow(hwnd_);
    Pump(0);
    DestroyStatusView();
}

void TestWindow::Pump(DWORD ms)
{
    DWORD start = RealTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (RealTickCount() - start >= ms)
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
}

void TestWindow::Start(const char* path, int force, int link)
{
    g_redraws.clear();
    g_ended = -1;
    StartUpdate(hwnd_, path, link, force);
}

int TestWindow::Run(const std::vector<unsigned char>& file, int link, int force, DWORD timeout_ms)
{
    TempFile f(file);
    Start(f.path(), force, link);
    int r = WaitForEnd(timeout_ms);
    CloseUpdateThread();
    return r;
}

int TestWindow::WaitForEnd(DWORD timeout_ms)
{
    DWORD start = RealTickCount();
    while (g_ended < 0 && RealTickCount() - start < timeout_ms) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (g_ended < 0)
            MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    }
    // The worker sets the finished state right after its last post.
    for (int i = 0; i < 500 && g_ended >= 0 && !IsUpdateFinished(); ++i)
        RealSleep(2);
    return g_ended;
}

const std::vector<LPARAM>& TestWindow::redraws() const
{
    return g_redraws;
}

bool TestWindow::MessageRowShows(int row, const char* text)
{
    Pixels shown = Capture(hwnd_);
    Pixels want = Render(shown.w, shown.h, MSG_X, MSG_Y + 16 * row, text, false);
    return SameBand(shown, want, MSG_X, MSG_X + MSG_W, MSG_Y + 16 * row, MSG_Y + 16 * row + 16);
}

bool TestWindow::InfoRowShows(int row, int column, const char* text, bool bold, bool right_aligned)
{
    Pixels shown = Capture(hwnd_);
    int width = TextWidth(text, bold);
    int x = column;
    if (right_aligned)
        x = column - width < 0 ? 0 : column - width;
    Pixels want = Render(shown.w, shown.h, INFO_X + x, INFO_Y + 16 * row, text, bold);
    // Only the text's own span: the rest of the row may hold other texts.
    return SameBand(shown, want, INFO_X + x, INFO_X + x + width, INFO_Y + 16 * row, INFO_Y + 16 * row + 16);
}

void* SystemFunction(const char* dll, const char* function)
{
    HMODULE module = LoadLibraryA(dll);
    return module ? (void*)GetProcAddress(module, function) : NULL;
}

bool ReplaceImport(void* from, void* to)
{
    unsigned char* base = (unsigned char*)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    IMAGE_IMPORT_DESCRIPTOR* imp = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress);
    bool found = false;
    for (; dir.VirtualAddress && imp->Name; ++imp) {
        for (IMAGE_THUNK_DATA* t = (IMAGE_THUNK_DATA*)(base + imp->FirstThunk); t->u1.Function; ++t) {
            if ((void*)t->u1.Function != from)
                continue;
            DWORD old = 0;
            VirtualProtect(&t->u1.Function, sizeof(t->u1.Function), PAGE_READWRITE, &old);
            t->u1.Function = (ULONG_PTR)to;
            VirtualProtect(&t->u1.Function, sizeof(t->u1.Function), old, &old);
            found = true;
        }
    }
    return found;
}

void ExpectRunFailsWith(TestWindow& window, const std::function<int()>& run, const char* text, const char* last_sent)
{
    ASSERT_EQ(0, run());
    EXPECT_TRUE(window.MessageRowShows(0, text)) << text;
    ExpectNothingSentAfter(last_sent);
}

void ExpectAbortWhileHeldEndsTheRun(TestWindow& window, TestClock& clock, const std::vector<unsigned char>& file,
                                    int link)
{
    const LONG kHeldPolls = 100;      // of 2 ms each on the clock
    const int kLooks = 2000;          // 5 ms apart: ten seconds
    TempFile f(file);
    clock.Reset();
    window.Start(f.path(), 0, link);
    PauseUpdate();
    for (int i = 0; i < kLooks && clock.Expired(2) < kHeldPolls; ++i)
        window.Pump(5);
    EXPECT_GE(clock.Expired(2), kHeldPolls) << "the run does not hold";
    EXPECT_EQ(1u, CountLines(WireLog(), "| data #"));
    AbortUpdate();
    EXPECT_EQ(0, window.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_TRUE(window.MessageRowShows(0, MSG_UPDATE_ABORTED));
    ExpectNothingSentAfter("| data #0");
}

SkipWriteFill SkipWriteFillFile(size_t skipped_size, size_t written_size, size_t filled_size, unsigned char fill)
{
    SkipWriteFill f;
    f.skipped.data = Pattern(skipped_size, 1);
    // Protocol 0 sends no base address: the blocks lie apart by their offsets.
    f.written.code = 2;
    f.written.offset = 0x1000;
    f.written.data = Pattern(written_size, 2);
    f.filled.code = 3;
    f.filled.offset = 0x2000;
    f.filled.data.assign(filled_size, fill);
    f.file = FileBytes({f.skipped, f.written, f.filled});
    return f;
}

void ExpectSkipWriteFillFlash(const SkipWriteFill& f)
{
    uint32_t skipped = (uint32_t)f.skipped.data.size();
    EXPECT_EQ(std::vector<unsigned char>(skipped, 0xFF), Flash(0, skipped));
    EXPECT_EQ(f.written.data, Flash(0x1000, (uint32_t)f.written.data.size()));
    EXPECT_EQ(f.filled.data, Flash(0x2000, (uint32_t)f.filled.data.size()));
}

void ExpectDeviceStatusesEndTheRun(TestWindow& window, const std::function<void()>& fresh,
                                   const std::function<int()>& run, const std::function<void()>& check)
{
    const char* texts[] = {"",
                           "Product ID Error",
                           "Member ID Error",
                           "Format Error",
                           "Block Code Error",
                           "Packet Number Error",
                           "Checksum Error",
                           "Timeout Error",
                           "Hardware Error",
                           "Flash Write Error",
                           "User Aborted",
                           "Version Error",
                           "Unknown Error"};
    const int kWithText = 13; // the last round: a status of 0x40 or above brings its own text
    for (int status = 1; status <= kWithText; ++status) {
        SCOPED_TRACE(status);
        fresh();
        std::string expected;
        if (status == kWithText) {
            VctlOk("fault status 0x41 --text abc --at 2");
            expected = "Rx Status Error(Exp) : 0x41abc";
        } else {
            VctlOk("fault status " + std::to_string(status) + " --at 2");
            expected = std::string("Rx Status Error : ") + texts[status];
        }
        ExpectRunFailsWith(window, run, expected.c_str(), "[fault: status");
        if (check)
            check();
    }
}

namespace {

struct Call {
    std::function<int()> call;
    int result;
};

DWORD WINAPI CallThread(LPVOID p)
{
    Call* c = (Call*)p;
    c->result = c->call();
    return 0;
}

const int kWaitLooks = 1000;      // for a run to reach its wait
const DWORD kLookMs = 20;
const DWORD kAbortRepeatMs = 50;  // as the stop dialog repeats its abort

} // namespace

bool CallEnds(const std::function<int()>& call, DWORD guard_ms, int* result, const std::function<void()>& meanwhile)
{
    Call* c = new Call{call, 0};
    HANDLE t = CreateThread(NULL, 0, CallThread, c, 0, NULL);
    if (!t) {
        delete c;
        return false;
    }
    DWORD start = RealTickCount();
    if (meanwhile)
        meanwhile();
    DWORD spent = RealTickCount() - start;
    bool ended = RealWait(t, spent < guard_ms ? guard_ms - spent : 0) == WAIT_OBJECT_0;
    CloseHandle(t);
    if (!ended)
        return false; // the thread still uses c
    *result = c->result;
    delete c;
    return true;
}

bool Logged(const char* mark)
{
    return CountLines(WireLog(), mark) > 0;
}

int AbortRun(TestWindow& window, const char* path, int link, const std::function<bool()>& waiting, DWORD guard_ms)
{
    window.Start(path, 0, link);
    for (int i = 0; i < kWaitLooks && !waiting(); ++i)
        window.Pump(kLookMs);
    PauseUpdate();
    AbortUpdate();
    DWORD start = RealTickCount();
    int r = -1;
    while (r < 0 && RealTickCount() - start < guard_ms) {
        r = window.WaitForEnd(kAbortRepeatMs);
        EndPendingTransfer();
    }
    if (r >= 0)
        CloseUpdateThread();
    return r;
}

} // namespace testbed
