#include "update.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "link.h"
#include "linkmap.h"
#include "protocol.h"
#include "statusview.h"
#include "sysfile_win.h"
#include "usblink.h"

volatile LONG UpdateState = UpdateFinished;

namespace {

// Engine state, one per process.
unsigned char g_protocol_code = 0;
uint32_t g_packet_size = 0;
unsigned char g_capabilities = 0;
int g_force = 0;
HWND g_main_window = NULL;
HWND g_progress_bar = NULL;
char g_path[MAX_PATH] = "";
HANDLE g_thread = NULL;
unsigned char* g_packet = NULL;
unsigned char* g_tx = NULL;

const char kProtocolCodeError[] = "Protocol code error(need newer tool).";
const char kVersionError[] = "Version Error(It's Version Down or Same)";
const char kNeedsUpdate[] = " (needs update)";

// The pause after the set-mode's and every packet's acknowledgement on the
// paced links, and the look at the run state while the user pauses it.
const DWORD UPDATE_PACE_MS = 20;
const DWORD UPDATE_PAUSE_POLL_MS = 2;

void Post(WPARAM command, LPARAM value)
{
    if (g_main_window)
        PostMessageA(g_main_window, WM_COMMAND, command, value);
}

void SetProgress(DWORD position)
{
    SendMessageA(g_progress_bar, PBM_SETPOS, position, 0);
}

void ShowFailure(const char* err)
{
    AppendLogLine(LOG_NEW_LINE_BEFORE, err);
    ClearMessageArea();
    DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, err);
}

bool Aborted()
{
    return UpdateState == UpdateAbort;
}

// Once the user confirmed the abort, nothing more goes to the device.
int Send(const unsigned char* bytes, unsigned long length, char* err, int mode)
{
    if (Aborted())
        return 0;
    return LinkSend(bytes, length, err, mode);
}

// Every reply is judged by what arrived in this transfer only: the buffer is
// cleared first, so that a transfer that brings nothing cannot leave an
// earlier reply in place. No receive starts after the abort.
int Receive(unsigned char* rx, char* err)
{
    if (Aborted())
        return 0;
    memset(rx, 0, RX_BUFFER_SIZE);
    return LinkReceive(rx, RX_BUFFER_SIZE, err);
}

// Sends a request and checks its reply; returns the payload offset or 0.
int Exchange(int length, const FileInfo* fi, unsigned char expected, unsigned char* rx, char* err)
{
    if (!Send(g_tx, (unsigned long)length, err, TxMidi))
        return 0;
    if (!Receive(rx, err))
        return 0;
    return CheckReply(rx, RX_BUFFER_SIZE, fi, expected, err);
}

// 1 at the end of the file, 0 with more to come, -1 when the position cannot
// be told (a failure, never taken for the end).
int AtEndOfFile(HANDLE file)
{
    LARGE_INTEGER zero, here, size;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT) || !GetFileSizeEx(file, &size))
        return -1;
    return here.QuadPart >= size.QuadPart ? 1 : 0;
}

// The state changes only from `from` to `to`, in one step against the
// worker's own change to UpdateFinished.
void ChangeState(LONG from, LONG to)
{
    InterlockedCompareExchange(&UpdateState, to, from);
}

} // namespace

int AllocTransferBuffers(char* err)
{
    HANDLE heap = GetProcessHeap();
    g_packet = static_cast<unsigned char*>(HeapAlloc(heap, 0, PACKET_BUFFER_SIZE));
    if (g_packet)
        g_tx = static_cast<unsigned char*>(HeapAlloc(heap, 0, TX_BUFFER_SIZE));
    if (!g_packet || !g_tx) {
        SetErrorText(err, "Memoly Alloc Error");
        FreeTransferBuffers();
        return 0;
    }
    return 1;
}

void FreeTransferBuffers()
{
    HANDLE heap = GetProcessHeap();
    if (g_tx)
        HeapFree(heap, 0, g_tx);
    if (g_packet)
        HeapFree(heap, 0, g_packet);
    g_tx = NULL;
    g_packet = NULL;
}

void SetUpdateProgressBar(HWND progress_bar)
{
    g_progress_bar = progress_bar;
}

