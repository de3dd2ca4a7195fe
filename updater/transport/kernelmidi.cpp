// The kernel MIDI link is not carried by this build yet: panelup selects the
// USB bulk link and nothing changes that. Its entry points exist so that the
// dispatch and the close rules reach it, and every operation that would talk
// to a device reports failure through the transport contract.
#include "kernelmidi.h"

#include "sysfile.h"

int KernelMidiOpen(char* err)
{
    SetErrorText(err, "Kernel MIDI link is not available in this build.");
    return 0;
}

void KernelMidiClose() {}

int KernelMidiSend(const unsigned char*, unsigned long, int)
{
    return 0;
}

int KernelMidiWriteRaw(const unsigned char*, unsigned long)
{
    return 0;
}

int KernelMidiReceive(unsigned char*, unsigned long)
{
    return 0;
}
