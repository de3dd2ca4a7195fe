// The kernel MIDI link's framing on arbitrary input. The first byte chooses
// the send's flags and the receive capacity; the rest is framed as one send
// and, cut into 64-byte blocks, walked as received blocks.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "kmidiframe.h"

namespace {

// The writes of one send, checked packet by packet against the input.
void CheckSend(const uint8_t* data, size_t n, int raw_next, int first_is_data)
{
    KmidiSender s;
    KmidiSendBegin(&s, data, n, raw_next, first_is_data);
    std::vector<unsigned char> got;
    unsigned char out[KMIDI_OUT_BLOCK_SIZE];
    size_t len;
    int ended = 0, markers = 0, writes = 0;
    while ((len = KmidiFrameNext(&s, out)) > 0) {
        if (len > KMIDI_OUT_BLOCK_SIZE || len % KMIDI_PACKET_SIZE || ++writes > 1 + (int)(n / 3 + 2) / 64 + 1)
            abort();
        for (size_t p = 0; p < len; p += KMIDI_PACKET_SIZE) {
            if (!memcmp(out + p, KMIDI_RAW_MARKER, KMIDI_PACKET_SIZE)) {
                if (!raw_next || (!ended && n) || ++markers > 1)
                    abort();
                continue;
            }
            if (ended)
                abort(); // nothing but the marker behind the end packet
            int cin = out[p] & KMIDI_CIN_MASK;
            if ((out[p] & 0xF0) != KMIDI_CABLE || cin < KMIDI_CIN_SYSEX || cin > KMIDI_CIN_END3)
                abort();
            int k = cin == KMIDI_CIN_SYSEX ? 3 : cin - KMIDI_CIN_SYSEX;
            got.insert(got.end(), out + p + 1, out + p + 1 + k);
            for (int i = k; i < 3; ++i)
                if (out[p + 1 + i])
                    abort();
            ended = cin != KMIDI_CIN_SYSEX;
        }
    }
    // What went out is the input up to its ending F7 (the first byte exempt
    // after raw data), or all of it.
    size_t want = n;
    for (size_t i = first_is_data ? 1 : 0; i < n; ++i)
        if (data[i] == KMIDI_SYSEX_END) {
            want = i + 1;
            break;
        }
    if (got.size() != want || (want && memcmp(got.data(), data, want)))
        abort();
    if (n && !ended)
        abort();
    if (raw_next && markers != 1)
        abort();
}

void CheckReceive(const uint8_t* data, size_t n, size_t capacity)
{
    // Exact-size buffer: a write past capacity is caught.
    unsigned char* buffer = static_cast<unsigned char*>(malloc(capacity ? capacity : 1));
    KmidiReceiver r;
    KmidiReceiveBegin(&r, buffer, capacity);
    for (size_t off = 0; off < n; off += KMIDI_IN_BLOCK_SIZE) {
        unsigned char block[KMIDI_IN_BLOCK_SIZE];
        memset(block, 0, sizeof(block));
        memcpy(block, data + off, n - off < sizeof(block) ? n - off : sizeof(block));
        if (KmidiBlockEmpty(block))
            continue;
        int res = KmidiWalkBlock(&r, block);
        if (r.count > capacity)
            abort();
        if (res != KmidiBlockMore)
            break;
    }
    free(buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    int flags = data[0];
    CheckSend(data + 1, size - 1, flags & 1, (flags >> 1) & 1);
    CheckReceive(data + 1, size - 1, (size_t)(flags >> 2) * 5);
    return 0;
}
