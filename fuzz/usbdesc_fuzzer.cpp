// The walks over the configuration descriptor set a device returns, and the
// pipe names made from a device path, on arbitrary input. The first byte is
// the pipe selector; the next 512 bytes (zero-filled when short) are the
// descriptor set; the rest is a device path.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "usbdesc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    unsigned char selector = data[0];
    unsigned char desc[USB_DESCRIPTOR_DATA_SIZE];
    memset(desc, 0, sizeof(desc));
    size_t take = size - 1 < sizeof(desc) ? size - 1 : sizeof(desc);
    memcpy(desc, data + 1, take);

    int first = -2, count = -2;
    ScanEndpoints(desc, &first, &count);
    if (count < 0 || (count > 0 && (first < 0 || first >= USB_DESCRIPTOR_DATA_SIZE)) || (count == 0 && first != -1))
        abort();
    uint32_t max_packet = 0xDEADBEEF;
    int index = FindPipeEndpoint(desc, first, count, selector, &max_packet);
    if (index < -1 || index >= count || (index >= 0 && max_packet > 0xFFFF))
        abort();

    uint16_t vendor = 0, product = 0;
    DeviceDescriptorIds(desc, &vendor, &product);

    char path[600];
    size_t rest = size - 1 - take;
    if (rest >= sizeof(path))
        rest = sizeof(path) - 1;
    memcpy(path, data + 1 + take, rest);
    path[rest] = 0;
    char name[300];
    memset(name, 'x', sizeof(name));
    if (BuildPipeName(name, sizeof(name), path, index < 0 ? 0 : index) && strnlen(name, sizeof(name)) == sizeof(name))
        abort();
    return 0;
}
