// The USB bulk device library: a process-wide table of up to 32 open
// update-mode devices. panelup exports these entry points by name.
#pragma once

#include <windows.h>

#ifdef __cplusplus
#define USBBULK_API extern "C" __declspec(dllexport)
#else
#define USBBULK_API __declspec(dllexport)
#endif

#define USBBULK_MAX_DEVICES 32
#define USBBULK_VENDOR_ID 0x0944
#define USBBULK_UPDATE_PRODUCT_ID 0x1001

// A pipe the driver is still setting up after the device's open may refuse
// the first opens: up to USBBULK_PIPE_OPEN_TRIES, this far apart.
#define USBBULK_PIPE_OPEN_TRIES 16
#define USBBULK_PIPE_OPEN_PAUSE_MS 10
// A pipe's name: the device path and "\dpipe%02d".
#define USBBULK_PIPE_NAME_SIZE (MAX_PATH + 16)

// Device-control requests of the update-mode driver.
#define IOCTL_USBBULK_GET_CONFIG 0x220000
#define IOCTL_USBBULK_GET_DEVICE 0x22000C
#define IOCTL_USBBULK_ABORT 0x220010
#define IOCTL_USBBULK_CHECK 0x220014

USBBULK_API void init_cusbbulk(void);
USBBULK_API void free_cusbbulk(void);
// Returns a device number (slot index 0..31) or -1.
USBBULK_API int UsbOpenDevice(unsigned short product_id);
USBBULK_API int UsbOpenDeviceVID(unsigned short vendor_id, unsigned short product_id);
// Returns an open pipe handle or INVALID_HANDLE_VALUE. max_packet may be NULL.
USBBULK_API HANDLE UsbOpenPipe(int device, unsigned char pipe_selector, unsigned long* max_packet);
USBBULK_API BOOL UsbAbortPipe(int device);
USBBULK_API int UsbCheckDevice(int device);
USBBULK_API void UsbCloseDevice(int device);
