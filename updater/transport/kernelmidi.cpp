// The kernel MIDI link. A reader thread reads the in-pipe block by block
// into a ring of 64 blocks; receives take blocks from it by polling. The
// reader waits for room rather than overwrite a block nobody has taken, and
// it reads with an overlapped request that it cancels itself when the link
// closes, so that no read is left pending and the ring lock is never held by
// a thread that is gone.
#include "kernelmidi.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "sysfile.h"

namespace {

HANDLE g_in_pipe = INVALID_HANDLE_VALUE;
HANDLE g_out_pipe = INVALID_HANDLE_VALUE;
volatile LONG g_running = 0;
HANDLE g_reader = NULL;
HANDLE g_stop = NULL;  // manual reset: the link closes
HANDLE g_room = NULL;  // auto reset: a block was taken
unsigned char g_ring[KMIDI_RING_SIZE];
DWORD g_write_pos = 0;
DWORD g_read_pos = 0;
volatile LONG g_byte_count = 0;
CRITICAL_SECTION g_ring_lock;
int g_after_raw = 0;  // the last out-pipe transfer carried raw data
int g_reader_stuck = 0;  // a reader the driver never let go still owns the ring
volatile LONG g_aborted = 0;
HANDLE g_written = NULL; // manual reset: the out-pipe write has ended
// The out-pipe write going on; process-wide, so that a write the driver
// ends only after the send has given up still finds it.
OVERLAPPED g_write;

LONG g_previous_count = -1;
DWORD g_first_device = 0;

HANDLE OpenByName(const char* name, DWORD flags)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       flags, NULL);
}

HANDLE OpenDevice(int number)
{
    char name[KMIDI_DEVICE_NAME_SIZE];
    snprintf(name, sizeof(name), "\\\\.\\ZUVAX%d", number);
    return OpenByName(name, 0);
}

HANDLE OpenPipe(int pipe, DWORD flags)
{
    char name[KMIDI_PIPE_NAME_SIZE];
    snprintf(name, sizeof(name), "\\\\.\\ZUVAX0\\P%02X", pipe);
    return OpenByName(name, flags);
}

// 0 when the set of devices is unchanged (or the request failed).
DWORD AskChanged(HANDLE device)
{
    DWORD value = 0;
    DWORD got = 0;
    if (!DeviceIoControl(device, KMIDI_CHANGE_REQUEST, &value, sizeof(value), &value, sizeof(value), &got, NULL))
        return 0;
    return got >= sizeof(value) ? value : 0;
}

// ---- reader thread ----

LONG ByteCount()
{
    return InterlockedCompareExchange(&g_byte_count, 0, 0);
}

