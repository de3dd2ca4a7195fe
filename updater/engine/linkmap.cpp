#include "linkmap.h"

#include "link.h"
#include "sysfile.h"

int LinkRow(int link_type)
{
    bool known = link_type == LinkSerial || link_type == LinkSystemMidi || link_type == LinkUsbBulk;
    return known ? link_type : LinkKernelMidi;
}

int KernelSendKind(int mode)
{
    return (mode == TxMidi || mode == TxMidiRawNext || mode == TxRaw) ? mode : -1;
}

int MapSendResult(int r, char* err)
{
    switch (r) {
    case 0:
        SetErrorText(err, "Transmit Error");
        return 0;
    case -1:
        SetErrorText(err, "Transmit Error(Time Out)");
        return 0;
    case -2:
        SetErrorText(err, "Rx-Midi Setup Error");
        return 0;
    default:
        return 1;
    }
}

int MapReceiveResult(int r, char* err)
{
    switch (r) {
    case 0:
        SetErrorText(err, "Recieve Error");
        return 0;
    case -1:
        SetErrorText(err, "Recieve Error(Timeout)");
        return 0;
    case -2:
        return 0; // ended by the user's abort: the caller's text stays
    default:
        return 1;
    }
}
