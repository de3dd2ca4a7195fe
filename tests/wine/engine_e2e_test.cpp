// The update engine against the virtual controller, through the real USB
// bulk link: device query, whole runs, faults, pause and abort.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link.h"
#include "protocol.h"
#include "support/testbed.h"
#include "sysfile_win.h"
#include "update.h"
#include "usbbulk.h"
#include "usblink.h"

using namespace testbed;

namespace {

class Engine : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char err[ERROR_TEXT_SIZE];
        ASSERT_EQ(1, AllocTransferBuffers(err));
        init_cusbbulk();
    }
    static void TearDownTestSuite()
    {
        free_cusbbulk();
        FreeTransferBuffers();
    }
    void SetUp() override
    {
        ConfigureDevice(1, 256, 0);
        VctlOk("fault clear");
        // A power cycle: no reply of an earlier test (held, or come after
        // an abort) is left anywhere on the way.
        VctlOk("replug");
        VctlOk("reset");
        char err[ERROR_TEXT_SIZE] = "";
        ASSERT_EQ(1, UsbLinkOpen(err)) << err;
    }
    void TearDown() override { UsbLinkClose(); }

    int Run(const std::vector<unsigned char>& file, int force = 0) { return window_.Run(file, LinkUsbBulk, force); }

    int Progress() { return (int)SendMessageA(window_.progress(), PBM_GETPOS, 0, 0); }
    int ProgressEnd() { return (int)SendMessageA(window_.progress(), PBM_GETRANGE, FALSE, 0); }

    TestWindow window_;
};

TEST_F(Engine, WritesBlockInEveryProtocolAndDataForm)
{
    BlockSpec b;
    b.data = Pattern(16 * 256, 1);
    std::vector<unsigned char> file = BlockBytes(b);
    for (int protocol = 0; protocol <= 1; ++protocol) {
        for (int caps = 0; caps <= 1; ++caps) {
            SCOPED_TRACE("protocol " + std::to_string(protocol) + " caps " + std::to_string(caps));
            ConfigureDevice(protocol, 256, caps);
            VctlOk("reset");
            ASSERT_EQ(1, Run(file));
            EXPECT_EQ(b.data, Flash(0, (uint32_t)b.data.size()));
            EXPECT_EQ((int)file.size(), Progress());
            EXPECT_EQ((int)file.size(), ProgressEnd());
            std::vector<std::string> log = WireLog();
            EXPECT_EQ(1u, CountLines(log, caps ? "set-mode raw" : "set-mode packed"));
            EXPECT_EQ(16u, CountLines(log, caps ? " raw" : " packed") - 1);
            // The device has the new version now: the next run has nothing to do.
            UsbLinkClose();
            VctlOk("replug");
            char err[ERROR_TEXT_SIZE];
            ASSERT_EQ(1, UsbLinkOpen(err)) << err;
        }
    }
}

TEST_F(Engine, ProductIdOfOneTwoOrThreeBytes)
{
    const unsigned char pids[3][3] = {{0x44, 0xFF, 0x12}, {0x44, 0x01, 0xFF}, {0x44, 0x01, 0x02}};
    const char* inquiries[3] = {"F0 42 23 44 00 F7", "F0 42 23 44 01 00 F7", "F0 42 23 44 01 02 00 F7"};
    for (int i = 0; i < 3; ++i) {
        VctlOk("reset");
        BlockSpec b;
        memcpy(b.pid, pids[i], 3);
        b.data = Pattern(512, 2);
        ASSERT_EQ(1, Run(BlockBytes(b))) << i;
        EXPECT_EQ(b.data, Flash(0, 512));
        EXPECT_EQ(1u, CountLines(WireLog(), inquiries[i])) << i;
    }
    // A parameter below 0x80 in the header goes with the inquiry.
    VctlOk("reset");
    BlockSpec b;
    b.inquiry = 0x12;
    b.data = Pattern(256, 2);
    ASSERT_EQ(1, Run(BlockBytes(b)));
    EXPECT_EQ(1u, CountLines(WireLog(), "H>D F0 42 23 44 00 12 F7"));
}

