#include "testclock.h"

#include <gtest/gtest.h>

#include "testbed.h"

namespace testbed {

namespace {

typedef void(WINAPI* SleepFn)(DWORD);
typedef DWORD(WINAPI* WaitFn)(HANDLE, DWORD);
typedef DWORD(WINAPI* WaitManyFn)(DWORD, const HANDLE*, BOOL, DWORD);
typedef DWORD(WINAPI* TickFn)();
typedef ULONGLONG(WINAPI* Tick64Fn)();
typedef BOOL(WINAPI* CommTimeoutsFn)(HANDLE, LPCOMMTIMEOUTS);
typedef BOOL(WINAPI* ReadFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

struct RealFunctions {
    SleepFn sleep;
    WaitFn wait;
    WaitManyFn wait_many;
    TickFn tick;
    Tick64Fn tick64;
    TickFn time_get_time;
    CommTimeoutsFn set_timeouts;
    CommTimeoutsFn get_timeouts;
    ReadFn read;
};

const RealFunctions& Real()
{
    static const RealFunctions real = {
        (SleepFn)SystemFunction("kernel32.dll", "Sleep"),
        (WaitFn)SystemFunction("kernel32.dll", "WaitForSingleObject"),
        (WaitManyFn)SystemFunction("kernel32.dll", "WaitForMultipleObjects"),
        (TickFn)SystemFunction("kernel32.dll", "GetTickCount"),
        (Tick64Fn)SystemFunction("kernel32.dll", "GetTickCount64"),
        (TickFn)SystemFunction("winmm.dll", "timeGetTime"),
        (CommTimeoutsFn)SystemFunction("kernel32.dll", "SetCommTimeouts"),
        (CommTimeoutsFn)SystemFunction("kernel32.dll", "GetCommTimeouts"),
        (ReadFn)SystemFunction("kernel32.dll", "ReadFile"),
    };
    return real;
}

// One thread's time on the clock. Only the thread itself changes it.
struct ThreadTime {
    volatile LONG id; // 0: a free entry
    LONGLONG waited_us; // time-outs that ran out, and Sleeps
    LONGLONG early_us;  // waits that ended early, sped up
    LONGLONG owed_us;   // real waiting owed for the waits so far, under a millisecond
};

struct WaitLength {
    volatile LONG ms; // 0: a free entry
    volatile LONG count;
};

struct PortTimeouts {
    HANDLE port;
    COMMTIMEOUTS asked; // what the program set; the port has them sped up
};

ThreadTime g_threads[CLOCK_THREADS];
WaitLength g_lengths[CLOCK_LENGTHS];
PortTimeouts g_ports[CLOCK_PORTS];
ULONGLONG g_start_ms;
bool g_running;

LONGLONG MicrosNow()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 + count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

ThreadTime* ThisThread()
{
    LONG me = (LONG)GetCurrentThreadId();
    for (ThreadTime& t : g_threads) {
        if (t.id == me || (t.id == 0 && InterlockedCompareExchange(&t.id, me, 0) == 0))
            return &t;
    }
    ADD_FAILURE() << "more than " << CLOCK_THREADS << " threads waited on the test clock";
    return &g_threads[CLOCK_THREADS - 1];
}

void CountExpired(DWORD ms)
{
    if (ms == 0)
        return;
    for (WaitLength& l : g_lengths) {
        LONG seen = l.ms == 0 ? InterlockedCompareExchange(&l.ms, (LONG)ms, 0) : l.ms;
        if (seen == 0 || seen == (LONG)ms) {
            InterlockedIncrement(&l.count);
            return;
        }
    }
    ADD_FAILURE() << "more than " << CLOCK_LENGTHS << " wait lengths on the test clock";
}

ULONGLONG Now()
{
    const ThreadTime* t = ThisThread();
    return g_start_ms + (ULONGLONG)((t->waited_us + t->early_us) / 1000);
}

// The real part of a wait of `ms` on the clock.
DWORD RealShare(ThreadTime* t, DWORD ms)
{
    t->owed_us += (LONGLONG)ms * 1000 / CLOCK_SPEEDUP;
    DWORD real = (DWORD)(t->owed_us / 1000);
    t->owed_us -= (LONGLONG)real * 1000;
    return real;
}

void RanOut(ThreadTime* t, DWORD ms)
{
    t->waited_us += (LONGLONG)ms * 1000;
    CountExpired(ms);
}

// A wait of at most `ms` (INFINITE: no limit) that began at `start_us`
// ended early.
void EndedEarly(ThreadTime* t, LONGLONG start_us, DWORD ms)
{
    LONGLONG sped = (MicrosNow() - start_us) * CLOCK_SPEEDUP;
    if (ms != INFINITE && sped > (LONGLONG)ms * 1000)
        sped = (LONGLONG)ms * 1000;
    t->early_us += sped;
}

// Runs `wait` (a real wait for the milliseconds it is given) as a wait of
// `ms` on the clock.
template <typename RealWaitFn> DWORD WaitOnClock(DWORD ms, RealWaitFn wait)
{
    ThreadTime* t = ThisThread();
    LONGLONG start = MicrosNow();
    DWORD r = wait(ms == INFINITE ? INFINITE : RealShare(t, ms));
    if (r == WAIT_TIMEOUT && ms != INFINITE)
        RanOut(t, ms);
    else
        EndedEarly(t, start, ms);
    return r;
}

void WINAPI ClockSleep(DWORD ms)
{
    if (ms == INFINITE) {
        Real().sleep(ms);
        return;
    }
    ThreadTime* t = ThisThread();
    Real().sleep(RealShare(t, ms));
    RanOut(t, ms);
}

DWORD WINAPI ClockWait(HANDLE object, DWORD ms)
{
    return WaitOnClock(ms, [object](DWORD real) { return Real().wait(object, real); });
}

DWORD WINAPI ClockWaitMany(DWORD count, const HANDLE* objects, BOOL all, DWORD ms)
{
    return WaitOnClock(ms, [=](DWORD real) { return Real().wait_many(count, objects, all, real); });
}

DWORD WINAPI ClockTick()
{
    return (DWORD)Now();
}

DWORD WINAPI ClockTimeGetTime()
{
    return (DWORD)Now();
}

ULONGLONG WINAPI ClockTick64()
{
    return Now();
}

DWORD Faster(DWORD ms)
{
    if (ms == 0 || ms == MAXDWORD)
        return ms;
    return ms / CLOCK_SPEEDUP > 0 ? ms / CLOCK_SPEEDUP : 1;
}

// The port's read time-outs run on the clock: the port gets them sped up.
BOOL WINAPI ClockSetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS asked)
{
    if (!asked)
        return Real().set_timeouts(port, asked);
    PortTimeouts* entry = NULL;
    for (PortTimeouts& p : g_ports)
        if (p.port == port || (!entry && !p.port))
            entry = &p;
    if (!entry) {
        ADD_FAILURE() << "more than " << CLOCK_PORTS << " serial ports on the test clock";
        return Real().set_timeouts(port, asked);
    }
    entry->port = port;
    entry->asked = *asked;
    COMMTIMEOUTS faster = *asked;
    faster.ReadTotalTimeoutConstant = Faster(asked->ReadTotalTimeoutConstant);
    faster.ReadTotalTimeoutMultiplier = Faster(asked->ReadTotalTimeoutMultiplier);
    return Real().set_timeouts(port, &faster);
}

// The time-outs the program set for `handle`, when it is a serial port (a
// handle value used again for a file is not).
const PortTimeouts* PortOf(HANDLE handle)
{
    COMMTIMEOUTS now;
    for (const PortTimeouts& p : g_ports)
        if (p.port == handle)
            return Real().get_timeouts(handle, &now) ? &p : NULL;
    return NULL;
}

BOOL WINAPI ClockReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD got, LPOVERLAPPED overlapped)
{
    const PortTimeouts* port = overlapped || !got ? NULL : PortOf(file);
    if (!port)
        return Real().read(file, buffer, length, got, overlapped);
    ThreadTime* t = ThisThread();
    LONGLONG start = MicrosNow();
    BOOL ok = Real().read(file, buffer, length, got, overlapped);
    DWORD total = port->asked.ReadTotalTimeoutConstant + port->asked.ReadTotalTimeoutMultiplier * length;
    if (ok && *got == 0 && total != 0)
        RanOut(t, total);
    else
        EndedEarly(t, start, total != 0 ? total : INFINITE);
    return ok;
}

// Gives the ports still open the time-outs the program asked for.
void RestorePorts()
{
    COMMTIMEOUTS now;
    for (PortTimeouts& p : g_ports) {
        if (p.port && Real().get_timeouts(p.port, &now))
            Real().set_timeouts(p.port, &p.asked);
        p.port = NULL;
    }
}

struct Redirect {
    void* real;
    void* clock;
};

// The imports the clock takes over; those a test program does not have stay out.
void RedirectAll(bool to_clock)
{
    const RealFunctions& r = Real();
    const Redirect redirects[] = {
        {(void*)r.sleep, (void*)ClockSleep},
        {(void*)r.wait, (void*)ClockWait},
        {(void*)r.wait_many, (void*)ClockWaitMany},
        {(void*)r.tick, (void*)ClockTick},
        {(void*)r.tick64, (void*)ClockTick64},
        {(void*)r.time_get_time, (void*)ClockTimeGetTime},
        {(void*)r.set_timeouts, (void*)ClockSetCommTimeouts},
        {(void*)r.read, (void*)ClockReadFile},
    };
    for (const Redirect& d : redirects) {
        if (d.real)
            ReplaceImport(to_clock ? d.real : d.clock, to_clock ? d.clock : d.real);
    }
}

} // namespace

