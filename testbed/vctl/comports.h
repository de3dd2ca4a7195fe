// Serial ports of the virtual controller: COM1..COM4 of the prefix are
// pseudo-terminals whose master side the daemon holds, bridged to the same
// device model as the USB pipes.
//
// A present port N is a pty with the stable name <state dir>/comN, a
// symbolic link to its slave device; an absent port's name is an empty
// folder.
// `vctl com map` points the prefix's COM1..COM4 at these names.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "devmodel.h"

enum {
    COM_PORTS = 4,
    COM_BITS_PER_BYTE = 10, // start bit, 8 data bits, stop bit
};

struct ComPorts {
    std::string dir;
    int master[COM_PORTS]; // -1: absent
    int slave[COM_PORTS];  // kept open, so that the host's close never hangs up the line
    int noise;             // real-time and stray bytes around every reply
    uint32_t zero_at;      // the zero_at-th reply after arming gets a 0x00 in front (0: off)
    uint32_t replies;      // replies counted since arming
    // `com rate line`: bytes take their time on the line, at the rate the host
    // set on the port; both directions are busy until these times (microseconds).
    int paced;
    long long in_free_us[COM_PORTS];
    long long out_free_us[COM_PORTS];
};

void ComInit(ComPorts* c, const std::string& dir);
void ComCloseAll(ComPorts* c);
// Drops what the host has not read yet on every line.
void ComFlush(ComPorts* c);
// The port disappears (its pty hangs up), as a device pulled off the line.
void ComTakeAway(ComPorts* c, int port);

// Runs `com ...` (words without "com"); 0 ok, 1 failure, 2 usage.
int ComCommand(ComPorts* c, DeviceModel* m, const std::vector<std::string>& words, std::string* out);

// The bytes that go out on the line for one reply (noise and armed zero
// byte included).
std::vector<unsigned char> ComLineBytes(ComPorts* c, const unsigned char* reply, size_t n);

// Microseconds one byte takes on the port's line; 0 when the line has no
// rate (not paced, or the port's rate cannot be read).
long long ComByteMicros(const ComPorts* c, int port);
// The host's n bytes, written at now_us, cross the line after what it sent before.
void ComLineIn(ComPorts* c, int port, size_t n, long long now_us);
// When one byte of a reply that is ready at ready_us has reached the host:
// after the host's bytes have arrived and after the reply's bytes before it.
long long ComLineOut(ComPorts* c, int port, long long ready_us, long long byte_us);

// Writes as much of bytes as the line takes now; returns the count written
// (-1: the port is gone).
long ComWrite(ComPorts* c, int port, const unsigned char* bytes, size_t n);
