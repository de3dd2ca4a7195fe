// uiprobe.dll: loaded into the updater's process by uiauto (remote thread
// on LoadLibraryA), where it reads what another process cannot: the state
// of a menu item of the main window. uiauto runs UiProbeMenuState on a
// second remote thread; the thread's exit code is the result.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeMenuState(LPVOID param)
{
    HWND window = FindWindowA("ORLO VELTRIX Updater", NULL);
    if (!window)
        return 0xFFFFFFFEu;
    HMENU menu = GetMenu(window);
    if (!menu)
        return 0xFFFFFFFDu;
    // 0xFFFFFFFF when the item does not exist.
    return GetMenuState(menu, (UINT)(UINT_PTR)param, MF_BYCOMMAND);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
