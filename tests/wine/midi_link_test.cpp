// The system MIDI link and its port scan against the virtual controller:
// the test bed's MIDI driver (winevcmidi.drv) gives this process the ports
// below, of which "VC Out" #4 and "VC Thru" #5 reach the device model and
// "VC In" #3 hears it.
#include <gtest/gtest.h>
#include <windows.h>

#include <mmsystem.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "link.h"
#include "midilinks.h"
#include "protocol.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

const char* const kPorts =
    "'out 1 0 0 Port A' 'out 1 0 0 VC Out' 'out 1 1 0 Busy Out' 'out 2 0 0 Synth Out' "
    "'out 1 0 1 VC Out' 'out 1 0 1 VC Thru' 'out 2 0 0 VC Out' "
    "'in 0 0 Port A In' 'in 0 0 VC In' 'in 1 0 Busy In' 'in 0 1 VC In' 'in 0 0 vc in'";

const unsigned char kPid[3] = {0x44, 0xFF, 0xFF};

struct ScanResult {
    int begun;
    int posted; // CMD_MIDI_PORT_FOUND arrived (wParam 2000, lParam 0)
    int found;
    std::string in, out;
};

// A window that only receives what the scan posts.
HWND NotifyWindow()
{
    static HWND hwnd;
    if (!hwnd)
        hwnd = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, GetModuleHandleA(NULL), NULL);
    return hwnd;
}

// Waits for the scan's notice, at most `ms`.
int WaitForPortFound(DWORD ms)
{
    DWORD start = RealTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, NotifyWindow(), 0, 0, PM_REMOVE)) {
            if (msg.message == WM_COMMAND && msg.wParam == 2000 && msg.lParam == 0)
                return 1;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
    } while (RealTickCount() - start < ms);
    return 0;
}

// Ends a running scan once it has posted its notice (or after `ms`).
ScanResult EndScan(DWORD ms)
{
    ScanResult r;
    r.begun = 1;
    r.posted = WaitForPortFound(ms);
    char in[256] = "", out[256] = "";
    r.found = MidiScanEnd(in, out);
    r.in = in;
    r.out = out;
    return r;
}

// One scan as the workflow runs it.
ScanResult Scan(const unsigned char pid[3], DWORD ms = 5000)
{
    if (!MidiScanBegin(NotifyWindow(), pid)) {
        ScanResult r = {0, 0, 0, "", ""};
        return r;
    }
    return EndScan(ms);
}

class Midi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const char* dll = getenv("PANEL_VCMIDI");
        ASSERT_TRUE(dll && *dll) << "PANEL_VCMIDI (winevcmidi.drv) is not set";
        VctlOk(std::string("midi install '") + dll + "'");
        VctlOk(std::string("midi ports ") + kPorts);
        VctlOk("midi delay 0");
        char err[ERROR_TEXT_SIZE];
        ASSERT_EQ(1, AllocTransferBuffers(err));
    }
    static void TearDownTestSuite()
    {
        FreeTransferBuffers();
        VctlOk("midi delay 0");
        VctlOk("midi hold off");
    }
    void SetUp() override
    {
        VctlOk("fault clear");
        VctlOk("reset");
        VctlOk("set protocol 1");
        VctlOk("set packet-size 256");
        VctlOk("set caps 3");
        VctlOk("set pid any");
    }
    void TearDown() override { MidiLinkClose(); }

    void Open()
    {
        char err[ERROR_TEXT_SIZE] = "";
        ASSERT_EQ(1, MidiLinkOpen("VC Out", "VC In", err)) << err;
    }

    int Run(const std::vector<unsigned char>& file) { return window_.Run(file, LinkSystemMidi); }

    TestWindow window_;
};

