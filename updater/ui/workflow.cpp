// The update workflow: opening a file, finding and querying the device,
// offering and running the update, the stop and About dialogs.
#include <windows.h>

#include <commdlg.h>
#include <stdio.h>
#include <string.h>

#include "app.h"
#include "link.h"
#include "kernelmidi.h"
#include "midilinks.h"
#include "resource.h"
#include "serial.h"
#include "statusview.h"
#include "sysfile_win.h"
#include "update.h"
#include "usblink.h"

namespace {

void SetCommandsEnabled(bool enabled)
{
    UINT flags = MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED);
    EnableMenuItem(MainMenu, IDM_OPEN, flags);
    EnableMenuItem(MainMenu, IDM_FORCE_UPDATE, flags);
    DrawMenuBar(MainWindow);
}

void ShowBox(const char* text)
{
    MessageBoxA(MainWindow, text, NULL, MB_OK | MB_SETFOREGROUND);
}

void DrawRestartPrompt()
{
    char line[ERROR_TEXT_SIZE];
    snprintf(line, sizeof(line), "Plug in a %s to update after turning it on by", CurrentInfo.device_name);
    DrawMessageText(0, 0, line);
    DrawMessageText(0, 1, "holding down [SETTING], [MESSAGE], [EXIT], and [>].");
}

void SetEndedPhase(int failed)
{
    if (LinkType == LinkUsbBulk)
        DeviceLinkPhase = failed ? LinkPhaseEndedFailed : LinkPhaseEndedOk;
}

// Keeps serving the messages that the worker sends to the window's controls
// while waiting for an aborted run to end. A receive that the worker began
// just after the abort is ended as well: the abort is repeated until the
// worker is gone.
void WaitForWorker()
{
    DWORD last = GetTickCount();
    while (!IsUpdateFinished()) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 2, QS_SENDMESSAGE);
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        if (GetTickCount() - last >= STOP_ABORT_REPEAT_MS) {
            last = GetTickCount();
            EndPendingTransfer();
        }
    }
}

INT_PTR CALLBACK StopDialogProc(HWND dialog, UINT msg, WPARAM wparam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        PauseUpdate();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_STOP_ABORT) {
            AbortUpdate();
            WaitForWorker();
            EndDialog(dialog, 1);
        } else if (LOWORD(wparam) == IDC_STOP_CONTINUE) {
            ResumeUpdate();
            EndDialog(dialog, 0);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT msg, WPARAM wparam, LPARAM)
{
    if (msg == WM_COMMAND && (LOWORD(wparam) == 1 || LOWORD(wparam) == 2)) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

void CloseLink()
{
    switch (LinkType) {
    case LinkSerial:
        SerialClose();
        break;
    case LinkSystemMidi:
        MidiLinkClose();
        break;
    case LinkUsbBulk:
        UsbLinkClose();
        break;
    default:
        KernelMidiClose();
        break;
    }
}

void ShowOpenFileDialog()
{
    char file[256] = "";
    char title[256] = "";
    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof(ofn));
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = MainWindow;
    ofn.lpstrFilter = "System Binary(*.vsb)\0*.vsb\0All File(*.*)\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof(file);
    ofn.lpstrFileTitle = title;
    ofn.nMaxFileTitle = sizeof(title);
    ofn.lpstrTitle = "Open File";
    ofn.lpstrDefExt = "*.*";
    ofn.Flags = OFN_HIDEREADONLY;
    if (GetOpenFileNameA(&ofn))
        OpenSystemFile(file);
}

