// Measures the update run over the kernel MIDI link against the test bed's
// kernel USB-MIDI driver, next to its lower bound: a bare exchange of the
// same messages over the link, in the same transfers, plus the run's pacing
// (20 ms after the set-mode reply and after every packet). Also the bare
// exchange with those pauses made (so that what the platform adds to a pause
// and to waking after it is told apart from the engine), and the run as the
// program makes it (window) and without window and progress bar (engine; the
// ratios are the engine's). Prints figures; never fails on a timing.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "benchrun.h"
#include "kernelmidi.h"
#include "link.h"
#include "protocol.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

// Bytes one send puts on the out-pipe.
size_t WireBytes(const std::vector<unsigned char>& msg)
{
    KmidiSender s;
    KmidiSendBegin(&s, msg.data(), msg.size(), 0, 0);
    unsigned char out[KMIDI_OUT_BLOCK_SIZE];
    size_t total = 0, len;
    while ((len = KmidiFrameNext(&s, out)) > 0)
        total += len;
    return total;
}

bool Send(const std::vector<unsigned char>& msg, size_t* wire)
{
    *wire += WireBytes(msg);
    return KernelMidiSend(msg.data(), (unsigned long)msg.size(), 0) == 1;
}

bool Acknowledged(size_t* wire)
{
    unsigned char rx[RX_BUFFER_SIZE];
    *wire += KMIDI_IN_BLOCK_SIZE;
    return KernelMidiReceive(rx, RX_BUFFER_SIZE) == 1 && rx[4] == MsgStatus && rx[5] == 0;
}

// The run's messages, packed, sent and answered one by one without the
// engine, each data packet as head, data and tail; pause_ms after the
// set-mode reply and after every packet. wire gets the bytes out and in.
double BareRun(const BlockSpec& b, uint32_t packet, DWORD pause_ms, size_t* wire)
{
    bench::RunMessages m = bench::BuildRunMessages(b, packet);
    unsigned char rx[RX_BUFFER_SIZE];
    *wire = 0;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    bool ok = Send(m.inquiry, wire) && KernelMidiReceive(rx, RX_BUFFER_SIZE) == 1 && Send(m.setmode, wire) &&
              Acknowledged(wire);
    if (pause_ms)
        Sleep(pause_ms);
    for (size_t i = 0; ok && i < m.heads.size(); ++i) {
        ok = Send(m.heads[i], wire) && Send(m.datas[i], wire) && Send(m.tails[i], wire) && Acknowledged(wire);
        if (pause_ms)
            Sleep(pause_ms);
    }
    QueryPerformanceCounter(&t1);
    return ok ? bench::Seconds(t0, t1) : -1.0;
}

} // namespace

int main()
{
    char err[ERROR_TEXT_SIZE] = "";
    if (!AllocTransferBuffers(err))
        return 1;
    VctlOk("kmidi install");
    const uint32_t kPacket = 256, kPackets = 256;
    const int kRepeats = 3;
    BlockSpec b;
    b.data = Pattern(kPacket * kPackets, 43);
    TempFile f(BlockBytes(b));

    printf("%-6s %9s %9s %9s %9s %9s %7s %9s %7s %9s\n", "data", "window s", "engine s", "bare s", "pacing s",
           "bound s", "ratio", "paced s", "ratio*", "wire KiB");
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
        // Each kind is run kRepeats times, the fastest counting: from run to
        // run the times vary by several percent here.
        double windowed = bench::NO_TIMING, engine = bench::NO_TIMING;
        double bare = bench::NO_TIMING, paced = bench::NO_TIMING;
        size_t wire = 0;
        for (int i = 0; i < kRepeats; ++i) {
            VctlOk("set caps " + std::to_string(caps));
            VctlOk("reset");
            windowed = bench::Fastest(windowed, bench::RunSeconds(f.path(), LinkKernelMidi, true));
            VctlOk("reset");
            double t = bench::RunSeconds(f.path(), LinkKernelMidi, false);
            engine = bench::Fastest(engine, Flash(0, (uint32_t)b.data.size()) == b.data ? t : -1.0);
            // The bound: the packed messages over the link (raw data goes in
            // fewer bytes, so it is a bound for both), plus the pacing.
            VctlOk("reset");
            VctlOk("set caps 0");
            bare = bench::Fastest(bare, BareRun(b, kPacket, 0, &wire));
            paced = bench::Fastest(paced, BareRun(b, kPacket, bench::PACING_MS, &wire));
        }
        double pacing = (kPackets + 1) * bench::PACING_MS / 1000.0;
        double bound = bare + pacing;
        if (windowed < 0 || engine < 0 || bare < 0 || paced < 0) {
            printf("%-6s run failed (window %.2f, engine %.2f, bare %.2f, paced %.2f)\n", caps ? "raw" : "packed",
                   windowed, engine, bare, paced);
        } else {
            printf("%-6s %9.2f %9.2f %9.2f %9.2f %9.2f %7.3f %9.2f %7.3f %9.1f\n", caps ? "raw" : "packed", windowed,
                   engine, bare, pacing, bound, engine / bound, paced, engine / paced, wire / 1024.0);
        }
        fflush(stdout);
        KernelMidiClose();
    }
    printf("ratio: engine / bound; ratio*: engine / paced (the bare exchange with the run's pauses)\n");
    FreeTransferBuffers();
    return 0;
}
