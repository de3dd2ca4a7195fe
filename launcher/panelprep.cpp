// panelprep: checks the system, waits for the controller in its update
// mode, installs the temporary driver, runs the updater and removes the
// driver's traces again. A dialogue of message boxes; the exit code tells
// how it ended.
#include <windows.h>

#include <stdio.h>

#include "app.h"  // APP_CLASS_NAME: the class of panelup's main window
#include "launcher.h"

namespace {

enum {
    EXIT_OLD_WINDOWS = 1,
    EXIT_NOT_ADMIN = 2,
    EXIT_CANCELLED_WAIT = 3,
    EXIT_FILES_MISSING = 4,
    EXIT_INSTALL_FAILED = 5,
    EXIT_HANDED_OVER = 9,
};

const WORD WINDOWS_2000 = 0x0500;
const DWORD PENDING_RETRY_MS = 3000;
const DWORD DEVICE_RETRY_MS = 1000;
const DWORD UPDATER_POLL_MS = 500;
const DWORD CREATE_FLAGS = CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS;

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE process, BOOL* wow64);

WORD WindowsVersion;
char CommandLineBuffer[PREP_COMMAND_LINE_SIZE];
// The argument text handed to the 64-bit edition can be as long as any command line.
char Wow64CommandLine[PREP_WOW64_COMMAND_LINE_SIZE];

void ReadSystemState()
{
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    WindowsVersion = MAKEWORD(version.dwMinorVersion, version.dwMajorVersion);
    DisplayLanguage = (WORD)(GetSystemDefaultLangID() & PREP_LANG_PRIMARY_MASK);
}

BOOL RunsUnderWow64()
{
    IsWow64ProcessFn is_wow64 =
        (IsWow64ProcessFn)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return is_wow64 && is_wow64(GetCurrentProcess(), &wow64) && wow64;
}

// Starts the program at a full path (never a search along the blanks of an
// unquoted command line); its folder is the current directory. Returns the
// process information, or FALSE.
BOOL StartProgram(const char* path, char* command_line, PROCESS_INFORMATION* process)
{
    char folder[PREP_PATH_SIZE];
    if (!PrepFolderOf(path, LauncherLeadByte, folder, sizeof(folder)))
        return FALSE;
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    startup.lpTitle = NULL;
    startup.dwFlags = 0;
    // A path without a folder keeps the launcher's own current directory.
    return CreateProcessA(path, command_line, NULL, NULL, TRUE, CREATE_FLAGS, NULL, folder[0] ? folder : NULL,
                          &startup, process);
}

BOOL RunWow64Edition(const char* own_path, const char* args)
{
    char edition[PREP_WOW64_PATH_SIZE];
    PROCESS_INFORMATION process;
    if (!PrepWow64EditionPath(own_path, LauncherLeadByte, edition, sizeof(edition)) ||
        !PrepWow64CommandLine(own_path, args, LauncherLeadByte, Wow64CommandLine, sizeof(Wow64CommandLine)) ||
        !StartProgram(edition, Wow64CommandLine, &process))
        return FALSE;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}

BOOL RunUpdater(const char* path, const char* option, PROCESS_INFORMATION* process)
{
    if (!PrepProgramCommandLine(path, option, CommandLineBuffer, sizeof(CommandLineBuffer)))
        return FALSE;
    return StartProgram(path, CommandLineBuffer, process);
}

void WaitForUpdater(PROCESS_INFORMATION* process)
{
    WaitForInputIdle(process->hProcess, INFINITE);
    DWORD code = STILL_ACTIVE;
    while (GetExitCodeProcess(process->hProcess, &code) && code == STILL_ACTIVE)
        Sleep(UPDATER_POLL_MS);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
}

// panelup runs once: a second copy hands its file to the first and ends.
// Waits until no updater window is left, so that the driver stays in place
// as long as an update may still be writing to the controller.
void WaitForRunningUpdater()
{
    HWND window;
    while ((window = FindWindowA(APP_CLASS_NAME, NULL)) != NULL) {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        HANDLE process = id ? OpenProcess(SYNCHRONIZE, FALSE, id) : NULL;
        if (!process) {
            Sleep(UPDATER_POLL_MS);
            continue;
        }
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
}

BOOL HasAdministratorRights()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PREP_MEDIA_CLASS_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}