TEST_F(Engine, FillForEqualPacketsOnlyWhenOffered)
{
    BlockSpec b;
    b.data.assign(3 * 256, 0x5A); // two different nibbles, sent apart
    b.data[2 * 256 - 1] = 0x5B;   // the second packet differs in its last byte only
    std::vector<unsigned char> file = BlockBytes(b);

    ConfigureDevice(1, 256, 2);
    ASSERT_EQ(1, Run(file));
    std::vector<std::string> log = WireLog();
    EXPECT_EQ(1u, CountLines(log, "fill #0"));
    EXPECT_EQ(1u, CountLines(log, "data #1"));
    EXPECT_EQ(1u, CountLines(log, "fill #2"));
    EXPECT_EQ(b.data, Flash(0, (uint32_t)b.data.size()));

    ConfigureDevice(1, 256, 0);
    VctlOk("reset");
    ASSERT_EQ(1, Run(file));
    log = WireLog();
    EXPECT_EQ(0u, CountLines(log, "fill #"));
    EXPECT_EQ(3u, CountLines(log, "| data #"));
}

TEST_F(Engine, SkipsBlockTheDeviceAlreadyHas)
{
    VctlOk("set version 1 1.05");
    VctlOk("set version 2 1.00");
    BlockSpec first;
    first.code = 1;
    first.data = Pattern(1024, 3);
    BlockSpec second;
    second.code = 2;
    second.major = 2;
    second.minor = 0;
    second.base = 0x10000;
    second.data = Pattern(2048, 4);
    std::vector<unsigned char> file = FileBytes({first, second});

    ASSERT_EQ(1, Run(file));
    EXPECT_EQ((std::vector<LPARAM>{0, 1, 0}), window_.redraws());
    EXPECT_EQ(std::vector<unsigned char>(1024, 0xFF), Flash(0, 1024));
    EXPECT_EQ(second.data, Flash(0x10000, 2048));
    // A skipped block adds only its header: the bar ends short of its range.
    EXPECT_EQ(256 + 256 + 2048, Progress());
    EXPECT_EQ((int)file.size(), ProgressEnd());
    EXPECT_EQ(1u, CountLines(WireLog(), "set-mode"));
}

TEST_F(Engine, SameVersionOfTheOnlyBlockFails)
{
    VctlOk("set version 1 1.05");
    BlockSpec b;
    b.data = Pattern(256, 5);
    ASSERT_EQ(0, Run(BlockBytes(b)));
    EXPECT_TRUE(window_.MessageRowShows(0, "Version Error(It's Version Down or Same)"));
    EXPECT_EQ((std::vector<LPARAM>{}), window_.redraws());
    EXPECT_EQ(0u, CountLines(WireLog(), "set-mode"));
}

TEST_F(Engine, ForceWritesOlderVersionWithoutAsking)
{
    VctlOk("set version 1 2.00");
    BlockSpec b;
    b.data = Pattern(1024, 6);
    ASSERT_EQ(1, Run(BlockBytes(b), 1));
    EXPECT_EQ(b.data, Flash(0, 1024));
    EXPECT_EQ(0u, CountLines(WireLog(), "version request"));
}

TEST_F(Engine, PacketNumbersFollowTheBlockOffset)
{
    BlockSpec b;
    b.base = 0x10000;
    b.offset = 0x800;
    b.data = Pattern(0x400, 7);
    ASSERT_EQ(1, Run(BlockBytes(b)));
    std::vector<std::string> log = WireLog();
    EXPECT_EQ(1u, CountLines(log, "data #8 "));
    EXPECT_EQ(1u, CountLines(log, "data #11 "));
    EXPECT_EQ(0u, CountLines(log, "data #12 "));
    EXPECT_EQ(b.data, Flash(0x10800, 0x400));
}

TEST_F(Engine, DeviceStatusEndsTheRunWithItsText)
{
    BlockSpec b;
    b.data = Pattern(4 * 256, 8);
    std::vector<unsigned char> file = BlockBytes(b);
    // Nothing more goes to the device after the failed packet, and the bar
    // stays where the run stopped.
    ExpectDeviceStatusesEndTheRun(
        window_, [] { VctlOk("reset"); }, [&] { return Run(file); }, [&] { EXPECT_EQ(256 + 256, Progress()); });
}

