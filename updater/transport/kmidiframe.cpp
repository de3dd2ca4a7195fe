#include "kmidiframe.h"

#include <string.h>

const unsigned char KMIDI_RAW_MARKER[KMIDI_PACKET_SIZE] = {0xFF, 0xFF, 0xFF, 0x00};

void KmidiSendBegin(KmidiSender* s, const unsigned char* bytes, size_t length, int raw_next, int first_is_data)
{
    s->bytes = bytes;
    s->length = length;
    s->pos = 0;
    s->raw_next = raw_next;
    s->first_is_data = first_is_data;
    s->complete = length == 0;
    s->marker_pending = length == 0 && raw_next;
}

namespace {

// Frames the next packet at out; returns 1 when it ends the message.
int FramePacket(KmidiSender* s, unsigned char* out)
{
    int taken = 0;
    int ended = 0;
    memset(out, 0, KMIDI_PACKET_SIZE);
    while (taken < KMIDI_PACKET_DATA && s->pos < s->length) {
        unsigned char b = s->bytes[s->pos];
        int keep_going = s->pos == 0 && s->first_is_data;
        out[1 + taken++] = b;
        s->pos++;
        if (b == KMIDI_SYSEX_END && !keep_going) {
            ended = 1;
            break;
        }
    }
    if (s->pos >= s->length)
        ended = 1;
    if (taken == KMIDI_PACKET_DATA && !ended) {
        out[0] = KMIDI_CABLE | KMIDI_CIN_SYSEX;
        return 0;
    }
    out[0] = (unsigned char)(KMIDI_CABLE | (taken + KMIDI_CIN_SYSEX));
    return 1;
}

} // namespace

size_t KmidiFrameNext(KmidiSender* s, unsigned char* out)
{
    if (s->complete) {
        if (!s->marker_pending)
            return 0;
        s->marker_pending = 0;
        memcpy(out, KMIDI_RAW_MARKER, KMIDI_PACKET_SIZE);
        return KMIDI_PACKET_SIZE;
    }
    size_t fill = 0;
    while (fill < KMIDI_OUT_BLOCK_SIZE) {
        int ended = FramePacket(s, out + fill);
        fill += KMIDI_PACKET_SIZE;
        if (ended) {
            s->complete = 1;
            if (s->raw_next) {
                if (fill < KMIDI_OUT_BLOCK_SIZE) {
                    memcpy(out + fill, KMIDI_RAW_MARKER, KMIDI_PACKET_SIZE);
                    fill += KMIDI_PACKET_SIZE;
                } else {
                    s->marker_pending = 1;
                }
            }
            break;
        }
    }
    return fill;
}

void KmidiReceiveBegin(KmidiReceiver* r, unsigned char* buffer, size_t capacity)
{
    r->buffer = buffer;
    r->capacity = capacity;
    r->count = 0;
}

int KmidiBlockEmpty(const unsigned char* block)
{
    for (int i = 0; i < KMIDI_PACKET_SIZE; ++i) {
        if (block[i] != 0)
            return 0;
    }
    return 1;
}

int KmidiWalkBlock(KmidiReceiver* r, const unsigned char* block)
{
    if (r->count >= r->capacity)
        return KmidiBlockDone;
    for (size_t p = 0; p + KMIDI_PACKET_SIZE <= KMIDI_IN_BLOCK_SIZE; p += KMIDI_PACKET_SIZE) {
        int cin = block[p] & KMIDI_CIN_MASK;
        if (cin < KMIDI_CIN_SYSEX || cin > KMIDI_CIN_END3)
            return KmidiBlockBad;
        int n = cin == KMIDI_CIN_SYSEX ? KMIDI_PACKET_DATA : cin - KMIDI_CIN_SYSEX;
        for (int i = 0; i < n; ++i) {
            unsigned char b = block[p + 1 + i];
            r->buffer[r->count++] = b;
            if (b == KMIDI_SYSEX_END || r->count >= r->capacity)
                return KmidiBlockDone;
        }
        if (cin != KMIDI_CIN_SYSEX)
            return KmidiBlockDone;
    }
    return KmidiBlockMore;
}
