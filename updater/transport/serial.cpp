#include "serial.h"

#include <stdio.h>
#include <windows.h>

#include "serialframe.h"
#include "sysfile.h"

namespace {

HANDLE g_port = INVALID_HANDLE_VALUE;
volatile LONG g_aborted = 0;
DWORD g_read_timeout = 0; // the read time-out the port has now

int Aborted()
{
    return InterlockedCompareExchange(&g_aborted, 0, 0) != 0;
}

// The port's time-outs, with `read_ms` for one read; a change only.
void SetReadTimeout(DWORD read_ms)
{
    if (read_ms == g_read_timeout)
        return;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = read_ms;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = SERIAL_WRITE_TIMEOUT_MS;
    SetCommTimeouts(g_port, &t);
    g_read_timeout = read_ms;
}

HANDLE OpenPort(int port)
{
    char name[SERIAL_PORT_NAME_SIZE];
    snprintf(name, sizeof(name), "COM%1d", port);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

} // namespace

void ProbeSerialPorts(unsigned char present[SERIAL_PORT_COUNT])
{
    for (int n = 1; n <= SERIAL_PORT_COUNT; ++n) {
        present[n - 1] = 0;
        HANDLE h = OpenPort(n);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        DCB dcb;
        memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        if (GetCommState(h, &dcb))
            present[n - 1] = 1;
        CloseHandle(h);
    }
}

int SerialOpen(int port, unsigned long rate, char* err)
{
    // An open port (a retry of the workflow) is given back first.
    SerialClose();
    InterlockedExchange(&g_aborted, 0);
    g_port = OpenPort(port);
    if (g_port == INVALID_HANDLE_VALUE) {
        SetErrorText(err, "Comm Port Open Error!(CreateFile)");
        return 0;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(g_port, &dcb)) {
        SetErrorText(err, "Comm Port Open Error!(GetCommState)");
        SerialClose();
        return 0;
    }
    dcb.BaudRate = rate;
    dcb.ByteSize = SERIAL_BYTE_SIZE;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(g_port, &dcb)) {
        SetErrorText(err, "Comm Port Open Error!(SetCommState)");
        SerialClose();
        return 0;
    }
    g_read_timeout = 0;
    SetReadTimeout(SERIAL_READ_TIMEOUT_MS);
    return 1;
}

void SerialClose()
{
    if (g_port != INVALID_HANDLE_VALUE) {
        CloseHandle(g_port);
        g_port = INVALID_HANDLE_VALUE;
    }
}

int SerialSend(const unsigned char* bytes, unsigned long length)
{
    DWORD written = 0;
    if (Aborted())
        return 0;
    return WriteFile(g_port, bytes, length, &written, NULL) ? 1 : 0;
}

DWORD Least(DWORD a, DWORD b)
{
    return a < b ? a : b;
}

// One byte: 1 it came, -1 none for SERIAL_READ_TIMEOUT_MS since `last` (the
// receive's start or its last byte) or none before the receive's bound
// (from `start`), -2 aborted, 0 a read failed. It reads in steps of at most
// SERIAL_ABORT_POLL_MS.
int ReadByte(unsigned char* byte, DWORD start, DWORD last)
{
    for (;;) {
        if (Aborted())
            return -2;
        DWORD now = GetTickCount();
        DWORD idle = now - last, spent = now - start;
        if (idle >= SERIAL_READ_TIMEOUT_MS || spent >= SERIAL_RECEIVE_BOUND_MS)
            return -1;
        SetReadTimeout(Least(Least(SERIAL_READ_TIMEOUT_MS - idle, SERIAL_RECEIVE_BOUND_MS - spent),
                             SERIAL_ABORT_POLL_MS));
        DWORD got = 0;
        if (!ReadFile(g_port, byte, 1, &got, NULL))
            return Aborted() ? -2 : 0;
        if (got == 1)
            return 1;
    }
}

int SerialReceive(unsigned char* buffer, unsigned long capacity)
{
    size_t count = 0;
    DWORD start = GetTickCount();
    DWORD last = start;
    int r;
    for (;;) {
        unsigned char byte = 0;
        r = ReadByte(&byte, start, last);
        last = GetTickCount();
        if (r != 1)
            break;
        r = SerialFrameByte(byte, buffer, capacity, &count);
        if (r != SerialFrameMore)
            break;
    }
    SetReadTimeout(SERIAL_READ_TIMEOUT_MS);
    return r;
}

void SerialAbort()
{
    // Looked up at every call: a function-local static would bring the C++
    // runtime's guard and its thread library along, which imports what
    // Windows 2000 and XP do not have (GetTickCount64).
    typedef BOOL(WINAPI * CancelIoExFn)(HANDLE, LPOVERLAPPED);
    CancelIoExFn cancel = (CancelIoExFn)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "CancelIoEx");
    InterlockedExchange(&g_aborted, 1);
    HANDLE port = g_port;
    if (port == INVALID_HANDLE_VALUE)
        return;
    // The read or write of another thread: cancelled where the system can
    // (Vista on), else purged, which ends the serial driver's requests.
    if (!cancel || !cancel(port, NULL))
        PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT);
}