int QueryDevice(const FileInfo* info, int link)
{
    FileInfo fi = *info;
    LinkType = link;
    char err[ERROR_TEXT_SIZE] = "";
    unsigned char rx[RX_BUFFER_SIZE];

    int off = Exchange(BuildInquiry(g_tx, &fi), &fi, MsgInquiryReply, rx, err);
    InquiryReply reply;
    if (off) {
        int known = ReadInquiryReply(rx, sizeof(rx), off, &reply);
        g_protocol_code = reply.protocol_code;
        if (!known) {
            SetErrorText(err, kProtocolCodeError);
            off = 0;
        }
    }
    if (off)
        off = Exchange(BuildVersionRequest(g_tx, &fi), &fi, MsgVersionReply, rx, err);
    if (!off) {
        ShowFailure(err);
        return 0;
    }
    unsigned char major = rx[off];
    unsigned char minor = rx[off + 1];
    int result = IsNewerVersion(fi.version_major, fi.version_minor, major, minor) ? 1 : 2;
    char text[SYSFILE_VERSION_TEXT_SIZE + sizeof(kNeedsUpdate)];
    FormatVersion(text, sizeof(text), major, minor);
    if (result == 1)
        strcat(text, kNeedsUpdate);
    DrawInfoText(INFO_LABEL_END, INFO_ROW_VERSION, "Software Version :", true, true);
    DrawInfoText(INFO_VALUE_X, INFO_ROW_VERSION, text, false, false);
    return result;
}

void StartUpdate(HWND main_window, const char* path, int link, int force)
{
    g_main_window = main_window;
    lstrcpynA(g_path, path, sizeof(g_path));
    LinkType = link;
    g_force = force;
    InterlockedExchange(&UpdateState, UpdateRunning);
    DWORD id = 0;
    g_thread = CreateThread(NULL, 0, UpdateThreadMain, NULL, 0, &id);
    if (!g_thread) {
        // Without a worker nobody would report the end of the run.
        ShowFailure("Thread Create Error");
        InterlockedExchange(&UpdateState, UpdateFinished);
        Post(CMD_UPDATE_ENDED, 0);
        return;
    }
    SetThreadPriority(g_thread, THREAD_PRIORITY_TIME_CRITICAL);
}

DWORD WINAPI UpdateThreadMain(LPVOID)
{
    int result = RunUpdate();
    Post(CMD_UPDATE_ENDED, result);
    InterlockedExchange(&UpdateState, UpdateFinished);
    return 0;
}

