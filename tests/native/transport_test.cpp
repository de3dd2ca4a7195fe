// Descriptor walks, serial framing, the MIDI port scan's probe and reply
// check, and the dispatch's result mapping.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "linkmap.h"
#include "midiscan.h"
#include "serialframe.h"
#include "sysfile.h"
#include "usbdesc.h"

namespace {

struct Config {
    unsigned char d[USB_DESCRIPTOR_DATA_SIZE];
    int len = 0;
    Config()
    {
        memset(d, 0, sizeof(d));
        const unsigned char cfg[] = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
        Add(cfg, sizeof(cfg));
        const unsigned char itf[] = {9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
        Add(itf, sizeof(itf));
    }
    void Add(const unsigned char* b, int n)
    {
        memcpy(d + len, b, n);
        len += n;
        d[2] = (unsigned char)len;
        d[3] = (unsigned char)(len >> 8);
    }
    void Endpoint(unsigned char address, unsigned char attributes, unsigned short max_packet)
    {
        const unsigned char ep[] = {7, 5, address, attributes, (unsigned char)max_packet,
                                    (unsigned char)(max_packet >> 8), 0};
        Add(ep, sizeof(ep));
    }
    void ClassSpecific()
    {
        const unsigned char cs[] = {5, 0x25, 1, 1, 1};
        Add(cs, sizeof(cs));
    }
    int Pipe(unsigned char selector, uint32_t* packet = NULL) const
    {
        int first, count;
        ScanEndpoints(d, &first, &count);
        return FindPipeEndpoint(d, first, count, selector, packet);
    }
};

TEST(DescriptorWalk, PipeIndexFollowsDescriptorOrder)
{
    Config in_out;
    in_out.Endpoint(0x81, 2, 64);
    in_out.Endpoint(0x02, 2, 512);
    uint32_t packet = 0;
    EXPECT_EQ(0, in_out.Pipe(0x80, &packet));
    EXPECT_EQ(64u, packet);
    EXPECT_EQ(1, in_out.Pipe(0x00, &packet));
    EXPECT_EQ(512u, packet);

    Config out_first; // bulk OUT described before bulk IN
    out_first.Endpoint(0x02, 2, 64);
    out_first.Endpoint(0x81, 2, 64);
    EXPECT_EQ(1, out_first.Pipe(0x80));
    EXPECT_EQ(0, out_first.Pipe(0x00));

    Config interrupt_first; // interrupt endpoints count in the index
    interrupt_first.Endpoint(0x83, 3, 8);
    interrupt_first.ClassSpecific();
    interrupt_first.Endpoint(0x81, 2, 64);
    interrupt_first.ClassSpecific();
    interrupt_first.Endpoint(0x02, 2, 64);
    EXPECT_EQ(1, interrupt_first.Pipe(0x80));
    EXPECT_EQ(2, interrupt_first.Pipe(0x00));
    EXPECT_EQ(0, interrupt_first.Pipe(0xC0));  // first interrupt IN
    EXPECT_EQ(-1, interrupt_first.Pipe(0x40)); // no interrupt OUT
    EXPECT_EQ(-1, interrupt_first.Pipe(0x81)); // ordinal beyond the matching endpoints

    int first, count;
    ScanEndpoints(interrupt_first.d, &first, &count);
    EXPECT_EQ(18, first);
    EXPECT_EQ(3, count);
}

TEST(DescriptorWalk, BadDataHasNoPipes)
{
    Config none; // a device without endpoint descriptors
    EXPECT_EQ(-1, none.Pipe(0x80));

    unsigned char zeros[USB_DESCRIPTOR_DATA_SIZE] = {0}; // failed request
    int first = 7, count = 7;
    ScanEndpoints(zeros, &first, &count);
    EXPECT_EQ(-1, first);
    EXPECT_EQ(0, count);

    Config zero_len; // a descriptor of length 0 ends the walk
    const unsigned char bad[] = {0, 5, 0x81, 2, 64, 0, 0};
    zero_len.Add(bad, sizeof(bad));
    zero_len.Endpoint(0x81, 2, 64);
    EXPECT_EQ(-1, zero_len.Pipe(0x80));

    // A total length beyond the buffer and endpoints running off its end.
    std::vector<unsigned char> big(USB_DESCRIPTOR_DATA_SIZE, 0);
    big[0] = 9;
    big[1] = 2;
    big[2] = 0xFF;
    big[3] = 0xFF;
    for (int off = 9; off + 2 <= USB_DESCRIPTOR_DATA_SIZE; off += 7) {
        big[off] = 7;
        big[off + 1] = 5;
        big[off + 2] = 0x02;
        big[off + 3] = 2;
    }
    ScanEndpoints(big.data(), &first, &count);
    EXPECT_EQ(9, first);
    EXPECT_EQ(71, count); // only those that lie wholly inside the 512 bytes
    EXPECT_EQ(-1, FindPipeEndpoint(big.data(), first, count, 0x80, NULL));
    EXPECT_EQ(63, FindPipeEndpoint(big.data(), first, count, 63, NULL)); // the largest ordinal
}

TEST(DescriptorWalk, DeviceIdsAndPipeNames)
{
    unsigned char dev[18] = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x44, 0x09, 0x01, 0x10, 0, 1, 0, 0, 0, 1};
    uint16_t vid, pid;
    DeviceDescriptorIds(dev, &vid, &pid);
    EXPECT_EQ(0x0944, vid);
    EXPECT_EQ(0x1001, pid);

