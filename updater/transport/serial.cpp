#include "serial.h"

#include <stdio.h>
#include <windows.h>

#include "serialframe.h"
#include "sysfile.h"

namespace {

HANDLE g_port = INVALID_HANDLE_VALUE;

HANDLE OpenPort(int port)
{
    char name[16];
    snprintf(name, sizeof(name), "COM%1d", port);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

} // namespace

void ProbeSerialPorts(unsigned char present[4])
{
    for (int n = 1; n <= 4; ++n) {
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
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(g_port, &dcb)) {
        SetErrorText(err, "Comm Port Open Error!(SetCommState)");
        SerialClose();
        return 0;
    }
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 10000;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 10000;
    SetCommTimeouts(g_port, &t);
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
    return WriteFile(g_port, bytes, length, &written, NULL) ? 1 : 0;
}

int SerialReceive(unsigned char* buffer, unsigned long capacity)
{
    size_t count = 0;
    for (;;) {
        unsigned char byte = 0;
        DWORD got = 0;
        if (!ReadFile(g_port, &byte, 1, &got, NULL))
            return 0;
        if (got == 0)
            return -1;
        int r = SerialFrameByte(byte, buffer, capacity, &count);
        if (r != SerialFrameMore)
            return r;
    }
}
