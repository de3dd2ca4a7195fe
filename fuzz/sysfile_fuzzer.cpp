// Walks arbitrary bytes as a system file, block by block, the way the
// updater's run does: header parse, block length check, next header right
// behind the block's data.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "sysfile.h"

namespace {

void CheckErrorText(const char* err)
{
    const void* end = memchr(err, 0, ERROR_TEXT_SIZE);
    if (!end || end == err)
        abort();
    if (strcmp(err, MSG_HEADER_TOO_SHORT) && strcmp(err, MSG_ILLEGAL_HEADER) && strcmp(err, MSG_FILESIZE_ERROR))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t pos = 0;
    for (;;) {
        size_t got = size - pos < SYSFILE_HEADER_SIZE ? size - pos : SYSFILE_HEADER_SIZE;
        // An exact-size copy, so that a read past `got` is caught.
        unsigned char* header = static_cast<unsigned char*>(malloc(got ? got : 1));
        memcpy(header, data + pos, got);
        FileInfo fi;
        char err[ERROR_TEXT_SIZE];
        memset(err, 0x55, sizeof(err));
        int ok = ParseSystemFileHeader(header, got, &fi, err);
        free(header);
        if (!ok) {
            CheckErrorText(err);
            if ((got < SYSFILE_HEADER_SIZE) != !strcmp(err, MSG_HEADER_TOO_SHORT))
                abort();
            return 0;
        }
        if (got != SYSFILE_HEADER_SIZE || memcmp(data + pos, SYSFILE_MAGIC, 16) != 0)
            abort();
        if (fi.device_name[16] != 0 || fi.type_name[8] != 0)
            abort();
        if (memcmp(fi.device_name, data + pos + HDR_DEVICE_NAME, strlen(fi.device_name)) != 0)
            abort();
        if (fi.block_length != ReadLe32(data + pos + HDR_BLOCK_LENGTH))
            abort();

        pos += SYSFILE_HEADER_SIZE;
        uint64_t remaining = size - pos;
        if (!CheckBlockLength(&fi, remaining, err)) {
            CheckErrorText(err);
            if (remaining >= fi.block_length)
                abort();
            return 0;
        }
        if (fi.block_length > remaining || fi.is_last_block != (remaining == fi.block_length ? 1 : 0))
            abort();
        pos += fi.block_length;
        if (pos == size)
            return 0;
    }
}
