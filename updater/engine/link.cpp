#include "link.h"

#include "linkmap.h"
#include "kernelmidi.h"
#include "midilinks.h"
#include "serial.h"
#include "usblink.h"

int LinkType = LinkUsbBulk;

int LinkSend(const unsigned char* bytes, unsigned long length, char* err, int mode)
{
    int r;
    switch (LinkRow(LinkType)) {
    case LinkSerial:
        r = SerialSend(bytes, length);
        break;
    case LinkSystemMidi:
        r = MidiLinkArmReceive() ? MidiLinkSend(bytes, length) : -2;
        break;
    case LinkUsbBulk:
        r = UsbLinkSend(bytes, length);
        break;
    default:
        switch (KernelSendKind(mode)) {
        case TxMidi:
            r = KernelMidiSend(bytes, length, 0);
            break;
        case TxMidiRawNext:
            r = KernelMidiSend(bytes, length, 1);
            break;
        case TxRaw:
            r = KernelMidiWriteRaw(bytes, length);
            break;
        default:
            r = 0; // an unknown mode fails without touching the link
            break;
        }
        break;
    }
    return MapSendResult(r, err);
}

int LinkReceive(unsigned char* buffer, unsigned long capacity, char* err)
{
    int r;
    switch (LinkRow(LinkType)) {
    case LinkSerial:
        r = SerialReceive(buffer, capacity);
        break;
    case LinkSystemMidi:
        r = MidiLinkReceive(buffer, capacity);
        break;
    case LinkUsbBulk:
        r = UsbLinkReceive(buffer, capacity);
        break;
    default:
        r = KernelMidiReceive(buffer, capacity);
        break;
    }
    return MapReceiveResult(r, err);
}

void LinkAbort()
{
    switch (LinkRow(LinkType)) {
    case LinkSerial:
        SerialAbort();
        break;
    case LinkSystemMidi:
        MidiLinkAbortWait();
        break;
    case LinkUsbBulk:
        UsbLinkAbort();
        break;
    default:
        KernelMidiAbort();
        break;
    }
}
