// Measures whole update runs over the serial and the system MIDI link of the
// test bed against their lower bound: every byte of the run at the line's
// rate (the test bed's lines run at it: `com rate line`, `midi rate`) plus
// the 20 ms pauses the run makes after the set-mode reply and after every
// packet. The run as the program makes it (window) and without window and
// progress bar (engine; the ratio is the engine's). Prints figures; never
// fails on a timing.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "benchrun.h"
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
const unsigned kSerialBaud = 57600;
const unsigned kMidiBaud = 31250;

// Bytes both ways of the model's latest run (`vctl status`).
unsigned long long WireBytes()
{
    std::string status = VctlOk("status");
    unsigned long long in = 0, out = 0;
    size_t at = status.find("bytes: ");
    if (at == std::string::npos || sscanf(status.c_str() + at, "bytes: %llu in, %llu out", &in, &out) != 2)
        return 0;
    return in + out;
}

void Measure(const char* name, const char* path, int link, unsigned baud, const std::vector<unsigned char>& data,
             double pause)
{
    VctlOk("reset");
    double window = bench::RunSeconds(path, link, true);
    VctlOk("reset");
    double engine = bench::RunSeconds(path, link, false);
    if (Flash(0, (uint32_t)data.size()) != data)
        engine = -1.0;
    double wire = (double)WireBytes() * bench::BITS_PER_BYTE / baud;
    int pauses = 1 + (int)(data.size() / kPacket);
    double bound = wire + pauses * bench::PACING_MS / 1000.0;
    double platform_bound = wire + pauses * pause;
    if (window < 0 || engine < 0) {
        printf("%-12s run failed\n", name);
        return;
    }
    printf("%-12s %6u %9.2f %9.2f %7.2f %8.2f %8.2f %6.3f %9.3f\n", name, baud, window, engine, wire,
           pauses * bench::PACING_MS / 1000.0, bound, engine / bound, engine / platform_bound);
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
    double pause = bench::PlatformPauseSeconds();

    printf("%u KiB, %u-byte packets, packed; Sleep(%d) takes %.3f ms here\n", kFileData / 1024, kPacket, bench::PACING_MS,
           pause * 1000.0);
    printf("%-12s %6s %9s %9s %7s %8s %8s %6s %9s\n", "link", "baud", "window s", "engine s", "wire s", "pauses s",
           "bound s", "ratio", "ratio(*)");
    VctlOk("com map");
    VctlOk("com present 1");
    VctlOk("com rate line");
    if (SerialOpen(1, kSerialBaud, err)) {
        Measure("serial", f.path(), LinkSerial, kSerialBaud, b.data, pause);
        SerialClose();
    } else {
        printf("serial: %s\n", err);
    }
    VctlOk("com rate off");
    VctlOk("com absent 1");

    const char* dll = getenv("PANEL_VCMIDI");
    if (dll && *dll) {
        VctlOk(std::string("midi install '") + dll + "'");
        VctlOk("midi ports 'out 1 0 1 VC Out' 'in 0 1 VC In'");
        VctlOk("midi delay 0");
        VctlOk("midi rate " + std::to_string(kMidiBaud));
        if (MidiLinkOpen("VC Out", "VC In", err)) {
            Measure("system MIDI", f.path(), LinkSystemMidi, kMidiBaud, b.data, pause);
            MidiLinkClose();
        } else {
            printf("system MIDI: %s\n", err);
        }
        VctlOk("midi rate off");
    }
    printf("(*) against the bound with the pauses as long as Sleep(%d) takes on this platform\n", bench::PACING_MS);
    FreeTransferBuffers();
    return 0;
}
