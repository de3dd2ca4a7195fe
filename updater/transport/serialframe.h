// Collecting one system-exclusive message from a byte stream as the serial
// link receives it. Pure logic; the port reads live in serial.cpp.
#pragma once

#include <stddef.h>

enum SerialFrameResult {
    SerialFrameMore = 0,     // keep reading
    SerialFrameDone = 1,     // a message is stored
    SerialFrameTimeout = -1, // a 0x00 before the message start
};

// Bytes the frame looks at besides the message's start and end.
enum {
    SERIAL_BYTE_TIMEOUT = 0x00, // before the start: the receive ends as a time-out
    SERIAL_BYTE_CLOCK = 0xF8,   // real-time bytes within a message are skipped
    SERIAL_BYTE_RESET = 0xFF,
};

// Feeds one byte; *count is the number of bytes stored so far in buffer
// (capacity bytes). An F7 is written behind the stored bytes when it fits.
int SerialFrameByte(unsigned char byte, unsigned char* buffer, size_t capacity, size_t* count);
