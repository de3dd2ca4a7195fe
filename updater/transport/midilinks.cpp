// The system MIDI link is not carried by this build yet: panelup selects the
// USB bulk link and nothing changes that. Its entry points exist so that the
// dispatch, the close rules and the timer reach it, and every operation that
// would talk to a device reports failure through the transport contract.
#include "midilinks.h"

#include "sysfile.h"

namespace {
volatile LONG g_receive_clock = 0;
}

int MidiLinkOpen(const char*, const char*, char* err)
{
    SetErrorText(err, "System MIDI link is not available in this build.");
    return 0;
}

void MidiLinkClose() {}

int MidiLinkArmReceive()
{
    return 0;
}

int MidiLinkSend(const unsigned char*, unsigned long)
{
    return 0;
}

int MidiLinkReceive(unsigned char*, unsigned long)
{
    g_receive_clock = 0;
    return 0;
}

void MidiLinkTick()
{
    InterlockedIncrement(&g_receive_clock);
}

void MidiLinkAbortWait()
{
    InterlockedExchange(&g_receive_clock, 2000);
}

int MidiScanBegin(HWND, const unsigned char*)
{
    return 0;
}

void MidiScanEnd(char* in_name, char* out_name)
{
    if (in_name)
        in_name[0] = 0;
    if (out_name)
        out_name[0] = 0;
}
