// The device query and the update run on its worker thread.
#pragma once

#include <windows.h>

#include "sysfile.h"

enum UpdateStateKind {
    UpdateRunning = 0,
    UpdatePaused = 1,
    UpdateAbort = 2,
    UpdateFinished = 3,
};

// Commands posted to the main window as WM_COMMAND identifiers.
enum {
    CMD_UPDATE_ENDED = 208,
    CMD_REDRAW_MENU = 209,
};

#define MSG_UPDATE_ABORTED "Update aborted by user."
#define MSG_FILE_POSITION_ERROR "File Position Error"

// Run control, shared by the window's thread and the worker. Every change
// is one interlocked step; only StartUpdate leaves UpdateFinished.
extern volatile LONG UpdateState;

int AllocTransferBuffers(char* err);
void FreeTransferBuffers();

// The main window's progress bar, which the run drives.
void SetUpdateProgressBar(HWND progress_bar);

// 0 failed (reason logged and shown), 1 the device needs the update, 2 it
// has the same or a newer version.
int QueryDevice(const FileInfo* info, int link);

void StartUpdate(HWND main_window, const char* path, int link, int force);
DWORD WINAPI UpdateThreadMain(LPVOID);
int RunUpdate();
void PauseUpdate();
void ResumeUpdate();
void AbortUpdate();
// Ends the pending transfer of a run that is not finished (on the USB link
// at any time, on the others once the run is aborted). The window calls it
// again while it waits for an aborted run, so that a transfer that began
// just after the abort cannot wait for a silent device.
void EndPendingTransfer();
int IsUpdateFinished();
void CloseUpdateThread();
