// The serial link against the virtual controller: COM ports of the prefix
// are pseudo-terminals of the test bed, bridged to the same device model as
// the USB pipes (vctl com ...).
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "link.h"
#include "protocol.h"
#include "serial.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

BOOL WINAPI RefuseCommState(HANDLE, DCB*)
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

class Serial : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char err[ERROR_TEXT_SIZE];
        ASSERT_EQ(1, AllocTransferBuffers(err));
        VctlOk("com map");
    }
    static void TearDownTestSuite()
    {
        FreeTransferBuffers();
        VctlOk("com absent 1 2 3 4");
        VctlOk("com noise off");
    }
    void SetUp() override
    {
        VctlOk("fault clear");
        VctlOk("reset");
        VctlOk("set protocol 1");
        VctlOk("set packet-size 256");
        VctlOk("set caps 3");
        VctlOk("set pid any");
        VctlOk("com noise off");
        VctlOk("com absent 1 2 3 4");
        VctlOk("com present 2");
        // The port is opened on the test clock, which then keeps its time-outs.
        ASSERT_TRUE(clock_.armed());
        char err[ERROR_TEXT_SIZE] = "";
        ASSERT_EQ(1, SerialOpen(2, 57600, err)) << err;
    }
    void TearDown() override { SerialClose(); }

    int Run(const std::vector<unsigned char>& file, int force = 0) { return window_.Run(file, LinkSerial, force); }

    // One receive of what is on the line now.
    static std::vector<unsigned char> Receive(size_t capacity, int* result)
    {
        std::vector<unsigned char> buf(capacity + 8, 0xEE);
        *result = SerialReceive(buf.data(), (unsigned long)capacity);
        return buf;
    }

    TestClock clock_;
    TestWindow window_;
};

TEST_F(Serial, WholeUpdatesReachTheFlashThroughANoisyLine)
{
    // Block 1 is already there (skipped), blocks 2 and 3 are written; equal
    // packets go as fill messages where the device offers them.
    SkipWriteFill blocks = SkipWriteFillFile(512, 4 * 256, 3 * 256, 0x5A);
    blocks.filled.data[300] = 0x00; // one packet of block 3 is data
    blocks.file = FileBytes({blocks.skipped, blocks.written, blocks.filled});

    const struct {
        int protocol, caps, noise;
    } runs[] = {{0, 0, 0}, {1, 3, 1}, {1, 0, 1}};
    for (const auto& run : runs) {
        SCOPED_TRACE("protocol " + std::to_string(run.protocol) + " caps " + std::to_string(run.caps));
        VctlOk("reset");
        VctlOk("set version 1 1.05");
        VctlOk("set protocol " + std::to_string(run.protocol));
        VctlOk("set caps " + std::to_string(run.caps));
        VctlOk(run.noise ? "com noise on" : "com noise off");
        clock_.Reset();
        ASSERT_EQ(1, Run(blocks.file));
        EXPECT_EQ(2 + 4 + 3, clock_.Expired(20)); // after each set-mode reply and after every packet
        ExpectSkipWriteFillFlash(blocks);
        std::vector<std::string> log = WireLog();
        EXPECT_EQ(1u, CountLines(log, "--- host on COM2"));
        EXPECT_EQ(2u, CountLines(log, "set-mode"));
        EXPECT_EQ(run.caps ? 2u : 0u, CountLines(log, "| fill #"));
        EXPECT_EQ(0u, CountLines(log, run.caps & 1 ? " packed" : " raw"));
    }
}

