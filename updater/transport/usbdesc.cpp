#include "usbdesc.h"

#include <stdio.h>

#include "basics.h"

static int TotalLength(const unsigned char* desc)
{
    int total = ReadLe16(desc + USB_CONFIG_TOTAL_LENGTH);
    return total > USB_DESCRIPTOR_DATA_SIZE ? USB_DESCRIPTOR_DATA_SIZE : total;
}

// An endpoint descriptor starts at `off` and lies wholly inside the buffer.
static bool IsEndpointAt(const unsigned char* desc, int off)
{
    return desc[off + USB_DESC_TYPE] == USB_DT_ENDPOINT &&
           off + USB_ENDPOINT_DESCRIPTOR_SIZE <= USB_DESCRIPTOR_DATA_SIZE;
}

void ScanEndpoints(const unsigned char* desc, int* first_offset, int* count)
{
    int total = TotalLength(desc);
    int first = -1;
    int n = 0;
    int off = 0;
    // The first descriptor is always visited.
    do {
        if (off + USB_DESC_HEADER_SIZE > USB_DESCRIPTOR_DATA_SIZE)
            break;
        int len = desc[off + USB_DESC_LENGTH];
        if (len == 0)
            break;
        if (IsEndpointAt(desc, off)) {
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
    while (off + USB_DESC_HEADER_SIZE <= USB_DESCRIPTOR_DATA_SIZE && off < total) {
        int len = desc[off + USB_DESC_LENGTH];
        if (len == 0)
            break;
        if (IsEndpointAt(desc, off)) {
            const unsigned char* ep = desc + off;
            if ((ep[USB_ENDPOINT_ADDRESS] & USB_ENDPOINT_DIR_IN) == want_dir &&
                (ep[USB_ENDPOINT_ATTRIBUTES] & USB_ENDPOINT_TYPE_MASK) == want_type) {
                if (m == want_ordinal) {
                    if (max_packet)
                        *max_packet = ReadLe16(ep + USB_ENDPOINT_MAX_PACKET);
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
    *vendor = ReadLe16(dev + USB_DEVICE_VENDOR_ID);
    *product = ReadLe16(dev + USB_DEVICE_PRODUCT_ID);
}

int BuildPipeName(char* out, size_t size, const char* device_path, int endpoint_index)
{
    int n = snprintf(out, size, "%s\\dpipe%02d", device_path, endpoint_index);
    return n > 0 && (size_t)n < size;
}