TEST_F(Engine, SilentDeviceIsEndedByTheAbort)
{
    VctlOk("fault silent --at 3");
    BlockSpec b;
    b.data = Pattern(8 * 256, 9);
    TempFile f(BlockBytes(b));
    window_.Start(f.path(), 0);
    window_.Pump(500);
    EXPECT_EQ(0, IsUpdateFinished());
    PauseUpdate();
    AbortUpdate();
    EXPECT_EQ(0, window_.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_EQ(1, IsUpdateFinished());
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    EXPECT_EQ(256 + 2 * 256, Progress());
}

TEST_F(Engine, PauseHoldsResumeGoesOnAbortEnds)
{
    BlockSpec b;
    b.data = Pattern(2048 * 256, 10);
    std::vector<unsigned char> file = BlockBytes(b);
    TempFile f(file);

    window_.Start(f.path(), 0);
    while (Progress() < 256 + 10 * 256 && !IsUpdateFinished())
        window_.Pump(5);
    PauseUpdate();
    window_.Pump(100);
    int held = Progress();
    window_.Pump(300);
    EXPECT_EQ(held, Progress());
    EXPECT_EQ(UpdatePaused, UpdateState);
    ResumeUpdate();
    while (Progress() < held + 20 * 256 && !IsUpdateFinished())
        window_.Pump(5);
    EXPECT_GT(Progress(), held);

    PauseUpdate();
    window_.Pump(50);
    AbortUpdate();
    EXPECT_EQ(0, window_.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    EXPECT_LT(Progress(), (int)file.size());
    // The abort reached the device and nothing followed it.
    ExpectNothingSentAfter("abort request");
}

TEST_F(Engine, AbortWhileRunningOnlyEndsThePendingTransfer)
{
    // Outside the paused state the abort ends the transfer that waits for
    // the held reply (which would otherwise come and let the run complete),
    // and the run fails as the link says, not as aborted by the user.
    VctlOk("fault delay 4000 --at 3");
    BlockSpec b;
    b.data = Pattern(4 * 256, 11);
    TempFile f(BlockBytes(b));
    window_.Start(f.path(), 0);
    while (Progress() < 256 + 2 * 256 && !IsUpdateFinished())
        window_.Pump(5);
    window_.Pump(300);
    AbortUpdate();
    EXPECT_EQ(0, window_.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_TRUE(window_.MessageRowShows(0, "Recieve Error"));
    EXPECT_EQ(std::vector<unsigned char>(256, 0xFF), Flash(3 * 256, 256));
}

TEST_F(Engine, ZeroLengthTransferIsNoAcknowledgement)
{
    // The third packet is a fill packet; the device answers it with an
    // empty transfer: the packet is not written, so the run must fail there.
    ConfigureDevice(1, 256, 2);
    VctlOk("fault empty --at 3");
    BlockSpec b;
    b.data = Pattern(4 * 256, 21);
    memset(b.data.data() + 2 * 256, 0x33, 256);
    ASSERT_EQ(0, Run(BlockBytes(b)));
    EXPECT_TRUE(window_.MessageRowShows(0, "Recieve Error"));
    EXPECT_EQ(std::vector<unsigned char>(b.data.begin(), b.data.begin() + 512), Flash(0, 512));
    EXPECT_EQ(std::vector<unsigned char>(256, 0xFF), Flash(512, 256));
    std::vector<std::string> log = WireLog();
    EXPECT_EQ(1u, CountLines(log, "empty transfer"));
    EXPECT_NE(std::string::npos, log.back().find("empty transfer")) << log.back();
}

// Pause, resume and abort from another thread while short runs end by
// themselves: the run's end is never undone, so the window never waits.
TEST_F(Engine, RunControlNeverUndoesTheRunsEnd)
{
    struct Hammer {
        static DWORD WINAPI Main(LPVOID p)
        {
            volatile LONG* stop = static_cast<volatile LONG*>(p);
            for (unsigned i = 1; !*stop; ++i) {
                PauseUpdate();
                if (i % 4096 == 0)
                    AbortUpdate();
                ResumeUpdate();
            }
            return 0;
        }
    };
    BlockSpec b;
    b.data = Pattern(256, 22);
    TempFile f(BlockBytes(b));
    for (int run = 0; run < 100; ++run) {
        volatile LONG stop = 0;
        window_.Start(f.path(), 1);
        HANDLE hammer = CreateThread(NULL, 0, Hammer::Main, (LPVOID)&stop, 0, NULL);
        ASSERT_TRUE(hammer != NULL);
        int r = window_.WaitForEnd(20000);
        InterlockedExchange(&stop, 1);
        WaitForSingleObject(hammer, INFINITE);
        CloseHandle(hammer);
        CloseUpdateThread();
        ASSERT_NE(-1, r) << "run " << run;
        ASSERT_EQ(1, IsUpdateFinished()) << "run " << run << " state " << UpdateState;
    }
}

TEST_F(Engine, AbortJustBeforeAReceiveEndsTheRun)
{
    // The worker is held in its progress report between the two blocks (the
    // test serves no message meanwhile); the user aborts there. Its next
    // step would wait for the silent device's inquiry reply for ever.
    VctlOk("fault silent --on inquiry --at 2");
    BlockSpec first;
    first.data = Pattern(2 * 256, 23);
    BlockSpec second;
    second.code = 2;
    second.base = 0x1000;
    second.data = Pattern(256, 24);
    TempFile f(FileBytes({first, second}));
    window_.Start(f.path(), 0);
    DWORD start = GetTickCount();
    while (Progress() < 256 + 2 * 256 && GetTickCount() - start < 20000) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_SENDMESSAGE);
        MSG msg;
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    Sleep(300);
    PauseUpdate();
    AbortUpdate();
    int r = window_.WaitForEnd(8000);
    if (r == -1) { // free the worker for the tests that follow
        UsbLinkAbort();
        window_.WaitForEnd(8000);
    }
    CloseUpdateThread();
    EXPECT_EQ(0, r);
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_UPDATE_ABORTED));
    EXPECT_EQ(1u, CountLines(WireLog(), "H>D F0 42 23 44 00 F7"));
}

