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
    DrawMessageText(0, 0, err);
}

int BuildInquiry(const FileInfo* fi)
{
    int n = BuildMessageHead(g_tx, fi, MsgInquiry);
    if (fi->inquiry_param < 0x80)
        g_tx[n++] = fi->inquiry_param;
    g_tx[n++] = MSG_SYSEX_END;
    return n;
}

int BuildVersionRequest(const FileInfo* fi)
{
    int n = BuildMessageHead(g_tx, fi, MsgVersionRequest);
    g_tx[n++] = fi->block_code;
    g_tx[n++] = MSG_SYSEX_END;
    return n;
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

    int off = Exchange(BuildInquiry(&fi), &fi, MsgInquiryReply, rx, err);
    if (off) {
        g_protocol_code = rx[off];
        if (g_protocol_code >= 2) {
            SetErrorText(err, kProtocolCodeError);
            off = 0;
        }
    }
    if (off)
        off = Exchange(BuildVersionRequest(&fi), &fi, MsgVersionReply, rx, err);
    if (!off) {
        ShowFailure(err);
        return 0;
    }
    unsigned char major = rx[off];
    unsigned char minor = rx[off + 1];
    int result = IsNewerVersion(fi.version_major, fi.version_minor, major, minor) ? 1 : 2;
    char text[64];
    FormatVersion(text, sizeof(text), major, minor);
    if (result == 1)
        strcat(text, " (needs update)");
    DrawInfoText(200, 1, "Software Version :", true, true);
    DrawInfoText(210, 1, text, false, false);
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

int RunUpdate()
{
    char err[ERROR_TEXT_SIZE] = "";
    char line[ERROR_TEXT_SIZE];
    unsigned char rx[RX_BUFFER_SIZE];
    FileInfo fi;

    HANDLE file = CreateFileA(g_path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        ClearLog();
        AppendLogLine(0, MSG_FILE_OPEN_ERROR);
        // The message area still says the update is running; replace it.
        ClearMessageArea();
        DrawMessageText(0, 0, MSG_FILE_OPEN_ERROR);
        return 0;
    }
    AppendLogLine(0, g_path);

    DWORD file_size = GetFileSize(file, NULL);
    DWORD position = 0;
    SendMessageA(g_progress_bar, PBM_SETRANGE32, 0, (LPARAM)file_size);
    SetProgress(position);

    for (;;) {
        if (Aborted())
            goto failed;
        if (!ReadSystemFileHeader(file, &fi, err))
            goto failed;
        snprintf(line, sizeof(line), "DeviceName : %s", fi.device_name);
        AppendLogLine(LOG_NEW_LINE_BEFORE, line);
        snprintf(line, sizeof(line), "FILE : Type=%s , Version=%d.%02d", fi.type_name, fi.version_major,
                 fi.version_minor);
        AppendLogLine(LOG_NEW_LINE_BEFORE, line);
        position += SYSFILE_HEADER_SIZE;
        SetProgress(position);

        int off = Exchange(BuildInquiry(&fi), &fi, MsgInquiryReply, rx, err);
        if (!off)
            goto failed;
        g_protocol_code = rx[off];
        if (g_protocol_code >= 2) {
            SetErrorText(err, kProtocolCodeError);
            goto failed;
        }
        if (g_protocol_code == 0) {
            g_packet_size = ((uint32_t)rx[off + 1] << 7) | rx[off + 2];
            off += 3;
        } else {
            g_packet_size = ((uint32_t)rx[off + 1] << 21) | ((uint32_t)rx[off + 2] << 14) |
                            ((uint32_t)rx[off + 3] << 7) | rx[off + 4];
            off += 5;
        }
        // The system MIDI link carries at most 1024 bytes a packet. Protocol
        // 1 tells the device the smaller size in the set-mode; protocol 0 has
        // no means to, so a larger packet of the device is refused there.
        if (LinkType == LinkSystemMidi && g_packet_size > MIDI_PACKET_SIZE_MAX && g_protocol_code == 1)
            g_packet_size = MIDI_PACKET_SIZE_MAX;
        if (g_packet_size == 0 || g_packet_size > PACKET_BUFFER_SIZE ||
            (LinkType == LinkSystemMidi && g_packet_size > MIDI_PACKET_SIZE_MAX)) {
            snprintf(err, ERROR_TEXT_SIZE, "Error - Packet size is out of range(%u).", (unsigned)g_packet_size);
            goto failed;
        }
        if (fi.block_offset % g_packet_size != 0 || fi.block_length % g_packet_size != 0) {
            SetErrorText(err, "Error - Packet size is not correct.");
            goto failed;
        }
        if (!CheckBlockNumbers(&fi, g_protocol_code, g_packet_size, err))
            goto failed;
        g_capabilities = rx[off];

        if (g_force) {
            AppendLogLine(LOG_NEW_LINE_BEFORE, "Target Version : Skip check.");
        } else {
            off = Exchange(BuildVersionRequest(&fi), &fi, MsgVersionReply, rx, err);
            if (!off)
                goto failed;
            snprintf(line, sizeof(line), "Target Version : %d.%02d", rx[off], rx[off + 1]);
            AppendLogLine(LOG_NEW_LINE_BEFORE, line);
            if (!IsNewerVersion(fi.version_major, fi.version_minor, rx[off], rx[off + 1])) {
                SetErrorText(err, kVersionError);
                if (fi.is_last_block)
                    goto failed;
                AppendLogLine(LOG_NEW_LINE_BEFORE, err);
                AppendLogLine(LOG_NEW_LINE_BEFORE, "Skip this block.");
                LARGE_INTEGER skip;
                skip.QuadPart = fi.block_length;
                if (!SetFilePointerEx(file, skip, NULL, FILE_CURRENT)) {
                    SetErrorText(err, MSG_FILE_POSITION_ERROR);
                    goto failed;
                }
                goto block_end;
            }
        }

        {
            bool raw = (g_capabilities & CAP_RAW_DATA) && LinkType != LinkSystemMidi;
            int n = BuildMessageHead(g_tx, &fi, MsgSetMode);
            g_tx[n++] = raw ? 0x01 : 0x00;
            g_tx[n++] = fi.block_code;
            if (g_protocol_code == 1) {
                Put28Bit(g_tx + n, fi.base_address);
                Put28Bit(g_tx + n + 4, fi.block_length);
                n += 8;
            }
            g_tx[n++] = (unsigned char)(fi.version_major | 0x40);
            g_tx[n++] = fi.version_minor;
            if (g_protocol_code == 1) {
                Put28Bit(g_tx + n, g_packet_size);
                n += 4;
            }
            g_tx[n++] = MSG_SYSEX_END;
            if (!Send(g_tx, (unsigned long)n, err, TxMidi))
                goto failed;
            if (!Receive(rx, err))
                goto failed;
            AppendLogLine(LOG_NEW_LINE_BEFORE, "Tx Set Mode...");
            Sleep(20);
            if (!CheckReply(rx, sizeof(rx), &fi, MsgStatus, err))
                goto failed;
            AppendLogLine(LOG_NEW_LINE_BEFORE, "");
            Post(CMD_REDRAW_MENU, 1);

            uint32_t number = fi.block_offset / g_packet_size;
            uint32_t left = fi.block_length / g_packet_size;
            for (; left > 0; ++number, --left) {
                DWORD got = 0;
                if (!ReadFile(file, g_packet, g_packet_size, &got, NULL) || got != g_packet_size) {
                    SetErrorText(err, MSG_FILESIZE_ERROR);
                    goto failed;
                }
                unsigned char code = MsgData;
                if (g_capabilities & CAP_FILL) {
                    uint32_t i = 1;
                    while (i < g_packet_size && g_packet[i] == g_packet[0])
                        ++i;
                    if (i == g_packet_size)
                        code = MsgFill;
                }
                n = BuildMessageHead(g_tx, &fi, code);
                if (g_protocol_code == 0) {
                    g_tx[n++] = (unsigned char)((number >> 7) & 0x7F);
                    g_tx[n++] = (unsigned char)(number & 0x7F);
                } else {
                    Put28Bit(g_tx + n, number);
                    n += 4;
                }
                if (code == MsgData) {
                    int head_mode = (raw && LinkRow(LinkType) == LinkKernelMidi) ? TxMidiRawNext : TxMidi;
                    if (!Send(g_tx, (unsigned long)n, err, head_mode))
                        goto failed;
                    unsigned char sum = 0;
                    uint32_t data_length;
                    if (raw) {
                        memcpy(g_tx + n, g_packet, g_packet_size);
                        unsigned total = 0;
                        for (uint32_t i = 0; i < g_packet_size; ++i)
                            total += g_packet[i];
                        sum = (unsigned char)total;
                        data_length = g_packet_size;
                    } else {
                        data_length = PackSevenBit(g_packet, g_tx + n, g_packet_size, &sum);
                    }
                    if (!Send(g_tx + n, data_length, err, raw ? TxRaw : TxMidi))
                        goto failed;
                    unsigned char tail[2] = {sum, MSG_SYSEX_END};
                    if (!Send(tail, 2, err, TxMidi))
                        goto failed;
                } else {
                    g_tx[n++] = (unsigned char)(g_packet[0] >> 4);
                    g_tx[n++] = (unsigned char)(g_packet[0] & 0x0F);
                    g_tx[n++] = MSG_SYSEX_END;
                    if (!Send(g_tx, (unsigned long)n, err, TxMidi))
                        goto failed;
                }
                if (!Receive(rx, err))
                    goto failed;
                snprintf(line, sizeof(line), "Tx Packet:%3d (Address: %06X)", (int)number,
                         (unsigned)(fi.base_address + number * g_packet_size));
                AppendLogLine(0, line);
                if (!CheckReply(rx, sizeof(rx), &fi, MsgStatus, err))
                    goto failed;
                position += g_packet_size;
                SetProgress(position);
                if (UpdateState != UpdateRunning) {
                    while (UpdateState == UpdatePaused)
                        Sleep(2);
                    if (Aborted())
                        goto failed;
                }
                if (LinkType != LinkUsbBulk)
                    Sleep(20);
            }
        }

    block_end:
        Post(CMD_REDRAW_MENU, 0);
        int end = AtEndOfFile(file);
        if (end < 0) {
            SetErrorText(err, MSG_FILE_POSITION_ERROR);
            goto failed;
        }
        if (end) {
            CloseHandle(file);
            AppendLogLine(LOG_NEW_LINE_BEFORE, "Update Completed!");
            return 1;
        }
    }

failed:
    CloseHandle(file);
    // After the user's abort, whatever the last step left in the text is
    // stale (or a receive error caused by the abort itself).
    if (Aborted())
        SetErrorText(err, MSG_UPDATE_ABORTED);
    ShowFailure(err);
    return 0;
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
