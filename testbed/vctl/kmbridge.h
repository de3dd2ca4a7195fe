// The device's side of the kernel MIDI link: what the test bed's kernel
// USB-MIDI driver relays (vckmidi.sys, FIFOs kh2d and kd2h) turned into
// bytes for the device model, and the model's replies turned into 64-byte
// in-pipe blocks of USB-MIDI event packets, shaped as a test asks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

enum {
    KM_BLOCK = 64,
    KM_PACKETS_PER_BLOCK = KM_BLOCK / 4,
    KM_WIRE_LINES = 4096,
};

struct KmDevice {
    int raw_next;            // the raw-data marker came: the next transfer is raw
    uint32_t empty_before;   // empty blocks before every reply
    uint32_t gap;            // empty blocks after every full block of a reply
    int trailing;            // fill a reply's last block with packets behind its end
    int header_armed;        // one reply gets a packet header of the test's choice
    uint32_t header_at;      // ... the header_at-th reply from arming
    uint32_t header_packet;  // ... its header_packet-th packet (1-based)
    unsigned char header;
    uint32_t replies_seen;   // replies since the header fault was armed
    uint64_t bad_packets;    // out-pipe packets that are neither sysex nor the marker
    std::deque<std::string> wire; // "OUT ..." per transfer, "IN ..." per block, in hex
};

void KmInit(KmDevice* d);
// Forgets the raw state (plug, removal); keeps the shaping.
void KmPlugged(KmDevice* d);

// One out-pipe transfer: the bytes it carries for the model are appended.
void KmOutTransfer(KmDevice* d, const unsigned char* data, size_t n, std::vector<unsigned char>* to_model);

// One reply of the model as in-pipe blocks.
void KmReplyBlocks(KmDevice* d, const unsigned char* reply, size_t n, std::vector<std::vector<unsigned char> >* blocks);

// `vctl kmidi shape ...`, `kmidi fault header ...`, `kmidi wire`; the words
// after "kmidi". 0 on success, 2 on a usage error; text for the user in out.
int KmCommand(KmDevice* d, const std::vector<std::string>& args, std::string* out);
