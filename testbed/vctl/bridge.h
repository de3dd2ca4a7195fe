// Records between the update-mode driver and the daemon, carried by two FIFOs.
//
// Every record is 1 byte type, 4 bytes little-endian payload length, payload.
// h2d (driver to daemon): WRITE = bytes the host wrote to the OUT pipe,
// ABORT = the host's abort request, OPENED = a pipe was opened (payload: the
// pipe index, 4 bytes little-endian), REMOVED = the device went away.
// d2h (daemon to driver): DATA = one IN transfer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

enum {
    BRIDGE_WRITE = 1,
    BRIDGE_ABORT = 2,
    BRIDGE_OPENED = 3,
    BRIDGE_REMOVED = 4,
    BRIDGE_DATA = 1,
    BRIDGE_HEAD = 5,
    BRIDGE_MAX_PAYLOAD = 1 << 20,
};

struct BridgeRecord {
    int type;
    std::vector<unsigned char> payload;
};

struct BridgeReader {
    unsigned char head[BRIDGE_HEAD];
    size_t head_len;
    uint32_t need; // payload bytes still missing of the current record
    BridgeRecord current;
};

void BridgeReaderInit(BridgeReader* r);

// Takes bytes as they come from the FIFO; complete records are appended to
// out. Returns 0 when a length beyond BRIDGE_MAX_PAYLOAD shows a broken
// stream: the reader then starts over with the next byte.
int BridgeFeed(BridgeReader* r, const unsigned char* data, size_t n, std::vector<BridgeRecord>* out);

// Writes a record into out (BRIDGE_HEAD + n bytes); returns its length.
size_t BridgeEncode(int type, const unsigned char* payload, uint32_t n, unsigned char* out);
