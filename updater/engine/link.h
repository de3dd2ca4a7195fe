// Link dispatch: the one place in the engine that knows which link is in use.
#pragma once

enum LinkKind {
    LinkSerial = 0,
    LinkSystemMidi = 1,
    LinkUsbBulk = 2,
    LinkKernelMidi = 3,
};

enum TxModeKind {
    TxMidi = 0,
    TxMidiRawNext = 1,
    TxRaw = 2,
};

extern int LinkType;

int LinkSend(const unsigned char* bytes, unsigned long length, char* err, int mode);
int LinkReceive(unsigned char* buffer, unsigned long capacity, char* err);
// Ends the send or receive going on over the selected link (the user's
// abort); on every link but the USB one, no further send or receive starts
// until the link is opened again.
void LinkAbort();
