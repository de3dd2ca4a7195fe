#include "kmclient.h"

#include <stdio.h>
#include <string.h>

namespace {

BOOL Request(DWORD code, const void *in, DWORD in_size, void *out, DWORD out_size)
{
    HANDLE h = CreateFileA(VCKM_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, code, (void *)in, in_size, out, out_size, &got, NULL);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (ok && out && got != out_size) ok = FALSE;
    SetLastError(err);
    return ok;
}

DWORD SetBridge(const char *bridge_dir)
{
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\" VCKM_SERVICE, 0, KEY_SET_VALUE,
                            &key);
    if (rc != ERROR_SUCCESS) return (DWORD)rc;
    rc = RegSetValueExA(key, VCKM_VALUE_BRIDGE, 0, REG_SZ, (const BYTE *)bridge_dir, (DWORD)strlen(bridge_dir) + 1);
    RegCloseKey(key);
    return (DWORD)rc;
}

// The service, created when missing; its binary is `image`.
DWORD EnsureService(SC_HANDLE manager, const char *image, SC_HANDLE *service)
{
    *service = OpenServiceA(manager, VCKM_SERVICE, SERVICE_ALL_ACCESS);
    if (*service) return ERROR_SUCCESS;
    *service = CreateServiceA(manager, VCKM_SERVICE, "Test bed kernel USB-MIDI driver", SERVICE_ALL_ACCESS,
                              SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, NULL, NULL,
                              NULL, NULL, NULL);
    return *service ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

DWORD VcKmInstall(const char *folder, const char *bridge_dir)
{
    char source[MAX_PATH], image[MAX_PATH], system[MAX_PATH];
    snprintf(source, sizeof(source), "%s\\vckmidi.sys", folder);
    UINT n = GetSystemDirectoryA(system, sizeof(system));
    if (!n || n >= sizeof(system)) return GetLastError();
    snprintf(image, sizeof(image), "%s\\drivers\\vckmidi.sys", system);
    vckm_status st;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError();
    SC_HANDLE service = NULL;
    DWORD rc = EnsureService(manager, image, &service);
    // A running driver is stopped first, so that the one beside this program runs.
    SERVICE_STATUS ss;
    if (rc == ERROR_SUCCESS && VcKmStatus(&st) && ControlService(service, SERVICE_CONTROL_STOP, &ss))
        for (int i = 0; i < 250 && VcKmStatus(&st); ++i) Sleep(20);
    if (rc == ERROR_SUCCESS && !CopyFileA(source, image, FALSE)) rc = GetLastError();
    if (rc == ERROR_SUCCESS) rc = SetBridge(bridge_dir);
    if (rc == ERROR_SUCCESS && !StartServiceA(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        rc = GetLastError();
    for (int i = 0; rc == ERROR_SUCCESS && i < 250 && !VcKmStatus(&st); ++i) Sleep(20);
    if (rc == ERROR_SUCCESS && !VcKmStatus(&st)) rc = ERROR_SERVICE_REQUEST_TIMEOUT;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

BOOL VcKmPlug(unsigned device)
{
    ULONG n = device;
    return Request(IOCTL_VCKM_PLUG, &n, sizeof(n), NULL, 0);
}

BOOL VcKmUnplug(unsigned device)
{
    ULONG n = device;
    return Request(IOCTL_VCKM_UNPLUG, &n, sizeof(n), NULL, 0);
}

BOOL VcKmStatus(vckm_status *status)
{
    return Request(IOCTL_VCKM_STATUS, NULL, 0, status, sizeof(*status));
}

BOOL VcKmRefuse(unsigned device, unsigned what, unsigned count, unsigned skip)
{
    vckm_refuse r = {device, what, count, skip};
    return Request(IOCTL_VCKM_REFUSE, &r, sizeof(r), NULL, 0);
}

BOOL VcKmStall(unsigned reads)
{
    ULONG n = reads;
    return Request(IOCTL_VCKM_STALL, &n, sizeof(n), NULL, 0);
}

BOOL VcKmClear()
{
    return Request(IOCTL_VCKM_CLEAR, NULL, 0, NULL, 0);
}

BOOL VcKmHold(unsigned flags)
{
    ULONG n = flags;
    return Request(IOCTL_VCKM_HOLD, &n, sizeof(n), NULL, 0);
}
