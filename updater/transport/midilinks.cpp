// The system MIDI link and its port scan.
//
// The link's four blocks (two headers, two buffers) live in locked global
// memory for as long as the link is open: the send copies into the output
// buffer, the receive catches one message per arming in the input buffer.
// The scan sends a probe on every output port while every input port
// listens; the first reply that names this device's product ID wins.
#include "midilinks.h"

#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"
#include "midiscan.h"
#include "protocol.h"
#include "sysfile.h"

namespace {

const UINT GLOBAL_BLOCK_FLAGS = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE;

struct GlobalBlock {
    HGLOBAL handle;
    void* data;
};

enum BlockResult {
    BLOCK_OK = 0,
    BLOCK_ALLOC_FAILED = 1,
    BLOCK_LOCK_FAILED = 2, // the block is freed again
};

BlockResult AllocBlock(GlobalBlock* b, SIZE_T size)
{
    b->handle = GlobalAlloc(GLOBAL_BLOCK_FLAGS, size);
    if (!b->handle)
        return BLOCK_ALLOC_FAILED;
    b->data = GlobalLock(b->handle);
    if (!b->data) {
        GlobalFree(b->handle);
        b->handle = NULL;
        return BLOCK_LOCK_FAILED;
    }
    return BLOCK_OK;
}

void FreeBlock(GlobalBlock* b)
{
    if (b->handle) {
        GlobalUnlock(b->handle);
        GlobalFree(b->handle);
    }
    b->handle = NULL;
    b->data = NULL;
}

MIDIHDR* Header(const GlobalBlock* b)
{
    return (MIDIHDR*)b->data;
}

// ---------------------------------------------------------------- link state

GlobalBlock g_in_hdr, g_out_hdr, g_in_buf, g_out_buf;
HMIDIIN g_in;
HMIDIOUT g_out;
volatile LONG g_in_count;
volatile LONG g_clock;
// The long message in the output buffer is still being sent: set by the
// send, cleared by MOM_DONE. g_out_done is signalled with it (when it could
// be created; else the send polls).
volatile LONG g_out_busy;
HANDLE g_out_done;
// Signalled with every long-data notice, so that the receive's 10 ms poll
// wakes as soon as a message is in (when it could be created; else it sleeps).
HANDLE g_in_notice;

void CALLBACK LinkInputProc(HMIDIIN in, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MIM_LONGDATA && in == g_in) {
        InterlockedIncrement(&g_in_count);
        if (g_in_notice)
            SetEvent(g_in_notice);
    }
}

void CALLBACK LinkOutputProc(HMIDIOUT, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (msg == MOM_DONE) {
        InterlockedExchange(&g_out_busy, 0);
        if (g_out_done)
            SetEvent(g_out_done);
    }
}

int AbortGiven()
{
    return InterlockedCompareExchange(&g_clock, 0, 0) >= MIDI_CLOCK_ABORT;
}

// Waits until the previous long message has left the output buffer; 0 when
// it is still being sent after MIDI_SEND_WAIT_MS, or when the user aborts
// meanwhile (looked at every MIDI_ABORT_POLL_MS).
int WaitOutputFree()
{
    DWORD start = GetTickCount();
    while (g_out_busy) {
        DWORD spent = GetTickCount() - start;
        if (spent >= MIDI_SEND_WAIT_MS || AbortGiven())
            return 0;
        DWORD step = MIDI_SEND_WAIT_MS - spent;
        if (step > MIDI_ABORT_POLL_MS)
            step = MIDI_ABORT_POLL_MS;
        if (g_out_done)
            WaitForSingleObject(g_out_done, step);
        else
            Sleep(1);
    }
    return 1;
}

int FindOutPort(const char* name)
{
    int found = -1;
    UINT n = midiOutGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        MIDIOUTCAPSA caps;
        if (midiOutGetDevCapsA(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR && caps.wTechnology == MOD_MIDIPORT &&
            strcmp(caps.szPname, name) == 0)
            found = (int)i;
    }
    return found;
}

