// The launcher's process-wide state and its operations on the system.
#pragma once

#include <windows.h>

#include "prepbytes.h"
#include "prepmessages.h"

// Exit codes of the clean-up.
enum {
    PREP_EXIT_NOTHING_FOUND = 16,       // no device instance of the controller recorded
    PREP_EXIT_CLEANUP_INCOMPLETE = 18,  // some of the driver's traces could not be removed
    PREP_EXIT_REMOVED = 19,
};

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
// Whether the models of an INF file list the hardware ID (case ignored).
int InfListsHardwareId(const char* inf_path, const char* hardware_id);

// Keeps the launcher's folder and the current directory out of the DLL
// search where the system allows it; the first thing the launcher does.
void RestrictDllSearch();
// Loads the system libraries that are not known DLLs from the system
// folder by full path. 0 when one is missing.
int LoadSystemLibraries();

// Device detection, driver installation and clean-up.
BOOL IsInstallPending();
int FindMatchingDevice(const char (*models)[PREP_HWID_SIZE], int count);
int InstallTemporaryDriver(HWND owner, const char* hardware_id);
int CollectDeviceInstances();
// Removes the traces of the collected instances of the driver installed for
// the hardware ID: PREP_EXIT_NOTHING_FOUND, PREP_EXIT_REMOVED, or
// PREP_EXIT_CLEANUP_INCOMPLETE when a step failed.
int RemoveDriverTraces(const char* hardware_id);
LONG DeleteRegistryTree(const char* path);
LONG GrantEveryoneAccess(HKEY key, PSECURITY_DESCRIPTOR* previous, PACL* previous_dacl);
