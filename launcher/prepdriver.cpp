// The launcher's work on the system: the pending-installation test, the
// search for the controller among the present devices, the driver
// installation, and the removal of the driver's traces afterwards.
#include <windows.h>

#include <aclapi.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include "launcher.h"

namespace {

typedef DWORD(WINAPI* WaitNoPendingFn)(DWORD timeout);

const char SETUPAPI_MODULE[] = "setupapi.dll";
const char WAIT_NO_PENDING_NAME[] = "CMP_WaitNoPendingInstallEvents";
const char VALUE_DRIVER[] = "Driver";
const char VALUE_INF_PATH[] = "InfPath";
char TRUSTEE_EVERYONE[] = "Everyone";

const DWORD INSTALL_ERROR_NO_SUCH_DEVINST = 0xE000020B;
const DWORD INSTALL_ERROR_IN_WOW64 = 0xE0000235;
const DWORD DELETE_TREE_ACCESS = KEY_WRITE | KEY_ENUMERATE_SUB_KEYS;
const SECURITY_INFORMATION ACL_INFORMATION = DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;

char PresentIds[PREP_MAX_PRESENT][PREP_HWID_SIZE];
int PresentCount;
DriverClassEntry DriverEntries[PREP_MAX_INSTANCES];
int DriverEntryCount;
DeviceInstance Instances[PREP_MAX_INSTANCES];
int InstanceCount;

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
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    for (DWORD i = 0; PresentCount < PREP_MAX_PRESENT && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char* id = PresentIds[PresentCount++];
        memset(id, 0, PREP_HWID_SIZE);
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, NULL, (BYTE*)id, PREP_HWID_SIZE, NULL))
            memset(id, 0, PREP_HWID_SIZE);
        PrepTrimHardwareId(id, PREP_HWID_SIZE);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Appends the DriverClassEntry of driver instance n; returns its index.
int ReadDriverClassEntry(long n)
{
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

void DeleteOemInf(const char* inf_name)
{
    char windows[PREP_WINDOWS_DIR_SIZE], inf[MAX_PATH], pnf[MAX_PATH];
    UINT n = GetWindowsDirectoryA(windows, sizeof(windows));
    if (n == 0 || n >= sizeof(windows) || !PrepOemInfPaths(windows, inf_name, inf, sizeof(inf), pnf, sizeof(pnf)))
        return;
    DeleteFileA(inf);
    DeleteFileA(pnf);
}

void RemoveDeviceKey(const char* device_name)
{
    HKEY usb;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PREP_USB_ENUM_KEY, 0, KEY_READ | WRITE_DAC, &usb) != ERROR_SUCCESS)
        return;
    PSECURITY_DESCRIPTOR previous = NULL;
    PACL previous_dacl = NULL;
    if (GrantEveryoneAccess(usb, &previous, &previous_dacl) == ERROR_SUCCESS) {
        char path[PREP_REG_PATH_SIZE];
        DeviceKeyPath(device_name, path, sizeof(path));
        DeleteRegistryTree(path);
        SetSecurityInfo(usb, SE_REGISTRY_KEY, ACL_INFORMATION, NULL, NULL, previous_dacl, NULL);
    }
    if (previous)
        LocalFree(previous);
    RegCloseKey(usb);
}

}  // namespace

BOOL IsInstallPending()
{
    HMODULE setupapi = GetModuleHandleA(SETUPAPI_MODULE);
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
    if (UpdateDriverForPlugAndPlayDevicesA(owner, hardware_id, Settings.inf_path, INSTALLFLAG_FORCE, NULL))
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

int RemoveDriverTraces()
{
    if (InstanceCount == 0)
        return 16;
    for (int i = 0; i < InstanceCount; ++i) {
        const DriverClassEntry& entry = DriverEntries[Instances[i].driver_entry];
        DeleteOemInf(entry.inf_name);
        char path[PREP_REG_PATH_SIZE];
        if (PrepDriverKeyPath(entry.instance, path, sizeof(path)))
            DeleteRegistryTree(path);
    }
    RemoveDeviceKey(Instances[0].device_key);
    return 19;
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
    EXPLICIT_ACCESS_A access;
    memset(&access, 0, sizeof(access));
    access.grfAccessPermissions = KEY_ALL_ACCESS;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = CONTAINER_INHERIT_ACE;
    access.Trustee.pMultipleTrustee = NULL;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    access.Trustee.ptstrName = TRUSTEE_EVERYONE;
    PACL everyone = NULL;
    rc = SetEntriesInAclA(1, &access, NULL, &everyone);
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