int FindInPort(const char* name)
{
    int found = -1;
    UINT n = midiInGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        MIDIINCAPSA caps;
        if (midiInGetDevCapsA(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR && strcmp(caps.szPname, name) == 0)
            found = (int)i;
    }
    return found;
}

int FailOpen(char* err, const char* text, const char* detail)
{
    MidiLinkClose();
    char msg[ERROR_TEXT_SIZE];
    snprintf(msg, sizeof(msg), "%s%s", text, detail);
    SetErrorText(err, msg);
    return 0;
}

int AllocLinkBlocks(char* err)
{
    static const struct {
        GlobalBlock* block;
        SIZE_T size;
        const char* alloc_text;
        const char* lock_text;
    } blocks[] = {
        {&g_in_hdr, sizeof(MIDIHDR), "Not Enough Memory(Alloc MIDIINHDR)", "Not Enough Memory(Lock MIDIINHDR)"},
        {&g_out_hdr, sizeof(MIDIHDR), "Not Enough Memory(Alloc MIDIOUTHDR)", "Not Enough Memory(Lock MIDIOUTHDR)"},
        {&g_in_buf, MIDI_IN_BUFFER_SIZE, "Not Enough Memory(Alloc ExcIn)", "Not Enough Memory(Lock ExcIn)"},
        {&g_out_buf, MIDI_OUT_BUFFER_SIZE, "Not Enough Memory(Alloc ExcOut)", "Not Enough Memory(Lock ExcOut)"},
    };
    for (const auto& b : blocks) {
        BlockResult r = AllocBlock(b.block, b.size);
        if (r != BLOCK_OK)
            return FailOpen(err, r == BLOCK_ALLOC_FAILED ? b.alloc_text : b.lock_text, "");
    }
    return 1;
}

void StopInput()
{
    midiInStop(g_in);
    midiInReset(g_in);
    InterlockedExchange(&g_in_count, 0);
}

// The receive clock, raised to the time passed since `start` when the timer
// that ticks it cannot run (a receive on the window's own thread); never
// lowered, so that an abort's value stands.
LONG ClockAt(DWORD start)
{
    LONG passed = (LONG)((GetTickCount() - start) / TIMER_TICK_MS);
    LONG now = g_clock;
    while (now < passed) {
        LONG seen = InterlockedCompareExchange(&g_clock, passed, now);
        if (seen == now)
            return passed;
        now = seen;
    }
    return now;
}

// ---------------------------------------------------------------- scan state

struct ScanListener {
    HMIDIIN in;
    GlobalBlock hdr;
    GlobalBlock buf;
};

struct ScanState {
    HWND notify;
    unsigned char product_id[MIDI_PRODUCT_ID_SIZE];
    UINT in_count, out_count;
    int probe_length;
    volatile LONG found_in, found_out;
    ScanListener* listeners;
    GlobalBlock probe_hdr, probe_buf;
    HMIDIOUT probe_out;
    HANDLE event;
};

// No reply accepted until a scan has one.
ScanState g_scan = {NULL, {0, 0, 0}, 0, 0, 0, -1, -1, NULL, {NULL, NULL}, {NULL, NULL}, NULL, NULL};
// Held by the scan callback while it reads the listener table, and by the
// scan's end while it takes the table away: a reply that the platform hands
// over as the scan ends is read in full or not at all.
volatile LONG g_scan_lock = 0;

void LockScan()
{
    while (InterlockedCompareExchange(&g_scan_lock, 1, 0) != 0)
        Sleep(0);
}

void UnlockScan()
{
    InterlockedExchange(&g_scan_lock, 0);
}

void TakeScanReply(UINT i)
{
    if (!g_scan.listeners || i >= g_scan.in_count)
        return;
    ScanListener* l = &g_scan.listeners[i];
    if (!l->hdr.data || !l->buf.data)
        return;
    int port = MidiProbeReplyPort((const unsigned char*)l->buf.data, Header(&l->hdr)->dwBytesRecorded,
                                  (size_t)g_scan.probe_length, g_scan.product_id);
    if (port < 0)
        return;
    if (InterlockedCompareExchange(&g_scan.found_out, port, -1) == -1) {
        InterlockedExchange(&g_scan.found_in, (LONG)i);
        if (g_scan.notify)
            PostMessageA(g_scan.notify, WM_COMMAND, CMD_MIDI_PORT_FOUND, 0);
    }
}

