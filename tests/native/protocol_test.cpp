#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "protocol.h"
#include "testdata.h"

namespace {

// The device's unpacking, written independently of PackSevenBit.
std::vector<unsigned char> Unpack(const unsigned char* p, size_t n)
{
    std::vector<unsigned char> out;
    size_t i = 0;
    while (i < n) {
        unsigned char high = p[i++];
        for (int k = 0; k < 7 && i < n; ++k, ++i)
            out.push_back((unsigned char)(p[i] | (((high >> k) & 1) << 7)));
    }
    return out;
}

TEST(MessageHead, ProductIdLengthRule)
{
    unsigned char tx[16];
    FileInfo one = ProductId(0x44, 0xFF, 0x12); // third byte ignored behind an absent second
    ASSERT_EQ(5, BuildMessageHead(tx, &one, MsgInquiry));
    EXPECT_EQ(0, memcmp(tx, "\xF0\x42\x23\x44\x00", 5));

    FileInfo two = ProductId(0x44, 0x01, 0xFF);
    ASSERT_EQ(6, BuildMessageHead(tx, &two, MsgVersionRequest));
    EXPECT_EQ(0, memcmp(tx, "\xF0\x42\x23\x44\x01\x02", 6));

    FileInfo three = ProductId(0x44, 0x01, 0x02);
    ASSERT_EQ(7, BuildMessageHead(tx, &three, MsgData));
    EXPECT_EQ(0, memcmp(tx, "\xF0\x42\x23\x44\x01\x02\x06", 7));
}

TEST(Numbers, Put28BitDropsHighBits)
{
    unsigned char d[4];
    Put28Bit(d, 0x12345678);
    EXPECT_EQ(0, memcmp(d, "\x11\x51\x2C\x78", 4));
    Put28Bit(d, 0x0FFFFFFF);
    EXPECT_EQ(0, memcmp(d, "\x7F\x7F\x7F\x7F", 4));
    Put28Bit(d, 0x10000000);
    EXPECT_EQ(0, memcmp(d, "\x00\x00\x00\x00", 4));
}

TEST(Numbers, BlocksMustFitTheProtocolFields)
{
    char err[ERROR_TEXT_SIZE];
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    // Protocol 0: the last packet number must fit 14 bits.
    fi.block_offset = 16383u * 256;
    fi.block_length = 256;
    EXPECT_EQ(1, CheckBlockNumbers(&fi, 0, 256, err));
    fi.block_length = 512;
    EXPECT_EQ(0, CheckBlockNumbers(&fi, 0, 256, err));
    EXPECT_STREQ("Error - Packet number is out of range(16384).", err);
    // The sum of offset and length is not cut to 32 bits on the way.
    fi.block_offset = 0xFFFFFF00u;
    fi.block_length = 0x200;
    EXPECT_EQ(0, CheckBlockNumbers(&fi, 1, 16, err));
    EXPECT_STREQ("Error - Packet number is out of range(268435471).", err);
    // Protocol 1: base, length and packet numbers in 28 bits; an empty block
    // has no packet numbers at all.
    memset(&fi, 0, sizeof(fi));
    fi.base_address = 0x0FFFFFFF;
    EXPECT_EQ(1, CheckBlockNumbers(&fi, 1, 1, err));
    fi.base_address = 0x10000000;
    EXPECT_EQ(0, CheckBlockNumbers(&fi, 1, 1, err));
    EXPECT_STREQ("Error - Address is out of range(10000000).", err);
    fi.base_address = 0;
    fi.block_length = 0x10000000;
    EXPECT_EQ(0, CheckBlockNumbers(&fi, 1, 0x8000, err));
    EXPECT_STREQ("Error - Block length is out of range(268435456).", err);
    fi.block_length = 0x0FFF8000;
    EXPECT_EQ(1, CheckBlockNumbers(&fi, 1, 0x8000, err));
    EXPECT_EQ(1, CheckBlockNumbers(&fi, 0, 0x8000, err)); // 8191 packets
}

TEST(PackSevenBit, WorkedExampleAndGroupSizes)
{
    const unsigned char in[] = {0x80, 0x01, 0xFF};
    unsigned char out[8];
    unsigned char sum = 0xAA;
    ASSERT_EQ(4u, PackSevenBit(in, out, 3, &sum));
    EXPECT_EQ(0, memcmp(out, "\x05\x00\x01\x7F", 4));
    EXPECT_EQ(0x05, sum);

    unsigned char src[8], dst[16];
    memset(src, 0xFF, sizeof(src));
    EXPECT_EQ(8u, PackSevenBit(src, dst, 7, NULL));
    EXPECT_EQ(0x7F, dst[0]); // bits 0..6, bit 7 clear
    EXPECT_EQ(10u, PackSevenBit(src, dst, 8, NULL));
    EXPECT_EQ(0x01, dst[8]); // a second group of one byte with its own high-bit byte
    EXPECT_EQ(0x7F, dst[9]);
}

TEST(PackSevenBit, RoundTripAndChecksumOverAllWrittenBytes)
{
    std::vector<unsigned char> src(32768);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = (unsigned char)(i * 131 + (i >> 8));
    std::vector<unsigned char> dst(32768 + 32768 / 7 + 1);
    unsigned char sum = 0;
    uint32_t n = PackSevenBit(src.data(), dst.data(), (uint32_t)src.size(), &sum);
    ASSERT_EQ(32768u + (32768u + 6) / 7, n);
    unsigned total = 0;
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(0, dst[i] & 0x80) << i;
        total += dst[i];
    }
    EXPECT_EQ((total & 0xFF) & 0x7F, sum);
    EXPECT_EQ(src, Unpack(dst.data(), n));
}