// Waits until no installation is pending and a present device matches a
// model. Returns the model's index, or -1 when the user cancelled.
int WaitForDevice()
{
    for (;;) {
        while (IsInstallPending()) {
            if (ShowLauncherBox(PREP_MSG_INSTALL_PENDING, MB_ICONWARNING | MB_OKCANCEL) == IDCANCEL)
                return -1;
            Sleep(PENDING_RETRY_MS);
        }
        int model = FindMatchingDevice(InfModels, InfModelCount);
        if (model >= 0)
            return model;
        if (ShowLauncherBox(PREP_MSG_PLUG_IN, MB_SYSTEMMODAL | MB_ICONWARNING | MB_OKCANCEL) == IDCANCEL)
            return -1;
        Sleep(DEVICE_RETRY_MS);
    }
}

void RunAndAwaitUpdater()
{
    PROCESS_INFORMATION process;
    if (RunUpdater(Settings.updater_path, Settings.option, &process)) {
        WaitForUpdater(&process);
    } else {
        char text[PREP_COMMAND_LINE_SIZE + PREP_LINE_SIZE];
        wsprintfA(text, PrepMessageText(PREP_MSG_UPDATER_NOT_FOUND, DisplayLanguage), Settings.updater_path);
        MessageBoxA(OwnerWindow, text, PREP_CAPTION, MB_ICONERROR);
    }
    WaitForRunningUpdater();
}

int HandOver(const char* args)
{
    char own[PREP_PATH_SIZE];
    if (!LauncherOwnPath(own) || !RunWow64Edition(own, args))
        ShowLauncherBox(PREP_MSG_WOW64, MB_ICONERROR);
    return EXIT_HANDED_OVER;
}

int RunLauncher(const char* args)
{
    ReadSystemState();
    DisplayLanguage = PrepScanSwitches(args, DisplayLanguage);
    OwnerWindow = GetDesktopWindow();
    if (WindowsVersion < WINDOWS_2000) {
        ShowLauncherBox(PREP_MSG_OLD_WINDOWS, MB_ICONERROR);
        return EXIT_OLD_WINDOWS;
    }
    if (RunsUnderWow64())
        return HandOver(args);
    if (!HasAdministratorRights()) {
        ShowLauncherBox(PREP_MSG_NOT_ADMIN, MB_ICONERROR);
        return EXIT_NOT_ADMIN;
    }
    if (!ReadLauncherSettings() || !LoadSystemLibraries()) {
        ShowLauncherBox(PREP_MSG_FILES_MISSING, MB_ICONERROR);
        return EXIT_FILES_MISSING;
    }
    ReadInfModels();

    int model = WaitForDevice();
    if (model < 0)
        return EXIT_CANCELLED_WAIT;
    if (ShowLauncherBox(PREP_MSG_WILL_INSTALL, MB_ICONINFORMATION | MB_OKCANCEL) == IDCANCEL)
        return EXIT_FILES_MISSING;
    if (!InstallTemporaryDriver(OwnerWindow, InfModels[model])) {
        ShowLauncherBox(PREP_MSG_INSTALL_FAILED, MB_ICONERROR);
        return EXIT_INSTALL_FAILED;
    }

    RunAndAwaitUpdater();
    ShowLauncherBox(PREP_MSG_UPDATER_ENDED, MB_ICONINFORMATION);
    CollectDeviceInstances();
    int result = RemoveDriverTraces(InfModels[model]);
    if (result == PREP_EXIT_CLEANUP_INCOMPLETE)
        ShowLauncherBox(PREP_MSG_NOT_UNINSTALLED, MB_ICONWARNING);
    else
        ShowLauncherBox(PREP_MSG_UNINSTALLED, MB_ICONINFORMATION);
    return result;
}

}  // namespace

HINSTANCE LauncherInstance;
WORD DisplayLanguage;
HWND OwnerWindow;

int ShowLauncherBox(PrepMessage id, UINT style)
{
    return MessageBoxA(OwnerWindow, PrepMessageText(id, DisplayLanguage), PREP_CAPTION, style);
}

int LauncherOwnPath(char* path)
{
    DWORD n = GetModuleFileNameA(NULL, path, PREP_PATH_SIZE);
    return n > 0 && n < PREP_PATH_SIZE;
}

int LauncherLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR args, int)
{
    RestrictDllSearch();
    LauncherInstance = instance;
    return RunLauncher(args ? args : "");
}
