// PackSevenBit against an unpacker and a checksum written here, and the
// four-byte number form against its reading.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 4) {
        uint32_t v = ReadLe32(data);
        unsigned char b[4];
        Put28Bit(b, v);
        uint32_t back = (uint32_t)b[0] << 21 | (uint32_t)b[1] << 14 | (uint32_t)b[2] << 7 | b[3];
        if ((b[0] | b[1] | b[2] | b[3]) & 0x80 || back != (v & 0x0FFFFFFF))
            abort();
    }
    if (size == 0 || size > PACKET_BUFFER_SIZE)
        return 0;

    uint32_t count = (uint32_t)size;
    uint32_t groups = (count + 6) / 7;
    uint32_t packed_size = count + groups;
    unsigned char* src = static_cast<unsigned char*>(malloc(count));
    memcpy(src, data, count);
    // Exact size: a write past count + ceil(count / 7) is caught.
    unsigned char* packed = static_cast<unsigned char*>(malloc(packed_size));
    unsigned char checksum = 0xEE;
    if (PackSevenBit(src, packed, count, &checksum) != packed_size)
        abort();

    // Unpack as the device does, and sum what the packer should have sent:
    // per group its high bits, then the bytes without bit 7.
    unsigned sum = 0;
    uint32_t in = 0;
    for (uint32_t g = 0; g < groups; ++g) {
        uint32_t k = count - g * 7 < 7 ? count - g * 7 : 7;
        unsigned char high = packed[in++];
        if (high >> k)
            abort();
        for (uint32_t i = 0; i < k; ++i) {
            unsigned char byte = src[g * 7 + i];
            sum += (unsigned)(byte >> 7) << i;
            sum += byte & 0x7F;
            unsigned char b = packed[in++];
            if (b & 0x80 || (unsigned char)(b | ((high >> i) & 1) << 7) != byte)
                abort();
        }
    }
    if (in != packed_size || checksum != (sum & 0x7F))
        abort();

    // Without a checksum output the packing is the same.
    unsigned char* again = static_cast<unsigned char*>(malloc(packed_size));
    if (PackSevenBit(src, again, count, NULL) != packed_size || memcmp(packed, again, packed_size) != 0)
        abort();
    free(again);
    free(packed);
    free(src);
    return 0;
}