void CALLBACK ScanInputProc(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    if (msg != MIM_LONGDATA)
        return;
    LockScan();
    TakeScanReply((UINT)instance);
    UnlockScan();
}

void FreeScanBuffers()
{
    FreeBlock(&g_scan.probe_hdr);
    FreeBlock(&g_scan.probe_buf);
    if (g_scan.event)
        CloseHandle(g_scan.event);
    g_scan.event = NULL;
}

int AllocScanBuffers()
{
    const char* text = NULL;
    BlockResult r = AllocBlock(&g_scan.probe_hdr, sizeof(MIDIHDR));
    if (r != BLOCK_OK)
        text = r == BLOCK_ALLOC_FAILED ? "Not Enough Memory(Alloc MIDIHDR)" : "Not Enough Memory(Lock MIDIHDR)";
    else if ((r = AllocBlock(&g_scan.probe_buf, MIDI_PROBE_BUFFER_SIZE)) != BLOCK_OK)
        text = r == BLOCK_ALLOC_FAILED ? "Not Enough Memory(Alloc Exclusive Buffer)"
                                       : "Not Enough Memory(Lock Exclusive Buffer)";
    if (text) {
        MessageBoxA(g_scan.notify, text, NULL, MB_OK | MB_SETFOREGROUND);
        FreeScanBuffers();
        return 0;
    }
    g_scan.event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!g_scan.event) {
        FreeScanBuffers();
        return 0;
    }
    return 1;
}

// A port still playing is reset before each further close, so that a driver
// that holds a message or a buffer gives it back; the closes end after
// MIDI_SCAN_CLOSE_TRIES in any case.
void CloseScanInput(HMIDIIN in)
{
    for (int tries = 1; midiInClose(in) == MIDIERR_STILLPLAYING && tries < MIDI_SCAN_CLOSE_TRIES; ++tries) {
        midiInReset(in);
        Sleep(MIDI_SCAN_CLOSE_PAUSE_MS);
    }
}

void CloseScanOutput(HMIDIOUT out)
{
    for (int tries = 1; midiOutClose(out) == MIDIERR_STILLPLAYING && tries < MIDI_SCAN_CLOSE_TRIES; ++tries) {
        midiOutReset(out);
        Sleep(MIDI_SCAN_CLOSE_PAUSE_MS);
    }
}

// A port that another program, or the system still closing it, holds may
// come free: a scan port is opened up to MIDI_SCAN_OPEN_TRIES times,
// MIDI_SCAN_OPEN_PAUSE_MS apart.
typedef MMRESULT (*ScanPortOpen)(UINT port);

MMRESULT OpenScanPort(ScanPortOpen open, UINT port)
{
    MMRESULT r = open(port);
    for (int tries = 1; r != MMSYSERR_NOERROR && tries < MIDI_SCAN_OPEN_TRIES; ++tries) {
        Sleep(MIDI_SCAN_OPEN_PAUSE_MS);
        r = open(port);
    }
    return r;
}

MMRESULT OpenListenerPort(UINT i)
{
    return midiInOpen(&g_scan.listeners[i].in, i, (DWORD_PTR)ScanInputProc, (DWORD_PTR)i, CALLBACK_FUNCTION);
}

MMRESULT OpenProbePort(UINT j)
{
    return midiOutOpen(&g_scan.probe_out, j, (DWORD_PTR)g_scan.event, 0, CALLBACK_EVENT);
}

