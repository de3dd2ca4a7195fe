// The kernel MIDI link's packets: framing of sends into out-pipe writes and
// taking received blocks apart.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "kmidiframe.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Every write of one send.
std::vector<Bytes> Frame(const Bytes& in, int raw_next, int after_raw = 0)
{
    KmidiSender s;
    KmidiSendBegin(&s, in.data(), in.size(), raw_next, after_raw);
    std::vector<Bytes> writes;
    unsigned char out[KMIDI_OUT_BLOCK_SIZE];
    size_t n;
    while ((n = KmidiFrameNext(&s, out)) > 0)
        writes.push_back(Bytes(out, out + n));
    return writes;
}

TEST(KmidiSend, FramesMessagesOnCable15WithTheMarkerBehind)
{
    const Bytes msg = {0xF0, 0x42, 0x23, 0x00, 0xF7};
    const Bytes framed = {0xF4, 0xF0, 0x42, 0x23, 0xF6, 0x00, 0xF7, 0x00};
    EXPECT_EQ(std::vector<Bytes>{framed}, Frame(msg, 0));
    Bytes marked = framed;
    marked.insert(marked.end(), {0xFF, 0xFF, 0xFF, 0x00});
    EXPECT_EQ(std::vector<Bytes>{marked}, Frame(msg, 1));

    // Bytes after the F7 are not sent; one, two or three bytes end a message
    // without F7 with the matching end packet.
    EXPECT_EQ(std::vector<Bytes>{Bytes({0xF5, 0xF7, 0, 0})}, Frame({0xF7, 0x11, 0x22}, 0));
    EXPECT_EQ(std::vector<Bytes>{Bytes({0xF6, 0x01, 0x02, 0})}, Frame({0x01, 0x02}, 0));
    EXPECT_EQ(std::vector<Bytes>{Bytes({0xF7, 0x01, 0x02, 0x03})}, Frame({0x01, 0x02, 0x03}, 0));
}

TEST(KmidiSend, FullBlockSendsTheMarkerInAWriteOfItsOwn)
{
    Bytes data(192, 0x11);
    std::vector<Bytes> w = Frame(data, 0);
    ASSERT_EQ(1u, w.size());
    ASSERT_EQ(256u, w[0].size());
    EXPECT_EQ(0xF4, w[0][252 - 4]);
    EXPECT_EQ(0xF7, w[0][252]);

    // The raw transfer behind it must find the marker already sent.
    w = Frame(data, 1);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(256u, w[0].size());
    EXPECT_EQ(Bytes({0xFF, 0xFF, 0xFF, 0x00}), w[1]);

    // Longer messages go out in blocks of 64 packets.
    w = Frame(Bytes(200, 0x22), 1);
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(256u, w[0].size());
    EXPECT_EQ(Bytes({0xF4, 0x22, 0x22, 0x22, 0xF4, 0x22, 0x22, 0x22, 0xF6, 0x22, 0x22, 0x00, 0xFF, 0xFF, 0xFF, 0x00}),
              w[1]);
}

TEST(KmidiSend, ChecksumF7BehindRawDataDoesNotEndTheMessage)
{
    // The byte after a raw transfer is its 8-bit checksum, whatever its value.
    EXPECT_EQ(std::vector<Bytes>{Bytes({0xF6, 0xF7, 0xF7, 0})}, Frame({0xF7, 0xF7}, 0, 1));
    EXPECT_EQ(std::vector<Bytes>{Bytes({0xF5, 0xF7, 0, 0})}, Frame({0xF7, 0xF7}, 0, 0));
}

struct Walk {
    unsigned char buffer[1024];
    KmidiReceiver r;
    explicit Walk(size_t capacity = sizeof(buffer))
    {
        memset(buffer, 0xEE, sizeof(buffer));
        KmidiReceiveBegin(&r, buffer, capacity);
    }
    int Block(const Bytes& packets)
    {
        unsigned char b[KMIDI_IN_BLOCK_SIZE] = {0};
        memcpy(b, packets.data(), packets.size());
        return KmidiWalkBlock(&r, b);
    }
    Bytes Got() const { return Bytes(buffer, buffer + r.count); }
};

TEST(KmidiReceive, TakesMessagesApartAndRefusesBadCodeIndexes)
{
    Walk w;
    EXPECT_EQ(KmidiBlockDone, w.Block({0xF4, 0xF0, 0x42, 0x23, 0xF5, 0xF7, 0, 0, 0xF4, 0x01, 0x02, 0x03}));
    EXPECT_EQ(Bytes({0xF0, 0x42, 0x23, 0xF7}), w.Got());

    // The cable number is not looked at.
    Walk cable;
    EXPECT_EQ(KmidiBlockDone, cable.Block({0x04, 0xF0, 0x42, 0x23, 0x16, 0x00, 0xF7, 0}));
    EXPECT_EQ(Bytes({0xF0, 0x42, 0x23, 0x00, 0xF7}), cable.Got());

    Walk zero_header;
    EXPECT_EQ(KmidiBlockBad, zero_header.Block({0x00, 0xF0, 0x42, 0x23}));
    Walk later;
    EXPECT_EQ(KmidiBlockBad, later.Block({0xF4, 0xF0, 0x42, 0x23, 0xF0, 0x01, 0x02, 0x03}));
    Walk eight;
    EXPECT_EQ(KmidiBlockBad, eight.Block({0xF8, 0xF0, 0x42, 0x23}));

    unsigned char empty[KMIDI_IN_BLOCK_SIZE] = {0};
    EXPECT_TRUE(KmidiBlockEmpty(empty));
    empty[3] = 1;
    EXPECT_FALSE(KmidiBlockEmpty(empty));
}

TEST(KmidiReceive, MessageRunsOnIntoTheNextBlockAndStopsAtCapacity)
{
    Bytes full;
    for (int i = 0; i < 16; ++i)
        full.insert(full.end(), {0xF4, (unsigned char)(i ? i : 0xF0), 0x10, 0x20});
    Walk w;
    EXPECT_EQ(KmidiBlockMore, w.Block(full));
    EXPECT_EQ(KmidiBlockDone, w.Block({0xF6, 0x33, 0xF7, 0}));
    ASSERT_EQ(50u, w.Got().size());
    EXPECT_EQ(0xF0, w.Got()[0]);
    EXPECT_EQ(0xF7, w.Got()[49]);

    // The buffer is never overrun: the message ends when it is full.
    Walk small(5);
    EXPECT_EQ(KmidiBlockDone, small.Block(full));
    EXPECT_EQ(5u, small.r.count);
    EXPECT_EQ(0xEE, small.buffer[5]);
}

} // namespace
