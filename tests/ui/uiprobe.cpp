// uiprobe.dll: loaded into the updater's process by uiauto (remote thread
// on LoadLibraryA), where it reads what another process cannot see. uiauto
// runs an export on a second remote thread; the thread's exit code is the
// result.
//   UiProbeMenuState(id)  the state of a menu item of the main window
//   UiProbeWatchFlash     from now on, counts the updater's FlashWindow calls
//                         (its import of the function is pointed at a counter
//                         that calls the real one)
//   UiProbeFlashCalls     the counts: calls with TRUE in the low word, with
//                         FALSE in the high word
//   UiProbeRefuseDialogs(on)  while on, the updater's dialog boxes cannot be
//                         created (DialogBoxParamA fails as when resources
//                         run out); 0 gives them back
#include <windows.h>
#include <string.h>

namespace {

typedef BOOL(WINAPI* FlashWindowFn)(HWND, BOOL);
FlashWindowFn g_real_flash;
volatile LONG g_flash_on;
volatile LONG g_flash_off;

BOOL WINAPI CountedFlashWindow(HWND hwnd, BOOL invert)
{
    InterlockedIncrement(invert ? &g_flash_on : &g_flash_off);
    return g_real_flash(hwnd, invert);
}

INT_PTR WINAPI RefusedDialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
}

// The import address slot of user32!`function` in the program's image.
void** FindUser32Import(const char* function)
{
    BYTE* base = (BYTE*)GetModuleHandleA(NULL);
    IMAGE_DOS_HEADER* dos = (IMAGE_DOS_HEADER*)base;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return NULL;
    for (IMAGE_IMPORT_DESCRIPTOR* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA((const char*)(base + d->Name), "user32.dll") != 0 || !d->OriginalFirstThunk)
            continue;
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME* by_name = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            if (strcmp((const char*)by_name->Name, function) == 0)
                return (void**)&slots->u1.Function;
        }
    }
    return NULL;
}

} // namespace

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

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeWatchFlash(LPVOID)
{
    InterlockedExchange(&g_flash_on, 0);
    InterlockedExchange(&g_flash_off, 0);
    void** slot = FindUser32Import("FlashWindow");
    if (!slot)
        return 0;
    if (*slot == (void*)&CountedFlashWindow)
        return 1;
    DWORD old;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old))
        return 0;
    g_real_flash = (FlashWindowFn)*slot;
    InterlockedExchangePointer(slot, (void*)&CountedFlashWindow);
    VirtualProtect(slot, sizeof(*slot), old, &old);
    return 1;
}

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeRefuseDialogs(LPVOID on)
{
    static void* real;
    void** slot = FindUser32Import("DialogBoxParamA");
    DWORD old;
    if (!slot || !VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old))
        return 0;
    if (*slot != (void*)&RefusedDialogBoxParamA)
        real = *slot;
    InterlockedExchangePointer(slot, on ? (void*)&RefusedDialogBoxParamA : real);
    VirtualProtect(slot, sizeof(*slot), old, &old);
    return 1;
}

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeFlashCalls(LPVOID)
{
    return (DWORD)(g_flash_on & 0xFFFF) | ((DWORD)(g_flash_off & 0xFFFF) << 16);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