void StartListener(UINT i)
{
    ScanListener* l = &g_scan.listeners[i];
    if (AllocBlock(&l->buf, MIDI_SCAN_REPLY_BUFFER) != BLOCK_OK)
        return;
    if (AllocBlock(&l->hdr, sizeof(MIDIHDR)) != BLOCK_OK) {
        FreeBlock(&l->buf);
        return;
    }
    if (OpenScanPort(OpenListenerPort, i) != MMSYSERR_NOERROR) {
        l->in = NULL;
        FreeBlock(&l->hdr);
        FreeBlock(&l->buf);
        return;
    }
    midiInReset(l->in);
    MIDIHDR* h = Header(&l->hdr);
    h->lpData = (LPSTR)l->buf.data;
    h->dwBufferLength = MIDI_SCAN_REPLY_BUFFER;
    h->dwBytesRecorded = 0;
    if (midiInPrepareHeader(l->in, h, sizeof(MIDIHDR)) == MMSYSERR_NOERROR &&
        midiInAddBuffer(l->in, h, sizeof(MIDIHDR)) == MMSYSERR_NOERROR)
        midiInStart(l->in);
}

void ProbeOutput(UINT j)
{
    ResetEvent(g_scan.event);
    if (OpenScanPort(OpenProbePort, j) != MMSYSERR_NOERROR) {
        g_scan.probe_out = NULL;
        return;
    }
    MidiSetProbePort((unsigned char*)g_scan.probe_buf.data, g_scan.probe_length, (int)j);
    MIDIHDR* h = Header(&g_scan.probe_hdr);
    if (midiOutPrepareHeader(g_scan.probe_out, h, sizeof(MIDIHDR)) == MMSYSERR_NOERROR) {
        // The open signalled the event too: only the end of the message counts.
        ResetEvent(g_scan.event);
        // A probe the port has not sent in time is taken back before the
        // header is unprepared, as the link's close does.
        if (midiOutLongMsg(g_scan.probe_out, h, sizeof(MIDIHDR)) == MMSYSERR_NOERROR &&
            WaitForSingleObject(g_scan.event, MIDI_PROBE_WAIT_MS) != WAIT_OBJECT_0)
            midiOutReset(g_scan.probe_out);
        midiOutUnprepareHeader(g_scan.probe_out, h, sizeof(MIDIHDR));
    }
    CloseScanOutput(g_scan.probe_out);
    g_scan.probe_out = NULL;
}

void CopyName(char* to, const char* from)
{
    if (!to)
        return;
    memcpy(to, from, MIDI_PORT_NAME_SIZE - 1);
    to[MIDI_PORT_NAME_SIZE - 1] = 0;
}

} // namespace

// ---------------------------------------------------------------- link

const char* MidiErrorText(UINT code)
{
    switch (code) {
    case MMSYSERR_BADDEVICEID:
        return "Bad Device ID";
    case MMSYSERR_ALLOCATED:
        return "Allocated";
    case MMSYSERR_INVALHANDLE:
        return "Invalid Handle";
    case MMSYSERR_NOMEM:
        return "Not Enough Memory";
    case MMSYSERR_INVALFLAG:
        return "Invalid Flags";
    case MMSYSERR_INVALPARAM:
        return "Invalid Param";
    case MIDIERR_UNPREPARED:
        return "Unprepared";
    case MIDIERR_STILLPLAYING:
        return "Still Playing";
    default:
        return "Unexpected Error";
    }
}

int MidiLinkOpen(const char* out_port, const char* in_port, char* err)
{
    // A retry of the workflow may open again without a close in between.
    MidiLinkClose();
    if (!AllocLinkBlocks(err))
        return 0;
    Header(&g_in_hdr)->lpData = (LPSTR)g_in_buf.data;
    Header(&g_in_hdr)->dwBufferLength = MIDI_IN_BUFFER_SIZE;
    Header(&g_out_hdr)->lpData = (LPSTR)g_out_buf.data;
    Header(&g_out_hdr)->dwBufferLength = MIDI_OUT_BUFFER_SIZE;

    int out_index = FindOutPort(out_port);
    int in_index = FindInPort(in_port);
    if (out_index < 0)
        return FailOpen(err, "Midi out port is not exist : ", out_port);
    if (in_index < 0)
        return FailOpen(err, "Midi in port is not exist : ", in_port);

    MMRESULT r = midiInOpen(&g_in, (UINT)in_index, (DWORD_PTR)LinkInputProc, 0, CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        g_in = NULL;
        return FailOpen(err, "Midi In Open Error : ", MidiErrorText(r));
    }
    r = midiOutOpen(&g_out, (UINT)out_index, (DWORD_PTR)LinkOutputProc, 0, CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        g_out = NULL;
        return FailOpen(err, "Midi Out Open Error : ", MidiErrorText(r));
    }
    g_out_busy = 0;
    InterlockedExchange(&g_clock, 0); // an abort of an earlier run does not hold
    g_out_done = CreateEventA(NULL, FALSE, FALSE, NULL);
    g_in_notice = CreateEventA(NULL, FALSE, FALSE, NULL);
    midiInReset(g_in);
    midiInPrepareHeader(g_in, Header(&g_in_hdr), sizeof(MIDIHDR));
    midiOutPrepareHeader(g_out, Header(&g_out_hdr), sizeof(MIDIHDR));
    return 1;
}

