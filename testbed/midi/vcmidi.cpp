// winevcmidi.drv: the test bed's MIDI driver. Wine loads it as the prefix's
// audio driver (HKCU\Software\Wine\Drivers, "Audio" = "vcmidi"), and winmm
// then takes the MIDI ports from it: the ports the test chose, some of which
// reach the virtual controller's device model through two FIFOs of the vctl
// state dir (mh2d: one record per long message sent, md2h: one record per
// message the device sends).
//
// Ports come from <state dir>\midi.conf, read when the driver is loaded (one
// layout per process):
//   out TECH BUSY REACHES NAME    an output port: technology, refuses opens,
//                                 carries what is sent to the device
//   in BUSY HEARS NAME            an input port: refuses opens, gets the
//                                 device's messages
// A long message completes after the delay in <state dir>\midi.delay (ms,
// read for every message; with the port's index + 1 in <state dir>\midi.hold
// the messages of that output port never complete, until a reset takes them
// back or the hold ends), and its bytes are taken from the caller's
// buffer only then, as a port that sends them out byte by byte would. With a
// rate in <state dir>\midi.rate (bits per second), every message also takes
// its time on the line, 10 bits a byte, both ways.
// The state dir is $PANEL_VC_DIR, else $PANEL_WINE_DIR/vc.
#include <windows.h>

#include <mmsystem.h>
// after mmsystem.h, whose types it uses
#include <mmddk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