TEST_F(Engine, BlocksBeyondTheProtocolFieldsAreRefusedUnsent)
{
    struct Case {
        int protocol;
        uint32_t base, offset;
        const char* text;
    } cases[] = {
        {0, 0, 16383 * 256, NULL},
        {0, 0, 16384 * 256, "Error - Packet number is out of range(16384)."},
        {1, 0x0FFFFF00, 0, NULL},
        {1, 0x10000000, 0, "Error - Address is out of range(10000000)."},
    };
    VctlOk("set flash-limit 268435456"); // the whole 28-bit range
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset + c.base);
        ConfigureDevice(c.protocol, 256, 0);
        VctlOk("reset");
        BlockSpec b;
        b.base = c.base;
        b.offset = c.offset;
        b.data = Pattern(256, 25);
        int r = Run(BlockBytes(b));
        std::vector<std::string> log = WireLog();
        if (!c.text) {
            EXPECT_EQ(1, r);
            EXPECT_EQ(1u, CountLines(log, "| data #"));
            continue;
        }
        EXPECT_EQ(0, r);
        EXPECT_TRUE(window_.MessageRowShows(0, c.text));
        EXPECT_EQ(1u, CountLines(log, "H>D"));
        EXPECT_EQ(1u, CountLines(log, "H>D F0 42 23 44 00 F7"));
    }
    VctlOk("set flash-limit 67108864");
}

namespace failing {
DWORD g_test_thread;
LONG g_calls;
LONG g_fail_at;
void* g_real;

BOOL WINAPI SetFilePointerEx(HANDLE h, LARGE_INTEGER d, PLARGE_INTEGER out, DWORD how)
{
    if (GetCurrentThreadId() != g_test_thread && InterlockedIncrement(&g_calls) == g_fail_at) {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    }
    return ((BOOL(WINAPI*)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD))g_real)(h, d, out, how);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID bytes, DWORD n, LPDWORD done, LPOVERLAPPED ov)
{
    if (GetCurrentThreadId() != g_test_thread && InterlockedIncrement(&g_calls) == g_fail_at) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    return ((BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED))g_real)(h, bytes, n, done, ov);
}

