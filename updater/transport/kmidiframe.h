// USB-MIDI event packets of the kernel MIDI link, on plain buffers: the
// system-exclusive bytes of one send framed into out-pipe blocks, and the
// 64-byte in-pipe blocks taken back apart into one message. The pipe I/O
// lives in kernelmidi.cpp.
#pragma once

#include <stddef.h>

enum {
    KMIDI_PACKET_SIZE = 4,
    KMIDI_PACKET_DATA = 3,
    KMIDI_IN_BLOCK_SIZE = 64,    // every read of the in-pipe
    KMIDI_OUT_BLOCK_SIZE = 256,  // one write of framed packets at most
    KMIDI_CABLE = 0xF0,          // cable 15 in the header's high nibble
    KMIDI_CIN_MASK = 0x0F,
    KMIDI_CIN_SYSEX = 4,         // starts or continues, three bytes
    KMIDI_CIN_END1 = 5,          // ends with one byte
    KMIDI_CIN_END3 = 7,          // ends with three bytes
    KMIDI_SYSEX_END = 0xF7,
};

// The link around the packets.
enum {
    KMIDI_DEVICE_COUNT = 8,           // device numbers 0 to 7
    KMIDI_DEVICE_NAME_SIZE = 32,      // "\\.\ZUVAX%d"
    KMIDI_PIPE_NAME_SIZE = 40,        // "\\.\ZUVAX0\P%02X"
    KMIDI_IN_PIPE = 0x91,             // pipe names "P%02X"
    KMIDI_OUT_PIPE = 0x11,
    KMIDI_CHANGE_REQUEST = 0x220010,  // 32-bit answer: nonzero when the devices changed
    KMIDI_RING_BLOCKS = 64,
    KMIDI_RING_SIZE = KMIDI_RING_BLOCKS * KMIDI_IN_BLOCK_SIZE,
    KMIDI_TAKE_POLLS = 5000,          // empty polls before a receive gives up
    KMIDI_POLL_MS = 2,
    KMIDI_START_WAIT_MS = 20,         // after the reader was started
    KMIDI_READ_RETRIES = 8,           // failed reads repeated at once before the reader paces itself
    KMIDI_READ_PACE_MS = 2,
    KMIDI_CLOSE_WAIT_MS = 5000,       // for the reader to end its read
    // A receive ends this long after its start at the latest, whatever the
    // driver delivers (empty blocks included): twice its 5000 polls of 2 ms.
    KMIDI_RECEIVE_BOUND_MS = 2 * KMIDI_TAKE_POLLS * KMIDI_POLL_MS,
    KMIDI_SEND_WAIT_MS = 5000,        // longest a send waits for its writes
    KMIDI_ABORT_POLL_MS = 10,         // a write's wait looks for the user's abort this often
};

// Announces that the next out-pipe transfer carries raw 8-bit data.
extern const unsigned char KMIDI_RAW_MARKER[KMIDI_PACKET_SIZE];

// Framing of one send. The caller starts it with the bytes and then takes
// the writes one by one until KmidiFrameNext gives 0.
struct KmidiSender {
    const unsigned char* bytes;
    size_t length;
    size_t pos;
    int raw_next;        // put the raw-data marker behind the final packet
    int first_is_data;   // the first byte never ends the message (see below)
    int complete;        // the end packet has been framed
    int marker_pending;  // the marker did not fit into the last block
};

// first_is_data: the send follows a raw transfer, so its first byte is the
// 8-bit checksum of the raw data, which may be 0xF7 without ending the
// message. Bytes after the ending 0xF7 are not sent; a message without one
// still ends with an end packet.
void KmidiSendBegin(KmidiSender* s, const unsigned char* bytes, size_t length, int raw_next, int first_is_data);

// Fills out (KMIDI_OUT_BLOCK_SIZE bytes) with the next write and returns its
// length, or 0 when the send is complete. A block is written when the
// message ends or 64 packets fill it; the marker follows the end packet in
// the same block, or alone in a write of its own when the block is full.
size_t KmidiFrameNext(KmidiSender* s, unsigned char* out);

enum KmidiBlockResult {
    KmidiBlockMore = 0,  // the message goes on in the next block that carries packets
    KmidiBlockDone = 1,  // a message is in the buffer
    KmidiBlockBad = -1,  // a packet with a code index other than 4 to 7
};

// Taking one message apart from the blocks of one receive.
struct KmidiReceiver {
    unsigned char* buffer;
    size_t capacity;
    size_t count;        // bytes stored so far
};

void KmidiReceiveBegin(KmidiReceiver* r, unsigned char* buffer, size_t capacity);

// 1 when the block carries no packet (its first four bytes are zero).
int KmidiBlockEmpty(const unsigned char* block);

// Walks one block from its start. A message ends at a stored 0xF7, with an
// end packet, or when the buffer is full; packets behind its end are left.
int KmidiWalkBlock(KmidiReceiver* r, const unsigned char* block);
