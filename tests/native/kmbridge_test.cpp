// The test bed's device side of the kernel MIDI link: out-pipe transfers to
// model bytes, replies to shaped in-pipe blocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmbridge.h"

namespace {

typedef std::vector<unsigned char> Bytes;

TEST(KmBridge, MarkerMakesTheNextTransferRaw)
{
    KmDevice d;
    KmInit(&d);
    Bytes got;
    const Bytes head = {0xF4, 0xF0, 0x42, 0x23, 0xF5, 0x10, 0, 0, 0xFF, 0xFF, 0xFF, 0x00};
    KmOutTransfer(&d, head.data(), head.size(), &got);
    const Bytes raw = {0xF7, 0x00, 0xF4};
    KmOutTransfer(&d, raw.data(), raw.size(), &got);
    const Bytes tail = {0xF6, 0xF7, 0xF7, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x01, 0x02, 0x03};
    KmOutTransfer(&d, tail.data(), tail.size(), &got);
    EXPECT_EQ(Bytes({0xF0, 0x42, 0x23, 0x10, 0xF7, 0x00, 0xF4, 0xF7, 0xF7}), got);
    EXPECT_EQ(1u, d.bad_packets); // code index 8; zero packets are padding
    EXPECT_EQ(3u, d.wire.size());
}

TEST(KmBridge, RepliesBecomeShapedBlocks)
{
    KmDevice d;
    KmInit(&d);
    std::string out;
    ASSERT_EQ(0, KmCommand(&d, {"shape", "empty", "2"}, &out));
    ASSERT_EQ(0, KmCommand(&d, {"shape", "gap", "1"}, &out));
    ASSERT_EQ(0, KmCommand(&d, {"fault", "header", "0x04", "--packet", "2", "--at", "1"}, &out));
    Bytes reply(50, 0x11);
    reply[0] = 0xF0;
    reply[49] = 0xF7;
    std::vector<Bytes> blocks;
    KmReplyBlocks(&d, reply.data(), reply.size(), &blocks);
    // 2 empty, a full block of 16 packets, 1 gap, the end packet.
    ASSERT_EQ(5u, blocks.size());
    EXPECT_EQ(Bytes(KM_BLOCK, 0), blocks[0]);
    EXPECT_EQ(Bytes(KM_BLOCK, 0), blocks[1]);
    EXPECT_EQ(Bytes({0xF4, 0xF0, 0x11, 0x11, 0x04, 0x11, 0x11, 0x11}), Bytes(blocks[2].begin(), blocks[2].begin() + 8));
    EXPECT_EQ(Bytes(KM_BLOCK, 0), blocks[3]);
    EXPECT_EQ(Bytes({0xF6, 0x11, 0xF7, 0, 0, 0}), Bytes(blocks[4].begin(), blocks[4].begin() + 6));

    // The header fault fired once; trailing packets fill the rest of a block.
    ASSERT_EQ(0, KmCommand(&d, {"shape", "clear"}, &out));
    ASSERT_EQ(0, KmCommand(&d, {"shape", "trailing", "on"}, &out));
    const Bytes small = {0xF0, 0x42, 0xF7};
    blocks.clear();
    KmReplyBlocks(&d, small.data(), small.size(), &blocks);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(Bytes({0xF7, 0xF0, 0x42, 0xF7, 0xF4, 0xF0, 0x42, 0x23}), Bytes(blocks[0].begin(), blocks[0].begin() + 8));
    EXPECT_EQ(0xF4, blocks[0][60]);
    EXPECT_EQ(2, KmCommand(&d, {"shape", "gap"}, &out));
}

} // namespace