// 1 once the ring has room for a block, 0 when the link closes meanwhile.
int WaitForRoom()
{
    HANDLE waits[] = {g_stop, g_room};
    while (ByteCount() >= KMIDI_RING_SIZE) {
        if (WaitForMultipleObjects(ARRAYSIZE(waits), waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
    }
    return WaitForSingleObject(g_stop, 0) != WAIT_OBJECT_0;
}

// One read of a block: 1 with 64 bytes, 0 for a failed or short read, -1 when
// the link closes (the read has been cancelled and has ended).
int ReadBlock(unsigned char* block, HANDLE done)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = done;
    DWORD got = 0;
    if (!ReadFile(g_in_pipe, block, KMIDI_IN_BLOCK_SIZE, &got, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0 ? -1 : 0;
        HANDLE waits[] = {done, g_stop};
        if (WaitForMultipleObjects(ARRAYSIZE(waits), waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIo(g_in_pipe);
            GetOverlappedResult(g_in_pipe, &ov, &got, TRUE);
            return -1;
        }
        if (!GetOverlappedResult(g_in_pipe, &ov, &got, FALSE))
            got = 0;
    }
    if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0)
        return -1;
    return got == KMIDI_IN_BLOCK_SIZE ? 1 : 0;
}

void StoreBlock(const unsigned char* block)
{
    EnterCriticalSection(&g_ring_lock);
    memcpy(g_ring + g_write_pos, block, KMIDI_IN_BLOCK_SIZE);
    g_write_pos = (g_write_pos + KMIDI_IN_BLOCK_SIZE) % KMIDI_RING_SIZE;
    InterlockedExchangeAdd(&g_byte_count, KMIDI_IN_BLOCK_SIZE);
    LeaveCriticalSection(&g_ring_lock);
}

DWORD WINAPI KernelMidiReader(LPVOID)
{
    unsigned char block[KMIDI_IN_BLOCK_SIZE];
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, NULL);
    int failures = 0;
    while (done && WaitForRoom()) {
        int r = ReadBlock(block, done);
        if (r < 0)
            break;
        if (r > 0) {
            failures = 0;
            StoreBlock(block);
        } else if (++failures >= KMIDI_READ_RETRIES && WaitForSingleObject(g_stop, KMIDI_READ_PACE_MS) == WAIT_OBJECT_0) {
            // A stalled or removed device fails every read at once: after a
            // few retries the reader paces itself instead of spinning.
            break;
        }
    }
    if (done)
        CloseHandle(done);
    return 0;
}

int Aborted()
{
    return InterlockedCompareExchange(&g_aborted, 0, 0) != 0;
}

// ---- ring taker ----

// 1 with a block, 0 after the polls or past the receive's bound (counted
// from `start`), -2 aborted.
int KernelMidiTakeBlock(unsigned char* block, DWORD start)
{
    for (int polls = 0; ByteCount() == 0; ++polls) {
        if (Aborted())
            return -2;
        if (polls >= KMIDI_TAKE_POLLS || GetTickCount() - start >= KMIDI_RECEIVE_BOUND_MS)
            return 0;
        Sleep(KMIDI_POLL_MS);
    }
    if (Aborted())
        return -2;
    if (GetTickCount() - start >= KMIDI_RECEIVE_BOUND_MS)
        return 0;
    EnterCriticalSection(&g_ring_lock);
    memcpy(block, g_ring + g_read_pos, KMIDI_IN_BLOCK_SIZE);
    g_read_pos = (g_read_pos + KMIDI_IN_BLOCK_SIZE) % KMIDI_RING_SIZE;
    InterlockedExchangeAdd(&g_byte_count, -KMIDI_IN_BLOCK_SIZE);
    LeaveCriticalSection(&g_ring_lock);
    SetEvent(g_room);
    return 1;
}

// Takes back a write that has not ended; a driver that does not end a
// cancelled write still ends it when the pipe's last handle goes, and the
// link then sends no more.
void CancelWrite(OVERLAPPED* ov)
{
    DWORD written = 0;
    CancelIo(g_out_pipe);
    if (WaitForSingleObject(ov->hEvent, KMIDI_CLOSE_WAIT_MS) == WAIT_OBJECT_0) {
        GetOverlappedResult(g_out_pipe, ov, &written, FALSE);
        return;
    }
    CloseHandle(g_out_pipe);
    g_out_pipe = INVALID_HANDLE_VALUE;
    WaitForSingleObject(ov->hEvent, KMIDI_CLOSE_WAIT_MS);
}

// One write, waited for until KMIDI_SEND_WAIT_MS from `start` of the send:
// 1 all bytes written, 0 failed or aborted, -1 not ended in time.
int WriteOut(const unsigned char* bytes, unsigned long length, DWORD start)
{
    if (Aborted() || g_out_pipe == INVALID_HANDLE_VALUE)
        return 0;
    memset(&g_write, 0, sizeof(g_write));
    g_write.hEvent = g_written;
    ResetEvent(g_written);
    DWORD written = 0;
    if (WriteFile(g_out_pipe, bytes, length, &written, &g_write))
        return written >= length;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    for (;;) {
        if (WaitForSingleObject(g_written, KMIDI_ABORT_POLL_MS) == WAIT_OBJECT_0)
            return GetOverlappedResult(g_out_pipe, &g_write, &written, FALSE) && written >= length;
        int late = GetTickCount() - start >= KMIDI_SEND_WAIT_MS;
        if (late || Aborted()) {
            CancelWrite(&g_write);
            return late && !Aborted() ? -1 : 0;
        }
    }
}

void ClosePipes()
{
    if (g_out_pipe != INVALID_HANDLE_VALUE)
        CloseHandle(g_out_pipe);
    if (g_in_pipe != INVALID_HANDLE_VALUE)
        CloseHandle(g_in_pipe);
    g_out_pipe = INVALID_HANDLE_VALUE;
    g_in_pipe = INVALID_HANDLE_VALUE;
}

void FreeEvents()
{
    if (g_stop)
        CloseHandle(g_stop);
    if (g_room)
        CloseHandle(g_room);
    if (g_written)
        CloseHandle(g_written);
    g_stop = NULL;
    g_room = NULL;
    g_written = NULL;
}

int StartReader()
{
    g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    g_room = CreateEventA(NULL, FALSE, FALSE, NULL);
    g_written = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!g_stop || !g_room || !g_written) {
        FreeEvents();
        return 0;
    }
    InitializeCriticalSection(&g_ring_lock);
    g_read_pos = 0;
    g_write_pos = 0;
    g_byte_count = 0;
    g_after_raw = 0;
    g_reader = CreateThread(NULL, 0, KernelMidiReader, NULL, 0, NULL);
    if (!g_reader) {
        DeleteCriticalSection(&g_ring_lock);
        FreeEvents();
        return 0;
    }
    return 1;
}

