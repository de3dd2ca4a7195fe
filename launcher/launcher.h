// The launcher's process-wide state and its operations on the system.
#pragma once

#include <windows.h>

#include "prepbytes.h"
#include "prepmessages.h"

// Settings read from the settings file beside the launcher.
struct LauncherSettings {
    char inf_path[PREP_PATH_SIZE];
    char updater_path[PREP_PATH_SIZE];
    char option[PREP_PATH_SIZE];
};

struct DriverClassEntry {
    long instance;
    char inf_name[PREP_INF_NAME_SIZE];  // the "InfPath" value; empty when missing
};

struct DeviceInstance {
    long instance;
    int driver_entry;                          // index into the DriverClassEntry table
    char device_key[PREP_INSTANCE_NAME_SIZE];  // the device key name it was found under
};

extern HINSTANCE LauncherInstance;
extern WORD DisplayLanguage;
extern HWND OwnerWindow;
extern LauncherSettings Settings;
extern char InfModels[PREP_MAX_MODELS][PREP_HWID_SIZE];
extern int InfModelCount;

// A message box of the launcher, in the display language.
int ShowLauncherBox(PrepMessage id, UINT style);

// Own path (GetModuleFileNameA) into a PREP_PATH_SIZE buffer; 0 on failure.
int LauncherOwnPath(char* path);

// Lead bytes of the system's ANSI code page.
int LauncherLeadByte(unsigned char byte);

// Settings and INF reading.
int ReadLauncherSettings();
int ReadInfModels();
BOOL GetSectionLine(int n, char* line);

// Device detection, driver installation and clean-up.
BOOL IsInstallPending();
int FindMatchingDevice(const char (*models)[PREP_HWID_SIZE], int count);
int InstallTemporaryDriver(HWND owner, const char* hardware_id);
int CollectDeviceInstances();
int RemoveDriverTraces();
LONG DeleteRegistryTree(const char* path);
LONG GrantEveryoneAccess(HKEY key, PSECURITY_DESCRIPTOR* previous, PACL* previous_dacl);
