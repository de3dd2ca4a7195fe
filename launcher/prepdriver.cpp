// The launcher's work on the system: the pending-installation test, the
// search for the controller among the present devices, the driver
// installation, and the removal of the driver's traces afterwards.
// setupapi.dll and newdev.dll are no known DLLs: a program that imported
// them would take copies planted beside it. Both are loaded from the system
// folder by full path, and their functions are looked up when they are used.
#include <windows.h>

#include <aclapi.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include "launcher.h"

namespace {

typedef DWORD(WINAPI* WaitNoPendingFn)(DWORD timeout);
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryFn)(const char* path);
typedef decltype(&SetupDiGetClassDevsA) GetClassDevsFn;
typedef decltype(&SetupDiEnumDeviceInfo) EnumDeviceInfoFn;
typedef decltype(&SetupDiGetDeviceRegistryPropertyA) GetDevicePropertyFn;
typedef decltype(&SetupDiDestroyDeviceInfoList) DestroyDeviceInfoListFn;
typedef decltype(&UpdateDriverForPlugAndPlayDevicesA) UpdateDriverFn;

enum SystemLibrary { LIB_SETUPAPI, LIB_NEWDEV, LIB_COUNT };
const char* const SYSTEM_LIBRARY_NAMES[LIB_COUNT] = {"setupapi.dll", "newdev.dll"};
HMODULE SystemLibraries[LIB_COUNT];

const char KERNEL_MODULE[] = "kernel32";
const char SET_DEFAULT_DLL_DIRECTORIES_NAME[] = "SetDefaultDllDirectories";
const char SET_DLL_DIRECTORY_NAME[] = "SetDllDirectoryA";
// LOAD_LIBRARY_SEARCH_SYSTEM32, for headers that predate it.
const DWORD SEARCH_SYSTEM32_ONLY = 0x00000800;

const char WAIT_NO_PENDING_NAME[] = "CMP_WaitNoPendingInstallEvents";
const char GET_CLASS_DEVS_NAME[] = "SetupDiGetClassDevsA";
const char ENUM_DEVICE_INFO_NAME[] = "SetupDiEnumDeviceInfo";
const char GET_DEVICE_PROPERTY_NAME[] = "SetupDiGetDeviceRegistryPropertyA";
const char DESTROY_DEVICE_INFO_LIST_NAME[] = "SetupDiDestroyDeviceInfoList";
const char UPDATE_DRIVER_NAME[] = "UpdateDriverForPlugAndPlayDevicesA";
const char VALUE_DRIVER[] = "Driver";
const char VALUE_INF_PATH[] = "InfPath";

const DWORD INSTALL_ERROR_NO_SUCH_DEVINST = 0xE000020B;
const DWORD INSTALL_ERROR_IN_WOW64 = 0xE0000235;
const DWORD DELETE_TREE_ACCESS = KEY_WRITE | KEY_ENUMERATE_SUB_KEYS;
const SECURITY_INFORMATION ACL_INFORMATION = DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;

// The SID of everyone (S-1-1-0): the same on every Windows, whatever
// language its account names are in.
SID_IDENTIFIER_AUTHORITY WORLD_AUTHORITY = SECURITY_WORLD_SID_AUTHORITY;

char PresentIds[PREP_MAX_PRESENT][PREP_HWID_SIZE];
int PresentCount;
DriverClassEntry DriverEntries[PREP_MAX_INSTANCES];
int DriverEntryCount;
DeviceInstance Instances[PREP_MAX_INSTANCES];
int InstanceCount;
// Set by every clean-up step that leaves a trace behind.
BOOL CleanupFailed;

// A function of a system library, looked up when it is called; NULL when
// the library or the function is missing.
FARPROC SystemProc(SystemLibrary library, const char* name)
{
    return SystemLibraries[library] ? GetProcAddress(SystemLibraries[library], name) : NULL;
}

// A removal that failed for another reason than the thing being gone.
void NoteRemoval(LONG rc)
{
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_PATH_NOT_FOUND)
        CleanupFailed = TRUE;
}

void DeviceKeyName(char* out, size_t size)
{
    snprintf(out, size, "%s&%s", PREP_DEVICE_VID, PREP_DEVICE_PID);
}

