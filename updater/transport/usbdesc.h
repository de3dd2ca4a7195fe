// Walks over a USB configuration descriptor set as the update-mode driver
// returns it (512 bytes). Pure functions: every walk stays inside the
// buffer, stops at the set's total length and at a descriptor of length 0.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    USB_DESCRIPTOR_DATA_SIZE = 512,
    USB_DEVICE_DESCRIPTOR_SIZE = 18,
    USB_DT_ENDPOINT = 5,
    USB_ENDPOINT_DIR_IN = 0x80,
    USB_ENDPOINT_TYPE_MASK = 3,
    USB_ENDPOINT_BULK = 2,
    USB_ENDPOINT_INTERRUPT = 3,
    PIPE_SELECT_OUT = 0x00,
    PIPE_SELECT_IN = 0x80,
    PIPE_SELECT_INTERRUPT = 0x40,
    PIPE_SELECT_ORDINAL = 0x3F,
};

// Field offsets. Every descriptor starts with its length and type; the
// configuration descriptor then gives the set's total length.
enum {
    USB_DESC_LENGTH = 0,
    USB_DESC_TYPE = 1,
    USB_DESC_HEADER_SIZE = 2,
    USB_CONFIG_TOTAL_LENGTH = 2,
    USB_ENDPOINT_ADDRESS = 2,
    USB_ENDPOINT_ATTRIBUTES = 3,
    USB_ENDPOINT_MAX_PACKET = 4,
    USB_ENDPOINT_DESCRIPTOR_SIZE = 7,
    USB_DEVICE_VENDOR_ID = 8,
    USB_DEVICE_PRODUCT_ID = 10,
};

// Endpoint descriptors of the set: the offset of the first one (-1 when
// there is none) and their count.
void ScanEndpoints(const unsigned char* desc, int* first_offset, int* count);

// Finds the endpoint that a pipe selector names (bit 7 IN, bit 6 interrupt,
// bits 5-0 ordinal among the matching endpoints). Returns its endpoint index
// (position among all endpoint descriptors) or -1; *max_packet gets its
// maximum packet size when found.
int FindPipeEndpoint(const unsigned char* desc, int first_offset, int count, unsigned char selector,
                     uint32_t* max_packet);

// Vendor and product ID of an 18-byte device descriptor.
void DeviceDescriptorIds(const unsigned char* dev, uint16_t* vendor, uint16_t* product);

// "%s\dpipe%02d" of a device path; returns 0 when it does not fit.
int BuildPipeName(char* out, size_t size, const char* device_path, int endpoint_index);
