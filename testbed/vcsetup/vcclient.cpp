#include "vcclient.h"

#include <sddl.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

namespace {

const GUID kIfaceGuid = VC_IFACE_GUID_INIT;
const DWORD kSecurityDescriptorMax = 4096;

BOOL BusRequest(DWORD code, void *out, DWORD out_size)
{
    HANDLE h = CreateFileA(VCBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, code, NULL, 0, out, out_size, &got, NULL);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (ok && out && got != out_size) ok = FALSE;
    SetLastError(err);
    return ok;
}

// Opens an existing service key. Never creates one: service keys belong to
// the service manager and appear when a driver is installed.
BOOL OpenServiceKey(const char *service, REGSAM access, HKEY *key)
{
    char path[128];
    snprintf(path, sizeof(path), "System\\CurrentControlSet\\Services\\%s", service);
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

}  // namespace

BOOL VcBusStatus(vcbus_status *status)
{
    memset(status, 0, sizeof(*status));
    return BusRequest(IOCTL_VCBUS_STATUS, status, sizeof(*status));
}

BOOL VcBusPlug()
{
    return BusRequest(IOCTL_VCBUS_PLUG, NULL, 0);
}

BOOL VcBusUnplug()
{
    return BusRequest(IOCTL_VCBUS_UNPLUG, NULL, 0);
}

BOOL VcWaitChild(unsigned state, BOOL want_started, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        vcbus_status st;
        if (VcBusStatus(&st) && st.child_state == state && (!want_started || st.child_started)) return TRUE;
        if (GetTickCount() - start >= timeout_ms) return FALSE;
        Sleep(20);
    }
}

BOOL VcPlugAndWait(DWORD timeout_ms)
{
    vcbus_status st;
    if (VcBusStatus(&st) && st.child_state == VC_CHILD_REMOVING)
        VcWaitChild(VC_CHILD_ABSENT, FALSE, timeout_ms);
    if (!VcBusPlug()) return FALSE;
    if (!VcWaitChild(VC_CHILD_PRESENT, TRUE, timeout_ms)) return FALSE;
    if (VcBusStatus(&st) && st.has_function) return VcWaitInterface(TRUE, timeout_ms);
    return TRUE;
}

BOOL VcUnplugAndWait(DWORD timeout_ms)
{
    if (!VcBusUnplug()) return FALSE;
    return VcWaitChild(VC_CHILD_ABSENT, FALSE, timeout_ms);
}

BOOL VcReplug(DWORD timeout_ms)
{
    return VcUnplugAndWait(timeout_ms) && VcPlugAndWait(timeout_ms);
}

int VcFindInterface(char *path, DWORD path_size)
{
    HDEVINFO set = SetupDiGetClassDevsA(&kIfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    int count = 0;
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof(iface);
    while (SetupDiEnumDeviceInterfaces(set, NULL, &kIfaceGuid, count, &iface)) {
        if (count == 0 && path) {
            char buf[1024];
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buf);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            path[0] = 0;
            if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof(buf), NULL, NULL))
                snprintf(path, path_size, "%s", detail->DevicePath);
        }
        count++;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

BOOL VcWaitInterface(BOOL present, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        if ((VcFindInterface(NULL, 0) > 0) == (present != FALSE)) return TRUE;
        if (GetTickCount() - start >= timeout_ms) return FALSE;
        Sleep(20);
    }
}

