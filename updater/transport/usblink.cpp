#include "usblink.h"

#include <windows.h>

#include "sysfile.h"
#include "usbbulk.h"
#include "usbdesc.h"

namespace {

int g_link_slot = -1;
HANDLE g_read_pipe = INVALID_HANDLE_VALUE;
HANDLE g_write_pipe = INVALID_HANDLE_VALUE;
DWORD g_open_thread = 0;
volatile LONG g_watchdog_fired = 0;

VOID CALLBACK InquiryWatchdog(PVOID, BOOLEAN)
{
    InterlockedExchange(&g_watchdog_fired, 1);
    if (g_link_slot >= 0)
        UsbAbortPipe(g_link_slot);
}

} // namespace

int UsbLinkOpen(char* err)
{
    // An open link (the presence probe after a run can find one) is released
    // first, so that its device slot and pipes are not left behind.
    UsbLinkClose();

    int slot = UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID);
    if (slot == -1) {
        SetErrorText(err, "Usb Open Error!(Can't find VerUp Device)");
        return 0;
    }
    HANDLE read_pipe = UsbOpenPipe(slot, PIPE_SELECT_IN, NULL);
    if (read_pipe == INVALID_HANDLE_VALUE) {
        SetErrorText(err, "Usb Open Error!(Failed to open read-pipe)");
        UsbCloseDevice(slot);
        g_link_slot = -1;
        return 0;
    }
    HANDLE write_pipe = UsbOpenPipe(slot, PIPE_SELECT_OUT, NULL);
    if (write_pipe == INVALID_HANDLE_VALUE) {
        SetErrorText(err, "Usb Open Error!(Failed to open write-pipe)");
        CloseHandle(read_pipe);
        UsbCloseDevice(slot);
        g_link_slot = -1;
        return 0;
    }
    g_link_slot = slot;
    g_read_pipe = read_pipe;
    g_write_pipe = write_pipe;
    g_open_thread = GetCurrentThreadId();
    return 1;
}

void UsbLinkClose()
{
    if (g_link_slot == -1)
        return;
    CloseHandle(g_write_pipe);
    CloseHandle(g_read_pipe);
    g_write_pipe = INVALID_HANDLE_VALUE;
    g_read_pipe = INVALID_HANDLE_VALUE;
    UsbCloseDevice(g_link_slot);
    g_link_slot = -1;
}

int UsbLinkSend(const unsigned char* bytes, unsigned long length)
{
    DWORD written = 0;
    return WriteFile(g_write_pipe, bytes, length, &written, NULL) ? 1 : 0;
}

int UsbLinkReceive(unsigned char* buffer, unsigned long max_length)
{
    (void)max_length;
    DWORD got = 0;
    // A transfer that brings nothing (a zero-length packet) is no reply.
    if (GetCurrentThreadId() != g_open_thread || g_link_slot < 0)
        return ReadFile(g_read_pipe, buffer, USB_LINK_READ_SIZE, &got, NULL) && got > 0 ? 1 : 0;

    // On the window's thread: bound the wait by ending the transfer.
    HANDLE timer = NULL;
    InterlockedExchange(&g_watchdog_fired, 0);
    BOOL armed = CreateTimerQueueTimer(&timer, NULL, InquiryWatchdog, NULL, USB_LINK_INQUIRY_TIMEOUT_MS, 0,
                                       WT_EXECUTEONLYONCE);
    BOOL ok = ReadFile(g_read_pipe, buffer, USB_LINK_READ_SIZE, &got, NULL);
    if (armed)
        DeleteTimerQueueTimer(NULL, timer, INVALID_HANDLE_VALUE);
    if (ok && got > 0)
        return 1;
    if (ok)
        return 0;
    return InterlockedCompareExchange(&g_watchdog_fired, 0, 0) ? -1 : 0;
}

void UsbLinkAbort()
{
    if (g_link_slot != -1)
        UsbAbortPipe(g_link_slot);
}