int OpenSystemFile(const char* path)
{
    int remembered = DeviceLinkPhase;
    if (path) {
        ClearLog();
        EnableWindow(UpdateButton, FALSE);
        ClearInfoArea();
        ClearMessageArea();
        CloseLink();
        if (LinkType == LinkUsbBulk)
            DeviceLinkPhase = LinkPhaseNone;
        UiState = UiIdle;
        if (path != CurrentFile)
            lstrcpynA(CurrentFile, path, sizeof(CurrentFile));
        if (!ShowFileInfo(CurrentFile, &CurrentInfo)) {
            CurrentFile[0] = 0;
            return 0;
        }
    }

    char err[ERROR_TEXT_SIZE] = "";
    switch (LinkType) {
    case LinkUsbBulk:
        if (!UsbLinkOpen(err) || remembered == LinkPhaseEndedFailed || remembered == LinkPhaseEndedOk) {
            if (path) {
                DrawRestartPrompt();
                UiState = UiWaitingForDevice;
            }
            return 0;
        }
        DeviceLinkPhase = LinkPhaseOpen;
        return OnDeviceQueried();
    case LinkSystemMidi:
        if (!StartPortScan())
            return 0;
        SetCommandsEnabled(false);
        UiState = UiWaitingForDevice;
        return 1;
    case LinkSerial:
        if (!SerialOpen(SerialPortNumber, (unsigned long)SerialBaudRate, err)) {
            ShowBox(err);
            return 0;
        }
        return OnDeviceQueried();
    case LinkKernelMidi:
        if (!KernelMidiOpen(err)) {
            ShowBox(err);
            return 0;
        }
        return OnDeviceQueried();
    default:
        ShowBox("Unknown Type");
        return 0;
    }
}

int OnDeviceQueried()
{
    int r = QueryDevice(&CurrentInfo, LinkType);
    if (r == 0) {
        CloseLink();
        SetEndedPhase(1);
        EnableWindow(UpdateButton, FALSE);
        UiState = UiIdle;
        return 0;
    }
    if (ExtendedView) {
        BeginUpdate();
        return 1;
    }
    NeedsUpdate = (r == 1);
    if (NeedsUpdate || ForceUpdate)
        ShowUpdateOffer();
    else
        ShowAlreadyLatest();
    UiState = UiReady;
    return 1;
}

void ShowUpdateOffer()
{
    EnableWindow(UpdateButton, TRUE);
    ClearMessageArea();
    char line[ERROR_TEXT_SIZE];
    DrawMessageText(0, 0, "Update puts the latest system software");
    snprintf(line, sizeof(line), " on your %s.", CurrentInfo.device_name);
    DrawMessageText(0, 1, line);
}

void ShowAlreadyLatest()
{
    EnableWindow(UpdateButton, FALSE);
    ClearMessageArea();
    DrawMessageText(0, 0, "Already the latest version.");
}

int BeginUpdate()
{
    // The window shows the run before it starts, so that a run that fails
    // at once has the last word in the message area.
    SetCommandsEnabled(false);
    ClearMessageArea();
    DrawMessageText(0, 0, "Now updating...");
    EnableWindow(UpdateButton, FALSE);
    UiState = UiUpdating;
    KeepSystemAwake(true);
    StartUpdate(MainWindow, CurrentFile, LinkType, ForceUpdate);
    return 1;
}

void ToggleForceUpdate()
{
    if (ForceUpdate) {
        ForceUpdate = 0;
        if (UiState == UiReady && !NeedsUpdate)
            ShowAlreadyLatest();
    } else {
        char text[128] = "";
        LoadStringA(AppInstance, IDS_FORCE_UPDATE_WARNING, text, sizeof(text));
        if (MessageBoxA(MainWindow, text, "Warning", MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2 | MB_SETFOREGROUND) !=
            IDOK)
            return;
        ForceUpdate = 1;
        if (UiState == UiReady)
            ShowUpdateOffer();
    }
    CheckMenuItem(MainMenu, IDM_FORCE_UPDATE, MF_BYCOMMAND | (ForceUpdate ? MF_CHECKED : MF_UNCHECKED));
    DrawMenuBar(MainWindow);
}

void StartCaptionFlash()
{
    if (GetForegroundWindow() == MainWindow)
        return;
    if (FlashState == -1)
        SetTimer(MainWindow, TIMER_FLASH, 500, NULL);
    FlashState = 1;
    FlashWindow(MainWindow, TRUE);
}

void OnUpdateEnded(int result)
{
    KeepSystemAwake(false);
    CloseLink();
    SetEndedPhase(result == 0);
    CloseUpdateThread();
    SetCommandsEnabled(true);
    UiState = UiIdle;
    if (result != 0) {
        char line[ERROR_TEXT_SIZE];
        ClearInfoArea();
        ClearMessageArea();
        snprintf(line, sizeof(line), "%s has been updated to %d.%02d successfully.", CurrentInfo.device_name,
                 CurrentInfo.version_major, CurrentInfo.version_minor);
        DrawInfoText(10, 1, line, false, false);
        DrawInfoText(10, 2, "Turn if off back on to use it.", false, false);
        char format[128] = "";
        LoadStringA(AppInstance, IDS_UPDATE_COMPLETED, format, sizeof(format));
        // The format comes from our own string table and holds one %s.
        snprintf(line, sizeof(line), format, CurrentInfo.device_name);
        MessageBoxA(MainWindow, line, "Completed.", MB_OK | MB_SETFOREGROUND);
        PostMessageA(MainWindow, WM_CLOSE, 0, 0);
    }
    StartCaptionFlash();
}

