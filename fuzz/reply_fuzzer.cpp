// CheckReply on arbitrary replies. The input's first three bytes are the
// file's product ID, the fourth the expected code, the rest the reply.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    memcpy(fi.product_id, data, 3);
    unsigned char expected = data[3];
    size_t n = size - 4;
    // An exact-size copy, so that a read past the reply is caught.
    unsigned char* rx = static_cast<unsigned char*>(malloc(n ? n : 1));
    memcpy(rx, data + 4, n);

    char err[ERROR_TEXT_SIZE];
    memset(err, 0x55, sizeof(err));
    int at = CheckReply(rx, n, &fi, expected, err);

    int p = ProductIdLength(fi.product_id);
    size_t code_at = 3 + (size_t)p;
    if (at > 0) {
        // Success: the frame and product ID matched, the payload starts behind
        // the code, and the error text is untouched.
        if ((size_t)at != code_at + 1 || (size_t)at > n)
            abort();
        if ((rx[0] != 0xF0 && rx[0] != 0xF7) || rx[1] != 0x42 || rx[2] != 0x23)
            abort();
        if (memcmp(rx + 3, fi.product_id, (size_t)p) != 0)
            abort();
        unsigned char code = rx[code_at];
        if (code == MsgStatus) {
            if ((size_t)at >= n || rx[at] != 0)
                abort();
        } else if (code != expected) {
            abort();
        }
        for (size_t i = 0; i < sizeof(err); ++i)
            if ((unsigned char)err[i] != 0x55)
                abort();
        // What an inquiry reply tells is read within the reply only.
        InquiryReply reply;
        if (ReadInquiryReply(rx, n, at, &reply) != (reply.protocol_code < PROTOCOL_CODE_LIMIT))
            abort();
    } else {
        if (at != 0)
            abort();
        const char* end = static_cast<const char*>(memchr(err, 0, sizeof(err)));
        if (!end || end == err)
            abort();
        if (strncmp(err, "Rx Msg Error(", 13) != 0 && strncmp(err, "Rx Status Error", 15) != 0)
            abort();
    }
    free(rx);
    return 0;
}