void MidiLinkClose()
{
    // A message still going out or a buffer still queued would keep its
    // port from closing: both are taken back first.
    if (g_out) {
        midiOutReset(g_out);
        midiOutUnprepareHeader(g_out, Header(&g_out_hdr), sizeof(MIDIHDR));
        midiOutClose(g_out);
        g_out = NULL;
    }
    if (g_in) {
        midiInReset(g_in);
        midiInUnprepareHeader(g_in, Header(&g_in_hdr), sizeof(MIDIHDR));
        midiInClose(g_in);
        g_in = NULL;
    }
    FreeBlock(&g_out_buf);
    FreeBlock(&g_out_hdr);
    FreeBlock(&g_in_buf);
    FreeBlock(&g_in_hdr);
    if (g_out_done)
        CloseHandle(g_out_done);
    g_out_done = NULL;
    g_out_busy = 0;
    if (g_in_notice)
        CloseHandle(g_in_notice);
    g_in_notice = NULL;
}

int MidiLinkArmReceive()
{
    if (!g_in || !g_in_buf.data)
        return 0;
    midiInReset(g_in);
    MIDIHDR* h = Header(&g_in_hdr);
    ((unsigned char*)g_in_buf.data)[0] = 0;
    h->dwBufferLength = MIDI_IN_BUFFER_SIZE;
    h->dwBytesRecorded = 0;
    if (midiInAddBuffer(g_in, h, sizeof(MIDIHDR)) != MMSYSERR_NOERROR)
        return 0;
    InterlockedExchange(&g_in_count, 0);
    midiInStart(g_in);
    return 1;
}

int MidiLinkSend(const unsigned char* bytes, unsigned long length)
{
    if (!g_out || length > MIDI_OUT_BUFFER_SIZE)
        return 0;
    // The output buffer is the previous message's until it has been sent.
    if (!WaitOutputFree())
        return -1;
    MIDIHDR* h = Header(&g_out_hdr);
    memcpy(g_out_buf.data, bytes, length);
    h->dwBufferLength = length;
    if ((h->dwFlags & MHDR_DONE) && midiOutPrepareHeader(g_out, h, sizeof(MIDIHDR)) != MMSYSERR_NOERROR)
        return 0;
    if (g_out_done)
        ResetEvent(g_out_done);
    InterlockedExchange(&g_out_busy, 1);
    if (midiOutLongMsg(g_out, h, sizeof(MIDIHDR)) != MMSYSERR_NOERROR) {
        InterlockedExchange(&g_out_busy, 0);
        return 0;
    }
    return 1;
}

int MidiLinkReceive(unsigned char* buffer, unsigned long capacity)
{
    if (capacity > MIDI_IN_BUFFER_SIZE)
        capacity = MIDI_IN_BUFFER_SIZE;
    InterlockedExchange(&g_clock, 0);
    DWORD start = GetTickCount();
    for (;;) {
        if (g_in_count != 0 && g_in_buf.data) {
            const unsigned char* in = (const unsigned char*)g_in_buf.data;
            int sysex = in[0] == MSG_SYSEX_START;
            StopInput();
            if (!sysex)
                return -1;
            memcpy(buffer, in, capacity);
            return 1;
        }
        LONG clock = ClockAt(start);
        if (clock >= MIDI_CLOCK_TIMEOUT) {
            StopInput();
            return clock >= MIDI_CLOCK_ABORT ? -2 : -1;
        }
        if (g_in_notice)
            WaitForSingleObject(g_in_notice, MIDI_RECEIVE_POLL_MS);
        else
            Sleep(MIDI_RECEIVE_POLL_MS);
    }
}

