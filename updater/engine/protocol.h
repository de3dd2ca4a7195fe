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
    MSG_DATA_LIMIT = 0x80, // the data bytes of a message are below this
    // A status from here on is the device's own, with a text behind it.
    DEVICE_STATUS_EXPLAINED = 0x40,
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

// Protocol codes of the inquiry reply: the form of packet sizes, packet
// numbers and the set-mode fields.
enum {
    PROTOCOL_TWO_BYTE = 0,   // 14-bit sizes and numbers, no address or length
    PROTOCOL_FOUR_BYTE = 1,  // 28-bit fields everywhere
    PROTOCOL_CODE_LIMIT = 2, // this code and above are refused
};

// The set-mode message's mode byte and the flag over its version byte.
enum {
    SETMODE_SEVEN_BIT = 0x00,
    SETMODE_RAW = 0x01,
    SETMODE_VERSION_FLAG = 0x40,
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

// The requests of a block; each returns the message's length.
int BuildInquiry(unsigned char* tx, const FileInfo* info);
int BuildVersionRequest(unsigned char* tx, const FileInfo* info);
// raw: the packets' data goes as 8-bit bytes (SETMODE_RAW).
int BuildSetMode(unsigned char* tx, const FileInfo* info, int protocol_code, int raw, uint32_t packet_size);
// Head of a data or fill message up to and including the packet number.
int BuildPacketHead(unsigned char* tx, const FileInfo* info, unsigned char code, int protocol_code, uint32_t number);
// Appends a fill message's value (high and low nibble) and its end to a
// packet head; returns the bytes appended.
int BuildFillTail(unsigned char* tx, unsigned char value);
// 1 when all `size` (>= 1) bytes of the packet equal its first.
int IsFillPacket(const unsigned char* packet, uint32_t size);
// The checksum of a packet sent as raw 8-bit bytes: their sum's low byte.
unsigned char RawChecksum(const unsigned char* packet, uint32_t size);

// What an inquiry reply tells, read behind its code (CheckReply's payload
// offset) in a reply buffer of `size` bytes; bytes past the buffer read as 0.
struct InquiryReply {
    unsigned char protocol_code;
    uint32_t packet_size;
    unsigned char capabilities;
};
// 0 for a protocol code of PROTOCOL_CODE_LIMIT or above (nothing else read).
int ReadInquiryReply(const unsigned char* rx, size_t size, int payload, InquiryReply* reply);

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
