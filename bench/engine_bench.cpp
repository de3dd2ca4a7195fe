// Measures the update run against the virtual controller next to a bare
// ping-pong of the same messages over the same link, without the engine:
// the run as the program makes it (main window and progress bar, which the
// worker reaches by cross-thread SendMessage) and the run without them (null
// handles: the progress calls return at once), so that the engine's own cost
// and the window's are told apart. Counts the allocations the worker makes
// through this program's imports. Prints figures; never fails on a timing.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "benchrun.h"
#include "link.h"
#include "protocol.h"
#include "support/testbed.h"
#include "update.h"
#include "usbbulk.h"
#include "usblink.h"

using namespace testbed;

namespace {

bool Exchange(const std::vector<unsigned char>& msg, unsigned char* rx)
{
    return UsbLinkSend(msg.data(), (unsigned long)msg.size()) == 1 && UsbLinkReceive(rx, RX_BUFFER_SIZE) == 1;
}

// The messages of a run, built beforehand, sent and answered one by one.
double BareRun(const BlockSpec& b, uint32_t packet)
{
    bench::RunMessages m = bench::BuildRunMessages(b, packet);
    unsigned char rx[RX_BUFFER_SIZE];
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    bool ok = Exchange(m.inquiry, rx) && Exchange(m.version, rx) && Exchange(m.setmode, rx);
    Sleep(bench::PACING_MS); // the run waits after the set-mode reply as well
    for (size_t i = 0; ok && i < m.heads.size(); ++i) {
        ok = UsbLinkSend(m.heads[i].data(), (unsigned long)m.heads[i].size()) == 1 &&
             UsbLinkSend(m.datas[i].data(), (unsigned long)m.datas[i].size()) == 1 &&
             UsbLinkSend(m.tails[i].data(), (unsigned long)m.tails[i].size()) == 1 &&
             UsbLinkReceive(rx, RX_BUFFER_SIZE) == 1 && rx[4] == MsgStatus && rx[5] == 0;
    }
    QueryPerformanceCounter(&t1);
    return ok ? bench::Seconds(t0, t1) : -1.0;
}

// Allocations made by threads other than the main one (the worker) through
// the program's imports of HeapAlloc and malloc.
DWORD g_main_thread;
volatile LONG g_worker_allocations;
void* g_real_heap_alloc;
void* g_real_malloc;

LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T n)
{
    if (GetCurrentThreadId() != g_main_thread)
        InterlockedIncrement(&g_worker_allocations);
    return ((LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T))g_real_heap_alloc)(heap, flags, n);
}

void* CountedMalloc(size_t n)
{
    if (GetCurrentThreadId() != g_main_thread)
        InterlockedIncrement(&g_worker_allocations);
    return ((void* (*)(size_t))g_real_malloc)(n);
}

void CountAllocations()
{
    g_main_thread = GetCurrentThreadId();
    g_real_heap_alloc = SystemFunction("kernel32.dll", "HeapAlloc");
    g_real_malloc = SystemFunction("msvcrt.dll", "malloc");
    if (g_real_heap_alloc)
        ReplaceImport(g_real_heap_alloc, (void*)&CountedHeapAlloc);
    if (g_real_malloc)
        ReplaceImport(g_real_malloc, (void*)&CountedMalloc);
}

// One run of the engine, counting the worker's allocations.
double EngineRun(const char* path, bool with_window)
{
    InterlockedExchange(&g_worker_allocations, 0);
    return bench::RunSeconds(path, LinkUsbBulk, with_window);
}

const uint32_t kRepeatFrom = 32768; // packet size from which a run is short
const int kRepeats = 5;

struct BareArgs {
    const BlockSpec* block;
    uint32_t packet;
    double seconds;
};

// The bare run goes on a thread of its own, as the engine's run does, so
// that both wait the same way for the device.
DWORD WINAPI BareThread(LPVOID p)
{
    BareArgs* a = static_cast<BareArgs*>(p);
    a->seconds = BareRun(*a->block, a->packet);
    return 0;
}

} // namespace

int main()
{
    char err[ERROR_TEXT_SIZE] = "";
    if (!AllocTransferBuffers(err))
        return 1;
    init_cusbbulk();
    const uint32_t kFileData = 4u << 20;
    BlockSpec b;
    b.data = Pattern(kFileData, 42);
    std::vector<unsigned char> file = BlockBytes(b);
    TempFile f(file);

    CountAllocations();
    printf("%-8s %10s %10s %10s %10s %10s %12s %8s\n", "packet", "window s", "engine s", "bare s", "engine/bare",
           "window/eng", "packets/s", "allocs");
    const uint32_t sizes[] = {256, 1024, 32768};
    for (uint32_t packet : sizes) {
        VctlOk("fault clear");
        VctlOk("set protocol 1");
        VctlOk("set caps 0");
        VctlOk("set pid any");
        VctlOk("set packet-size " + std::to_string(packet));
        VctlOk("reset");
        if (!UsbLinkOpen(err)) {
            printf("link open failed: %s\n", err);
            return 1;
        }
        // Short runs vary by a fifth from run to run here: they are repeated
        // and the fastest of each kind counts.
        const int repeats = packet >= kRepeatFrom ? kRepeats : 1;
        double windowed = bench::NO_TIMING, engine = bench::NO_TIMING, bare = bench::NO_TIMING;
        LONG allocations = 0;
        bool written = true;
        for (int i = 0; i < repeats; ++i) {
            windowed = bench::Fastest(windowed, EngineRun(f.path(), true));
            VctlOk("reset");
            engine = bench::Fastest(engine, EngineRun(f.path(), false));
            allocations = g_worker_allocations > allocations ? g_worker_allocations : allocations;
            written = written && Flash(0, kFileData) == b.data;
            VctlOk("reset");
            BareArgs args = {&b, packet, -1.0};
            HANDLE bare_thread = CreateThread(NULL, 0, BareThread, &args, 0, NULL);
            WaitForSingleObject(bare_thread, INFINITE);
            CloseHandle(bare_thread);
            bare = bench::Fastest(bare, args.seconds);
            VctlOk("reset");
        }
        UsbLinkClose();
        uint32_t packets = kFileData / packet;
        if (windowed < 0 || engine < 0 || !written || bare < 0) {
            printf("%-8u run failed (window %.3f, engine %.3f%s, bare %.3f)\n", packet, windowed, engine,
                   written ? "" : " not written", bare);
            continue;
        }
        printf("%-8u %10.3f %10.3f %10.3f %10.3f %10.3f %12.0f %8ld\n", packet, windowed, engine, bare, engine / bare,
               windowed / engine, packets / engine, (long)allocations);
        fflush(stdout);
    }
    free_cusbbulk();
    FreeTransferBuffers();
    return 0;
}
