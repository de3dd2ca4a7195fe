// The port scan's probe and the check of its reply, on plain buffers.
#pragma once

#include <stddef.h>

enum {
    MIDI_PRODUCT_ID_SIZE = 3,
    MIDI_PRODUCT_ID_ABSENT = 0xFF, // in the second or third product ID byte
    MIDI_PROBE_MIN = 7,          // F0 42 23, one product ID byte, code, port index, F7
    MIDI_PROBE_MAX = 9,          // F0 42 23, up to 3 product ID bytes, code, port index, F7
    MIDI_PROBE_TAIL = 3,         // code, port index, F7
    MIDI_PROBE_PORT_FROM_END = 2, // the port index is the second-last byte
    MIDI_PROBE_PORT_MASK = 0xFF,
    MIDI_SCAN_REPLY_BUFFER = 16, // what each listening input port can hold
};

// Builds the probe for the product ID (0xFF in the second or third byte:
// absent; the third only counts after a second); returns its length (7 to 9).
// The port index, the second-last byte, is 0.
int MidiBuildProbe(const unsigned char product_id[MIDI_PRODUCT_ID_SIZE], unsigned char* probe);

// Sets the probe's port index (low 8 bits of port).
void MidiSetProbePort(unsigned char* probe, int probe_length, int port);

// The output port index a reply echoes, or -1 when the reply is not one for
// this product ID: it must be exactly probe_length bytes recorded.
int MidiProbeReplyPort(const unsigned char* reply, size_t recorded, size_t probe_length,
                       const unsigned char product_id[MIDI_PRODUCT_ID_SIZE]);