TestClock::TestClock()
{
    const RealFunctions& r = Real();
    armed_ = !g_running && r.sleep && r.wait && r.tick;
    if (!armed_) {
        ADD_FAILURE() << "the test clock cannot start (one runs already, or the system functions are missing)";
        return;
    }
    memset(g_threads, 0, sizeof(g_threads));
    memset(g_ports, 0, sizeof(g_ports));
    Reset();
    g_start_ms = r.tick64 ? r.tick64() : r.tick();
    g_running = true;
    RedirectAll(true);
}

TestClock::~TestClock()
{
    if (!armed_)
        return;
    RedirectAll(false);
    RestorePorts();
    g_running = false;
}

ULONGLONG TestClock::Waited() const
{
    return (ULONGLONG)(ThisThread()->waited_us / 1000);
}

LONG TestClock::Expired(DWORD ms) const
{
    for (const WaitLength& l : g_lengths)
        if (l.ms == (LONG)ms)
            return l.count;
    return 0;
}

void TestClock::Reset()
{
    for (WaitLength& l : g_lengths) {
        InterlockedExchange(&l.count, 0);
        InterlockedExchange(&l.ms, 0);
    }
}

void RealSleep(DWORD ms)
{
    Real().sleep(ms);
}

DWORD RealWait(HANDLE object, DWORD ms)
{
    return Real().wait(object, ms);
}

DWORD RealTickCount()
{
    return Real().tick();
}

} // namespace testbed
