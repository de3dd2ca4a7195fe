// Small helpers that every unit of the updater uses: the error-text buffer
// and little-endian fields. Plain C++, no system headers.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum {
    ERROR_TEXT_SIZE = 256,
};

// Copies a fixed text into an error buffer of ERROR_TEXT_SIZE bytes.
inline void SetErrorText(char* err, const char* text)
{
    if (!err)
        return;
    size_t n = strlen(text);
    if (n > ERROR_TEXT_SIZE - 1)
        n = ERROR_TEXT_SIZE - 1;
    memcpy(err, text, n);
    err[n] = 0;
}

inline uint16_t ReadLe16(const unsigned char* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

inline uint32_t ReadLe32(const unsigned char* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void WriteLe32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}