void OnDeviceChange()
{
    if (UiState == UiWaitingForDevice && CurrentFile[0]) {
        OpenSystemFile(NULL);
        return;
    }
    if (DeviceLinkPhase == LinkPhaseEndedFailed || DeviceLinkPhase == LinkPhaseEndedOk) {
        char err[ERROR_TEXT_SIZE];
        if (UsbLinkOpen(err))
            return;
        UsbLinkClose();
        if (CurrentFile[0] && DeviceLinkPhase == LinkPhaseEndedFailed) {
            ClearMessageArea();
            DrawRestartPrompt();
            UiState = UiWaitingForDevice;
        }
        DeviceLinkPhase = LinkPhaseNone;
    }
}

int StartPortScan()
{
    char text[ERROR_TEXT_SIZE + 32];
    HANDLE file = CreateFileA(CurrentFile, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(text, sizeof(text), "File not found - %s ", CurrentFile);
        ShowBox(text);
        return 0;
    }
    FileInfo fi;
    char err[ERROR_TEXT_SIZE] = "";
    if (!ReadSystemFileHeader(file, &fi, err)) {
        CloseHandle(file);
        ShowBox(err);
        return 0;
    }
    unsigned char pid[3] = {fi.product_id[0], 0xFF, 0xFF};
    if (fi.product_id[1] != 0xFF) {
        pid[1] = fi.product_id[1];
        if (fi.product_id[2] != 0xFF)
            pid[2] = fi.product_id[2];
    }
    CloseHandle(file);
    if (!MidiScanBegin(MainWindow, pid)) {
        ShowBox("No MIDI port");
        return 0;
    }
    ClearLog();
    AppendLogLine(0, "Scan MIDI port....");
    ScanCountdown = 5;
    return 1;
}

void OnScanTimeout()
{
    // The scan ends before the box: a reply that comes while the box is up
    // finds no scan, and its notice, already posted, finds nothing found.
    MidiScanEnd(NULL, NULL);
    SetCommandsEnabled(true);
    ScanCountdown = 0;
    UiState = UiIdle;
    ShowBox("Update-device not found.");
}

void OnPortFound()
{
    char in_name[256] = "";
    char out_name[256] = "";
    // A notice of a scan that has already ended (timed out) opens nothing.
    if (UiState != UiWaitingForDevice || ScanCountdown == 0 || !MidiScanEnd(in_name, out_name))
        return;
    ScanCountdown = 0;
    char line[300];
    snprintf(line, sizeof(line), "In port:  %s", in_name);
    AppendLogLine(LOG_NEW_LINE_BEFORE, line);
    snprintf(line, sizeof(line), "Out port: %s", out_name);
    AppendLogLine(LOG_NEW_LINE_BEFORE, line);
    AppendLogLine(LOG_NEW_LINE_BEFORE, "");
    char err[ERROR_TEXT_SIZE] = "";
    if (MidiLinkOpen(out_name, in_name, err)) {
        if (ExtendedView) {
            BeginUpdate();
        } else {
            SetCommandsEnabled(true);
            OnDeviceQueried();
        }
        return;
    }
    SetCommandsEnabled(true);
    UiState = UiIdle;
    ShowBox(err);
}

int ShowStopDialog()
{
    // Only the user's Abort counts; a dialog that could not be shown leaves
    // the run going (and not paused).
    INT_PTR r = DialogBoxParamA(AppInstance, "STOP_DIALOG", MainWindow, StopDialogProc, 0);
    if (r == 1)
        return 1;
    if (r == -1)
        ResumeUpdate();
    return 0;
}

void ShowAboutDialog()
{
    DialogBoxParamA(AppInstance, "ABOUTDIALOG", MainWindow, AboutDialogProc, 0);
}
