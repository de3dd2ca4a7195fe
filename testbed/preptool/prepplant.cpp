// prepplant.dll: a library planted beside a program under the name of a
// system library (newdev.dll). Loaded, it leaves "<own path>.loaded"; its
// UpdateDriverForPlugAndPlayDevicesA installs nothing and fails.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "preptool.h"

extern "C" __declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR, LPCSTR, DWORD, PBOOL)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    char path[MAX_PATH + 16];
    DWORD n = reason == DLL_PROCESS_ATTACH ? GetModuleFileNameA(self, path, MAX_PATH) : 0;
    if (n > 0 && n < MAX_PATH) {
        strcat(path, PREPPLANT_LOADED_SUFFIX);
        FILE *f = fopen(path, "w");
        if (f) fclose(f);
    }
    return TRUE;
}
