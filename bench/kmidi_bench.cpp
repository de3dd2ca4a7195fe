// Measures the update run over the kernel MIDI link against the test bed's
// kernel USB-MIDI driver, next to its lower bound: a bare exchange of the
// same messages over the link plus the run's pacing (20 ms after the set-mode
// reply and after every packet). The run as the program makes it (window)
// and without window and progress bar (engine; the ratio is the engine's).
// Prints figures; never fails on a timing.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "kernelmidi.h"
#include "link.h"
#include "protocol.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

const int kPacingMs = 20;

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b.QuadPart - a.QuadPart) / (double)f.QuadPart;
}

// Bytes one send puts on the out-pipe.
size_t WireBytes(const unsigned char* bytes, size_t n, int raw_next)
{
    KmidiSender s;
    KmidiSendBegin(&s, bytes, n, raw_next, 0);
    unsigned char out[KMIDI_OUT_BLOCK_SIZE];
    size_t total = 0, len;
    while ((len = KmidiFrameNext(&s, out)) > 0)
        total += len;
    return total;
}

bool Exchange(const unsigned char* msg, size_t n, unsigned char* rx)
{
    return KernelMidiSend(msg, (unsigned long)n, 0) == 1 && KernelMidiReceive(rx, RX_BUFFER_SIZE) == 1;
}

// The data messages of the run, packed, sent and answered one by one without
// the engine and without pacing. wire gets the bytes out and in.
double BareRun(const BlockSpec& b, uint32_t packet, size_t* wire)
{
    FileInfo fi = HeaderOf(b);
    unsigned char tx[TX_BUFFER_SIZE], rx[RX_BUFFER_SIZE];
    unsigned char inquiry[16], setmode[40];
    int ni = BuildMessageHead(inquiry, &fi, MsgInquiry);
    inquiry[ni++] = 0xF7;
    int ns = BuildMessageHead(setmode, &fi, MsgSetMode);
    setmode[ns++] = 0; // packed
    setmode[ns++] = fi.block_code;
    Put28Bit(setmode + ns, fi.base_address);
    Put28Bit(setmode + ns + 4, fi.block_length);
    ns += 8;
    setmode[ns++] = (unsigned char)(fi.version_major | 0x40);
    setmode[ns++] = fi.version_minor;
    Put28Bit(setmode + ns, packet);
    ns += 4;
    setmode[ns++] = 0xF7;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    bool ok = Exchange(inquiry, (size_t)ni, rx) && Exchange(setmode, (size_t)ns, rx);
    *wire = 0;
    for (uint32_t number = 0; ok && number * packet < b.data.size(); ++number) {
        int h = BuildMessageHead(tx, &fi, MsgData);
        Put28Bit(tx + h, number);
        h += 4;
        unsigned char sum = 0;
        uint32_t m = PackSevenBit(b.data.data() + (size_t)number * packet, tx + h, packet, &sum);
        tx[h + m] = sum;
        tx[h + m + 1] = 0xF7;
        *wire += WireBytes(tx, h + m + 2, 0) + KMIDI_IN_BLOCK_SIZE;
        ok = Exchange(tx, h + m + 2, rx) && rx[4] == MsgStatus && rx[5] == 0;
    }
    QueryPerformanceCounter(&t1);
    return ok ? Seconds(t0, t1) : -1.0;
}

} // namespace

int main()
{
    char err[ERROR_TEXT_SIZE] = "";
    if (!AllocTransferBuffers(err))
        return 1;
    VctlOk("kmidi install");
    const uint32_t kPacket = 256, kPackets = 256;
    BlockSpec b;
    b.data = Pattern(kPacket * kPackets, 43);
    TempFile f(BlockBytes(b));

    printf("%-6s %9s %9s %9s %9s %9s %7s %10s\n", "data", "window s", "engine s", "bare s", "pacing s", "bound s",
           "ratio", "wire KiB");
    for (int caps = 0; caps <= 1; ++caps) {
        VctlOk("fault clear");
        VctlOk("set protocol 1");
        VctlOk("set caps " + std::to_string(caps));
        VctlOk("set pid any");
        VctlOk("set packet-size " + std::to_string(kPacket));
        VctlOk("reset");
        VctlOk("kmidi unplug 0");
        VctlOk("kmidi plug 0");
        if (!KernelMidiOpen(err)) {
            printf("link open failed: %s\n", err);
            return 1;
        }
        LinkType = LinkKernelMidi;
        double windowed = -1.0;
        {
            TestWindow w;
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            w.Start(f.path(), 0, LinkKernelMidi);
            int r = w.WaitForEnd(600000);
            QueryPerformanceCounter(&t1);
            CloseUpdateThread();
            if (r == 1)
                windowed = Seconds(t0, t1);
        }
        // The same run without window and progress bar (null handles).
        VctlOk("reset");
        double engine = -1.0;
        {
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            StartUpdate(NULL, f.path(), LinkKernelMidi, 0);
            while (!IsUpdateFinished())
                Sleep(1);
            QueryPerformanceCounter(&t1);
            CloseUpdateThread();
            if (Flash(0, (uint32_t)b.data.size()) == b.data)
                engine = Seconds(t0, t1);
        }
        // The bound: the packed messages over the link (raw data goes in
        // fewer bytes, so it is a bound for both), plus the pacing.
        VctlOk("reset");
        VctlOk("set caps 0");
        size_t wire = 0;
        double bare = BareRun(b, kPacket, &wire);
        double pacing = (kPackets + 1) * kPacingMs / 1000.0;
        double bound = bare + pacing;
        printf("%-6s %9.2f %9.2f %9.2f %9.2f %9.2f %7.2f %10.1f\n", caps ? "raw" : "packed", windowed, engine, bare,
               pacing, bound, engine > 0 && bare > 0 ? engine / bound : -1.0, wire / 1024.0);
        KernelMidiClose();
    }
    FreeTransferBuffers();
    return 0;
}
