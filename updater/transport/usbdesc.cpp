#include "usbdesc.h"

#include <stdio.h>

static int TotalLength(const unsigned char* desc)
{
    int total = desc[2] | (desc[3] << 8);
    return total > USB_DESCRIPTOR_DATA_SIZE ? USB_DESCRIPTOR_DATA_SIZE : total;
}

void ScanEndpoints(const unsigned char* desc, int* first_offset, int* count)
{
    int total = TotalLength(desc);
    int first = -1;
    int n = 0;
    int off = 0;
    // The first descriptor is always visited.
    do {
        if (off + 2 > USB_DESCRIPTOR_DATA_SIZE)
            break;
        int len = desc[off];
        if (len == 0)
            break;
        if (desc[off + 1] == USB_DT_ENDPOINT && off + 7 <= USB_DESCRIPTOR_DATA_SIZE) {
            if (first < 0)
                first = off;
            ++n;
        }
        off += len;
    } while (off < total);
    *first_offset = first;
    *count = first < 0 ? 0 : n;
}

int FindPipeEndpoint(const unsigned char* desc, int first_offset, int count, unsigned char selector,
                     uint32_t* max_packet)
{
    if (first_offset < 0 || count <= 0)
        return -1;
    int want_dir = (selector & PIPE_SELECT_IN) ? USB_ENDPOINT_DIR_IN : 0;
    int want_type = (selector & PIPE_SELECT_INTERRUPT) ? USB_ENDPOINT_INTERRUPT : USB_ENDPOINT_BULK;
    int want_ordinal = selector & PIPE_SELECT_ORDINAL;
    int total = TotalLength(desc);
    int n = 0;
    int m = 0;
    int off = first_offset;
    while (off + 2 <= USB_DESCRIPTOR_DATA_SIZE && off < total) {
        int len = desc[off];
        if (len == 0)
            break;
        if (desc[off + 1] == USB_DT_ENDPOINT && off + 7 <= USB_DESCRIPTOR_DATA_SIZE) {
            if ((desc[off + 2] & 0x80) == want_dir && (desc[off + 3] & 3) == want_type) {
                if (m == want_ordinal) {
                    if (max_packet)
                        *max_packet = (uint32_t)(desc[off + 4] | (desc[off + 5] << 8));
                    return n;
                }
                ++m;
            }
            ++n;
            if (n == count)
                return -1;
        }
        off += len;
    }
    return -1;
}

void DeviceDescriptorIds(const unsigned char* dev, uint16_t* vendor, uint16_t* product)
{
    *vendor = (uint16_t)(dev[8] | (dev[9] << 8));
    *product = (uint16_t)(dev[10] | (dev[11] << 8));
}

int BuildPipeName(char* out, size_t size, const char* device_path, int endpoint_index)
{
    int n = snprintf(out, size, "%s\\dpipe%02d", device_path, endpoint_index);
    return n > 0 && (size_t)n < size;
}
