// The USB bulk link: one update-mode device with its read and write pipes.
#pragma once

int UsbLinkOpen(char* err);
void UsbLinkClose();
int UsbLinkSend(const unsigned char* bytes, unsigned long length);
int UsbLinkReceive(unsigned char* buffer, unsigned long max_length);
void UsbLinkAbort();

enum {
    USB_LINK_READ_SIZE = 16,
    // A receive on the thread that opened the link (the window's thread,
    // during the device inquiry) gives up after this long, so that a silent
    // device cannot freeze the window. Receives of a run on the worker
    // thread wait until the device answers or the run is aborted.
    USB_LINK_INQUIRY_TIMEOUT_MS = 5000,
};
