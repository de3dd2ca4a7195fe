// The update engine over the kernel MIDI link, against the test bed's kernel
// USB-MIDI driver and the device model: whole updates to the flash image,
// device faults, a device that goes away, and an abort while paused.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "kernelmidi.h"
#include "kmclient.h"
#include "link.h"
#include "protocol.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

const unsigned char kInquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};

// A packet of raw data whose 8-bit sum is F7, the byte that ends a message.
std::vector<unsigned char> SumF7Packet(unsigned variant)
{
    std::vector<unsigned char> p = Pattern(256, variant);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < p.size(); ++i)
        sum += p[i];
    p[255] = (unsigned char)(0xF7 - sum);
    return p;
}

class KernelEngine : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char err[ERROR_TEXT_SIZE];
        ASSERT_EQ(1, AllocTransferBuffers(err));
        VctlOk("kmidi install");
    }
    static void TearDownTestSuite() { FreeTransferBuffers(); }
    void SetUp() override
    {
        VctlOk("fault clear");
        VctlOk("kmidi shape clear");
        VctlOk("kmidi fault clear");
        ConfigureDevice(1, 256, 0);
        PowerCycle();
    }
    void TearDown() override
    {
        KernelMidiClose();
        VcKmHold(0);
        LinkType = LinkUsbBulk;
    }

    // The controller switched off and on in its update mode: versions back to
    // 1.00, flash and log empty, the link opened again.
    void PowerCycle()
    {
        KernelMidiClose();
        VctlOk("reset");
        VctlOk("kmidi unplug 0");
        VctlOk("kmidi plug 0");
        char err[ERROR_TEXT_SIZE] = "";
        ASSERT_EQ(1, KernelMidiOpen(err)) << err;
    }

    int Run(const std::vector<unsigned char>& file) { return window_.Run(file, LinkKernelMidi); }

    TestWindow window_;
};

TEST_F(KernelEngine, WholeUpdatesPackedAndRawInBothProtocols)
{
    BlockSpec first;
    first.code = 1;
    first.data = Pattern(3 * 256, 21);
    std::vector<unsigned char> f7 = SumF7Packet(22);
    first.data.insert(first.data.end(), f7.begin(), f7.end());
    first.data.insert(first.data.end(), 2 * 256, 0x5A); // two fill packets where offered
    BlockSpec second;
    second.code = 2;
    second.major = 2;
    second.minor = 0;
    second.offset = (uint32_t)first.data.size(); // protocol 0 sends no base: packet numbers go on
    second.data = Pattern(2 * 256, 23);
    std::vector<unsigned char> file = FileBytes({first, second});
    const size_t packets = (first.data.size() + second.data.size()) / 256;

    for (int protocol = 0; protocol <= 1; ++protocol) {
        for (int caps = 0; caps <= 3; ++caps) {
            SCOPED_TRACE("protocol " + std::to_string(protocol) + " caps " + std::to_string(caps));
            ConfigureDevice(protocol, 256, caps);
            PowerCycle();
            VctlOk("kmidi wire clear");
            {
                TestClock clock;
                ASSERT_EQ(1, Run(file));
                EXPECT_EQ((LONG)(2 + packets), clock.Expired(20)); // after the set-mode reply and after every packet
            }
            std::vector<unsigned char> image = first.data;
            image.insert(image.end(), second.data.begin(), second.data.end());
            EXPECT_EQ(image, Flash(0, (uint32_t)image.size()));

            std::vector<std::string> log = WireLog();
            bool raw = caps & 1, fill = caps & 2;
            EXPECT_EQ(2u, CountLines(log, raw ? "set-mode raw" : "set-mode packed"));
            EXPECT_EQ(fill ? 2u : 0u, CountLines(log, "| fill #"));
            EXPECT_EQ(packets - (fill ? 2 : 0), CountLines(log, "| data #"));
            EXPECT_EQ(0u, CountLines(log, "Error"));
            // Every raw packet was announced by the marker on the wire.
            std::string wire = VctlOk("kmidi wire");
            size_t markers = 0;
            for (size_t at = wire.find("FF FF FF 00"); at != std::string::npos; at = wire.find("FF FF FF 00", at + 1))
                ++markers;
            EXPECT_EQ(raw ? packets - (fill ? 2 : 0) : 0u, markers);
        }
    }
}