namespace {

// One run, on the worker thread's stack.
struct RunState {
    HANDLE file;
    DWORD position; // of the progress bar: the bytes of the file done
    FileInfo fi;
    bool raw;       // this block's data goes as 8-bit bytes
    char err[ERROR_TEXT_SIZE];
    char line[ERROR_TEXT_SIZE];
    unsigned char rx[RX_BUFFER_SIZE];
};

enum VersionCheck {
    VERSION_FAILED = 0,
    VERSION_NEWER = 1,
    VERSION_SKIP_BLOCK = 2,
};

void AdvanceProgress(RunState* r, DWORD bytes)
{
    r->position += bytes;
    SetProgress(r->position);
}

int ReadAndLogHeader(RunState* r)
{
    if (!ReadSystemFileHeader(r->file, &r->fi, r->err))
        return 0;
    snprintf(r->line, sizeof(r->line), "DeviceName : %s", r->fi.device_name);
    AppendLogLine(LOG_NEW_LINE_BEFORE, r->line);
    snprintf(r->line, sizeof(r->line), "FILE : Type=%s , Version=%d.%02d", r->fi.type_name, r->fi.version_major,
             r->fi.version_minor);
    AppendLogLine(LOG_NEW_LINE_BEFORE, r->line);
    AdvanceProgress(r, SYSFILE_HEADER_SIZE);
    return 1;
}

// The system MIDI link carries at most MIDI_PACKET_SIZE_MAX bytes a packet.
// The four-byte protocol tells the device the smaller size in the set-mode;
// the two-byte one has no means to, so a larger packet is refused there.
int TakePacketSize(uint32_t size, char* err)
{
    if (LinkType == LinkSystemMidi && size > MIDI_PACKET_SIZE_MAX && g_protocol_code == PROTOCOL_FOUR_BYTE)
        size = MIDI_PACKET_SIZE_MAX;
    if (size == 0 || size > PACKET_BUFFER_SIZE || (LinkType == LinkSystemMidi && size > MIDI_PACKET_SIZE_MAX)) {
        snprintf(err, ERROR_TEXT_SIZE, "Error - Packet size is out of range(%u).", (unsigned)size);
        return 0;
    }
    g_packet_size = size;
    return 1;
}

// The inquiry: protocol code, packet size and capabilities, checked against
// the block.
int AskDevice(RunState* r)
{
    int off = Exchange(BuildInquiry(g_tx, &r->fi), &r->fi, MsgInquiryReply, r->rx, r->err);
    if (!off)
        return 0;
    InquiryReply reply;
    int known = ReadInquiryReply(r->rx, sizeof(r->rx), off, &reply);
    g_protocol_code = reply.protocol_code;
    if (!known) {
        SetErrorText(r->err, kProtocolCodeError);
        return 0;
    }
    if (!TakePacketSize(reply.packet_size, r->err))
        return 0;
    if (r->fi.block_offset % g_packet_size != 0 || r->fi.block_length % g_packet_size != 0) {
        SetErrorText(r->err, "Error - Packet size is not correct.");
        return 0;
    }
    if (!CheckBlockNumbers(&r->fi, g_protocol_code, g_packet_size, r->err))
        return 0;
    g_capabilities = reply.capabilities;
    return 1;
}

// A block whose version is not newer than the device's is skipped, unless
// it is the file's last.
VersionCheck CheckTargetVersion(RunState* r)
{
    if (g_force) {
        AppendLogLine(LOG_NEW_LINE_BEFORE, "Target Version : Skip check.");
        return VERSION_NEWER;
    }
    int off = Exchange(BuildVersionRequest(g_tx, &r->fi), &r->fi, MsgVersionReply, r->rx, r->err);
    if (!off)
        return VERSION_FAILED;
    snprintf(r->line, sizeof(r->line), "Target Version : %d.%02d", r->rx[off], r->rx[off + 1]);
    AppendLogLine(LOG_NEW_LINE_BEFORE, r->line);
    if (IsNewerVersion(r->fi.version_major, r->fi.version_minor, r->rx[off], r->rx[off + 1]))
        return VERSION_NEWER;
    SetErrorText(r->err, kVersionError);
    if (r->fi.is_last_block)
        return VERSION_FAILED;
    AppendLogLine(LOG_NEW_LINE_BEFORE, r->err);
    AppendLogLine(LOG_NEW_LINE_BEFORE, "Skip this block.");
    LARGE_INTEGER skip;
    skip.QuadPart = r->fi.block_length;
    if (!SetFilePointerEx(r->file, skip, NULL, FILE_CURRENT)) {
        SetErrorText(r->err, MSG_FILE_POSITION_ERROR);
        return VERSION_FAILED;
    }
    return VERSION_SKIP_BLOCK;
}

int SetMode(RunState* r)
{
    r->raw = (g_capabilities & CAP_RAW_DATA) && LinkType != LinkSystemMidi;
    int n = BuildSetMode(g_tx, &r->fi, g_protocol_code, r->raw, g_packet_size);
    if (!Send(g_tx, (unsigned long)n, r->err, TxMidi) || !Receive(r->rx, r->err))
        return 0;
    AppendLogLine(LOG_NEW_LINE_BEFORE, "Tx Set Mode...");
    Sleep(UPDATE_PACE_MS);
    if (!CheckReply(r->rx, sizeof(r->rx), &r->fi, MsgStatus, r->err))
        return 0;
    AppendLogLine(LOG_NEW_LINE_BEFORE, "");
    Post(CMD_REDRAW_MENU, 1);
    return 1;
}

// The data message in three parts: the head (n bytes in the transmit
// buffer), the data behind it, and the checksum with the end.
int SendData(RunState* r, int n)
{
    int head_mode = (r->raw && LinkRow(LinkType) == LinkKernelMidi) ? TxMidiRawNext : TxMidi;
    if (!Send(g_tx, (unsigned long)n, r->err, head_mode))
        return 0;
    unsigned char sum = 0;
    uint32_t data_length = g_packet_size;
    if (r->raw) {
        memcpy(g_tx + n, g_packet, g_packet_size);
        sum = RawChecksum(g_packet, g_packet_size);
    } else {
        data_length = PackSevenBit(g_packet, g_tx + n, g_packet_size, &sum);
    }
    if (!Send(g_tx + n, data_length, r->err, r->raw ? TxRaw : TxMidi))
        return 0;
    unsigned char tail[2] = {sum, MSG_SYSEX_END};
    return Send(tail, sizeof(tail), r->err, TxMidi);
}

int SendPacket(RunState* r, uint32_t number)
{
    DWORD got = 0;
    if (!ReadFile(r->file, g_packet, g_packet_size, &got, NULL) || got != g_packet_size) {
        SetErrorText(r->err, MSG_FILESIZE_ERROR);
        return 0;
    }
    bool fill = (g_capabilities & CAP_FILL) && IsFillPacket(g_packet, g_packet_size);
    int n = BuildPacketHead(g_tx, &r->fi, fill ? MsgFill : MsgData, g_protocol_code, number);
    if (!fill)
        return SendData(r, n);
    n += BuildFillTail(g_tx + n, g_packet[0]);
    return Send(g_tx, (unsigned long)n, r->err, TxMidi);
}

// The packet's acknowledgement, then a pause the user asked for, and the
// pacing of the slower links.
int FinishPacket(RunState* r, uint32_t number)
{
    if (!Receive(r->rx, r->err))
        return 0;
    snprintf(r->line, sizeof(r->line), "Tx Packet:%3d (Address: %06X)", (int)number,
             (unsigned)(r->fi.base_address + number * g_packet_size));
    AppendLogLine(0, r->line);
    if (!CheckReply(r->rx, sizeof(r->rx), &r->fi, MsgStatus, r->err))
        return 0;
    AdvanceProgress(r, g_packet_size);
    if (UpdateState != UpdateRunning) {
        while (UpdateState == UpdatePaused)
            Sleep(UPDATE_PAUSE_POLL_MS);
        if (Aborted())
            return 0;
    }
    if (LinkType != LinkUsbBulk)
        Sleep(UPDATE_PACE_MS);
    return 1;
}

int SendBlockPackets(RunState* r)
{
    uint32_t number = r->fi.block_offset / g_packet_size;
    for (uint32_t left = r->fi.block_length / g_packet_size; left > 0; ++number, --left) {
        if (!SendPacket(r, number) || !FinishPacket(r, number))
            return 0;
    }
    return 1;
}

int RunBlock(RunState* r)
{
    if (Aborted() || !ReadAndLogHeader(r) || !AskDevice(r))
        return 0;
    VersionCheck version = CheckTargetVersion(r);
    if (version != VERSION_NEWER)
        return version == VERSION_SKIP_BLOCK;
    return SetMode(r) && SendBlockPackets(r);
}

int FailRun(RunState* r)
{
    CloseHandle(r->file);
    // After the user's abort, whatever the last step left in the text is
    // stale (or a receive error caused by the abort itself).
    if (Aborted())
        SetErrorText(r->err, MSG_UPDATE_ABORTED);
    ShowFailure(r->err);
    return 0;
}

} // namespace

