// System file (".vsb") block headers.
//
// A system file is a sequence of blocks; each is a 256-byte header followed by
// block_length data bytes. The parse and the checks live here on plain
// buffers; the Win32 file access around them is in sysfile_win.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "basics.h"

enum {
    SYSFILE_HEADER_SIZE = 256,
    SYSFILE_VERSION_TEXT_SIZE = 16, // room for FormatVersion's text
};

// Header field offsets.
enum {
    HDR_MAGIC = 0x00,
    HDR_MAGIC_SIZE = 16,
    HDR_DEVICE_NAME_SIZE = 16,
    HDR_TYPE_SIZE = 8,
    HDR_PRODUCT_ID_SIZE = 3,
    HDR_DEVICE_NAME = 0x10,
    HDR_TYPE = 0x20,
    HDR_AUX_BYTE = 0x28,
    HDR_BLOCK_CODE = 0x29,
    HDR_VERSION_MAJOR = 0x2A,
    HDR_VERSION_MINOR = 0x2B,
    HDR_PRODUCT_ID = 0x2C,
    HDR_INQUIRY_PARAM = 0x2F,
    HDR_BASE_ADDRESS = 0x30,
    HDR_AUX_WORD = 0x34,
    HDR_BLOCK_OFFSET = 0x38,
    HDR_BLOCK_LENGTH = 0x3C,
};

#define SYSFILE_MAGIC "ORLO SYSTEM FILE"

#define MSG_HEADER_TOO_SHORT "Error - Header lengrh is too short."
#define MSG_ILLEGAL_HEADER "Error - Illegal header string."
#define MSG_FILESIZE_ERROR "Filesize Error(shorter than header paramter)."
#define MSG_FILE_OPEN_ERROR "File Open Error"

// The parsed header of one block. A plain value: copied whole, no pointers.
struct FileInfo {
    char device_name[HDR_DEVICE_NAME_SIZE + 1];
    unsigned char product_id[HDR_PRODUCT_ID_SIZE];
    unsigned char inquiry_param;
    char type_name[HDR_TYPE_SIZE + 1];
    uint32_t base_address;
    uint32_t aux_word;
    uint32_t block_offset;
    uint32_t block_length;
    unsigned char aux_byte;
    unsigned char version_major;
    unsigned char version_minor;
    unsigned char block_code;
    int32_t is_last_block;
};

// Compares n bytes as signed characters; -1, 0 or 1, the first difference decides.
int CompareBytes(const void* a, const void* b, size_t n);

// Parses and checks a block header (length, magic text, fields): `got` is
// the number of bytes read at the header's position (at most 256 are looked
// at). Returns 1, or 0 with the message in err (ERROR_TEXT_SIZE bytes).
int ParseSystemFileHeader(const unsigned char* header, size_t got, FileInfo* info, char* err);

// Checks the block against the rest of the file: `remaining` is the number
// of bytes behind the header. Fails when fewer than block_length are there;
// sets is_last_block.
int CheckBlockLength(FileInfo* info, uint64_t remaining, char* err);

// Writes "%d.%02d" of a version into out (at least 8 bytes).
void FormatVersion(char* out, size_t size, unsigned major, unsigned minor);

// 1 when the file's version is strictly newer than the device's.
int IsNewerVersion(unsigned file_major, unsigned file_minor, unsigned dev_major, unsigned dev_minor);
