// Serial link to the device on COM1..COM4.
#pragma once

enum {
    SERIAL_PORT_COUNT = 4, // COM1..COM4
    SERIAL_BAUD_RATE_INDEX = 2, // the rate the program opens the port with
    SERIAL_BYTE_SIZE = 8,
    SERIAL_PORT_NAME_SIZE = 16,
    SERIAL_READ_TIMEOUT_MS = 10000,   // one read of a byte
    SERIAL_WRITE_TIMEOUT_MS = 10000,  // one write
    // A receive ends this long after its start at the latest, whatever the
    // line carries (bytes before F0 each start a new read).
    SERIAL_RECEIVE_BOUND_MS = 2 * SERIAL_READ_TIMEOUT_MS,
    // A receive reads in steps this long at most, so that it sees the user's
    // abort while the line is silent.
    SERIAL_ABORT_POLL_MS = 100,
};

// The rates of the serial link, bits per second.
const int SERIAL_BAUD_RATES[] = {31250, 38400, 57600};

void ProbeSerialPorts(unsigned char present[SERIAL_PORT_COUNT]);
int SerialOpen(int port, unsigned long rate, char* err);
void SerialClose();
int SerialSend(const unsigned char* bytes, unsigned long length);
// 1 a message is stored, -1 time-out, -2 the user aborted, 0 a read failed.
int SerialReceive(unsigned char* buffer, unsigned long capacity);
// The user's abort: a read or write going on ends, and no receive or send
// starts until the port is opened again. From any thread.
void SerialAbort();