void DeviceKeyPath(const char* name, char* out, size_t size)
{
    snprintf(out, size, "%s\\%s", PREP_USB_ENUM_KEY, name);
}

// Reads a string value into out (size bytes, always terminated); 0 when missing.
int ReadStringValue(HKEY key, const char* name, char* out, DWORD size)
{
    DWORD type = 0, got = size - 1;
    memset(out, 0, size);
    LONG rc = RegQueryValueExA(key, name, NULL, &type, (BYTE*)out, &got);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

void ListPresentDevices()
{
    PresentCount = 0;
    GetClassDevsFn get_class_devs = (GetClassDevsFn)(void*)SystemProc(LIB_SETUPAPI, GET_CLASS_DEVS_NAME);
    EnumDeviceInfoFn enum_device = (EnumDeviceInfoFn)(void*)SystemProc(LIB_SETUPAPI, ENUM_DEVICE_INFO_NAME);
    GetDevicePropertyFn get_property = (GetDevicePropertyFn)(void*)SystemProc(LIB_SETUPAPI, GET_DEVICE_PROPERTY_NAME);
    DestroyDeviceInfoListFn destroy = (DestroyDeviceInfoListFn)(void*)SystemProc(LIB_SETUPAPI, DESTROY_DEVICE_INFO_LIST_NAME);
    if (!get_class_devs || !enum_device || !get_property || !destroy)
        return;
    HDEVINFO set = get_class_devs(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    for (DWORD i = 0; PresentCount < PREP_MAX_PRESENT && enum_device(set, i, &device); ++i) {
        char* id = PresentIds[PresentCount++];
        memset(id, 0, PREP_HWID_SIZE);
        if (!get_property(set, &device, SPDRP_HARDWAREID, NULL, (BYTE*)id, PREP_HWID_SIZE, NULL))
            memset(id, 0, PREP_HWID_SIZE);
        PrepTrimHardwareId(id, PREP_HWID_SIZE);
    }
    destroy(set);
}

// The DriverClassEntry of driver instance n, read once however many device
// instances share it; returns its index.
int ReadDriverClassEntry(long n)
{
    for (int i = 0; i < DriverEntryCount; ++i) {
        if (DriverEntries[i].instance == n)
            return i;
    }
    DriverClassEntry* entry = &DriverEntries[DriverEntryCount];
    entry->instance = n;
    entry->inf_name[0] = 0;
    char path[PREP_REG_PATH_SIZE];
    HKEY key;
    if (PrepDriverKeyPath(n, path, sizeof(path)) &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        ReadStringValue(key, VALUE_INF_PATH, entry->inf_name, sizeof(entry->inf_name));
        RegCloseKey(key);
    }
    return DriverEntryCount++;
}

void CollectInstance(HKEY device_key, const char* device_name, const char* instance_name)
{
    HKEY key;
    if (RegOpenKeyExA(device_key, instance_name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    char driver[PREP_DRIVER_VALUE_SIZE];
    long n = 0;
    if (ReadStringValue(key, VALUE_DRIVER, driver, sizeof(driver)) && PrepDriverInstance(driver, &n)) {
        DeviceInstance* inst = &Instances[InstanceCount++];
        inst->instance = n;
        inst->driver_entry = ReadDriverClassEntry(n);
        snprintf(inst->device_key, sizeof(inst->device_key), "%s", device_name);
    }
    RegCloseKey(key);
}

void DeleteFileNoting(const char* path)
{
    NoteRemoval(DeleteFileA(path) ? ERROR_SUCCESS : (LONG)GetLastError());
}

// Deletes the OEM copy of an INF file and its precompiled twin, but only
// when it is the package installed for the hardware ID: an instance may
// name an INF of the system or of another driver.
void DeleteOemInf(const char* inf_name, const char* hardware_id)
{
    char windows[PREP_WINDOWS_DIR_SIZE], inf[MAX_PATH], pnf[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof(windows));
    if (n == 0 || n >= sizeof(windows) || !PrepOemInfPaths(windows, inf_name, inf, sizeof(inf), pnf, sizeof(pnf)))
        return;
    if (GetFileAttributesA(inf) == INVALID_FILE_ATTRIBUTES || !InfListsHardwareId(inf, hardware_id))
        return;
    DeleteFileNoting(inf);
    DeleteFileNoting(pnf);
}

void RemoveDeviceKey(const char* device_name)
{
    HKEY usb;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, PREP_USB_ENUM_KEY, 0, KEY_READ | WRITE_DAC, &usb);
    if (rc != ERROR_SUCCESS) {
        NoteRemoval(rc);
        return;
    }
    PSECURITY_DESCRIPTOR previous = NULL;
    PACL previous_dacl = NULL;
    rc = GrantEveryoneAccess(usb, &previous, &previous_dacl);
    if (rc == ERROR_SUCCESS) {
        char path[PREP_REG_PATH_SIZE];
        DeviceKeyPath(device_name, path, sizeof(path));
        rc = DeleteRegistryTree(path);
    }
    NoteRemoval(rc);
    // The access list goes back whenever it was read: a grant that failed
    // part-way may have changed the key all the same.
    if (previous) {
        NoteRemoval((LONG)SetSecurityInfo(usb, SE_REGISTRY_KEY, ACL_INFORMATION, NULL, NULL, previous_dacl, NULL));
        LocalFree(previous);
    }
    RegCloseKey(usb);
}

}  // namespace

void RestrictDllSearch()
{
    HMODULE kernel = GetModuleHandleA(KERNEL_MODULE);
    SetDefaultDllDirectoriesFn set_default =
        (SetDefaultDllDirectoriesFn)(void*)GetProcAddress(kernel, SET_DEFAULT_DLL_DIRECTORIES_NAME);
    if (set_default)
        set_default(SEARCH_SYSTEM32_ONLY);
    SetDllDirectoryFn set_directory = (SetDllDirectoryFn)(void*)GetProcAddress(kernel, SET_DLL_DIRECTORY_NAME);
    if (set_directory)
        set_directory("");  // the current directory out of the search
}

int LoadSystemLibraries()
{
    char system[PREP_PATH_SIZE], path[PREP_PATH_SIZE];
    UINT n = GetSystemDirectoryA(system, sizeof(system));
    if (n == 0 || n >= sizeof(system))
        return 0;
    for (int i = 0; i < LIB_COUNT; ++i) {
        // The library's own imports are searched from its folder too.
        if (!SystemLibraries[i] && PrepFullPath(system, SYSTEM_LIBRARY_NAMES[i], path, sizeof(path)))
            SystemLibraries[i] = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!SystemLibraries[i])
            return 0;
    }
    return 1;
}

BOOL IsInstallPending()
{
    HMODULE setupapi = SystemLibraries[LIB_SETUPAPI];
    if (!setupapi)
        return FALSE;
    WaitNoPendingFn wait = (WaitNoPendingFn)(void*)GetProcAddress(setupapi, WAIT_NO_PENDING_NAME);
    return wait && wait(0) == WAIT_TIMEOUT;
}

int FindMatchingDevice(const char (*models)[PREP_HWID_SIZE], int count)
{
    ListPresentDevices();
    for (int i = 0; i < PresentCount; ++i) {
        int model = PrepMatchModel(PresentIds[i], models, count);
        if (model >= 0)
            return model;
    }
    return -1;
}

int InstallTemporaryDriver(HWND owner, const char* hardware_id)
{
    UpdateDriverFn update = (UpdateDriverFn)(void*)SystemProc(LIB_NEWDEV, UPDATE_DRIVER_NAME);
    if (update && update(owner, hardware_id, Settings.inf_path, INSTALLFLAG_FORCE, NULL))
        return 1;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        ShowLauncherBox(PREP_MSG_ERR_FILE_NOT_FOUND, MB_ICONERROR);
    else if (error == INSTALL_ERROR_NO_SUCH_DEVINST)
        ShowLauncherBox(PREP_MSG_ERR_NO_DEVICE, MB_ICONERROR);
    else if (error == INSTALL_ERROR_IN_WOW64)
        ShowLauncherBox(PREP_MSG_ERR_IN_WOW64, MB_ICONERROR);
    return 0;
}

int CollectDeviceInstances()
{
    InstanceCount = 0;
    DriverEntryCount = 0;
    char name[PREP_INSTANCE_NAME_SIZE], path[PREP_REG_PATH_SIZE];
    DeviceKeyName(name, sizeof(name));
    DeviceKeyPath(name, path, sizeof(path));
    HKEY device_key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &device_key) != ERROR_SUCCESS)
        return 0;
    char instance[PREP_INSTANCE_NAME_SIZE];
    for (DWORD i = 0; InstanceCount < PREP_MAX_INSTANCES; ++i) {
        DWORD size = sizeof(instance);
        if (RegEnumKeyExA(device_key, i, instance, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        CollectInstance(device_key, name, instance);
    }
    RegCloseKey(device_key);
    return InstanceCount;
}

int RemoveDriverTraces(const char* hardware_id)
{
    if (InstanceCount == 0)
        return PREP_EXIT_NOTHING_FOUND;
    CleanupFailed = FALSE;
    for (int i = 0; i < DriverEntryCount; ++i) {
        const DriverClassEntry& entry = DriverEntries[i];
        DeleteOemInf(entry.inf_name, hardware_id);
        char path[PREP_REG_PATH_SIZE];
        if (PrepDriverKeyPath(entry.instance, path, sizeof(path)))
            NoteRemoval(DeleteRegistryTree(path));
    }
    RemoveDeviceKey(Instances[0].device_key);
    return CleanupFailed ? PREP_EXIT_CLEANUP_INCOMPLETE : PREP_EXIT_REMOVED;
}

LONG GrantEveryoneAccess(HKEY key, PSECURITY_DESCRIPTOR* previous, PACL* previous_dacl)
{
    *previous = NULL;
    *previous_dacl = NULL;
    if (!key)
        return ERROR_INVALID_PARAMETER;
    DWORD rc = GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, previous_dacl, NULL,
                               previous);
    if (rc != ERROR_SUCCESS)
        return (LONG)rc;
    PSID everyone_sid = NULL;
    if (!AllocateAndInitializeSid(&WORLD_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone_sid))
        return (LONG)GetLastError();
    EXPLICIT_ACCESS_A access;
    memset(&access, 0, sizeof(access));
    access.grfAccessPermissions = KEY_ALL_ACCESS;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = CONTAINER_INHERIT_ACE;
    access.Trustee.pMultipleTrustee = NULL;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = (LPSTR)everyone_sid;
    PACL everyone = NULL;
    rc = SetEntriesInAclA(1, &access, NULL, &everyone);
    FreeSid(everyone_sid);
    if (rc != ERROR_SUCCESS)
        return (LONG)rc;
    rc = SetSecurityInfo(key, SE_REGISTRY_KEY, ACL_INFORMATION, NULL, NULL, everyone, NULL);
    LocalFree(everyone);
    return (LONG)rc;
}

