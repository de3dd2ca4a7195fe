// The links' byte-level rules on arbitrary input: the serial link's framing
// (first byte even) and the MIDI port scan's reply check (first byte odd).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "midiscan.h"
#include "protocol.h"
#include "serialframe.h"

namespace {

void Serial(const uint8_t* data, size_t size)
{
    size_t capacity = data[0] % 32;
    unsigned char* buf = static_cast<unsigned char*>(malloc(capacity + 1));
    size_t count = 0;
    for (size_t i = 1; i < size; ++i) {
        int r = SerialFrameByte(data[i], buf, capacity, &count);
        if (count > capacity)
            abort();
        if (r == SerialFrameDone) {
            if (buf[0] != 0xF0 && capacity > 0)
                abort();
            count = 0;
        } else if (r == SerialFrameTimeout) {
            if (count != 0 || data[i] != 0x00)
                abort();
        }
    }
    free(buf);
}

void Scan(const uint8_t* data, size_t size)
{
    if (size < 5)
        return;
    unsigned char pid[3] = {data[1], data[2], data[3]};
    unsigned char probe[MIDI_PROBE_MAX];
    int length = MidiBuildProbe(pid, probe);
    if (length < 7 || length > MIDI_PROBE_MAX)
        abort();
    size_t recorded = data[4] % 24;
    size_t n = size - 5;
    // The listener's buffer holds what was recorded; an exact-size copy.
    if (recorded > n)
        recorded = n;
    unsigned char* reply = static_cast<unsigned char*>(malloc(recorded ? recorded : 1));
    memcpy(reply, data + 5, recorded);
    int port = MidiProbeReplyPort(reply, recorded, (size_t)length, pid);
    if (port < -1 || port > 255)
        abort();
    if (port >= 0 && (recorded != (size_t)length || reply[0] != 0xF0 || reply[recorded - 1] != 0xF7 ||
                      reply[recorded - 3] != MsgPortProbeReply))
        abort();
    // The device's own answer to the probe is accepted.
    MidiSetProbePort(probe, length, data[0]);
    probe[length - 3] = MsgPortProbeReply;
    if (MidiProbeReplyPort(probe, (size_t)length, (size_t)length, pid) != data[0])
        abort();
    free(reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    if (data[0] & 1)
        Scan(data, size);
    else
        Serial(data, size);
    return 0;
}