TEST_F(Serial, ReceiveTakesRealBytesAsTheLinkRulesSay)
{
    int r = 0;
    // Bytes before the start are dropped, clocks and 0xFF anywhere.
    VctlOk("com inject 2 41 42 F0 10 F8 20 FF F7");
    std::vector<unsigned char> got = Receive(64, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 0x10, 0x20, 0xF7, 0xEE}),
              std::vector<unsigned char>(got.begin(), got.begin() + 5));

    // Other real-time bytes inside a message are data.
    VctlOk("com inject 2 F0 FA FB FC FD FE F7");
    got = Receive(64, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xF7}),
              std::vector<unsigned char>(got.begin(), got.begin() + 7));

    // A 0x00 on the idle line ends the receive at once; the message behind
    // it stays on the line for the next one.
    VctlOk("com inject 2 00 F0 31 F7");
    got = Receive(64, &r);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(0xEE, got[0]);
    got = Receive(64, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 0x31, 0xF7}), std::vector<unsigned char>(got.begin(), got.begin() + 3));

    // An overlong message is cut at the capacity, with no F7; its rest is
    // left on the line and skipped by the next receive.
    VctlOk("com inject 2 F0 01 02 03 04 05 06 07 08 09 0A F7");
    got = Receive(8, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 1, 2, 3, 4, 5, 6, 7, 0xEE}),
              std::vector<unsigned char>(got.begin(), got.begin() + 9));
    VctlOk("com inject 2 F0 44 F7");
    got = Receive(8, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ((std::vector<unsigned char>{0xF0, 0x44, 0xF7}), std::vector<unsigned char>(got.begin(), got.begin() + 3));

    // 10 s without a byte end the receive, also inside a message.
    VctlOk("com inject 2 F0 10");
    ULONGLONG waited = clock_.Waited();
    Receive(64, &r);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(10000u, clock_.Waited() - waited);
}

TEST_F(Serial, OpenReportsEachStepAndLeavesNothingOpen)
{
    SerialClose();
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(0, SerialOpen(3, 57600, err));
    EXPECT_STREQ("Comm Port Open Error!(CreateFile)", err);

    // A name that opens but is no serial port.
    VctlOk("com file 3");
    EXPECT_EQ(0, SerialOpen(3, 57600, err));
    EXPECT_STREQ("Comm Port Open Error!(GetCommState)", err);

    // A port that refuses the settings.
    // Stands in for a port driver that refuses a request the line itself cannot refuse.
    void* real = SystemFunction("kernel32.dll", "SetCommState");
    ASSERT_TRUE(real && ReplaceImport(real, (void*)RefuseCommState));
    ASSERT_NE(nullptr, real);
    EXPECT_EQ(0, SerialOpen(2, 57600, err));
    ReplaceImport((void*)RefuseCommState, real);
    EXPECT_STREQ("Comm Port Open Error!(SetCommState)", err);
    // No port is left open: nothing can be sent.
    const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
    EXPECT_EQ(0, SerialSend(inquiry, sizeof(inquiry)));

    // A good open leaves the text alone and carries bytes.
    strcpy(err, "earlier");
    ASSERT_EQ(1, SerialOpen(2, 57600, err));
    EXPECT_STREQ("earlier", err);
    EXPECT_EQ(1, SerialSend(inquiry, sizeof(inquiry)));
    int r = 0;
    Receive(64, &r);
    EXPECT_EQ(1, r);
    SerialClose();
    SerialClose();
    EXPECT_EQ(0, SerialSend(inquiry, sizeof(inquiry)));
    unsigned char present[4] = {9, 9, 9, 9};
    ProbeSerialPorts(present);
    EXPECT_EQ((std::vector<unsigned char>{0, 1, 0, 0}), std::vector<unsigned char>(present, present + 4));
}

TEST_F(Serial, FaultsEndTheRunWithTheirTextAndNothingAfter)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 8);
    std::vector<unsigned char> file = BlockBytes(b);
    auto run = [&] { return Run(file); };
    ExpectDeviceStatusesEndTheRun(window_, [] { VctlOk("reset"); }, run);

    VctlOk("reset");
    VctlOk("fault malformed pid --on setmode");
    ExpectRunFailsWith(window_, run, "Rx Msg Error(Product ID Error)", "[fault: wrong");

    // A 0x00 in front of a reply reads as a time-out at once.
    VctlOk("reset");
    VctlOk("com zero --at 4");
    ExpectRunFailsWith(window_, run, "Recieve Error(Timeout)", "| data #0");

    // The port disappears under the run (its line hangs up). Wine's read of
    // the hung-up line brings no byte, so the receive times out.
    VctlOk("reset");
    VctlOk("fault unplug --at 2");
    ExpectRunFailsWith(window_, run, "Recieve Error(Timeout)", "[fault: device disappears]");
}

