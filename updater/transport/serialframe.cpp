#include "serialframe.h"

#include "protocol.h"

int SerialFrameByte(unsigned char byte, unsigned char* buffer, size_t capacity, size_t* count)
{
    if (*count == 0) {
        if (byte == SERIAL_BYTE_TIMEOUT)
            return SerialFrameTimeout;
        if (byte != MSG_SYSEX_START)
            return SerialFrameMore;
    }
    if (byte == MSG_SYSEX_END) {
        if (*count < capacity)
            buffer[*count] = byte;
        return SerialFrameDone;
    }
    if (byte == SERIAL_BYTE_CLOCK || byte == SERIAL_BYTE_RESET)
        return SerialFrameMore;
    if (*count < capacity)
        buffer[(*count)++] = byte;
    return *count >= capacity ? SerialFrameDone : SerialFrameMore;
}