    char name[64];
    ASSERT_TRUE(BuildPipeName(name, sizeof(name), "\\\\?\\usb#vid_0944&pid_1001#1#{x}", 1));
    EXPECT_STREQ("\\\\?\\usb#vid_0944&pid_1001#1#{x}\\dpipe01", name);
    EXPECT_FALSE(BuildPipeName(name, 20, "\\\\?\\usb#vid_0944&pid_1001#1#{x}", 1));
}

int FeedSerial(const std::vector<unsigned char>& in, std::vector<unsigned char>* buffer, size_t capacity,
               size_t* count)
{
    buffer->assign(capacity, 0xEE);
    *count = 0;
    for (unsigned char b : in) {
        int r = SerialFrameByte(b, buffer->data(), capacity, count);
        if (r != SerialFrameMore)
            return r;
    }
    return SerialFrameMore;
}

TEST(SerialFraming, MessageBoundaries)
{
    std::vector<unsigned char> buf;
    size_t count;
    EXPECT_EQ(SerialFrameDone, FeedSerial({0x41, 0x42, 0xF0, 0x10, 0xF8, 0x20, 0xF7}, &buf, 16, &count));
    ASSERT_EQ(3u, count);
    EXPECT_EQ(0, memcmp(buf.data(), "\xF0\x10\x20\xF7", 4));

    EXPECT_EQ(SerialFrameTimeout, FeedSerial({0x00, 0xF0, 0x01}, &buf, 16, &count));

    // Real-time bytes other than F8 and FF are data; FF is dropped.
    EXPECT_EQ(SerialFrameDone, FeedSerial({0xF0, 0xFA, 0xFF, 0xFE, 0xF7}, &buf, 16, &count));
    EXPECT_EQ(0, memcmp(buf.data(), "\xF0\xFA\xFE\xF7", 4));

    // Longer than the capacity: exactly capacity bytes, no F7, nothing past it.
    EXPECT_EQ(SerialFrameDone, FeedSerial({0xF0, 1, 2, 3, 4, 5, 0xF7}, &buf, 4, &count));
    EXPECT_EQ(4u, count);
    EXPECT_EQ(0, memcmp(buf.data(), "\xF0\x01\x02\x03", 4));
}

TEST(PortScan, ProbeAndReplyCheck)
{
    unsigned char probe[MIDI_PROBE_MAX];
    // A third product ID byte counts only behind a second one.
    const unsigned char one[3] = {0x44, 0xFF, 0x12};
    ASSERT_EQ(7, MidiBuildProbe(one, probe));
    EXPECT_EQ(0, memcmp(probe, "\xF0\x42\x23\x44\x10\x00\xF7", 7));
    const unsigned char three[3] = {0x44, 0x01, 0x02};
    ASSERT_EQ(9, MidiBuildProbe(three, probe));
    MidiSetProbePort(probe, 9, 0x185);
    EXPECT_EQ(0, memcmp(probe, "\xF0\x42\x23\x44\x01\x02\x10\x85\xF7", 9));

    const unsigned char reply[] = {0xF0, 0x42, 0x23, 0x44, 0x01, 0x02, 0x11, 0x05, 0xF7};
    EXPECT_EQ(5, MidiProbeReplyPort(reply, 9, 9, three));
    EXPECT_EQ(-1, MidiProbeReplyPort(reply, 8, 9, three));     // recorded length differs
    EXPECT_EQ(-1, MidiProbeReplyPort(reply, 9, 9, one));       // an ID longer than the file's
    const unsigned char two[3] = {0x44, 0x01, 0xFF};
    EXPECT_EQ(-1, MidiProbeReplyPort(reply, 9, 8, two));       // not the probe's length
    const unsigned char short_reply[] = {0xF0, 0x42, 0x23, 0x44, 0x01, 0x11, 0x07, 0xF7};
    EXPECT_EQ(7, MidiProbeReplyPort(short_reply, 8, 8, two));  // the third byte is neither sent nor compared
    for (size_t i = 0; i < sizeof(reply); ++i) {
        unsigned char bad[sizeof(reply)];
        memcpy(bad, reply, sizeof(reply));
        bad[i] ^= 0x01;
        if (i != 7) { // the port index may be anything
            EXPECT_EQ(-1, MidiProbeReplyPort(bad, 9, 9, three)) << i;
        }
    }
}

TEST(LinkDispatch, RowsAndResultTexts)
{
    EXPECT_EQ(0, LinkRow(0));
    EXPECT_EQ(1, LinkRow(1));
    EXPECT_EQ(2, LinkRow(2));
    EXPECT_EQ(3, LinkRow(3));
    EXPECT_EQ(3, LinkRow(5));
    EXPECT_EQ(3, LinkRow(-1));

    EXPECT_EQ(0, KernelSendKind(0));
    EXPECT_EQ(1, KernelSendKind(1));
    EXPECT_EQ(2, KernelSendKind(2));
    EXPECT_EQ(-1, KernelSendKind(3)); // maps to "Transmit Error" without a send
    EXPECT_EQ(-1, KernelSendKind(-1));

    char err[ERROR_TEXT_SIZE] = "earlier";
    EXPECT_EQ(1, MapSendResult(1, err));
    EXPECT_EQ(1, MapSendResult(7, err)); // any other value counts as success
    EXPECT_STREQ("earlier", err);
    EXPECT_EQ(0, MapSendResult(0, err));
    EXPECT_STREQ("Transmit Error", err);
    EXPECT_EQ(0, MapSendResult(-1, err));
    EXPECT_STREQ("Transmit Error(Time Out)", err);
    EXPECT_EQ(0, MapSendResult(-2, err));
    EXPECT_STREQ("Rx-Midi Setup Error", err);

    strcpy(err, "earlier");
    EXPECT_EQ(1, MapReceiveResult(1, err));
    EXPECT_EQ(0, MapReceiveResult(-2, err)); // aborted: text unchanged
    EXPECT_STREQ("earlier", err);
    EXPECT_EQ(0, MapReceiveResult(0, err));
    EXPECT_STREQ("Recieve Error", err);
    EXPECT_EQ(0, MapReceiveResult(-1, err));
    EXPECT_STREQ("Recieve Error(Timeout)", err);
}

} // namespace