BOOL VcSetDword(const char *service, const char *name, DWORD value)
{
    HKEY key;
    if (!OpenServiceKey(service, KEY_SET_VALUE, &key)) return FALSE;
    LONG rc = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    RegCloseKey(key);
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL VcGetDword(const char *service, const char *name, DWORD *value)
{
    HKEY key;
    if (!OpenServiceKey(service, KEY_QUERY_VALUE, &key)) return FALSE;
    DWORD type = 0, size = sizeof(*value);
    LONG rc = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(*value))) rc = ERROR_INVALID_DATA;
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL VcSetString(const char *service, const char *name, const char *value)
{
    HKEY key;
    if (!OpenServiceKey(service, KEY_SET_VALUE, &key)) return FALSE;
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                             static_cast<DWORD>(strlen(value) + 1));
    RegCloseKey(key);
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL VcDeleteValue(const char *service, const char *name)
{
    HKEY key;
    if (!OpenServiceKey(service, KEY_SET_VALUE, &key)) return FALSE;
    LONG rc = RegDeleteValueA(key, name);
    RegCloseKey(key);
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL VcServiceExists(const char *service)
{
    HKEY key;
    if (!OpenServiceKey(service, KEY_QUERY_VALUE, &key)) return FALSE;
    RegCloseKey(key);
    return TRUE;
}

BOOL VcSetSetting(const char *name, DWORD value)
{
    if (!VcServiceExists(VCBUS_SERVICE)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    return VcSetDword(VCBUS_SERVICE, name, value) &&
           (!VcServiceExists(VCUPD_SERVICE) || VcSetDword(VCUPD_SERVICE, name, value));
}

BOOL VcSetSettingString(const char *name, const char *value)
{
    if (!VcServiceExists(VCBUS_SERVICE)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    return VcSetString(VCBUS_SERVICE, name, value) &&
           (!VcServiceExists(VCUPD_SERVICE) || VcSetString(VCUPD_SERVICE, name, value));
}

BOOL VcGetString(const char *service, const char *name, char *value, DWORD size)
{
    HKEY key;
    if (size == 0) return FALSE;
    value[0] = 0;
    if (!OpenServiceKey(service, KEY_QUERY_VALUE, &key)) return FALSE;
    DWORD type = 0, got = size - 1;
    LONG rc = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(value), &got);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && type != REG_SZ) rc = ERROR_INVALID_DATA;
    value[rc == ERROR_SUCCESS ? got : 0] = 0;
    SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

BOOL VcRegGetText(const char *path, const char *name, char *text, DWORD size)
{
    if (size == 0) return FALSE;
    text[0] = 0;
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return FALSE;
    DWORD type = 0, got = size - 1;
    rc = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(text), &got);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        text[0] = 0;
        return FALSE;
    }
    text[got] = 0;
    return TRUE;
}

LONG VcRegDeleteTree(HKEY root, const char *path)
{
    HKEY key;
    LONG rc = RegOpenKeyExA(root, path, 0, KEY_ENUMERATE_SUB_KEYS, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    char name[VC_REG_KEY_NAME_MAX];
    while (rc == ERROR_SUCCESS) {
        DWORD n = sizeof(name);
        rc = RegEnumKeyExA(key, 0, name, &n, NULL, NULL, NULL, NULL);
        if (rc == ERROR_SUCCESS) rc = VcRegDeleteTree(key, name);
    }
    RegCloseKey(key);
    return rc == ERROR_NO_MORE_ITEMS ? RegDeleteKeyA(root, path) : rc;
}

LONG VcRegGetSecurity(HKEY key, SECURITY_INFORMATION what, char *text, DWORD size)
{
    BYTE sd[kSecurityDescriptorMax];
    DWORD sd_size = sizeof(sd);
    LONG rc = RegGetKeySecurity(key, what, sd, &sd_size);
    if (rc != ERROR_SUCCESS) return rc;
    char *converted = NULL;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &converted, NULL))
        return GetLastError();
    rc = strlen(converted) < size ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
    if (rc == ERROR_SUCCESS) strcpy(text, converted);
    LocalFree(converted);
    return rc;
}

LONG VcRegSetSecurity(HKEY key, SECURITY_INFORMATION what, const char *text)
{
    PSECURITY_DESCRIPTOR sd = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &sd, NULL))
        return GetLastError();
    LONG rc = RegSetKeySecurity(key, what, sd);
    LocalFree(sd);
    return rc;
}
