// prephook.dll: loaded by preptool into a running launcher (a remote thread
// on LoadLibraryA), where it gives the answers Windows would give and Wine
// does not:
//
// - CMP_WaitNoPendingInstallEvents: WAIT_TIMEOUT while the test says that
//   installation events are pending, the system's own answer otherwise. The
//   launcher looks the function up with GetProcAddress each time it asks, so
//   the entry of setupapi.dll's export table is pointed at a small jump to
//   PendingAnswer. An export entry holds a 32-bit offset from the module's
//   base: the jump lies in memory allocated above the image, within reach.
// - UpdateDriverForPlugAndPlayDevicesA: Wine's succeeds without an INF file
//   and without a device. Once asked, newdev.dll's export of it (for a
//   program that looks it up) and the program's import of it (for one that
//   imports it) lead to CheckedInstall, which fails as Windows does
//   (ERROR_FILE_NOT_FOUND, ERROR_NO_SUCH_DEVINST) before it calls the
//   system's.
// - SetEntriesInAclA: Wine knows the accounts by their English names only.
//   Once asked, the program's import of it fails for a trustee given by name
//   (ERROR_NONE_MAPPED), as on a Windows whose account names are translated.
// - SetSecurityInfo: Windows hands an inheritable entry on to the subkeys of
//   a key and fails when one of them refuses it, the key itself already
//   changed; Wine hands nothing on. Once asked, the program's next call
//   changes the key and then fails with ERROR_ACCESS_DENIED.
#include <windows.h>
#include <aclapi.h>
#include <setupapi.h>
#include <string.h>

#include "preptool.h"

namespace {

typedef DWORD(WINAPI *WaitFn)(DWORD);
typedef BOOL(WINAPI *InstallFn)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);
typedef DWORD(WINAPI *SetEntriesFn)(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL *);
typedef DWORD(WINAPI *SetSecurityFn)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL, PACL);

// An export of a loaded module led to a jump to a function of this DLL.
struct ExportPatch {
    const char *dll;
    const char *name;
    void *target;
    void *system;  // what the entry named before
    BYTE *stub;
};

// jmp qword ptr [rip+0], followed by the 8-byte target address.
const BYTE kJumpIndirect[] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};

enum {
    STUB_SIZE = sizeof(kJumpIndirect) + sizeof(void *),
    PENDING_POLL_MS = 50,
};
const ULONG_PTR kExportReach = 0xFFFFFFFFull;  // largest offset an export entry holds

const DWORD kHardwareIdsMax = 2048;

DWORD WINAPI PendingAnswer(DWORD timeout_ms);
BOOL WINAPI CheckedInstall(HWND owner, LPCSTR hardware_id, LPCSTR inf, DWORD flags, PBOOL reboot);

ExportPatch g_pending_patch = {PREPHOOK_TARGET_DLL, PREPHOOK_TARGET_NAME, reinterpret_cast<void *>(&PendingAnswer),
                               NULL, NULL};
ExportPatch g_install_patch = {PREPHOOK_INSTALL_DLL, PREPHOOK_INSTALL_NAME,
                               reinterpret_cast<void *>(&CheckedInstall), NULL, NULL};
volatile LONG g_pending;
volatile LONG g_check_install;
InstallFn g_system_install;
SetEntriesFn g_system_set_entries;
volatile LONG g_names_translated;
SetSecurityFn g_system_set_security;
volatile LONG g_refuse_grant;

// Waits up to timeout_ms for the pending events to end, as the system does.
DWORD WINAPI PendingAnswer(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    while (g_pending) {
        DWORD waited = GetTickCount() - start;
        if (timeout_ms != INFINITE && waited >= timeout_ms) return WAIT_TIMEOUT;
        Sleep(PENDING_POLL_MS);
    }
    return reinterpret_cast<WaitFn>(g_pending_patch.system)(timeout_ms);
}

IMAGE_NT_HEADERS *NtHeaders(BYTE *base)
{
    return reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
}

// The export table's entry (offset from base) of the named function.
DWORD *ExportEntry(BYTE *base, const char *name)
{
    IMAGE_DATA_DIRECTORY dir = NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress) return NULL;
    auto *exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    auto *names = reinterpret_cast<DWORD *>(base + exports->AddressOfNames);
    auto *ordinals = reinterpret_cast<WORD *>(base + exports->AddressOfNameOrdinals);
    auto *functions = reinterpret_cast<DWORD *>(base + exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfNames; i++)
        if (!strcmp(reinterpret_cast<const char *>(base + names[i]), name)) return &functions[ordinals[i]];
    return NULL;
}

// Executable memory for the jump, above the image and within an entry's reach.
BYTE *AllocateAbove(BYTE *base)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const ULONG_PTR granule = si.dwAllocationGranularity;
    const ULONG_PTR low = reinterpret_cast<ULONG_PTR>(base);
    ULONG_PTR p = (low + NtHeaders(base)->OptionalHeader.SizeOfImage + granule - 1) & ~(granule - 1);
    while (p - low + STUB_SIZE <= kExportReach) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery(reinterpret_cast<void *>(p), &mbi, sizeof(mbi))) return NULL;
        if (mbi.State == MEM_FREE) {
            void *got = VirtualAlloc(reinterpret_cast<void *>(p), STUB_SIZE, MEM_RESERVE | MEM_COMMIT,
                                     PAGE_EXECUTE_READWRITE);
            if (got) return static_cast<BYTE *>(got);
        }
        ULONG_PTR next = reinterpret_cast<ULONG_PTR>(mbi.BaseAddress) + mbi.RegionSize;
        p = next > p ? (next + granule - 1) & ~(granule - 1) : p + granule;
    }
    return NULL;
}

