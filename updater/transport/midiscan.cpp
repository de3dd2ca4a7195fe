#include "midiscan.h"

#include "protocol.h"

int MidiBuildProbe(const unsigned char product_id[3], unsigned char* probe)
{
    int n = 0;
    probe[n++] = MSG_SYSEX_START;
    probe[n++] = MSG_MANUFACTURER_ID;
    probe[n++] = MSG_VUP_ID;
    probe[n++] = product_id[0];
    if (product_id[1] != 0xFF) {
        probe[n++] = product_id[1];
        if (product_id[2] != 0xFF)
            probe[n++] = product_id[2];
    }
    probe[n++] = MsgPortProbe;
    probe[n++] = 0x00;
    probe[n++] = MSG_SYSEX_END;
    return n;
}

void MidiSetProbePort(unsigned char* probe, int probe_length, int port)
{
    probe[probe_length - 2] = (unsigned char)(port & 0xFF);
}

int MidiProbeReplyPort(const unsigned char* reply, size_t recorded, size_t probe_length,
                       const unsigned char product_id[3])
{
    if (recorded != probe_length || probe_length < 7 || probe_length > MIDI_PROBE_MAX)
        return -1;
    size_t i = 0;
    if (reply[i++] != MSG_SYSEX_START || reply[i++] != MSG_MANUFACTURER_ID || reply[i++] != MSG_VUP_ID ||
        reply[i++] != product_id[0])
        return -1;
    if (product_id[1] != 0xFF) {
        if (reply[i++] != product_id[1])
            return -1;
        if (product_id[2] != 0xFF && reply[i++] != product_id[2])
            return -1;
    }
    // The rest must be exactly code, index, F7.
    if (i + 3 != probe_length || reply[i] != MsgPortProbeReply || reply[i + 2] != MSG_SYSEX_END)
        return -1;
    return reply[i + 1];
}
