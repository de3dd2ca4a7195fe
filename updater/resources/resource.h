// Resource ids of panelup, shared by the resource script and the program.
#pragma once

// Menu "VUPMENU".
#define IDM_EXIT 201
#define IDM_OPEN 207
#define IDM_ABOUT 212
#define IDM_FORCE_UPDATE 213

// Update button of the main window (created by the program, not a resource).
#define IDC_UPDATE 220

// Buttons of "STOP_DIALOG": 1 aborts the transfer, 2 (default) continues it.
#define IDC_STOP_ABORT 1
#define IDC_STOP_CONTINUE 2

// Static texts of the dialogs.
#define IDC_STOP_LINE1 1001
#define IDC_STOP_LINE2 1002
#define IDC_STOP_LINE3 1003
#define IDC_ABOUT_ICON 1010
#define IDC_ABOUT_TEXT 1011

// String table.
#define IDS_FORCE_UPDATE_WARNING 1004
#define IDS_UPDATE_COMPLETED 1005
