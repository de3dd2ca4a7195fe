#include "serialframe.h"

int SerialFrameByte(unsigned char byte, unsigned char* buffer, size_t capacity, size_t* count)
{
    if (*count == 0) {
        if (byte == 0x00)
            return SerialFrameTimeout;
        if (byte != 0xF0)
            return SerialFrameMore;
    }
    if (byte == 0xF7) {
        if (*count < capacity)
            buffer[*count] = byte;
        return SerialFrameDone;
    }
    if (byte == 0xF8 || byte == 0xFF)
        return SerialFrameMore;
    if (*count < capacity)
        buffer[(*count)++] = byte;
    return *count >= capacity ? SerialFrameDone : SerialFrameMore;
}