TEST_F(Midi, ScanFindsTheDeviceByTheEchoedPort)
{
    // Ports 4 and 5 both reach the device: the first reply (port 4) wins,
    // and the busy ports are left out.
    TestClock clock;
    ScanResult r = Scan(kPid);
    ASSERT_EQ(1, r.begun);
    EXPECT_EQ(1, r.posted);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ("VC In", r.in);
    EXPECT_EQ("VC Out", r.out);
    std::vector<std::string> log = WireLog();
    EXPECT_EQ(1u, CountLines(log, "F0 42 23 44 10 04 F7 | port probe 4"));
    EXPECT_EQ(1u, CountLines(log, "F0 42 23 44 10 05 F7 | port probe 5"));

    // A scan started again before the first one ended (a retry of the
    // workflow) has the ports to itself.
    ASSERT_EQ(1, MidiScanBegin(NotifyWindow(), kPid));
    WaitForPortFound(5000);
    r = Scan(kPid);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ("VC In", r.in);
    // What a scan found is not found again by an end without a scan.
    EXPECT_EQ(0, MidiScanEnd(NULL, NULL));

    // The port index comes from the reply, not from the port that carried
    // the probe; the reply must carry the whole product ID.
    const unsigned char pid3[3] = {0x44, 0x01, 0x02};
    VctlOk("fault silent --on any --at 1");
    VctlOk("fault silent --on any --at 2");
    ASSERT_EQ(1, MidiScanBegin(NotifyWindow(), pid3));
    VctlOk("midi inject F0 42 23 44 01 02 11 05 F7");
    r = EndScan(5000);
    EXPECT_EQ(1, r.posted);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ("VC Thru", r.out);
    EXPECT_EQ("VC In", r.in);
    EXPECT_EQ(1u, CountLines(WireLog(), "F0 42 23 44 01 02 10 05 F7"));

    // A reply one byte short, or with another product ID, is not the device's.
    const char* const wrong[] = {"midi inject F0 42 23 44 01 11 05 F7", "midi inject F0 42 23 44 01 03 11 05 F7"};
    for (const char* inject : wrong) {
        VctlOk("fault clear");
        VctlOk("fault silent --on any --at 1");
        VctlOk("fault silent --on any --at 2");
        ASSERT_EQ(1, MidiScanBegin(NotifyWindow(), pid3));
        VctlOk(inject);
        r = EndScan(300);
        EXPECT_EQ(0, r.posted) << inject;
        EXPECT_EQ(0, r.found) << inject;
    }

    // A padded reply has the wrong length: ignored, and it used up the
    // listener, so nothing is found.
    VctlOk("fault clear");
    VctlOk("fault long 17 --on any");
    r = Scan(kPid, 300);
    EXPECT_EQ(0, r.found);

    // A probe whose message has not left its port after 2 s is given up.
    const DWORD kHeld = 150; // ms in real time, longer than the 2 s on the clock
    VctlOk("fault clear");
    VctlOk("midi delay " + std::to_string(kHeld));
    clock.Reset();
    Scan(kPid, 0);
    VctlOk("midi delay 0");
    EXPECT_GE(clock.Expired(2000), 1);
    RealSleep(kHeld); // the driver is done with the message held back
}

TEST_F(Midi, OpenTakesTheHighestMidiPortOfTheNameAndReportsEachFailure)
{
    char err[ERROR_TEXT_SIZE] = "";
    const struct {
        const char *out, *in, *text;
    } fails[] = {
        {"Nope", "Nope In", "Midi out port is not exist : Nope"},
        {"Synth Out", "VC In", "Midi out port is not exist : Synth Out"},
        {"VC Out", "VC in", "Midi in port is not exist : VC in"},
        {"VC Out", "Busy In", "Midi In Open Error : Allocated"},
        {"Busy Out", "VC In", "Midi Out Open Error : Allocated"},
    };
    for (const auto& f : fails) {
        EXPECT_EQ(0, MidiLinkOpen(f.out, f.in, err)) << f.out;
        EXPECT_STREQ(f.text, err);
    }
    // Nothing was left open by the failures: the ports open again, and they
    // are the ones wired to the device (#4 of three "VC Out", #3 of two "VC In").
    strcpy(err, "earlier");
    ASSERT_EQ(1, MidiLinkOpen("VC Out", "VC In", err));
    EXPECT_STREQ("earlier", err);
    FileInfo fi = HeaderOf(BlockSpec());
    EXPECT_EQ(1, QueryDevice(&fi, LinkSystemMidi));
    MidiLinkClose();
    MidiLinkClose();
    EXPECT_EQ(1, MidiLinkOpen("VC Out", "vc in", err));
}

