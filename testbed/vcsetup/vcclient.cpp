#include "vcclient.h"

#include <setupapi.h>
#include <stdio.h>
#include <string.h>

namespace {

const GUID kIfaceGuid = VC_IFACE_GUID_INIT;

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
