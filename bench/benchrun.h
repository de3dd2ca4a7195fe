// What the link benchmarks share: timing a whole run (with the window, or
// with null handles), the messages of a run built without the engine for the
// bare exchanges that bound it, and what Sleep takes on this platform.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "support/testbed.h"

namespace bench {

enum {
    PACING_MS = 20,    // the run's pause after the set-mode reply and after every packet
    BITS_PER_BYTE = 10, // start bit, 8 data bits, stop bit on a serial or MIDI line
};

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b);

// One run of the file over link. with_window: the main window and progress
// bar as the program has them; else null handles (the progress calls return
// at once). Seconds, or -1 when the run failed.
double RunSeconds(const char* path, int link, bool with_window);

// The messages of a run of one block, packed, as the engine sends them: each
// data packet as head, data and tail.
struct RunMessages {
    std::vector<unsigned char> inquiry, version, setmode;
    std::vector<std::vector<unsigned char>> heads, datas, tails;
};
RunMessages BuildRunMessages(const testbed::BlockSpec& b, uint32_t packet);

// Timings of runs repeated to see past this machine's noise: the fastest
// counts, a failed one (-1) stays failed. Start from NO_TIMING.
const double NO_TIMING = 1e30;
double Fastest(double best, double t);

// The average time Sleep(PACING_MS) takes here, in seconds.
double PlatformPauseSeconds();

} // namespace bench
