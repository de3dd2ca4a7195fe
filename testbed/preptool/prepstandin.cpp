// prepstandin.exe: stands in for the programs around a launcher run, and
// leaves a file beside itself that tells the test what it did.
//
//   prepstandin hold SECONDS [AFTER]   an updater that holds the controller: a
//       hidden window of panelup's class for SECONDS, or AFTER seconds from the
//       last path another copy of panelup forwarded to it; then it ends and
//       leaves "<own path>.ended"
//   prepstandin stay SECONDS           a program that is up for SECONDS without a
//       window (idle for WaitForInputIdle at once), then leaves "<own path>.ended"
//   prepstandin [anything else]        a decoy: leaves "<own path>.ran", ends
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"      // APP_CLASS_NAME
#include "cmdline.h"  // CMD_PATH_CHUNK
#include "preptool.h"

namespace {

const UINT_PTR kHoldTimer = 1;
const UINT kMsPerSecond = 1000;
UINT g_after_forward_ms;

// Leaves "<own path><suffix>".
void LeaveMark(const char *suffix)
{
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    strcat(path, suffix);
    FILE *f = fopen(path, "w");
    if (f) fclose(f);
}

LRESULT CALLBACK HoldProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_COMMAND && LOWORD(wparam) == CMD_PATH_CHUNK && g_after_forward_ms)
        SetTimer(hwnd, kHoldTimer, g_after_forward_ms, NULL);
    if (msg == WM_TIMER || msg == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

int Hold(HINSTANCE instance, UINT seconds)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = HoldProc;
    wc.hInstance = instance;
    wc.lpszClassName = APP_CLASS_NAME;
    HWND hwnd = RegisterClassA(&wc) ? CreateWindowExA(0, APP_CLASS_NAME, APP_CLASS_NAME, WS_OVERLAPPEDWINDOW, 0, 0,
                                                      100, 100, NULL, NULL, instance, NULL)
                                    : NULL;
    if (!hwnd) return PREPTOOL_EXIT_FAILED;
    SetTimer(hwnd, kHoldTimer, seconds * kMsPerSecond, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) DispatchMessageA(&msg);
    LeaveMark(PREPSTANDIN_ENDED_SUFFIX);
    return PREPTOOL_EXIT_OK;
}

// Idle at once (waiting for a message), up for the time, then gone.
int Stay(UINT seconds)
{
    SetTimer(NULL, 0, seconds * kMsPerSecond, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0 && msg.message != WM_TIMER) {
    }
    LeaveMark(PREPSTANDIN_ENDED_SUFFIX);
    return PREPTOOL_EXIT_OK;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (__argc >= 3 && !strcmp(__argv[1], "hold")) {
        g_after_forward_ms = __argc >= 4 ? static_cast<UINT>(atoi(__argv[3])) * kMsPerSecond : 0;
        return Hold(instance, static_cast<UINT>(atoi(__argv[2])));
    }
    if (__argc == 3 && !strcmp(__argv[1], "stay")) return Stay(static_cast<UINT>(atoi(__argv[2])));
    LeaveMark(PREPSTANDIN_RAN_SUFFIX);
    return PREPTOOL_EXIT_OK;
}
