// A clock of the test's own for the program's time-outs.
//
// While a TestClock is in scope, this program's imports of the time sources
// (GetTickCount, GetTickCount64, timeGetTime) and of the waits (Sleep,
// WaitForSingleObject, WaitForMultipleObjects, and ReadFile of a serial port
// whose time-outs were set by SetCommTimeouts meanwhile) lead to it; the
// program itself keeps calling the system's functions. A wait that runs out
// moves the clock on by exactly its time-out, a Sleep by its length; a wait
// that ends early moves it on by the real time it took, CLOCK_SPEEDUP times
// over. In real time each wait lasts 1/CLOCK_SPEEDUP of its length: a device
// or driver that answers at once still answers in time, and a time-out of
// 10 s passes in a quarter of a second.
//
// Each thread keeps its own time on the clock, so that the waits of one
// thread never shorten the time-outs of another; a time read on one thread
// means nothing on another. The test support's own waits (vctl, pumping the
// test window) take real time through the Real* functions below.
#pragma once

#include <windows.h>

namespace testbed {

enum {
    CLOCK_SPEEDUP = 40,
    CLOCK_THREADS = 64,  // threads that may wait on one clock
    CLOCK_LENGTHS = 32,  // different wait lengths counted by one clock
    CLOCK_PORTS = 8,     // serial ports whose time-outs one clock keeps
};

class TestClock {
public:
    TestClock();
    ~TestClock();
    bool armed() const { return armed_; }
    // The time this thread has waited out on the clock, in ms: time-outs
    // that ran out, and Sleeps.
    ULONGLONG Waited() const;
    // Waits and Sleeps of exactly `ms` (not 0) on any thread that ran their
    // full length since the clock started or was reset: the update worker's
    // 20 ms pauses, for one.
    LONG Expired(DWORD ms) const;
    void Reset();

private:
    bool armed_;
};

// The system's own functions, whether a clock runs or not.
void RealSleep(DWORD ms);
DWORD RealWait(HANDLE object, DWORD ms);
DWORD RealTickCount();

} // namespace testbed