TEST_F(Midi, WholeUpdatesWithPackedDataAndCappedPackets)
{
    // Raw data is offered but not used. Protocol 1 tells the device the
    // packet size in the set-mode, so a reported 2048 goes as 1024; protocol
    // 0 has no means to, so its device reports 1024 here.
    SkipWriteFill blocks = SkipWriteFillFile(1024, 3 * 1024, 2048, 0x33);
    TestClock clock;
    for (int protocol = 0; protocol <= 1; ++protocol) {
        SCOPED_TRACE(protocol);
        VctlOk("reset");
        VctlOk("set version 1 1.05");
        VctlOk("set protocol " + std::to_string(protocol));
        VctlOk(protocol ? "set packet-size 2048" : "set packet-size 1024");
        Open();
        clock.Reset();
        ASSERT_EQ(1, Run(blocks.file));
        EXPECT_EQ(2 + 3 + 2, clock.Expired(20)); // after each set-mode reply and after every packet
        MidiLinkClose();
        ExpectSkipWriteFillFlash(blocks);
        std::vector<std::string> log = WireLog();
        EXPECT_EQ(1u, CountLines(log, "host on MIDI"));
        EXPECT_EQ(2u, CountLines(log, "set-mode packed"));
        size_t capped = 0;
        for (const std::string& l : log)
            capped += l.find("set-mode packed") != std::string::npos && l.find("packet size 1024") != std::string::npos;
        EXPECT_EQ(2u, capped);
        EXPECT_EQ(3u, CountLines(log, "| data #"));
        EXPECT_EQ(2u, CountLines(log, "| fill #"));
        EXPECT_EQ(0u, CountLines(log, " raw"));
    }
    // Protocol 0 cannot tell the device a smaller packet: a device that asks
    // for more than the port carries is refused before the block is sent
    // (cut to 1024, every packet would land at another address).
    VctlOk("reset");
    VctlOk("set protocol 0");
    VctlOk("set packet-size 2048");
    Open();
    EXPECT_EQ(0, Run(FileBytes({blocks.written})));
    MidiLinkClose();
    EXPECT_TRUE(window_.MessageRowShows(0, "Error - Packet size is out of range(2048)."));
    EXPECT_EQ(0u, CountLines(WireLog(), "set-mode"));
}

TEST_F(Midi, SendWaitsForTheEndOfTheLongMessageBeforeReusingItsBuffer)
{
    // Each long message leaves the port 40 ms after it was handed over, its
    // bytes taken from the buffer only then.
    VctlOk("midi delay 40");
    BlockSpec b;
    b.data = Pattern(4 * 256, 3);
    Open();
    int r = Run(BlockBytes(b));
    VctlOk("midi delay 0");
    ASSERT_EQ(1, r);
    EXPECT_EQ(b.data, Flash(0, (uint32_t)b.data.size()));

    // A message that does not leave the port in 5 s: the next send gives up.
    TestClock clock;
    const DWORD kHeld = 500; // ms in real time, longer than the 5 s on the clock
    VctlOk("midi delay " + std::to_string(kHeld));
    LinkType = LinkSystemMidi;
    const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(1, LinkSend(inquiry, sizeof(inquiry), err, TxMidi));
    ULONGLONG waited = clock.Waited();
    EXPECT_EQ(0, LinkSend(inquiry, sizeof(inquiry), err, TxMidi));
    EXPECT_EQ(5000u, clock.Waited() - waited);
    EXPECT_STREQ("Transmit Error(Time Out)", err);
    VctlOk("midi delay 0");
    RealSleep(kHeld); // the driver is done with the message held back
}

TEST_F(Midi, ReceiveRules)
{
    Open();
    // A first message that is no system-exclusive ends the receive with -1.
    ASSERT_EQ(1, MidiLinkArmReceive());
    VctlOk("midi inject 90 40 7F");
    unsigned char buf[1024 + 8];
    memset(buf, 0xEE, sizeof(buf));
    EXPECT_EQ(-1, MidiLinkReceive(buf, 1024));
    EXPECT_EQ(0xEE, buf[0]);

    // A long message is cut at the 256-byte input buffer; capacity 1024
    // copies 256 bytes.
    std::string msg = "midi inject F0";
    for (int i = 0; i < 300; ++i)
        msg += " 11";
    msg += " F7";
    ASSERT_EQ(1, MidiLinkArmReceive());
    VctlOk(msg);
    memset(buf, 0xEE, sizeof(buf));
    EXPECT_EQ(1, MidiLinkReceive(buf, 1024));
    EXPECT_EQ(0xF0, buf[0]);
    EXPECT_EQ(0x11, buf[255]);
    EXPECT_EQ(0xEE, buf[256]);
}

DWORD WINAPI ReceiveOnce(LPVOID result)
{
    unsigned char buf[1024];
    *(int*)result = MidiLinkReceive(buf, sizeof(buf));
    return 0;
}