struct ReplyCase {
    std::vector<unsigned char> rx;
    unsigned char expected;
    int result;
    const char* text;
};

TEST(CheckReply, ChecksInOrderWithTheirTexts)
{
    FileInfo fi = ProductId(0x44, 0x01, 0xFF);
    const ReplyCase cases[] = {
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x01, 0x01, 0x00, 0x10, 0x03, 0xF7}, 0x01, 6, NULL},
        {{0xF7, 0x42, 0x23, 0x44, 0x01, 0x03, 0x01, 0x05, 0xF7}, 0x03, 6, NULL},
        {{0x90, 0x42, 0x23, 0x44, 0x01, 0x03}, 0x03, 0, "Rx Msg Error(0:Not Exclusive)"},
        // wrong manufacturer and wrong product ID: only the first is reported
        {{0xF0, 0x41, 0x23, 0x45, 0x01, 0x03}, 0x03, 0, "Rx Msg Error(1:Not ORLO ID)"},
        {{0xF0, 0x42, 0x24, 0x44, 0x01, 0x03}, 0x03, 0, "Rx Msg Error(2:VUP ID Error)"},
        {{0xF0, 0x42, 0x23, 0x44, 0x02, 0x03}, 0x03, 0, "Rx Msg Error(Product ID Error)"},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x01, 0x00}, 0x03, 0, "Rx Msg Error(Msg Code Error)"},
        // a status 0 answers any request
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x00, 0xF7}, 0x01, 6, NULL},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x00, 0xF7}, 0x05, 6, NULL},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x06, 0xF7}, 0x05, 0, "Rx Status Error : Checksum Error"},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x0C, 0xF7}, 0x05, 0, "Rx Status Error : Unknown Error"},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x09, 0xF7}, 0x03, 0, "Rx Status Error : Flash Write Error"},
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0x41, 'a', 'b', 'c', 0x00, 'x', 0xF7}, 0x05, 0,
         "Rx Status Error(Exp) : 0x41abc"},
        // the device need not send a zero: the text ends with the message
        {{0xF0, 0x42, 0x23, 0x44, 0x01, 0x05, 0xFF, 'o', 'k', 0xF7, 'z', 'z'}, 0x05, 0,
         "Rx Status Error(Exp) : 0xFFok"},
    };
    for (const ReplyCase& c : cases) {
        char err[ERROR_TEXT_SIZE] = "before";
        EXPECT_EQ(c.result, CheckReply(c.rx.data(), c.rx.size(), &fi, c.expected, err));
        EXPECT_STREQ(c.text ? c.text : "before", err);
    }
}

TEST(CheckReply, ThreeByteProductIdAndLongestReply)
{
    FileInfo fi = ProductId(0x01, 0x02, 0x03);
    // inquiry reply, protocol code 1: the longest reply the updater reads (14 bytes)
    const unsigned char rx[] = {0xF0, 0x42, 0x23, 0x01, 0x02, 0x03, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x03, 0xF7};
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(7, CheckReply(rx, sizeof(rx), &fi, MsgInquiryReply, err));
    // every product ID byte is compared, the last one too
    const unsigned char bad[] = {0xF0, 0x42, 0x23, 0x01, 0x02, 0x04, 0x01};
    EXPECT_EQ(0, CheckReply(bad, sizeof(bad), &fi, MsgInquiryReply, err));
    EXPECT_STREQ("Rx Msg Error(Product ID Error)", err);
}

TEST(CheckReply, DeviceTextBoundedByErrorText)
{
    FileInfo fi = ProductId(0x44, 0xFF, 0xFF);
    std::vector<unsigned char> rx = {0xF0, 0x42, 0x23, 0x44, 0x05, 0x40};
    rx.resize(1024, 'A'); // no zero, no end byte
    char err[ERROR_TEXT_SIZE + 8];
    memset(err, 0x5A, sizeof(err));
    EXPECT_EQ(0, CheckReply(rx.data(), rx.size(), &fi, MsgStatus, err));
    EXPECT_EQ(ERROR_TEXT_SIZE - 1, (int)strlen(err));
    EXPECT_EQ(0, strncmp(err, "Rx Status Error(Exp) : 0x40AAA", 30));
    EXPECT_EQ(0x5A, (unsigned char)err[ERROR_TEXT_SIZE]); // nothing written past the buffer
}

TEST(CheckReply, TruncatedRepliesFailWithoutReadingBeyond)
{
    FileInfo fi = ProductId(0x44, 0x01, 0x02);
    const unsigned char full[] = {0xF0, 0x42, 0x23, 0x44, 0x01, 0x02, 0x05, 0x00};
    char err[ERROR_TEXT_SIZE];
    for (size_t n = 0; n < sizeof(full); ++n) {
        std::vector<unsigned char> cut(full, full + n); // exact-size heap copy for ASan
        EXPECT_EQ(0, CheckReply(cut.data(), cut.size(), &fi, MsgStatus, err)) << n;
    }
    EXPECT_EQ(7, CheckReply(full, sizeof(full), &fi, MsgStatus, err));
}

TEST(DeviceStatus, TextsByLowByte)
{
    const char* expected[] = {"Unknown Error", "Product ID Error", "Member ID Error", "Format Error",
                              "Block Code Error", "Packet Number Error", "Checksum Error", "Timeout Error",
                              "Hardware Error", "Flash Write Error", "User Aborted", "Version Error",
                              "Unknown Error"};
    char t[32];
    for (unsigned s = 0; s <= 12; ++s) {
        DeviceStatusText(s, t);
        EXPECT_STREQ(expected[s], t) << s;
    }
    DeviceStatusText(0x106, t); // only the low 8 bits count
    EXPECT_STREQ("Checksum Error", t);
}

} // namespace
