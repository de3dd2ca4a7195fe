// Process-wide state of panelup's main window and its workflow.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include "serial.h"
#include "sysfile.h"

#define APP_CLASS_NAME "ORLO VELTRIX Updater"

enum UiStateKind {
    UiIdle = 0,
    UiWaitingForDevice = 1,
    UiReady = 2,
    UiUpdating = 3,
};

enum LinkPhaseKind {
    LinkPhaseNone = 0,
    LinkPhaseOpen = 1,
    LinkPhaseEndedFailed = 2,
    LinkPhaseEndedOk = 3,
};

// Commands the program posts to its own window.
enum {
    CMD_OPEN_START_FILE = 210,
    CMD_MIDI_PORT_FOUND = 2000,
};

// The window's timers. The tick drives the system MIDI link's receive clock
// and the port scan's countdown.
enum {
    TIMER_FLASH = 1,
    TIMER_TICK = 2,
    TIMER_FLASH_MS = 500,
    TIMER_TICK_MS = 100,
    TIMER_SCAN_TICKS = 5, // how long the port scan waits for a reply
};

// While the stop dialog waits for an aborted run, it serves the worker's
// sent messages every STOP_WAIT_POLL_MS and ends the pending transfer again
// every STOP_ABORT_REPEAT_MS.
enum {
    STOP_WAIT_POLL_MS = 2,
    STOP_ABORT_REPEAT_MS = 50,
};

// The main window's layout, in pixels of its client area.
enum {
    MAIN_WINDOW_WIDTH = 520,
    MAIN_CLIENT_HEIGHT = 228,
    MAIN_LOG_PANE_HEIGHT = 256, // added below with the extended view
    MAIN_BUTTON_X = 20, MAIN_BUTTON_Y = 105, MAIN_BUTTON_W = 80, MAIN_BUTTON_H = 24,
    MAIN_PROGRESS_X = 25, MAIN_PROGRESS_Y = 167, MAIN_PROGRESS_W = 465, MAIN_PROGRESS_H = 16,
};
const DWORD MAIN_BUTTON_STYLE = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;
const DWORD MAIN_PROGRESS_STYLE = WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH;

// Texts loaded from the string table fit in this many bytes.
enum {
    APP_STRING_SIZE = 128,
};

// With the extended view the window has a log pane and runs the update
// right after a successful device query. The program ships without it.
#ifndef PANELUP_EXTENDED_VIEW
#define PANELUP_EXTENDED_VIEW false
#endif
const bool ExtendedView = PANELUP_EXTENDED_VIEW;

extern HINSTANCE AppInstance;
extern HWND MainWindow;
extern HMENU MainMenu;
extern HWND UpdateButton;
extern HWND ProgressBar;
extern char StartupFile[MAX_PATH];
extern int NoForeground;
extern char ForwardedPath[MAX_PATH];
extern char CurrentFile[MAX_PATH];
extern FileInfo CurrentInfo;
extern int UiState;
extern int DeviceLinkPhase;
extern int NeedsUpdate;
extern int ForceUpdate;
extern int FlashState;
extern int ScanCountdown;
extern unsigned char SerialPresent[SERIAL_PORT_COUNT];
extern int SerialPortNumber;
extern int SerialBaudRate;

// Workflow (workflow.cpp).
void ShowOpenFileDialog();
int OpenSystemFile(const char* path);
int OnDeviceQueried();
void ShowUpdateOffer();
void ShowAlreadyLatest();
int BeginUpdate();
void ToggleForceUpdate();
void OnUpdateEnded(int result);
void OnDeviceChange();
int StartPortScan();
void OnPortFound();
void OnScanTimeout();
int ShowStopDialog();
void ShowAboutDialog();
void CloseLink();
void StartCaptionFlash();

// Start (main.cpp).
void ParseCommandLine(int argc, char** argv);
// While a run is in progress the system does not go to sleep (a controller
// left half-written would need its update again). The request belongs to
// the thread that makes it: the window's thread, which outlives every run,
// makes it when a run starts and takes it back when the run ends.
void KeepSystemAwake(bool awake);
