#include "usbbulk.h"

#include <setupapi.h>
#include <string.h>

#include "usbdesc.h"

namespace {

const GUID kUpdateDeviceInterface = {0x58DC2B45, 0x40C4, 0x11D6, {0x99, 0x2B, 0x00, 0x00, 0x01, 0x00, 0x59, 0x82}};

struct UsbDeviceSlot {
    char device_path[MAX_PATH];
    HANDLE device;
    unsigned char descriptor_data[USB_DESCRIPTOR_DATA_SIZE];
    int first_endpoint_offset;
    int endpoint_count;
};

UsbDeviceSlot g_slots[USBBULK_MAX_DEVICES];
CRITICAL_SECTION g_slot_lock;
bool g_started = false;

bool ValidSlot(int device)
{
    return g_started && device >= 0 && device < USBBULK_MAX_DEVICES;
}

void ReleaseSlot(UsbDeviceSlot* slot)
{
    if (slot->device != INVALID_HANDLE_VALUE)
        CloseHandle(slot->device);
    slot->device = INVALID_HANDLE_VALUE;
    slot->device_path[0] = 0;
}

// Device path of interface number `index` of the update-device class, or
// false at the end of the list.
bool GetInterfacePath(DWORD index, char* path, size_t size)
{
    HDEVINFO set = SetupDiGetClassDevsA(&kUpdateDeviceInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof(iface));
    iface.cbSize = sizeof(iface);
    DWORD needed = 0;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &kUpdateDeviceInterface, index, &iface) &&
        !SetupDiGetDeviceInterfaceDetailA(set, &iface, NULL, 0, &needed, NULL) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        HANDLE heap = GetProcessHeap();
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail =
            static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, needed));
        if (detail) {
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, NULL, NULL)) {
                // A path that does not fit the slot could not be opened by
                // its pipe names either; it ends the list like a failure.
                size_t len = strnlen(detail->DevicePath, needed - sizeof(DWORD));
                if (len < size) {
                    memcpy(path, detail->DevicePath, len);
                    path[len] = 0;
                    found = true;
                }
            }
            HeapFree(heap, 0, detail);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

int RegisterDevice(const char* path, HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    int result = -1;
    EnterCriticalSection(&g_slot_lock);
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i) {
        UsbDeviceSlot* slot = &g_slots[i];
        if (slot->device != INVALID_HANDLE_VALUE)
            continue;
        slot->device = handle;
        lstrcpynA(slot->device_path, path, sizeof(slot->device_path));
        memset(slot->descriptor_data, 0, sizeof(slot->descriptor_data));
        DWORD returned = 0;
        // A failed request leaves zeros: a device without endpoints.
        DeviceIoControl(handle, IOCTL_USBBULK_GET_CONFIG, slot->descriptor_data, sizeof(slot->descriptor_data),
                        slot->descriptor_data, sizeof(slot->descriptor_data), &returned, NULL);
        ScanEndpoints(slot->descriptor_data, &slot->first_endpoint_offset, &slot->endpoint_count);
        result = i;
        break;
    }
    LeaveCriticalSection(&g_slot_lock);
    return result;
}

} // namespace

void init_cusbbulk(void)
{
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i) {
        g_slots[i].device_path[0] = 0;
        g_slots[i].device = INVALID_HANDLE_VALUE;
        g_slots[i].first_endpoint_offset = -1;
        g_slots[i].endpoint_count = 0;
    }
    if (!g_started)
        InitializeCriticalSection(&g_slot_lock);
    g_started = true;
}

void free_cusbbulk(void)
{
    if (!g_started)
        return;
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i) {
        if (g_slots[i].device != INVALID_HANDLE_VALUE)
            UsbCloseDevice(i);
    }
    g_started = false;
    DeleteCriticalSection(&g_slot_lock);
}

int UsbOpenDevice(unsigned short product_id)
{
    return UsbOpenDeviceVID(USBBULK_VENDOR_ID, product_id);
}

int UsbOpenDeviceVID(unsigned short vendor_id, unsigned short product_id)
{
    if (!g_started)
        return -1;
    char path[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        if (!GetInterfacePath(i, path, sizeof(path)))
            return -1;
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        unsigned char dev[USB_DEVICE_DESCRIPTOR_SIZE];
        memset(dev, 0, sizeof(dev));
        DWORD returned = 0;
        uint16_t vid = 0, pid = 0;
        if (DeviceIoControl(h, IOCTL_USBBULK_GET_DEVICE, dev, sizeof(dev), dev, sizeof(dev), &returned, NULL))
            DeviceDescriptorIds(dev, &vid, &pid);
        else
            vid = (uint16_t)~vendor_id;
        if (vid != vendor_id || pid != product_id) {
            CloseHandle(h);
            continue;
        }
        int slot = RegisterDevice(path, h);
        if (slot >= 0)
            return slot;
        CloseHandle(h);
    }
}

HANDLE UsbOpenPipe(int device, unsigned char pipe_selector, unsigned long* max_packet)
{
    if (!ValidSlot(device))
        return INVALID_HANDLE_VALUE;
    UsbDeviceSlot* slot = &g_slots[device];
    if (slot->device == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    uint32_t packet = 0;
    int index = FindPipeEndpoint(slot->descriptor_data, slot->first_endpoint_offset, slot->endpoint_count,
                                 pipe_selector, &packet);
    if (index < 0)
        return INVALID_HANDLE_VALUE;
    if (max_packet)
        *max_packet = packet;
    char name[USBBULK_PIPE_NAME_SIZE];
    if (!BuildPipeName(name, sizeof(name), slot->device_path, index))
        return INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < USBBULK_PIPE_OPEN_TRIES; ++attempt) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        Sleep(USBBULK_PIPE_OPEN_PAUSE_MS);
    }
    return INVALID_HANDLE_VALUE;
}

BOOL UsbAbortPipe(int device)
{
    if (!ValidSlot(device) || g_slots[device].device == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD returned = 0;
    return DeviceIoControl(g_slots[device].device, IOCTL_USBBULK_ABORT, NULL, 0, NULL, 0, &returned, NULL);
}

int UsbCheckDevice(int device)
{
    if (!ValidSlot(device) || g_slots[device].device == INVALID_HANDLE_VALUE)
        return 0;
    DWORD value = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(g_slots[device].device, IOCTL_USBBULK_CHECK, &value, sizeof(value), &value, sizeof(value),
                         &returned, NULL))
        return 0;
    return (value & 1) ? 1 : 0;
}

void UsbCloseDevice(int device)
{
    if (!ValidSlot(device))
        return;
    EnterCriticalSection(&g_slot_lock);
    ReleaseSlot(&g_slots[device]);
    LeaveCriticalSection(&g_slot_lock);
}