TEST_F(Midi, AbortEndsAWaitingReceiveAndTheRun)
{
    Open();
    // The device stays silent: the wait ends by the abort (-2), not by its
    // time-out (-1).
    ASSERT_EQ(1, MidiLinkArmReceive());
    int result = 99;
    HANDLE t = CreateThread(NULL, 0, ReceiveOnce, &result, 0, NULL);
    Sleep(300);
    MidiLinkAbortWait();
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(-2, result);

    // The stop dialog's abort while the worker waits for a reply.
    VctlOk("fault silent --at 2");
    BlockSpec b;
    b.data = Pattern(8 * 256, 4);
    TempFile f(BlockBytes(b));
    window_.Start(f.path(), 0, LinkSystemMidi);
    window_.Pump(500);
    EXPECT_EQ(0, IsUpdateFinished());
    PauseUpdate();
    AbortUpdate();
    MidiLinkAbortWait();
    EXPECT_EQ(0, window_.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    ExpectNothingSentAfter("[fault: no reply]");
}

TEST_F(Midi, QueryOnTheWindowThreadEndsWithoutTheTimer)
{
    // No timer ticks the receive clock here: the receive still ends, after
    // the 100 ticks of 100 ms.
    TestClock clock;
    Open();
    FileInfo fi = HeaderOf(BlockSpec());
    VctlOk("fault silent --on inquiry");
    EXPECT_EQ(0, QueryDevice(&fi, LinkSystemMidi));
    EXPECT_EQ(10000u, clock.Waited());
    EXPECT_TRUE(window_.MessageRowShows(0, "Recieve Error(Timeout)"));
}

TEST_F(Midi, FaultsEndTheRunWithTheirTextAndNothingAfter)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 5);
    std::vector<unsigned char> file = BlockBytes(b);
    TestClock clock;
    Open();
    auto run = [&] { return Run(file); };
    ExpectDeviceStatusesEndTheRun(window_, [] { VctlOk("reset"); }, run);
    VctlOk("reset");
    VctlOk("fault malformed code --on setmode");
    ExpectRunFailsWith(window_, run, "Rx Msg Error(Msg Code Error)", "[fault: wrong");

    // The device goes away from the ports mid-run: no more replies.
    VctlOk("reset");
    VctlOk("fault unplug --at 2");
    ExpectRunFailsWith(window_, run, "Recieve Error(Timeout)", "[fault: device disappears]");
}

TEST_F(Midi, HeldMessagesNeitherHangTheScanNorOutlastTheAbort)
{
    // Port A never sends its probe: the scan takes it back after the probe's
    // wait, closes the port and finds the device on the ports after it.
    VctlOk("midi hold 0");
    ScanResult r = Scan(kPid);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ("VC Out", r.out);

    // The link is closed: its receive cannot be armed, so nothing is sent.
    const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
    char err[ERROR_TEXT_SIZE] = "";
    LinkType = LinkSystemMidi;
    EXPECT_EQ(0, LinkSend(inquiry, sizeof(inquiry), err, TxMidi));
    EXPECT_STREQ("Rx-Midi Setup Error", err);

    // VC Out holds the first message: the next send waits for it until the
    // user aborts.
    VctlOk("midi hold 4");
    Open();
    EXPECT_EQ(1, LinkSend(inquiry, sizeof(inquiry), err, TxMidi));
    int sent = 99;
    EXPECT_TRUE(CallEnds([&] { return LinkSend(inquiry, sizeof(inquiry), err, TxMidi); }, MIDI_SEND_WAIT_MS / 2,
                         &sent, [] {
                             Sleep(200);
                             MidiLinkAbortWait();
                         }));
    EXPECT_EQ(0, sent);
    EXPECT_STREQ("Transmit Error(Time Out)", err);
    VctlOk("midi hold off");
}

HANDLE g_reply_taken;  // the scan's callback is handing over a reply
HANDLE g_end_returned; // the scan's end has returned
volatile LONG g_callback_done;
void* g_post;

// Holds the scan callback's notice until the scan's end has returned, or a second.
BOOL WINAPI HeldPost(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (hwnd == NotifyWindow() && wparam == 2000) {
        SetEvent(g_reply_taken);
        WaitForSingleObject(g_end_returned, 1000);
        InterlockedExchange(&g_callback_done, 1);
    }
    return ((BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM))g_post)(hwnd, msg, wparam, lparam);
}

TEST_F(Midi, ScanEndWaitsForAReplyBeingTaken)
{
    g_post = SystemFunction("user32.dll", "PostMessageA");
    ASSERT_TRUE(g_post && ReplaceImport(g_post, (void*)HeldPost));
    g_reply_taken = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_end_returned = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_callback_done = 0;
    ASSERT_EQ(1, MidiScanBegin(NotifyWindow(), kPid));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_reply_taken, 5000));
    char in[256] = "", out[256] = "";
    int found = MidiScanEnd(in, out);
    LONG done = g_callback_done;
    SetEvent(g_end_returned);
    ReplaceImport((void*)HeldPost, g_post);
    EXPECT_EQ(1, done) << "the scan's end freed the listeners under a callback";
    EXPECT_EQ(1, found);
    EXPECT_STREQ("VC In", in);
    CloseHandle(g_reply_taken);
    CloseHandle(g_end_returned);
}

} // namespace