TEST_F(KernelEngine, DeviceStatusEndsTheRunWithItsTextAndNothingAfter)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 24);
    std::vector<unsigned char> file = BlockBytes(b);
    ExpectDeviceStatusesEndTheRun(window_, [this] { PowerCycle(); }, [&] { return Run(file); });
}

TEST_F(KernelEngine, SilenceAndADeviceThatGoesAwayEndInRecieveError)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 25);
    std::vector<unsigned char> file = BlockBytes(b);

    // The receive's polls run on the test clock; the link opens and closes in real time.
    auto run = [&] {
        TestClock clock;
        return Run(file);
    };
    VctlOk("fault silent --at 2");
    ExpectRunFailsWith(window_, run, "Recieve Error", "[fault: no reply]");

    PowerCycle();
    VctlOk("fault unplug --at 3");
    ExpectRunFailsWith(window_, run, "Recieve Error", "[fault: device disappears]");
    EXPECT_EQ(std::vector<unsigned char>(b.data.begin(), b.data.begin() + 512), Flash(0, 512));
}

TEST_F(KernelEngine, AbortWhilePausedEndsTheRunAndNothingFollows)
{
    BlockSpec b;
    b.data = Pattern(8 * 256, 26);
    TestClock clock;
    ExpectAbortWhileHeldEndsTheRun(window_, clock, BlockBytes(b), LinkKernelMidi);
}

TEST_F(KernelEngine, EmptyBlocksAndAStalledOutPipeEndEveryWaitAndTheAbortEndsItAtOnce)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 27);
    TempFile f(BlockBytes(b));
    char err[ERROR_TEXT_SIZE] = "";
    unsigned char rx[RX_BUFFER_SIZE];
    int r = 99;
    LinkType = LinkKernelMidi;

    // The driver answers every idle read with an empty block: the receive
    // from a silent device still ends, and a run waiting so ends at the abort.
    ASSERT_TRUE(VcKmHold(VCKM_HOLD_IDLE_EMPTY));
    EXPECT_TRUE(CallEnds([&] { return LinkReceive(rx, sizeof(rx), err); }, 4 * KMIDI_RECEIVE_BOUND_MS, &r));
    EXPECT_EQ(0, r);
    EXPECT_STREQ("Recieve Error", err);
    VctlOk("fault silent --at 3");
    EXPECT_EQ(0, AbortRun(window_, f.path(), LinkKernelMidi, [] { return Logged("[fault: no reply]"); }, 3000));
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    ASSERT_TRUE(VcKmHold(0));

    // The out-pipe stalls: a send gives up after its wait, and a run blocked
    // in a write ends at the abort, with nothing written after it.
    PowerCycle();
    ASSERT_TRUE(VcKmHold(VCKM_HOLD_WRITES));
    EXPECT_TRUE(CallEnds([&] { return LinkSend(kInquiry, sizeof(kInquiry), err, TxMidi); },
                         4 * KMIDI_SEND_WAIT_MS, &r));
    EXPECT_EQ(0, r);
    EXPECT_STREQ("Transmit Error(Time Out)", err);
    auto held = [] {
        vckm_status st;
        return VcKmStatus(&st) && st.dev[0].held_writes > 0;
    };
    EXPECT_EQ(0, AbortRun(window_, f.path(), LinkKernelMidi, held, 3000));
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    EXPECT_FALSE(held());
    EXPECT_EQ(0u, CountLines(WireLog(), "| inquiry"));
}

} // namespace
