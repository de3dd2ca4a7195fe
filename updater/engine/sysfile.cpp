#include "sysfile.h"

#include <stdio.h>
#include <string.h>

int CompareBytes(const void* a, const void* b, size_t n)
{
    const signed char* pa = static_cast<const signed char*>(a);
    const signed char* pb = static_cast<const signed char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (pa[i] < pb[i])
            return -1;
        if (pa[i] > pb[i])
            return 1;
    }
    return 0;
}

int ParseSystemFileHeader(const unsigned char* header, size_t got, FileInfo* info, char* err)
{
    if (!header || got < SYSFILE_HEADER_SIZE) {
        SetErrorText(err, MSG_HEADER_TOO_SHORT);
        return 0;
    }
    if (CompareBytes(header + HDR_MAGIC, SYSFILE_MAGIC, HDR_MAGIC_SIZE) != 0) {
        SetErrorText(err, MSG_ILLEGAL_HEADER);
        return 0;
    }
    memset(info, 0, sizeof(*info));
    memcpy(info->device_name, header + HDR_DEVICE_NAME, HDR_DEVICE_NAME_SIZE);
    info->device_name[HDR_DEVICE_NAME_SIZE] = 0;
    memcpy(info->type_name, header + HDR_TYPE, HDR_TYPE_SIZE);
    info->type_name[HDR_TYPE_SIZE] = 0;
    info->aux_byte = header[HDR_AUX_BYTE];
    info->block_code = header[HDR_BLOCK_CODE];
    info->version_major = header[HDR_VERSION_MAJOR];
    info->version_minor = header[HDR_VERSION_MINOR];
    info->product_id[0] = header[HDR_PRODUCT_ID];
    info->product_id[1] = header[HDR_PRODUCT_ID + 1];
    info->product_id[2] = header[HDR_PRODUCT_ID + 2];
    info->inquiry_param = header[HDR_INQUIRY_PARAM];
    info->base_address = ReadLe32(header + HDR_BASE_ADDRESS);
    info->aux_word = ReadLe32(header + HDR_AUX_WORD);
    info->block_offset = ReadLe32(header + HDR_BLOCK_OFFSET);
    info->block_length = ReadLe32(header + HDR_BLOCK_LENGTH);
    info->is_last_block = 0;
    return 1;
}

int CheckBlockLength(FileInfo* info, uint64_t remaining, char* err)
{
    if (remaining < info->block_length) {
        SetErrorText(err, MSG_FILESIZE_ERROR);
        return 0;
    }
    info->is_last_block = (remaining == info->block_length) ? 1 : 0;
    return 1;
}

void FormatVersion(char* out, size_t size, unsigned major, unsigned minor)
{
    snprintf(out, size, "%d.%02d", (int)(major & 0xFF), (int)(minor & 0xFF));
}

int IsNewerVersion(unsigned file_major, unsigned file_minor, unsigned dev_major, unsigned dev_minor)
{
    file_major &= 0xFF;
    file_minor &= 0xFF;
    dev_major &= 0xFF;
    dev_minor &= 0xFF;
    if (file_major < dev_major)
        return 0;
    if (file_major == dev_major && file_minor <= dev_minor)
        return 0;
    return 1;
}