// Points the export at a jump to the patch's target, once.
DWORD PatchExport(ExportPatch *patch)
{
    if (patch->stub) return PREPHOOK_DONE;
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(patch->dll));
    if (!base) return PREPHOOK_NO_SETUPAPI;
    DWORD *entry = ExportEntry(base, patch->name);
    BYTE *stub = entry ? AllocateAbove(base) : NULL;
    DWORD old;
    if (!stub || !VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &old)) return PREPHOOK_PATCH_FAILED;

    memcpy(stub, kJumpIndirect, sizeof(kJumpIndirect));
    memcpy(stub + sizeof(kJumpIndirect), &patch->target, sizeof(patch->target));
    FlushInstructionCache(GetCurrentProcess(), stub, STUB_SIZE);
    patch->system = base + *entry;
    InterlockedExchange(reinterpret_cast<volatile LONG *>(entry), static_cast<LONG>(stub - base));
    VirtualProtect(entry, sizeof(*entry), old, &old);
    patch->stub = stub;
    return PREPHOOK_DONE;
}

// The import address slot of a function in the program's own image.
void **FindImport(const char *dll, const char *name)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
    IMAGE_DATA_DIRECTORY dir = NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return NULL;
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + d->Name), dll) != 0 || !d->OriginalFirstThunk) continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto *by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (!strcmp(reinterpret_cast<const char *>(by_name->Name), name))
                return reinterpret_cast<void **>(&slots->u1.Function);
        }
    }
    return NULL;
}

// A present device has the hardware ID among its hardware IDs.
bool DevicePresent(const char *hardware_id)
{
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof(dev);
    char ids[kHardwareIdsMax];
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        memset(ids, 0, sizeof(ids));
        if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids),
                                               sizeof(ids) - 2, NULL))
            continue;
        for (const char *id = ids; *id && !found; id += strlen(id) + 1) found = !lstrcmpiA(id, hardware_id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

BOOL WINAPI CheckedInstall(HWND owner, LPCSTR hardware_id, LPCSTR inf, DWORD flags, PBOOL reboot)
{
    if (!g_check_install) return g_system_install(owner, hardware_id, inf, flags, reboot);
    DWORD attributes = inf ? GetFileAttributesA(inf) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!hardware_id || !DevicePresent(hardware_id)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    return g_system_install(owner, hardware_id, inf, flags, reboot);
}

DWORD WINAPI TranslatedSetEntries(ULONG count, PEXPLICIT_ACCESS_A entries, PACL old_acl, PACL *new_acl)
{
    for (ULONG i = 0; g_names_translated && i < count; i++) {
        if (entries[i].Trustee.TrusteeForm == TRUSTEE_IS_NAME) return ERROR_NONE_MAPPED;
    }
    return g_system_set_entries(count, entries, old_acl, new_acl);
}

DWORD WINAPI RefusingSetSecurity(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                 PSID group, PACL dacl, PACL sacl)
{
    DWORD rc = g_system_set_security(object, type, info, owner, group, dacl, sacl);
    return rc == ERROR_SUCCESS && InterlockedExchange(&g_refuse_grant, 0) ? ERROR_ACCESS_DENIED : rc;
}

// Leads the program's import to the replacement, keeping the system's
// function in *system. 0 when the program does not import it.
bool RedirectImport(const char *dll, const char *name, void *replacement, void **system)
{
    void **slot = FindImport(dll, name);
    if (!slot) return false;
    if (*slot == replacement) return true;
    *system = *slot;
    DWORD old;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old)) return false;
    InterlockedExchangePointer(slot, replacement);
    VirtualProtect(slot, sizeof(*slot), old, &old);
    return true;
}

// Redirects an advapi32 import of the program and sets its switch.
DWORD SwitchImport(const char *name, void *replacement, void **system, volatile LONG *flag, LPVOID on)
{
    if (!RedirectImport("advapi32.dll", name, replacement, system)) return PREPHOOK_NO_IMPORT;
    InterlockedExchange(flag, on ? 1 : 0);
    return PREPHOOK_DONE;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI PrepHookCheckInstall(LPVOID check)
{
    void *checked = reinterpret_cast<void *>(&CheckedInstall);
    void *imported = NULL;
    bool by_import = RedirectImport(PREPHOOK_INSTALL_DLL, PREPHOOK_INSTALL_NAME, checked, &imported);
    if (!by_import && (LoadLibraryA(PREPHOOK_INSTALL_DLL) == NULL || PatchExport(&g_install_patch) != PREPHOOK_DONE))
        return PREPHOOK_NO_IMPORT;
    if (!g_system_install)
        g_system_install = reinterpret_cast<InstallFn>(by_import && imported ? imported : g_install_patch.system);
    InterlockedExchange(&g_check_install, check ? 1 : 0);
    return PREPHOOK_DONE;
}

extern "C" __declspec(dllexport) DWORD WINAPI PrepHookSetPending(LPVOID pending)
{
    DWORD result = PatchExport(&g_pending_patch);
    if (result == PREPHOOK_DONE) InterlockedExchange(&g_pending, pending ? 1 : 0);
    return result;
}

extern "C" __declspec(dllexport) DWORD WINAPI PrepHookTranslateNames(LPVOID on)
{
    return SwitchImport(PREPHOOK_SET_ENTRIES_NAME, reinterpret_cast<void *>(&TranslatedSetEntries),
                        reinterpret_cast<void **>(&g_system_set_entries), &g_names_translated, on);
}

extern "C" __declspec(dllexport) DWORD WINAPI PrepHookRefuseGrant(LPVOID on)
{
    return SwitchImport(PREPHOOK_SET_SECURITY_NAME, reinterpret_cast<void *>(&RefusingSetSecurity),
                        reinterpret_cast<void **>(&g_system_set_security), &g_refuse_grant, on);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