TEST_F(Serial, SilenceTimesOutAndAnAbortWhilePausedEndsTheRun)
{
    BlockSpec b;
    b.data = Pattern(8 * 256, 9);
    std::vector<unsigned char> file = BlockBytes(b);

    VctlOk("fault silent --at 3");
    ExpectRunFailsWith(window_, [&] { return Run(file); }, "Recieve Error(Timeout)", "[fault: no reply]");

    VctlOk("reset");
    ExpectAbortWhileHeldEndsTheRun(window_, clock_, file, LinkSerial);
}

volatile LONG g_chatter = 0;
void* g_create;
void* g_close;
HANDLE g_port_handles[2];
int g_ports_opened, g_ports_open;

HANDLE WINAPI NotedCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                               DWORD flags, HANDLE templ)
{
    HANDLE h = ((HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE))g_create)(
        name, access, share, sa, disposition, flags, templ);
    if (strncmp(name, "COM", 3) == 0 && h != INVALID_HANDLE_VALUE && g_ports_opened < 2) {
        g_port_handles[g_ports_opened++] = h;
        g_ports_open++;
    }
    return h;
}

BOOL WINAPI NotedCloseHandle(HANDLE h)
{
    for (HANDLE& p : g_port_handles) {
        if (h && p == h) {
            p = NULL;
            g_ports_open--;
        }
    }
    return ((BOOL(WINAPI*)(HANDLE))g_close)(h);
}

// The line carries an active-sensing byte every 200 ms while g_chatter is set.
DWORD WINAPI Chatter(LPVOID)
{
    while (g_chatter) {
        Vctl("com inject 2 FE");
        Sleep(200);
    }
    return 0;
}

TEST_F(Serial, NoiseBeforeTheReplyEndsTheReceiveAndTheAbortEndsAWaitingRun)
{
    // An open of the open port gives its handle back first: every port
    // handle opened is closed by the close.
    g_create = SystemFunction("kernel32.dll", "CreateFileA");
    g_close = SystemFunction("kernel32.dll", "CloseHandle");
    ASSERT_TRUE(ReplaceImport(g_create, (void*)NotedCreateFileA));
    ASSERT_TRUE(ReplaceImport(g_close, (void*)NotedCloseHandle));
    char err[ERROR_TEXT_SIZE] = "";
    SerialClose();
    EXPECT_EQ(1, SerialOpen(2, 57600, err));
    EXPECT_EQ(1, SerialOpen(2, 57600, err));
    SerialClose();
    ReplaceImport((void*)NotedCreateFileA, g_create);
    ReplaceImport((void*)NotedCloseHandle, g_close);
    EXPECT_EQ(2, g_ports_opened);
    EXPECT_EQ(0, g_ports_open);
    ASSERT_EQ(1, SerialOpen(2, 57600, err));

    // Bytes before F0 keep coming and no reply: the receive ends all the same.
    g_chatter = 1;
    HANDLE chatter = CreateThread(NULL, 0, Chatter, NULL, 0, NULL);
    int r = 99;
    EXPECT_TRUE(CallEnds([&] { return Receive(64, &r), r; }, 2 * SERIAL_RECEIVE_BOUND_MS, &r));
    EXPECT_EQ(-1, r);
    g_chatter = 0; // (vctl runs one at a time)
    WaitForSingleObject(chatter, INFINITE);
    CloseHandle(chatter);

    // A run waiting for a reply ends at the abort.
    BlockSpec b;
    b.data = Pattern(8 * 256, 10);
    TempFile f(BlockBytes(b));
    VctlOk("fault silent --at 3");
    EXPECT_EQ(0, AbortRun(window_, f.path(), LinkSerial, [] { return Logged("[fault: no reply]"); }, 3000));
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    ExpectNothingSentAfter("[fault: no reply]");
}

} // namespace
