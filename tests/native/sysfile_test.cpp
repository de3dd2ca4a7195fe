#include <gtest/gtest.h>
#include <string.h>

#include "sysfile.h"

namespace {

struct Header {
    unsigned char b[SYSFILE_HEADER_SIZE];
    Header()
    {
        memset(b, 0, sizeof(b));
        memcpy(b, SYSFILE_MAGIC, 16);
    }
};

TEST(SystemFileHeader, ParsesEveryFieldAtItsOffset)
{
    Header h;
    memcpy(h.b + HDR_DEVICE_NAME, "Pallavox", 8);
    memcpy(h.b + HDR_TYPE, "MAIN", 4);
    h.b[HDR_AUX_BYTE] = 0x11;
    h.b[HDR_BLOCK_CODE] = 0x22;
    h.b[HDR_VERSION_MAJOR] = 2;
    h.b[HDR_VERSION_MINOR] = 5;
    h.b[HDR_PRODUCT_ID] = 0x44;
    h.b[HDR_PRODUCT_ID + 1] = 0x01;
    h.b[HDR_PRODUCT_ID + 2] = 0xFF;
    h.b[HDR_INQUIRY_PARAM] = 0x7F;
    WriteLe32(h.b + HDR_BASE_ADDRESS, 0x00010000);
    WriteLe32(h.b + HDR_AUX_WORD, 0xA5A5A5A5);
    WriteLe32(h.b + HDR_BLOCK_OFFSET, 0x800);
    WriteLe32(h.b + HDR_BLOCK_LENGTH, 0x1000);
    h.b[0x40] = 0xEE; // reserved: not read

    FileInfo fi;
    char err[ERROR_TEXT_SIZE] = "untouched";
    ASSERT_EQ(1, ParseSystemFileHeader(h.b, sizeof(h.b), &fi, err));
    EXPECT_STREQ("untouched", err);
    EXPECT_STREQ("Pallavox", fi.device_name);
    EXPECT_STREQ("MAIN", fi.type_name);
    EXPECT_EQ(0x11, fi.aux_byte);
    EXPECT_EQ(0x22, fi.block_code);
    EXPECT_EQ(2, fi.version_major);
    EXPECT_EQ(5, fi.version_minor);
    EXPECT_EQ(0x44, fi.product_id[0]);
    EXPECT_EQ(0x01, fi.product_id[1]);
    EXPECT_EQ(0xFF, fi.product_id[2]);
    EXPECT_EQ(0x7F, fi.inquiry_param);
    EXPECT_EQ(0x00010000u, fi.base_address);
    EXPECT_EQ(0xA5A5A5A5u, fi.aux_word);
    EXPECT_EQ(0x800u, fi.block_offset);
    EXPECT_EQ(0x1000u, fi.block_length);
}

TEST(SystemFileHeader, FullLengthNameAndTypeGetTerminator)
{
    Header h;
    memcpy(h.b + HDR_DEVICE_NAME, "ABCDEFGHIJKLMNOP", 16);
    memcpy(h.b + HDR_TYPE, "TYPE1234", 8);
    h.b[HDR_AUX_BYTE] = 'X'; // directly behind the type
    FileInfo fi;
    char err[ERROR_TEXT_SIZE];
    ASSERT_EQ(1, ParseSystemFileHeader(h.b, sizeof(h.b), &fi, err));
    EXPECT_STREQ("ABCDEFGHIJKLMNOP", fi.device_name);
    EXPECT_STREQ("TYPE1234", fi.type_name);
}

TEST(SystemFileHeader, RejectsShortAndForeignHeaders)
{
    Header h;
    FileInfo fi;
    char err[ERROR_TEXT_SIZE];
    EXPECT_EQ(0, ParseSystemFileHeader(h.b, 255, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);
    EXPECT_EQ(0, ParseSystemFileHeader(h.b, 0, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);

    memcpy(h.b, "orlo system file", 16);
    EXPECT_EQ(0, ParseSystemFileHeader(h.b, sizeof(h.b), &fi, err));
    EXPECT_STREQ("Error - Illegal header string.", err);
}

TEST(SystemFileHeader, BlockLengthAgainstRestOfFile)
{
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    char err[ERROR_TEXT_SIZE] = "";
    fi.block_length = 0;
    ASSERT_EQ(1, CheckBlockLength(&fi, 0, err)); // a bare 256-byte file
    EXPECT_EQ(1, fi.is_last_block);

    fi.block_length = 100;
    ASSERT_EQ(1, CheckBlockLength(&fi, 356, err)); // another block follows
    EXPECT_EQ(0, fi.is_last_block);

    EXPECT_EQ(0, CheckBlockLength(&fi, 99, err));
    EXPECT_STREQ("Filesize Error(shorter than header paramter).", err);

    fi.block_length = 0xFFFFFFFFu; // larger than any 32-bit remainder
    EXPECT_EQ(0, CheckBlockLength(&fi, 0xFFFFFFFEull, err));
}

TEST(SystemFileHeader, CompareBytesIsSigned)
{
    const char a[] = {'\x01', '\x80'};
    const char b[] = {'\x01', '\x7F'};
    EXPECT_EQ(-1, CompareBytes(a, b, 2)); // 0x80 is negative as a signed char
    EXPECT_EQ(1, CompareBytes(b, a, 2));
    EXPECT_EQ(0, CompareBytes(a, b, 1));
    EXPECT_EQ(0, CompareBytes(a, b, 0));
}

TEST(Versions, FormatAndCompare)
{
    char v[16];
    FormatVersion(v, sizeof(v), 1, 5);
    EXPECT_STREQ("1.05", v);
    FormatVersion(v, sizeof(v), 2, 0);
    EXPECT_STREQ("2.00", v);
    FormatVersion(v, sizeof(v), 255, 255);
    EXPECT_STREQ("255.255", v);

    EXPECT_EQ(1, IsNewerVersion(1, 6, 1, 5));
    EXPECT_EQ(1, IsNewerVersion(2, 0, 1, 99));
    EXPECT_EQ(0, IsNewerVersion(1, 5, 1, 5)); // same
    EXPECT_EQ(0, IsNewerVersion(1, 99, 2, 0)); // down
    EXPECT_EQ(1, IsNewerVersion(0x80, 0, 0x7F, 0)); // unsigned bytes
}

} // namespace