LONG DeleteRegistryTree(const char* path)
{
    char parent_path[PREP_REG_PATH_SIZE], name[PREP_REG_PATH_SIZE];
    if (!PrepSplitRegistryPath(path, parent_path, sizeof(parent_path), name, sizeof(name)))
        return ERROR_INVALID_PARAMETER;
    HKEY parent;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent_path, 0, KEY_WRITE, &parent);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegDeleteKeyA(parent, name);
    while (rc != ERROR_SUCCESS) {
        HKEY key;
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, DELETE_TREE_ACCESS, &key);
        if (rc != ERROR_SUCCESS)
            break;
        char sub[PREP_SUBKEY_NAME_SIZE];
        DWORD size = sizeof(sub);
        if (RegEnumKeyExA(key, 0, sub, &size, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            RegCloseKey(key);
            rc = RegDeleteKeyA(parent, name);
            break;
        }
        char sub_path[PREP_REG_PATH_SIZE];
        int n = snprintf(sub_path, sizeof(sub_path), "%s\\%s", path, sub);
        // A subkey that cannot be deleted comes back as the first one every
        // time: its failure ends the walk instead of repeating it for ever.
        rc = (n < 0 || (size_t)n >= sizeof(sub_path)) ? ERROR_BUFFER_OVERFLOW : DeleteRegistryTree(sub_path);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            break;
        rc = ERROR_MORE_DATA;  // go round: the next first subkey, or the key itself
    }
    RegCloseKey(parent);
    return rc;
}
