// Update messages: system-exclusive frames between the updater and the
// device in its update mode. Pure functions on plain buffers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sysfile.h"

enum {
    MSG_SYSEX_START = 0xF0,
    MSG_SYSEX_END = 0xF7,
    MSG_MANUFACTURER_ID = 0x42,
    MSG_VUP_ID = 0x23,
};

enum MessageCode {
    MsgInquiry = 0x00,
    MsgInquiryReply = 0x01,
    MsgVersionRequest = 0x02,
    MsgVersionReply = 0x03,
    MsgSetMode = 0x04,
    MsgStatus = 0x05,
    MsgData = 0x06,
    MsgFill = 0x08,
    MsgPortProbe = 0x10,
    MsgPortProbeReply = 0x11,
};

enum {
    CAP_RAW_DATA = 0x01,
    CAP_FILL = 0x02,
    TX_BUFFER_SIZE = 37888,
    PACKET_BUFFER_SIZE = 32768,
    RX_BUFFER_SIZE = 1024,
    // The largest packet the system MIDI link carries.
    MIDI_PACKET_SIZE_MAX = 1024,
};

// Number of product ID bytes that go on the wire (1, 2 or 3).
int ProductIdLength(const unsigned char product_id[3]);

// Writes F0 42 23, the product ID and the code; returns the offset just behind the code.
int BuildMessageHead(unsigned char* tx, const FileInfo* info, unsigned char code);

// Four 7-bit groups, most significant first; bits above 27 are dropped.
void Put28Bit(unsigned char* dst, uint32_t value);

// Packs count (>= 1) bytes into 7-bit form; returns the bytes written
// (count + ceil(count / 7)). The 7-bit checksum goes to *checksum when given.
uint32_t PackSevenBit(const unsigned char* src, unsigned char* dst, uint32_t count, unsigned char* checksum);

// Checks a received reply of at most `size` bytes against the file's product ID
// and the expected code. Returns the offset of the first payload byte, or 0
// with the reason in err (ERROR_TEXT_SIZE bytes).
int CheckReply(const unsigned char* rx, size_t size, const FileInfo* info, unsigned char expected, char* err);

// Refuses a block whose packet numbers, address or lengths do not fit the
// protocol's fields (14-bit packet numbers for protocol code 0, 28-bit
// fields for protocol code 1), before anything of it is sent. Returns 1, or
// 0 with the reason in err (ERROR_TEXT_SIZE bytes). packet_size is not 0.
int CheckBlockNumbers(const FileInfo* info, int protocol_code, uint32_t packet_size, char* err);

// Text of a device status code (low 8 bits); out holds at least 32 bytes.
void DeviceStatusText(unsigned int status, char* out);
