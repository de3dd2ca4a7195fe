// panelup: program start, the main window and its messages.
#include <windows.h>

#include <commctrl.h>
#include <dbt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"
#include "cmdline.h"
#include "link.h"
#include "kernelmidi.h"
#include "midilinks.h"
#include "resource.h"
#include "serial.h"
#include "statusview.h"
#include "update.h"
#include "usbbulk.h"
#include "usblink.h"

HINSTANCE AppInstance;
HWND MainWindow;
HMENU MainMenu;
HWND UpdateButton;
HWND ProgressBar;
char StartupFile[MAX_PATH];
int NoForeground;
char ForwardedPath[MAX_PATH];
char CurrentFile[MAX_PATH];
FileInfo CurrentInfo;
int UiState = UiIdle;
int DeviceLinkPhase = LinkPhaseNone;
int NeedsUpdate;
int ForceUpdate;
int FlashState = -1;
int ScanCountdown;
unsigned char SerialPresent[SERIAL_PORT_COUNT];
int SerialPortNumber = 1;
int SerialBaudRate;

namespace {

// The link the program uses. Builds of these sources for the tests of the
// other links name theirs at compile time.
#ifndef PANELUP_LINK
#define PANELUP_LINK LinkUsbBulk
#endif

// Exit code of a second start that could not hand its file to the first.
const int FORWARD_FAILED_EXIT_CODE = 1;
// The system file the program looks for beside itself.
const char DEFAULT_FILE_PATTERN[] = "*.vsb";

HBRUSH g_blue_brush;
HBRUSH g_grey_brush;

int IsLeadByte(unsigned char b)
{
    return IsDBCSLeadByte(b) ? 1 : 0;
}

// Rebuilds a path so that every component carries the name under which the
// file system lists it. The path is made full first, so that "." and ".."
// and a drive-relative "d:file" name what they mean; a network path is
// taken as the system makes it full. Returns 1 and the full path, or 0 when
// a component is missing.
int RebuildPath(const char* typed, char* out)
{
    char arg[MAX_PATH];
    char result[MAX_PATH];
    char cut[MAX_PATH];
    if (typed[0] == 0)
        return 0;
    DWORD full = GetFullPathNameA(typed, MAX_PATH, arg, NULL);
    if (full == 0 || full >= MAX_PATH)
        return 0;
    if (arg[0] == '\\' && arg[1] == '\\') {
        if (GetFileAttributesA(arg) == INVALID_FILE_ATTRIBUTES)
            return 0;
        strcpy(out, arg);
        return 1;
    }
    size_t root = PathRootLength(arg, IsLeadByte);
    memcpy(result, arg, root);
    result[root] = 0;
    size_t start = root;
    for (;;) {
        size_t end = PathComponentEnd(arg, start, IsLeadByte);
        memcpy(cut, arg, end);
        cut[end] = 0;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(cut, &found);
        if (search == INVALID_HANDLE_VALUE)
            return 0;
        FindClose(search);
        size_t have = strlen(result);
        size_t add = strlen(found.cFileName);
        if (have + add + 2 > sizeof(result))
            return 0;
        memcpy(result + have, found.cFileName, add + 1);
        if (arg[end] == 0)
            break;
        strcat(result, "\\");
        start = end + 1;
    }
    DWORD n = GetFullPathNameA(result, MAX_PATH, out, NULL);
    return n > 0 && n < MAX_PATH;
}

// The system file beside the program: in the folder where the program lies,
// whatever its command line says.
void FindDefaultFile()
{
    char program[MAX_PATH];
    char pattern[MAX_PATH];
    size_t folder = 0;
    DWORD n = GetModuleFileNameA(NULL, program, sizeof(program));
    if (n == 0 || n >= sizeof(program))
        return;
    // Step back from the end to the last backslash, character by character,
    // so that a trail byte is never taken for one.
    const char* p = program + n;
    while (p > program) {
        p = CharPrevExA(0, program, p, 0);
        if (*p == '\\') {
            folder = (size_t)(p - program) + 1;
            break;
        }
    }
    if (folder + sizeof(DEFAULT_FILE_PATTERN) > sizeof(pattern))
        return;
    memcpy(pattern, program, folder);
    strcpy(pattern + folder, DEFAULT_FILE_PATTERN);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FindClose(search);
    if (folder + strlen(found.cFileName) < sizeof(StartupFile)) {
        memcpy(StartupFile, program, folder);
        strcpy(StartupFile + folder, found.cFileName);
    }
}

// Returns 0 when a chunk of the path could not be posted (the running
// window went away, or it refuses messages from this process).
int ForwardToRunningInstance(HWND running)
{
    if (StartupFile[0]) {
        int count = PathChunkCount(StartupFile);
        for (int i = 0; i < count; ++i) {
            uint32_t wparam, lparam;
            PathChunk(StartupFile, i, &wparam, &lparam);
            if (!PostMessageA(running, WM_COMMAND, wparam, (LPARAM)lparam))
                return 0;
        }
    }
    if (!NoForeground)
        SetForegroundWindow(running);
    return 1;
}

// Keeps COM1 when it is there, else takes the lowest present port.
void ChooseSerialPort()
{
    if (SerialPresent[SerialPortNumber - 1])
        return;
    for (int i = 0; i < SERIAL_PORT_COUNT; ++i) {
        if (SerialPresent[i]) {
            SerialPortNumber = i + 1;
            return;
        }
    }
}

void OnCreate(HWND hwnd)
{
    MainWindow = hwnd;
    MainMenu = GetMenu(hwnd);
    CreateStatusView(hwnd, g_blue_brush, g_grey_brush, ExtendedView);
    init_cusbbulk();
    SetTimer(hwnd, TIMER_TICK, TIMER_TICK_MS, NULL);
    UpdateButton = CreateWindowExA(0, "BUTTON", "Update", MAIN_BUTTON_STYLE, MAIN_BUTTON_X, MAIN_BUTTON_Y,
                                   MAIN_BUTTON_W, MAIN_BUTTON_H, hwnd, (HMENU)(INT_PTR)IDC_UPDATE, AppInstance, NULL);
    EnableWindow(UpdateButton, FALSE);
    ProgressBar = CreateWindowExA(0, PROGRESS_CLASSA, "", MAIN_PROGRESS_STYLE, MAIN_PROGRESS_X, MAIN_PROGRESS_Y,
                                  MAIN_PROGRESS_W, MAIN_PROGRESS_H, hwnd, (HMENU)0, AppInstance, NULL);
    SetUpdateProgressBar(ProgressBar);
    ChooseSerialPort();
    UiState = UiIdle;
    if (StartupFile[0])
        PostMessageA(hwnd, WM_COMMAND, CMD_OPEN_START_FILE, 0);
    DrawInfoText(INFO_LEFT_X, INFO_ROW_FIRST, "Open system file(*.vsb)", true, false);
}

// 1 when the window may close: no run, or the user aborted it.
int MayClose()
{
    return IsUpdateFinished() || ShowStopDialog();
}

void CloseAllLinks()
{
    // A port scan still listening gives its ports back as well.
    MidiScanEnd(NULL, NULL);
    SerialClose();
    MidiLinkClose();
    KernelMidiClose();
    UsbLinkClose();
    CloseUpdateThread();
}

void OnPathChunk(WPARAM wparam, LPARAM lparam)
{
    int r = ApplyPathChunk(ForwardedPath, HIWORD(wparam), (uint32_t)lparam);
    if (r == 1 && UiState != UiReady && UiState != UiUpdating)
        OpenSystemFile(ForwardedPath);
}

LRESULT OnCommand(HWND hwnd, WPARAM wparam, LPARAM lparam)
{
    switch (LOWORD(wparam)) {
    case IDM_EXIT:
        SendMessageA(hwnd, WM_CLOSE, 0, 0);
        break;
    case IDM_OPEN:
        ShowOpenFileDialog();
        break;
    case CMD_UPDATE_ENDED:
        OnUpdateEnded((int)lparam);
        break;
    case CMD_REDRAW_MENU:
        DrawMenuBar(hwnd);
        break;
    case CMD_OPEN_START_FILE:
        if (UiState != UiReady && UiState != UiUpdating)
            OpenSystemFile(StartupFile);
        break;
    case CMD_PATH_CHUNK:
        OnPathChunk(wparam, lparam);
        break;
    case IDM_ABOUT:
        ShowAboutDialog();
        break;
    case IDM_FORCE_UPDATE:
        ToggleForceUpdate();
        break;
    case IDC_UPDATE:
        if (UiState == UiReady)
            BeginUpdate();
        break;
    case CMD_MIDI_PORT_FOUND:
        OnPortFound();
        break;
    default:
        break;
    }
    return 0;
}

void StopCaptionFlash(HWND hwnd)
{
    if (FlashState == -1)
        return;
    KillTimer(hwnd, TIMER_FLASH);
    FlashWindow(hwnd, FALSE);
    FlashState = -1;
}

void OnTimer(HWND hwnd, WPARAM timer)
{
    if (timer == TIMER_FLASH) {
        FlashState = FlashState == 0 ? 1 : 0;
        FlashWindow(hwnd, FlashState);
    } else if (timer == TIMER_TICK) {
        MidiLinkTick();
        if (ScanCountdown != 0 && --ScanCountdown == 0)
            OnScanTimeout();
    }
}

void OnDestroy(HWND hwnd)
{
    // A run that the window's close aborted posts its end to a window
    // that is gone.
    KeepSystemAwake(false);
    KillTimer(hwnd, TIMER_TICK);
    FreeTransferBuffers();
    DestroyStatusView();
    free_cusbbulk();
    DeleteObject(g_grey_brush);
    DeleteObject(g_blue_brush);
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_PAINT:
        PaintStatusView();
        return 0;
    case WM_SETFOCUS:
        StopCaptionFlash(hwnd);
        return 0;
    case WM_TIMER:
        OnTimer(hwnd, wparam);
        return 0;
    case WM_DEVICECHANGE:
        if (wparam == DBT_DEVNODES_CHANGED)
            OnDeviceChange();
        return 0;
    case WM_CLOSE:
        if (MayClose()) {
            CloseAllLinks();
            DestroyWindow(hwnd);
        }
        return 0;
    case WM_QUERYENDSESSION:
        // Only asked: the session may still go on, with the links open.
        return MayClose();
    case WM_ENDSESSION:
        if (wparam)
            CloseAllLinks();
        return 0;
    case WM_POWERBROADCAST:
        // No suspend in the middle of a run.
        if (wparam == PBT_APMQUERYSUSPEND)
            return IsUpdateFinished() ? TRUE : BROADCAST_QUERY_DENY;
        return DefWindowProcA(hwnd, msg, wparam, lparam);
    case WM_DESTROY:
        OnDestroy(hwnd);
        return 0;
    case WM_COMMAND:
        return OnCommand(hwnd, wparam, lparam);
    default:
        return DefWindowProcA(hwnd, msg, wparam, lparam);
    }
}

int RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.style = 0;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "VWICON");
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = g_grey_brush;
    wc.lpszMenuName = "VUPMENU";
    wc.lpszClassName = APP_CLASS_NAME;
    return RegisterClassA(&wc) != 0;
}

// The window, centred on the desktop, takes the client height of the layout
// under its caption, menu bar and edges.
HWND CreateMainWindow(HINSTANCE instance)
{
    int height = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYMENU) + 2 * GetSystemMetrics(SM_CYEDGE) +
                 MAIN_CLIENT_HEIGHT + (ExtendedView ? MAIN_LOG_PANE_HEIGHT : 0);
    RECT desktop;
    GetClientRect(GetDesktopWindow(), &desktop);
    int x = (desktop.right - desktop.left - MAIN_WINDOW_WIDTH) / 2;
    int y = (desktop.bottom - desktop.top - height) / 2;
    return CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, APP_CLASS_NAME, APP_CLASS_NAME,
                           WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, MAIN_WINDOW_WIDTH, height, NULL, NULL,
                           instance, NULL);
}

} // namespace

void KeepSystemAwake(bool awake)
{
    SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

void ParseCommandLine(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '/') {
            if (arg[1] == 'h' || arg[1] == 'H')
                NoForeground = 1;
            continue;
        }
        char full[MAX_PATH];
        if (RebuildPath(arg, full))
            strcpy(StartupFile, full);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    AppInstance = instance;
    LinkType = PANELUP_LINK;
    DeviceLinkPhase = LinkPhaseNone;
    SerialBaudRate = SERIAL_BAUD_RATES[SERIAL_BAUD_RATE_INDEX];
    ParseCommandLine(__argc, __argv);

    HWND running = FindWindowA(APP_CLASS_NAME, NULL);
    if (running)
        return ForwardToRunningInstance(running) ? 0 : FORWARD_FAILED_EXIT_CODE;

    char err[ERROR_TEXT_SIZE] = "";
    if (!AllocTransferBuffers(err)) {
        MessageBoxA(NULL, err, NULL, MB_OK | MB_SETFOREGROUND);
        return 0;
    }
    if (!ExtendedView && !StartupFile[0])
        FindDefaultFile();
    ProbeSerialPorts(SerialPresent);
    g_blue_brush = CreateSolidBrush(LOG_BACK_COLOR);
    g_grey_brush = CreateSolidBrush(STATUS_BACK_COLOR);

    // The progress bar's class comes from the common controls.
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&icc);

    if (!RegisterMainClass(instance))
        return 0;
    HWND hwnd = CreateMainWindow(instance);
    if (!hwnd)
        return 0;
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