// Makes the worker's call number `at` of `function` fail while in scope.
struct Arm {
    Arm(const char* function, void* replacement, LONG at)
        : replacement_(replacement)
    {
        g_test_thread = GetCurrentThreadId();
        g_calls = 0;
        g_fail_at = at;
        g_real = SystemFunction("kernel32.dll", function);
        armed_ = g_real && ReplaceImport(g_real, replacement);
    }
    ~Arm()
    {
        if (armed_)
            ReplaceImport(replacement_, g_real);
    }
    void* replacement_;
    bool armed_;
};
} // namespace failing

TEST_F(Engine, FileAndLinkFailuresAreNeverSuccess)
{
    BlockSpec first;
    first.data = Pattern(2 * 256, 26);
    BlockSpec second;
    second.code = 2;
    second.base = 0x1000;
    second.data = Pattern(256, 27);
    std::vector<unsigned char> file = FileBytes({first, second});

    window_.Start("Z:\\no such folder\\x.vsb", 0);
    EXPECT_EQ(0, window_.WaitForEnd(20000));
    CloseUpdateThread();
    EXPECT_TRUE(window_.MessageRowShows(0, MSG_FILE_OPEN_ERROR));
    FileInfo info;
    EXPECT_EQ(0, ShowFileInfo("Z:\\no such folder\\x.vsb", &info));
    EXPECT_TRUE(window_.InfoRowShows(0, 0, MSG_FILE_OPEN_ERROR, true, false));

    {
        // The header check of the first block seeks three times; the fourth
        // call asks where the run stands after that block.
        failing::Arm arm("SetFilePointerEx", (void*)failing::SetFilePointerEx, 4);
        ASSERT_TRUE(arm.armed_);
        VctlOk("reset");
        EXPECT_EQ(0, Run(file));
        EXPECT_TRUE(window_.MessageRowShows(0, MSG_FILE_POSITION_ERROR));
        EXPECT_EQ(first.data, Flash(0, 512));
    }
    {
        // Inquiry, version request, set-mode, the first packet in three
        // writes, the second packet's head; its data cannot be written:
        // nothing follows.
        failing::Arm arm("WriteFile", (void*)failing::WriteFile, 8);
        ASSERT_TRUE(arm.armed_);
        VctlOk("reset");
        EXPECT_EQ(0, Run(file));
        EXPECT_TRUE(window_.MessageRowShows(0, "Transmit Error"));
        std::vector<std::string> log = WireLog();
        EXPECT_EQ(0u, CountLines(log, "data #1"));
        EXPECT_EQ(std::string::npos, log.back().find("H>D")) << log.back();
    }
}


TEST_F(Engine, BytesBehindTheLastBlockFailAfterIt)
{
    BlockSpec b;
    b.data = Pattern(512, 12);
    std::vector<unsigned char> file = BlockBytes(b);
    file.insert(file.end(), 10, 0x55);
    ASSERT_EQ(0, Run(file));
    EXPECT_TRUE(window_.MessageRowShows(0, "Error - Header lengrh is too short."));
    EXPECT_EQ(b.data, Flash(0, 512));
}

TEST_F(Engine, RefusesPacketSizesTheBufferCannotHold)
{
    BlockSpec b;
    b.data = Pattern(512, 13);
    std::vector<unsigned char> file = BlockBytes(b);
    ConfigureDevice(1, 0, 0);
    ASSERT_EQ(0, Run(file));
    EXPECT_TRUE(window_.MessageRowShows(0, "Error - Packet size is out of range(0)."));
    ConfigureDevice(1, 32769, 0);
    ASSERT_EQ(0, Run(file));
    EXPECT_TRUE(window_.MessageRowShows(0, "Error - Packet size is out of range(32769)."));
    ConfigureDevice(1, 384, 0); // 512 is no multiple of it
    ASSERT_EQ(0, Run(file));
    EXPECT_TRUE(window_.MessageRowShows(0, "Error - Packet size is not correct."));
    EXPECT_EQ(0u, CountLines(WireLog(), "set-mode"));
}

