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
//   UiProbeWatchAwake     from now on, writes what the updater's calls of
//                         SetThreadExecutionState leave its window's thread
//                         holding into uiprobe-awake.txt beside the probe:
//                         "none" (no call yet), "on" (continuous, system
//                         required), "off", or "other-thread" for good once
//                         another thread called it. The file outlives the
//                         process, for a run that the window's close ended.
#include <windows.h>
#include <string.h>

namespace {

const char kUpdaterClass[] = "ORLO VELTRIX Updater";
const char kAwakeFile[] = "uiprobe-awake.txt";

typedef BOOL(WINAPI* FlashWindowFn)(HWND, BOOL);
void* g_real_flash; // a FlashWindowFn
volatile LONG g_flash_on;
volatile LONG g_flash_off;

BOOL WINAPI CountedFlashWindow(HWND hwnd, BOOL invert)
{
    InterlockedIncrement(invert ? &g_flash_on : &g_flash_off);
    return ((FlashWindowFn)g_real_flash)(hwnd, invert);
}

typedef EXECUTION_STATE(WINAPI* ExecutionStateFn)(EXECUTION_STATE);
void* g_real_execution_state; // an ExecutionStateFn
DWORD g_window_thread;
char g_awake_path[MAX_PATH];
volatile LONG g_awake_elsewhere;

void WriteAwake(const char* text)
{
    HANDLE f = CreateFileA(g_awake_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(f);
}

EXECUTION_STATE WINAPI RecordedSetThreadExecutionState(EXECUTION_STATE flags)
{
    if (GetCurrentThreadId() != g_window_thread)
        InterlockedExchange(&g_awake_elsewhere, 1);
    if (g_awake_elsewhere)
        WriteAwake("other-thread");
    else if (flags & ES_CONTINUOUS)
        WriteAwake((flags & ES_SYSTEM_REQUIRED) ? "on" : "off");
    return ((ExecutionStateFn)g_real_execution_state)(flags);
}

INT_PTR WINAPI RefusedDialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
}

// The import address slot of `dll`!`function` in the program's image.
void** FindImport(const char* dll, const char* function)
{
    BYTE* base = (BYTE*)GetModuleHandleA(NULL);
    IMAGE_DOS_HEADER* dos = (IMAGE_DOS_HEADER*)base;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return NULL;
    for (IMAGE_IMPORT_DESCRIPTOR* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA((const char*)(base + d->Name), dll) != 0 || !d->OriginalFirstThunk)
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

// Points an import slot of the program at `to`.
bool PointSlot(void** slot, void* to)
{
    DWORD old;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old))
        return false;
    InterlockedExchangePointer(slot, to);
    VirtualProtect(slot, sizeof(*slot), old, &old);
    return true;
}

// Points the program's import of `dll`!`function` at `hook` (once); *real
// gets the function it led to. 1 done, 0 no such import.
DWORD HookImport(const char* dll, const char* function, void* hook, void** real)
{
    void** slot = FindImport(dll, function);
    if (!slot)
        return 0;
    if (*slot == hook)
        return 1;
    *real = *slot;
    return PointSlot(slot, hook) ? 1 : 0;
}

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeMenuState(LPVOID param)
{
    HWND window = FindWindowA(kUpdaterClass, NULL);
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
    return HookImport("user32.dll", "FlashWindow", (void*)&CountedFlashWindow, &g_real_flash);
}

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeRefuseDialogs(LPVOID on)
{
    static void* real;
    void** slot = FindImport("user32.dll", "DialogBoxParamA");
    if (!slot)
        return 0;
    if (*slot != (void*)&RefusedDialogBoxParamA)
        real = *slot;
    return PointSlot(slot, on ? (void*)&RefusedDialogBoxParamA : real) ? 1 : 0;
}

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeFlashCalls(LPVOID)
{
    return (DWORD)(g_flash_on & 0xFFFF) | ((DWORD)(g_flash_off & 0xFFFF) << 16);
}

extern "C" __declspec(dllexport) DWORD WINAPI UiProbeWatchAwake(LPVOID)
{
    HWND window = FindWindowA(kUpdaterClass, NULL);
    if (!window || !g_awake_path[0])
        return 0;
    g_window_thread = GetWindowThreadProcessId(window, NULL);
    InterlockedExchange(&g_awake_elsewhere, 0);
    WriteAwake("none");
    return HookImport("kernel32.dll", "SetThreadExecutionState", (void*)&RecordedSetThreadExecutionState,
                      &g_real_execution_state);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DWORD n = GetModuleFileNameA(module, g_awake_path, sizeof(g_awake_path));
        char* slash = n > 0 && n < sizeof(g_awake_path) ? strrchr(g_awake_path, '\\') : NULL;
        if (slash && (size_t)(slash + 1 - g_awake_path) + sizeof(kAwakeFile) <= sizeof(g_awake_path))
            strcpy(slash + 1, kAwakeFile);
        else
            g_awake_path[0] = 0;
    }
    return TRUE;
}
