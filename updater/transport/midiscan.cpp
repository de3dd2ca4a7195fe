#include "midiscan.h"

#include "protocol.h"

int MidiBuildProbe(const unsigned char product_id[MIDI_PRODUCT_ID_SIZE], unsigned char* probe)
{
    int n = 0;
    probe[n++] = MSG_SYSEX_START;
    probe[n++] = MSG_MANUFACTURER_ID;
    probe[n++] = MSG_VUP_ID;
    probe[n++] = product_id[0];
    if (product_id[1] != MIDI_PRODUCT_ID_ABSENT) {
        probe[n++] = product_id[1];
        if (product_id[2] != MIDI_PRODUCT_ID_ABSENT)
            probe[n++] = product_id[2];
    }
    probe[n++] = MsgPortProbe;
    probe[n++] = 0; // the port index, set per port
    probe[n++] = MSG_SYSEX_END;
    return n;
}

void MidiSetProbePort(unsigned char* probe, int probe_length, int port)
{
    probe[probe_length - MIDI_PROBE_PORT_FROM_END] = (unsigned char)(port & MIDI_PROBE_PORT_MASK);
}

int MidiProbeReplyPort(const unsigned char* reply, size_t recorded, size_t probe_length,
                       const unsigned char product_id[MIDI_PRODUCT_ID_SIZE])
{
    if (recorded != probe_length || probe_length < MIDI_PROBE_MIN || probe_length > MIDI_PROBE_MAX)
        return -1;
    size_t i = 0;
    if (reply[i++] != MSG_SYSEX_START || reply[i++] != MSG_MANUFACTURER_ID || reply[i++] != MSG_VUP_ID ||
        reply[i++] != product_id[0])
        return -1;
    if (product_id[1] != MIDI_PRODUCT_ID_ABSENT) {
        if (reply[i++] != product_id[1])
            return -1;
        if (product_id[2] != MIDI_PRODUCT_ID_ABSENT && reply[i++] != product_id[2])
            return -1;
    }
    // The rest must be exactly code, index, F7.
    if (i + MIDI_PROBE_TAIL != probe_length || reply[i] != MsgPortProbeReply || reply[i + 2] != MSG_SYSEX_END)
        return -1;
    return reply[i + 1];
}