TEST_F(Engine, ZeroLengthBlockGoesStraightToItsEnd)
{
    BlockSpec empty;
    empty.code = 1;
    BlockSpec next;
    next.code = 2;
    next.base = 0x1000;
    next.data = Pattern(256, 14);
    std::vector<unsigned char> file = FileBytes({empty, next});
    ASSERT_EQ(1, Run(file));
    EXPECT_EQ((std::vector<LPARAM>{1, 0, 1, 0}), window_.redraws());
    EXPECT_EQ(next.data, Flash(0x1000, 256));
    EXPECT_EQ((int)file.size(), Progress());
}

TEST_F(Engine, DispatchIgnoresModesOffTheKernelLinkAndKeepsTexts)
{
    LinkType = LinkUsbBulk;
    const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
    const int modes[] = {TxMidi, TxMidiRawNext, TxRaw, 3};
    for (int mode : modes) {
        char err[ERROR_TEXT_SIZE] = "earlier";
        unsigned char rx[RX_BUFFER_SIZE];
        ASSERT_EQ(1, LinkSend(inquiry, sizeof(inquiry), err, mode)) << mode;
        ASSERT_EQ(1, LinkReceive(rx, sizeof(rx), err)) << mode;
        EXPECT_STREQ("earlier", err);
    }
    EXPECT_EQ(4u, CountLines(WireLog(), "H>D F0 42 23 44 00 F7 | inquiry"));

    // Any selector other than 0, 1 and 2 reaches the kernel MIDI link, which
    // is not open here: the send fails without reaching the USB device.
    LinkType = 5;
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(0, LinkSend(inquiry, sizeof(inquiry), err, TxMidi));
    EXPECT_STREQ("Transmit Error", err);
    unsigned char rx[RX_BUFFER_SIZE];
    EXPECT_EQ(0, LinkReceive(rx, sizeof(rx), err));
    EXPECT_STREQ("Recieve Error", err);
    LinkType = LinkUsbBulk;
    EXPECT_EQ(4u, CountLines(WireLog(), "H>D F0 42 23 44 00 F7 | inquiry"));
}

class Query : public Engine {};

TEST_F(Query, ReportsTheDeviceVersionAgainstTheFile)
{
    FileInfo fi = HeaderOf(BlockSpec());

    VctlOk("set version 1 1.04");
    EXPECT_EQ(1, QueryDevice(&fi, LinkUsbBulk));
    EXPECT_TRUE(window_.InfoRowShows(1, 210, "1.04 (needs update)", false, false));
    EXPECT_TRUE(window_.InfoRowShows(1, 200, "Software Version :", true, true));

    VctlOk("set version 1 1.05");
    EXPECT_EQ(2, QueryDevice(&fi, LinkUsbBulk));
    VctlOk("set version 1 3.00");
    EXPECT_EQ(2, QueryDevice(&fi, LinkUsbBulk));

    ConfigureDevice(2, 256, 0);
    EXPECT_EQ(0, QueryDevice(&fi, LinkUsbBulk));
    EXPECT_TRUE(window_.MessageRowShows(0, "Protocol code error(need newer tool)."));

    ConfigureDevice(1, 256, 0);
    VctlOk("fault malformed manufacturer --on inquiry");
    EXPECT_EQ(0, QueryDevice(&fi, LinkUsbBulk));
    EXPECT_TRUE(window_.MessageRowShows(0, "Rx Msg Error(1:Not ORLO ID)"));

    VctlOk("fault malformed code --on version");
    EXPECT_EQ(0, QueryDevice(&fi, LinkUsbBulk));
    EXPECT_TRUE(window_.MessageRowShows(0, "Rx Msg Error(Msg Code Error)"));
}

TEST_F(Query, SilentDeviceDoesNotHoldTheWindowForever)
{
    FileInfo fi = HeaderOf(BlockSpec());
    VctlOk("fault silent --on inquiry");
    EXPECT_EQ(0, QueryDevice(&fi, LinkUsbBulk));
    EXPECT_TRUE(window_.MessageRowShows(0, "Recieve Error(Timeout)"));
}

} // namespace