namespace {

enum {
    VCMIDI_MAX_PORTS = 32,
    VCMIDI_RECORD_HEAD = 5,
    VCMIDI_WRITE = 1,   // mh2d: the bytes of one long message
    VCMIDI_OPENED = 3,  // mh2d: a driver starts: stale replies are dropped
    VCMIDI_DATA = 1,    // md2h: one message of the device
    VCMIDI_READY = 2,   // md2h: the daemon dropped what it had queued
    VCMIDI_MAX_RECORD = 1 << 20,
    VCMIDI_BITS_PER_BYTE = 10, // start bit, 8 data bits, stop bit
    VCMIDI_MAX_DELAY_MS = 10000,
    VCMIDI_HOLD_POLL_MS = 5,
};

struct Client {
    MIDIOPENDESC desc;
    WORD flags; // DCB_ type
    int open;
};

struct OutPort {
    char name[MAXPNAMELEN];
    WORD tech;
    int busy;
    int reaches;
    Client client;
    int pending; // long messages queued or in transmission
};

struct InPort {
    char name[MAXPNAMELEN];
    int busy;
    int hears;
    Client client;
    int started;
    std::deque<MIDIHDR*> buffers;
};

struct Job {
    UINT port;
    MIDIHDR* hdr;
    int cancelled;
    LONGLONG sent_us; // when the client handed it over
};

CRITICAL_SECTION g_lock;
std::vector<OutPort> g_outs;
std::vector<InPort> g_ins;
std::deque<Job> g_jobs;
HANDLE g_job_event;
std::string g_dir; // Windows path, with a trailing backslash
HANDLE g_h2d = INVALID_HANDLE_VALUE;
int g_started;

// A header the driver gives back: out of the queue, done.
void MarkDone(MIDIHDR* h)
{
    h->dwFlags = (h->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

std::string StateDir()
{
    char buf[1024];
    std::string unix_dir;
    if (GetEnvironmentVariableA("PANEL_VC_DIR", buf, sizeof(buf)) && buf[0])
        unix_dir = buf;
    else if (GetEnvironmentVariableA("PANEL_WINE_DIR", buf, sizeof(buf)) && buf[0])
        unix_dir = std::string(buf) + "/vc";
    if (unix_dir.empty() || unix_dir[0] != '/')
        return std::string();
    std::string win = "Z:" + unix_dir + "/";
    for (char& c : win)
        if (c == '/')
            c = '\\';
    return win;
}

void CopyName(char* to, const char* from)
{
    strncpy(to, from, MAXPNAMELEN - 1);
    to[MAXPNAMELEN - 1] = 0;
}

void ReadConfig()
{
    FILE* f = fopen((g_dir + "midi.conf").c_str(), "r");
    if (!f)
        return;
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\r\n")] = 0;
        unsigned a = 0, b = 0, c = 0;
        int used = 0;
        if (sscanf(line, "out %u %u %u %n", &a, &b, &c, &used) == 3 && used > 0 && g_outs.size() < VCMIDI_MAX_PORTS) {
            OutPort p = {};
            CopyName(p.name, line + used);
            p.tech = (WORD)a;
            p.busy = (int)b;
            p.reaches = (int)c;
            g_outs.push_back(p);
        } else if (sscanf(line, "in %u %u %n", &a, &b, &used) == 2 && used > 0 && g_ins.size() < VCMIDI_MAX_PORTS) {
            InPort p;
            memset(p.name, 0, sizeof(p.name));
            CopyName(p.name, line + used);
            p.busy = (int)a;
            p.hears = (int)b;
            p.client = Client();
            p.started = 0;
            g_ins.push_back(p);
        }
    }
    fclose(f);
}

// A number kept in a file of the state dir; 0 when there is none.
unsigned ReadSetting(const char* name, unsigned most)
{
    FILE* f = fopen((g_dir + name).c_str(), "r");
    if (!f)
        return 0;
    unsigned v = 0;
    if (fscanf(f, "%u", &v) != 1)
        v = 0;
    fclose(f);
    return v > most ? most : v;
}

DWORD Delay()
{
    return ReadSetting("midi.delay", VCMIDI_MAX_DELAY_MS);
}

LONGLONG NowUs()
{
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return (LONGLONG)((double)t.QuadPart * 1e6 / (double)f.QuadPart);
}

// Waits us microseconds: Sleep counts whole milliseconds, the system's
// own delay 100 ns units.
void Pause(LONGLONG us)
{
    typedef LONG(WINAPI * DelayFn)(BOOLEAN, LARGE_INTEGER*);
    static DelayFn delay = (DelayFn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution");
    if (us <= 0)
        return;
    LARGE_INTEGER t;
    t.QuadPart = -us * 10; // relative
    if (delay)
        delay(FALSE, &t);
    else
        Sleep((DWORD)((us + 999) / 1000));
}

// One direction of the line, busy until free_us: waits until n bytes handed
// over at since_us have crossed it (at once when the line has no rate).
void CrossLine(LONGLONG* free_us, DWORD n, LONGLONG since_us)
{
    unsigned baud = ReadSetting("midi.rate", 1000000);
    if (baud == 0)
        return;
    LONGLONG start = *free_us > since_us ? *free_us : since_us;
    *free_us = start + (LONGLONG)n * VCMIDI_BITS_PER_BYTE * 1000000 / baud;
    Pause(*free_us - NowUs());
}

LONGLONG g_out_free_us; // the sender thread's line to the device
LONGLONG g_in_free_us;  // the reader thread's line from the device

// What winmm's DriverCallback does for the kinds of callback a client asks for.
void Notify(const Client& c, UINT msg, DWORD_PTR p1, DWORD_PTR p2)
{
    if (!c.desc.dwCallback)
        return;
    switch (c.flags & DCB_TYPEMASK) {
    case DCB_FUNCTION:
        ((LPDRVCALLBACK)c.desc.dwCallback)((HDRVR)c.desc.hMidi, msg, c.desc.dwInstance, p1, p2);
        break;
    case DCB_EVENT:
        SetEvent((HANDLE)c.desc.dwCallback);
        break;
    case DCB_WINDOW:
        PostMessageA((HWND)c.desc.dwCallback, msg, (WPARAM)c.desc.hMidi, (LPARAM)p1);
        break;
    case DCB_TASK:
        PostThreadMessageA((DWORD)c.desc.dwCallback, msg, (WPARAM)c.desc.hMidi, (LPARAM)p1);
        break;
    }
}

// ---------------------------------------------------------------- bridge

void Record(int type, const void* bytes, DWORD n)
{
    if (g_h2d == INVALID_HANDLE_VALUE)
        return;
    std::vector<unsigned char> rec(VCMIDI_RECORD_HEAD + n);
    rec[0] = (unsigned char)type;
    for (int i = 0; i < 4; ++i)
        rec[1 + i] = (unsigned char)(n >> (8 * i));
    if (n)
        memcpy(&rec[VCMIDI_RECORD_HEAD], bytes, n);
    DWORD done = 0;
    if (!WriteFile(g_h2d, rec.data(), (DWORD)rec.size(), &done, NULL) || done != rec.size()) {
        CloseHandle(g_h2d);
        g_h2d = INVALID_HANDLE_VALUE;
    }
}

int ReadFull(HANDLE h, HANDLE event, unsigned char* buf, DWORD n)
{
    DWORD have = 0;
    while (have < n) {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD got = 0;
        if (!ReadFile(h, buf + have, n - have, &got, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &got, TRUE))
                return 0;
        }
        if (got == 0)
            return 0;
        have += got;
    }
    return 1;
}

// Hands one message of the device to every listening input port that has a
// buffer queued.
void Deliver(const unsigned char* bytes, DWORD n)
{
    struct Done {
        Client client;
        MIDIHDR* hdr;
    };
    std::vector<Done> done;
    EnterCriticalSection(&g_lock);
    for (InPort& p : g_ins) {
        if (!p.hears || !p.client.open || !p.started || p.buffers.empty())
            continue;
        MIDIHDR* h = p.buffers.front();
        p.buffers.pop_front();
        DWORD take = n < h->dwBufferLength ? n : h->dwBufferLength;
        memcpy(h->lpData, bytes, take);
        h->dwBytesRecorded = take;
        MarkDone(h);
        done.push_back({p.client, h});
    }
    LeaveCriticalSection(&g_lock);
    for (const Done& d : done)
        Notify(d.client, MIM_LONGDATA, (DWORD_PTR)d.hdr, GetTickCount());
}

DWORD WINAPI ReaderThread(LPVOID)
{
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE h = CreateFileA((g_dir + "md2h").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int ready = 0; // what came before the daemon's READY is an earlier process's
    std::vector<unsigned char> payload;
    for (;;) {
        unsigned char head[VCMIDI_RECORD_HEAD];
        if (!ReadFull(h, event, head, sizeof(head)))
            break;
        DWORD n = head[1] | (head[2] << 8) | (head[3] << 16) | ((DWORD)head[4] << 24);
        if (n > VCMIDI_MAX_RECORD)
            break;
        payload.resize(n);
        if (n && !ReadFull(h, event, payload.data(), n))
            break;
        if (head[0] == VCMIDI_READY)
            ready = 1;
        else if (head[0] == VCMIDI_DATA && ready && n) {
            CrossLine(&g_in_free_us, n, NowUs());
            Deliver(payload.data(), n);
        }
    }
    CloseHandle(h);
    return 0;
}

// A held message waits until a reset cancels it or the hold of its port ends.
void WaitWhileHeld(UINT port)
{
    for (;;) {
        EnterCriticalSection(&g_lock);
        int cancelled = g_jobs.front().cancelled;
        LeaveCriticalSection(&g_lock);
        if (cancelled || ReadSetting("midi.hold", VCMIDI_MAX_PORTS) != port + 1)
            return;
        Sleep(VCMIDI_HOLD_POLL_MS);
    }
}

// Sends the queued long messages one after the other, each after the delay.
DWORD WINAPI SenderThread(LPVOID)
{
    for (;;) {
        WaitForSingleObject(g_job_event, INFINITE);
        for (;;) {
            EnterCriticalSection(&g_lock);
            if (g_jobs.empty()) {
                LeaveCriticalSection(&g_lock);
                break;
            }
            Job job = g_jobs.front();
            LeaveCriticalSection(&g_lock);

            Sleep(Delay());
            WaitWhileHeld(job.port);
            CrossLine(&g_out_free_us, job.hdr->dwBufferLength, job.sent_us);

            EnterCriticalSection(&g_lock);
            job = g_jobs.front(); // a reset may have cancelled it meanwhile
            g_jobs.pop_front();
            OutPort& p = g_outs[job.port];
            if (!job.cancelled && p.reaches)
                Record(VCMIDI_WRITE, job.hdr->lpData, job.hdr->dwBufferLength);
            Client client = p.client;
            if (!job.cancelled) {
                MarkDone(job.hdr);
                p.pending--;
            }
            LeaveCriticalSection(&g_lock);
            if (!job.cancelled)
                Notify(client, MOM_DONE, (DWORD_PTR)job.hdr, 0);
        }
    }
}

// The ports, when winmm first asks (any process that plays a sound does).
void LoadPorts()
{
    if (g_started)
        return;
    g_started = 1;
    g_dir = StateDir();
    if (!g_dir.empty())
        ReadConfig();
}

// The bridge, at the first open of a port: a process that only counts the
// ports leaves the device model alone.
void Connect()
{
    static int connected;
    if (connected || g_dir.empty())
        return;
    connected = 1;
    g_h2d = CreateFileA((g_dir + "mh2d").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_EXISTING, 0, NULL);
    Record(VCMIDI_OPENED, NULL, 0);
    g_job_event = CreateEventA(NULL, FALSE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, ReaderThread, NULL, 0, NULL));
    CloseHandle(CreateThread(NULL, 0, SenderThread, NULL, 0, NULL));
}

// ---------------------------------------------------------------- headers

DWORD Prepare(MIDIHDR* h, DWORD_PTR size)
{
    if (!h || size < sizeof(MIDIHDR) || !h->lpData)
        return MMSYSERR_INVALPARAM;
    h->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

DWORD Unprepare(MIDIHDR* h, DWORD_PTR size)
{
    if (!h || size < sizeof(MIDIHDR))
        return MMSYSERR_INVALPARAM;
    if (h->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    h->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// A header handed over with a long message or as an input buffer: checked
// and marked queued, as winmm's drivers do. needs_room: it must have a length.
DWORD QueueHeader(const Client& c, MIDIHDR* h, DWORD_PTR size, bool needs_room)
{
    if (!c.open)
        return MMSYSERR_INVALHANDLE;
    if (!h || size < sizeof(MIDIHDR) || !h->lpData || (needs_room && !h->dwBufferLength))
        return MMSYSERR_INVALPARAM;
    if (!(h->dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    if (h->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    h->dwFlags = (h->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    return MMSYSERR_NOERROR;
}

DWORD OpenClient(Client* c, int busy, DWORD_PTR desc, DWORD_PTR flags)
{
    if (busy || c->open)
        return MMSYSERR_ALLOCATED;
    if (!desc)
        return MMSYSERR_INVALPARAM;
    c->desc = *(MIDIOPENDESC*)desc;
    c->flags = HIWORD(flags & CALLBACK_TYPEMASK);
    c->open = 1;
    return MMSYSERR_NOERROR;
}

void WideName(WCHAR* to, const char* from)
{
    MultiByteToWideChar(CP_ACP, 0, from, -1, to, MAXPNAMELEN);
    to[MAXPNAMELEN - 1] = 0;
}

// ---------------------------------------------------------------- output

void ResetOutput(UINT id, std::vector<MIDIHDR*>* returned)
{
    for (Job& j : g_jobs) {
        if (j.port == id && !j.cancelled) {
            j.cancelled = 1;
            MarkDone(j.hdr);
            returned->push_back(j.hdr);
        }
    }
    g_outs[id].pending = 0;
}

DWORD OutMessage(UINT id, UINT msg, DWORD_PTR p1, DWORD_PTR p2)
{
    if (id >= g_outs.size())
        return MMSYSERR_BADDEVICEID;
    OutPort& p = g_outs[id];
    switch (msg) {
    case MODM_GETDEVCAPS: {
        MIDIOUTCAPSW* caps = (MIDIOUTCAPSW*)p1;
        if (!caps || p2 < sizeof(MIDIOUTCAPSW))
            return MMSYSERR_INVALPARAM;
        memset(caps, 0, sizeof(*caps));
        caps->wMid = 0xFF;
        caps->wPid = 1;
        caps->vDriverVersion = 0x100;
        WideName(caps->szPname, p.name);
        caps->wTechnology = p.tech;
        caps->wChannelMask = 0xFFFF;
        return MMSYSERR_NOERROR;
    }
    case MODM_OPEN: {
        Connect();
        DWORD r = OpenClient(&p.client, p.busy, p1, p2);
        if (r == MMSYSERR_NOERROR)
            Notify(p.client, MOM_OPEN, 0, 0);
        return r;
    }
    case MODM_CLOSE:
        if (!p.client.open)
            return MMSYSERR_INVALHANDLE;
        if (p.pending)
            return MIDIERR_STILLPLAYING;
        p.client.open = 0;
        Notify(p.client, MOM_CLOSE, 0, 0);
        return MMSYSERR_NOERROR;
    case MODM_PREPARE:
        return Prepare((MIDIHDR*)p1, p2);
    case MODM_UNPREPARE:
        return Unprepare((MIDIHDR*)p1, p2);
    case MODM_DATA:
        return p.client.open ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    case MODM_LONGDATA: {
        MIDIHDR* h = (MIDIHDR*)p1;
        DWORD r = QueueHeader(p.client, h, p2, false);
        if (r != MMSYSERR_NOERROR)
            return r;
        g_jobs.push_back({id, h, 0, NowUs()});
        p.pending++;
        SetEvent(g_job_event);
        return MMSYSERR_NOERROR;
    }
    case MODM_RESET: {
        std::vector<MIDIHDR*> returned;
        ResetOutput(id, &returned);
        Client c = p.client;
        LeaveCriticalSection(&g_lock);
        for (MIDIHDR* h : returned)
            Notify(c, MOM_DONE, (DWORD_PTR)h, 0);
        EnterCriticalSection(&g_lock);
        return MMSYSERR_NOERROR;
    }
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

// ---------------------------------------------------------------- input

DWORD InMessage(UINT id, UINT msg, DWORD_PTR p1, DWORD_PTR p2)
{
    if (id >= g_ins.size())
        return MMSYSERR_BADDEVICEID;
    InPort& p = g_ins[id];
    switch (msg) {
    case MIDM_GETDEVCAPS: {
        MIDIINCAPSW* caps = (MIDIINCAPSW*)p1;
        if (!caps || p2 < sizeof(MIDIINCAPSW))
            return MMSYSERR_INVALPARAM;
        memset(caps, 0, sizeof(*caps));
        caps->wMid = 0xFF;
        caps->wPid = 2;
        caps->vDriverVersion = 0x100;
        WideName(caps->szPname, p.name);
        return MMSYSERR_NOERROR;
    }
    case MIDM_OPEN: {
        Connect();
        DWORD r = OpenClient(&p.client, p.busy, p1, p2);
        if (r == MMSYSERR_NOERROR) {
            p.started = 0;
            Notify(p.client, MIM_OPEN, 0, 0);
        }
        return r;
    }
    case MIDM_CLOSE:
        if (!p.client.open)
            return MMSYSERR_INVALHANDLE;
        if (!p.buffers.empty())
            return MIDIERR_STILLPLAYING;
        p.client.open = 0;
        p.started = 0;
        Notify(p.client, MIM_CLOSE, 0, 0);
        return MMSYSERR_NOERROR;
    case MIDM_PREPARE:
        return Prepare((MIDIHDR*)p1, p2);
    case MIDM_UNPREPARE:
        return Unprepare((MIDIHDR*)p1, p2);
    case MIDM_ADDBUFFER: {
        MIDIHDR* h = (MIDIHDR*)p1;
        DWORD r = QueueHeader(p.client, h, p2, true);
        if (r != MMSYSERR_NOERROR)
            return r;
        h->dwBytesRecorded = 0;
        p.buffers.push_back(h);
        return MMSYSERR_NOERROR;
    }
    case MIDM_START:
        p.started = 1;
        return MMSYSERR_NOERROR;
    case MIDM_STOP:
        p.started = 0;
        return MMSYSERR_NOERROR;
    case MIDM_RESET: {
        // Every queued buffer comes back, empty.
        std::deque<MIDIHDR*> returned;
        returned.swap(p.buffers);
        p.started = 0;
        for (MIDIHDR* h : returned)
            MarkDone(h);
        Client c = p.client;
        LeaveCriticalSection(&g_lock);
        for (MIDIHDR* h : returned)
            Notify(c, MIM_LONGDATA, (DWORD_PTR)h, GetTickCount());
        EnterCriticalSection(&g_lock);
        return MMSYSERR_NOERROR;
    }
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD Common(UINT msg, size_t count, int* handled)
{
    *handled = 1;
    switch (msg) {
    case DRVM_INIT:
    case DRVM_EXIT:
    case DRVM_ENABLE:
    case DRVM_DISABLE:
        return MMSYSERR_NOERROR;
    case MODM_GETNUMDEVS:
    case MIDM_GETNUMDEVS:
        return (DWORD)count;
    }
    *handled = 0;
    return 0;
}

} // namespace

extern "C" {

__declspec(dllexport) LRESULT CALLBACK DriverProc(DWORD_PTR, HDRVR, UINT msg, LPARAM, LPARAM)
{
    switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_OPEN:
    case DRV_CLOSE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    default:
        return 0;
    }
}

__declspec(dllexport) DWORD WINAPI modMessage(UINT id, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2)
{
    LoadPorts();
    int handled;
    DWORD r = Common(msg, g_outs.size(), &handled);
    if (handled)
        return r;
    EnterCriticalSection(&g_lock);
    r = OutMessage(id, msg, p1, p2);
    LeaveCriticalSection(&g_lock);
    return r;
}

__declspec(dllexport) DWORD WINAPI midMessage(UINT id, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2)
{
    LoadPorts();
    int handled;
    DWORD r = Common(msg, g_ins.size(), &handled);
    if (handled)
        return r;
    EnterCriticalSection(&g_lock);
    r = InMessage(id, msg, p1, p2);
    LeaveCriticalSection(&g_lock);
    return r;
}

// What mmdevapi asks of an audio driver: this one has no audio endpoints.
__declspec(dllexport) int WINAPI GetPriority()
{
    return 3; // preferred
}

__declspec(dllexport) HRESULT WINAPI GetEndpointIDs(int, WCHAR*** ids, GUID** guids, UINT* count, UINT* def)
{
    *ids = NULL;
    *guids = NULL;
    *count = 0;
    *def = 0;
    return S_OK;
}

__declspec(dllexport) HRESULT WINAPI GetAudioEndpoint(void*, void*, void**)
{
    return E_NOTIMPL;
}

__declspec(dllexport) HRESULT WINAPI GetAudioSessionManager(void*, void**)
{
    return E_NOTIMPL;
}

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    return TRUE;
}
