// Measures whole update runs over the serial and the system MIDI link of the
// test bed against their lower bound: the 20 ms pauses the run makes after
// the set-mode reply and after every packet (neither test-bed line has a
// rate of its own, so no wire time is added). Prints figures; never fails on
// a timing.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "link.h"
#include "midilinks.h"
#include "protocol.h"
#include "serial.h"
#include "support/testbed.h"
#include "update.h"

using namespace testbed;

namespace {

const uint32_t kPacket = 256;
const uint32_t kFileData = 64u * 1024;

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b.QuadPart - a.QuadPart) / (double)f.QuadPart;
}

double TimedRun(const char* path, int link)
{
    TestWindow w;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    w.Start(path, 0, link);
    int r = w.WaitForEnd(600000);
    QueryPerformanceCounter(&t1);
    CloseUpdateThread();
    return r == 1 ? Seconds(t0, t1) : -1.0;
}

void Report(const char* name, double seconds)
{
    double bound = (1 + kFileData / kPacket) * 0.020;
    if (seconds < 0) {
        printf("%-12s run failed\n", name);
        return;
    }
    printf("%-12s %10.3f %10.3f %8.3f\n", name, seconds, bound, seconds / bound);
    fflush(stdout);
}

} // namespace

int main()
{
    char err[ERROR_TEXT_SIZE] = "";
    if (!AllocTransferBuffers(err))
        return 1;
    BlockSpec b;
    b.data = Pattern(kFileData, 7);
    TempFile f(BlockBytes(b));
    VctlOk("fault clear");
    VctlOk("set protocol 1");
    VctlOk("set caps 0");
    VctlOk("set pid any");
    VctlOk("set packet-size " + std::to_string(kPacket));

    printf("%u KiB, %u-byte packets\n%-12s %10s %10s %8s\n", kFileData / 1024, kPacket, "link", "run s",
           "bound s", "ratio");
    VctlOk("reset");
    VctlOk("com map");
    VctlOk("com present 1");
    if (SerialOpen(1, 57600, err)) {
        Report("serial", TimedRun(f.path(), LinkSerial));
        SerialClose();
    } else {
        printf("serial: %s\n", err);
    }
    VctlOk("com absent 1");

    const char* dll = getenv("PANEL_VCMIDI");
    if (dll && *dll) {
        VctlOk("reset");
        VctlOk(std::string("midi install '") + dll + "'");
        VctlOk("midi ports 'out 1 0 1 VC Out' 'in 0 1 VC In'");
        VctlOk("midi delay 0");
        if (MidiLinkOpen("VC Out", "VC In", err)) {
            Report("system MIDI", TimedRun(f.path(), LinkSystemMidi));
            MidiLinkClose();
        } else {
            printf("system MIDI: %s\n", err);
        }
    }
    FreeTransferBuffers();
    return 0;
}