void MidiLinkTick()
{
    InterlockedIncrement(&g_clock);
}

void MidiLinkAbortWait()
{
    InterlockedExchange(&g_clock, MIDI_CLOCK_ABORT);
}

// ---------------------------------------------------------------- scan

int MidiScanBegin(HWND notify, const unsigned char product_id[MIDI_PRODUCT_ID_SIZE])
{
    // A scan still listening (a retry started before its end) gives its
    // ports back first.
    if (g_scan.listeners || g_scan.event)
        MidiScanEnd(NULL, NULL);
    g_scan.found_in = -1;
    g_scan.found_out = -1;
    g_scan.notify = notify;
    memcpy(g_scan.product_id, product_id, MIDI_PRODUCT_ID_SIZE);
    if (!AllocScanBuffers())
        return 0;
    g_scan.in_count = midiInGetNumDevs();
    g_scan.out_count = midiOutGetNumDevs();
    if (g_scan.in_count == 0 || g_scan.out_count == 0) {
        FreeScanBuffers();
        return 0;
    }
    g_scan.listeners = (ScanListener*)calloc(g_scan.in_count, sizeof(ScanListener));
    if (!g_scan.listeners) {
        FreeScanBuffers();
        return 0;
    }
    for (UINT i = 0; i < g_scan.in_count; ++i)
        StartListener(i);

    g_scan.probe_length = MidiBuildProbe(g_scan.product_id, (unsigned char*)g_scan.probe_buf.data);
    MIDIHDR* h = Header(&g_scan.probe_hdr);
    h->lpData = (LPSTR)g_scan.probe_buf.data;
    h->dwBufferLength = (DWORD)g_scan.probe_length;
    for (UINT j = 0; j < g_scan.out_count; ++j)
        ProbeOutput(j);
    return 1;
}

int MidiScanEnd(char* in_name, char* out_name)
{
    LockScan();
    ScanListener* listeners = g_scan.listeners;
    g_scan.listeners = NULL;
    g_scan.notify = NULL;
    UnlockScan();
    if (listeners) {
        for (UINT i = 0; i < g_scan.in_count; ++i) {
            ScanListener* l = &listeners[i];
            if (l->in) {
                midiInStop(l->in);
                midiInReset(l->in);
                midiInUnprepareHeader(l->in, Header(&l->hdr), sizeof(MIDIHDR));
                CloseScanInput(l->in);
                l->in = NULL;
            }
            FreeBlock(&l->hdr);
            FreeBlock(&l->buf);
        }
        free(listeners);
    }
    if (g_scan.probe_out) {
        midiOutUnprepareHeader(g_scan.probe_out, Header(&g_scan.probe_hdr), sizeof(MIDIHDR));
        CloseScanOutput(g_scan.probe_out);
        g_scan.probe_out = NULL;
    }
    FreeScanBuffers();
    LONG found_in = g_scan.found_in, found_out = g_scan.found_out;
    g_scan.found_in = g_scan.found_out = -1; // a later end without a scan finds nothing
    if (found_in < 0 || found_out < 0)
        return 0;
    MIDIINCAPSA in_caps;
    MIDIOUTCAPSA out_caps;
    if (in_name) {
        memset(&in_caps, 0, sizeof(in_caps));
        midiInGetDevCapsA((UINT)found_in, &in_caps, sizeof(in_caps));
        CopyName(in_name, in_caps.szPname);
    }
    if (out_name) {
        memset(&out_caps, 0, sizeof(out_caps));
        midiOutGetDevCapsA((UINT)found_out, &out_caps, sizeof(out_caps));
        CopyName(out_name, out_caps.szPname);
    }
    return 1;
}