// 1 when the reader has ended.
int StopReader()
{
    SetEvent(g_stop);
    if (WaitForSingleObject(g_reader, KMIDI_CLOSE_WAIT_MS) == WAIT_OBJECT_0)
        return 1;
    // A driver that does not complete a cancelled read still ends it when
    // the pipe's last handle goes.
    CloseHandle(g_in_pipe);
    g_in_pipe = INVALID_HANDLE_VALUE;
    return WaitForSingleObject(g_reader, KMIDI_CLOSE_WAIT_MS) == WAIT_OBJECT_0;
}

} // namespace

int CountKernelMidiDevices()
{
    int ask = 1;
    if (g_previous_count == -1) {
        g_previous_count = 0;
        ask = 0;
    } else if (g_previous_count == 0) {
        g_first_device = 0;
    }
    int found = 0;
    for (int d = (int)g_first_device; d < KMIDI_DEVICE_COUNT; ++d) {
        HANDLE h = OpenDevice(d);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        if (found == 0 && ask && AskChanged(h) == 0) {
            CloseHandle(h);
            return (int)g_previous_count;
        }
        CloseHandle(h);
        if (found == 0)
            g_first_device = (DWORD)d;
        ++found;
    }
    g_previous_count = found;
    return found;
}

int KernelMidiOpen(char* err)
{
    KernelMidiClose();
    HANDLE device = g_reader_stuck ? INVALID_HANDLE_VALUE : OpenDevice(0);
    if (device == INVALID_HANDLE_VALUE) {
        SetErrorText(err, " Kernel MIDI driver open error.\n");
        return 0;
    }
    CloseHandle(device);
    if (CountKernelMidiDevices() == 0) {
        SetErrorText(err, " No device is connected\n");
        return 0;
    }
    g_in_pipe = OpenPipe(KMIDI_IN_PIPE, FILE_FLAG_OVERLAPPED);
    if (g_in_pipe == INVALID_HANDLE_VALUE) {
        SetErrorText(err, " MIDI-IN pipe open error.\n");
        return 0;
    }
    // Overlapped, so that a write the driver does not end is waited for
    // with a time-out and can be aborted.
    g_out_pipe = OpenPipe(KMIDI_OUT_PIPE, FILE_FLAG_OVERLAPPED);
    if (g_out_pipe == INVALID_HANDLE_VALUE) {
        ClosePipes();
        SetErrorText(err, " MIDI-OUT pipe open error.\n");
        return 0;
    }
    if (!StartReader()) {
        ClosePipes();
        SetErrorText(err, " Kernel MIDI driver open error.\n");
        return 0;
    }
    Sleep(KMIDI_START_WAIT_MS);
    InterlockedExchange(&g_aborted, 0);
    InterlockedExchange(&g_running, 1);
    return 1;
}

void KernelMidiClose()
{
    if (!InterlockedExchange(&g_running, 0))
        return;
    if (StopReader()) {
        DeleteCriticalSection(&g_ring_lock);
        FreeEvents();
    } else {
        g_reader_stuck = 1; // its lock and events stay with it; the link does not open again
    }
    CloseHandle(g_reader);
    g_reader = NULL;
    ClosePipes();
}

int KernelMidiSend(const unsigned char* bytes, unsigned long length, int raw_next)
{
    if (!g_running)
        return 0;
    KmidiSender s;
    KmidiSendBegin(&s, bytes, length, raw_next, g_after_raw);
    g_after_raw = 0;
    unsigned char block[KMIDI_OUT_BLOCK_SIZE];
    size_t n;
    DWORD start = GetTickCount();
    while ((n = KmidiFrameNext(&s, block)) > 0) {
        int r = WriteOut(block, (unsigned long)n, start);
        if (r != 1)
            return r;
    }
    return 1;
}

int KernelMidiWriteRaw(const unsigned char* bytes, unsigned long length)
{
    if (!g_running)
        return 0;
    int r = WriteOut(bytes, length, GetTickCount());
    if (r != 1)
        return r;
    g_after_raw = 1;
    return 1;
}

int KernelMidiReceive(unsigned char* buffer, unsigned long capacity)
{
    if (!g_running)
        return 0;
    KmidiReceiver r;
    KmidiReceiveBegin(&r, buffer, capacity);
    unsigned char block[KMIDI_IN_BLOCK_SIZE];
    DWORD start = GetTickCount();
    for (;;) {
        int taken = KernelMidiTakeBlock(block, start);
        if (taken != 1)
            return taken;
        if (KmidiBlockEmpty(block))
            continue;
        int result = KmidiWalkBlock(&r, block);
        if (result != KmidiBlockMore)
            return result == KmidiBlockDone ? 1 : 0;
    }
}

void KernelMidiAbort()
{
    if (g_running)
        InterlockedExchange(&g_aborted, 1);
}
