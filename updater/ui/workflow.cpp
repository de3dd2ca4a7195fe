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
#include "midiscan.h"
#include "resource.h"
#include "serial.h"
#include "statusview.h"
#include "sysfile_win.h"
#include "update.h"
#include "usblink.h"

namespace {

// The open dialog's buffers for the chosen path and its file name.
const int OPEN_DIALOG_NAME_SIZE = 256;
// The box of a port scan that cannot open the file; room for any path.
const char FILE_NOT_FOUND_FORMAT[] = "File not found - %s ";
const int FILE_NOT_FOUND_TEXT_SIZE = sizeof(FILE_NOT_FOUND_FORMAT) + MAX_PATH;

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
    DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, line);
    DrawMessageText(MSG_LEFT_X, MSG_ROW_SECOND, "holding down [SETTING], [MESSAGE], [EXIT], and [>].");
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
        MsgWaitForMultipleObjects(0, NULL, FALSE, STOP_WAIT_POLL_MS, QS_SENDMESSAGE);
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
    if (msg == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
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
    char file[OPEN_DIALOG_NAME_SIZE] = "";
    char title[OPEN_DIALOG_NAME_SIZE] = "";
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

namespace {

// The window forgets the device and the file before it shows the new file's
// header; 0 (no current file) when the file is unusable.
int LoadSystemFile(const char* path)
{
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
    return 1;
}

// Opens the link to the device and queries it. `remembered` is the USB
// link's phase before the file was opened: a device that has ended a run
// must be turned off and on before it takes another. Only a new file
// prompts for the device.
int ConnectDevice(bool new_file, int remembered)
{
    char err[ERROR_TEXT_SIZE] = "";
    switch (LinkType) {
    case LinkUsbBulk:
        if (!UsbLinkOpen(err) || remembered == LinkPhaseEndedFailed || remembered == LinkPhaseEndedOk) {
            if (new_file) {
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

} // namespace

int OpenSystemFile(const char* path)
{
    int remembered = DeviceLinkPhase;
    if (path && !LoadSystemFile(path))
        return 0;
    return ConnectDevice(path != NULL, remembered);
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
    DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, "Update puts the latest system software");
    snprintf(line, sizeof(line), " on your %s.", CurrentInfo.device_name);
    DrawMessageText(MSG_LEFT_X, MSG_ROW_SECOND, line);
}

void ShowAlreadyLatest()
{
    EnableWindow(UpdateButton, FALSE);
    ClearMessageArea();
    DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, "Already the latest version.");
}

int BeginUpdate()
{
    // The window shows the run before it starts, so that a run that fails
    // at once has the last word in the message area.
    SetCommandsEnabled(false);
    ClearMessageArea();
    DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, "Now updating...");
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
        char text[APP_STRING_SIZE] = "";
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
        SetTimer(MainWindow, TIMER_FLASH, TIMER_FLASH_MS, NULL);
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
        DrawInfoText(INFO_NOTICE_X, INFO_ROW_NOTICE, line, false, false);
        DrawInfoText(INFO_NOTICE_X, INFO_ROW_NOTICE_HINT, "Turn if off back on to use it.", false, false);
        char format[APP_STRING_SIZE] = "";
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
    char text[FILE_NOT_FOUND_TEXT_SIZE];
    HANDLE file = CreateFileA(CurrentFile, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(text, sizeof(text), FILE_NOT_FOUND_FORMAT, CurrentFile);
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
    unsigned char pid[MIDI_PRODUCT_ID_SIZE] = {fi.product_id[0], MIDI_PRODUCT_ID_ABSENT, MIDI_PRODUCT_ID_ABSENT};
    if (fi.product_id[1] != MIDI_PRODUCT_ID_ABSENT) {
        pid[1] = fi.product_id[1];
        if (fi.product_id[2] != MIDI_PRODUCT_ID_ABSENT)
            pid[2] = fi.product_id[2];
    }
    CloseHandle(file);
    if (!MidiScanBegin(MainWindow, pid)) {
        ShowBox("No MIDI port");
        return 0;
    }
    ClearLog();
    AppendLogLine(0, "Scan MIDI port....");
    ScanCountdown = TIMER_SCAN_TICKS;
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
    char in_name[MIDI_PORT_NAME_SIZE] = "";
    char out_name[MIDI_PORT_NAME_SIZE] = "";
    // A notice of a scan that has already ended (timed out) opens nothing.
    if (UiState != UiWaitingForDevice || ScanCountdown == 0 || !MidiScanEnd(in_name, out_name))
        return;
    ScanCountdown = 0;
    char line[ERROR_TEXT_SIZE];
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
