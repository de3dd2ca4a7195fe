#include "cmdline.h"

#include <limits.h>
#include <string.h>

size_t PathRootLength(const char* path, LeadBytePredicate is_lead)
{
    if (path[0] == '\\')
        return 1;
    // The first backslash must be the third character, after "x:".
    if (path[0] && !is_lead((unsigned char)path[0]) && path[1] == ':' && path[2] == '\\')
        return 3;
    return 0;
}

size_t PathComponentEnd(const char* path, size_t start, LeadBytePredicate is_lead)
{
    size_t i = start;
    while (path[i] && path[i] != '\\') {
        if (is_lead((unsigned char)path[i]) && path[i + 1])
            i += 2;
        else
            i += 1;
    }
    return i;
}

int PathChunkCount(const char* path)
{
    return (int)(strlen(path) / PATH_CHUNK_BYTES) + 1;
}

void PathChunk(const char* path, int index, uint32_t* wparam, uint32_t* lparam)
{
    size_t len = strlen(path);
    uint32_t value = 0;
    size_t offset = (size_t)index * PATH_CHUNK_BYTES;
    for (int k = 0; k < PATH_CHUNK_BYTES; ++k) {
        size_t at = offset + (size_t)k;
        unsigned char b = at < len ? (unsigned char)path[at] : 0;
        value |= (uint32_t)b << (CHAR_BIT * k);
    }
    *wparam = ((uint32_t)offset << PATH_CHUNK_OFFSET_SHIFT) + CMD_PATH_CHUNK;
    *lparam = value;
}

int ApplyPathChunk(char* buffer, uint32_t offset, uint32_t value)
{
    if (offset > FORWARD_BUFFER_SIZE - PATH_CHUNK_BYTES)
        return -1;
    int complete = 0;
    for (int k = 0; k < PATH_CHUNK_BYTES; ++k) {
        unsigned char b = (unsigned char)(value >> (CHAR_BIT * k));
        buffer[offset + (uint32_t)k] = (char)b;
        if (b == 0)
            complete = 1;
    }
    return complete;
}
