// The updater's command-line path walk and the path a second start forwards
// in chunks, on arbitrary input: the walk ends inside the text, a forwarded
// path comes back as it was sent, and chunks of any offset and value stay
// inside the reassembly buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cmdline.h"

namespace {

int SjisLead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void WalkComponents(const std::string& path)
{
    size_t len = path.size();
    size_t start = PathRootLength(path.c_str(), SjisLead);
    if (start > len)
        abort();
    for (;;) {
        size_t end = PathComponentEnd(path.c_str(), start, SjisLead);
        if (end < start || end > len)
            abort();
        if (end == len)
            break;
        start = end + 1;
    }
}

void RoundTrip(const std::string& path)
{
    if (path.size() >= FORWARD_BUFFER_SIZE - 4)
        return;
    char buffer[FORWARD_BUFFER_SIZE];
    memset(buffer, 0x55, sizeof(buffer));
    int count = PathChunkCount(path.c_str());
    int complete = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t wparam, lparam;
        PathChunk(path.c_str(), i, &wparam, &lparam);
        if ((wparam & 0xFFFF) != CMD_PATH_CHUNK)
            abort();
        complete = ApplyPathChunk(buffer, wparam >> 16, lparam);
        if (complete < 0 || (complete == 1) != (i == count - 1))
            abort();
    }
    if (!complete || strcmp(buffer, path.c_str()) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The text up to the first zero byte is a command-line path.
    std::string path(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    WalkComponents(path);
    RoundTrip(path);

    // Behind it: chunks as another program might post them (offset, value).
    char buffer[FORWARD_BUFFER_SIZE];
    memset(buffer, 0, sizeof(buffer));
    for (size_t at = path.size() + 1; at + 6 <= size; at += 6) {
        uint32_t offset = (uint32_t)data[at] | ((uint32_t)data[at + 1] << 8);
        uint32_t value;
        memcpy(&value, data + at + 2, 4);
        ApplyPathChunk(buffer, offset, value);
    }
    return 0;
}