int RunUpdate()
{
    RunState r;
    memset(&r, 0, sizeof(r));
    r.file = CreateFileA(g_path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (r.file == INVALID_HANDLE_VALUE) {
        ClearLog();
        AppendLogLine(0, MSG_FILE_OPEN_ERROR);
        // The message area still says the update is running; replace it.
        ClearMessageArea();
        DrawMessageText(MSG_LEFT_X, MSG_ROW_FIRST, MSG_FILE_OPEN_ERROR);
        return 0;
    }
    AppendLogLine(0, g_path);
    SendMessageA(g_progress_bar, PBM_SETRANGE32, 0, (LPARAM)GetFileSize(r.file, NULL));
    SetProgress(r.position);

    for (;;) {
        if (!RunBlock(&r))
            return FailRun(&r);
        Post(CMD_REDRAW_MENU, 0);
        int end = AtEndOfFile(r.file);
        if (end < 0) {
            SetErrorText(r.err, MSG_FILE_POSITION_ERROR);
            return FailRun(&r);
        }
        if (end) {
            CloseHandle(r.file);
            AppendLogLine(LOG_NEW_LINE_BEFORE, "Update Completed!");
            return 1;
        }
    }
}

void PauseUpdate()
{
    ChangeState(UpdateRunning, UpdatePaused);
}

void ResumeUpdate()
{
    ChangeState(UpdatePaused, UpdateRunning);
}

void AbortUpdate()
{
    // The state changes before the pending transfer is ended, so that the
    // worker, woken by the failed transfer, already sees the abort.
    ChangeState(UpdatePaused, UpdateAbort);
    EndPendingTransfer();
}

void EndPendingTransfer()
{
    // The USB link's abort only ends what is pending; the others' also hold
    // off what follows, so they are given only once the user has aborted.
    if (!IsUpdateFinished() && (LinkType == LinkUsbBulk || Aborted()))
        LinkAbort();
}

int IsUpdateFinished()
{
    return UpdateState == UpdateFinished ? 1 : 0;
}

void CloseUpdateThread()
{
    if (g_thread) {
        CloseHandle(g_thread);
        g_thread = NULL;
    }
}
