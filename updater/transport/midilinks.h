// The system MIDI link: one output and one input port of the system's MIDI
// ports, opened by name, carrying the update messages as long messages; and
// the port scan that finds the pair that reaches the device.
#pragma once

#include <windows.h>

#include "midiscan.h"

enum {
    MIDI_IN_BUFFER_SIZE = 256,
    MIDI_OUT_BUFFER_SIZE = 37888,
    MIDI_PROBE_BUFFER_SIZE = 1024,
    MIDI_CLOCK_TIMEOUT = 100, // receive clock ticks (one per window tick, TIMER_TICK_MS)
    MIDI_CLOCK_ABORT = 2000,
    MIDI_SEND_WAIT_MS = 5000, // longest wait for the previous long message to end
    MIDI_ABORT_POLL_MS = 10,  // a send's wait looks for the user's abort this often
    MIDI_RECEIVE_POLL_MS = 10, // a receive looks for its message and the clock this often
    MIDI_PROBE_WAIT_MS = 2000, // for the scan's probe to leave a port
    MIDI_SCAN_CLOSE_TRIES = 100, // closes of a scan port still playing, each after a reset
    MIDI_SCAN_CLOSE_PAUSE_MS = 10,
    MIDI_SCAN_OPEN_TRIES = 10, // opens of a scan port that another user may still hold
    MIDI_SCAN_OPEN_PAUSE_MS = 100,
    MIDI_PORT_NAME_SIZE = 32,
};

int MidiLinkOpen(const char* out_port, const char* in_port, char* err);
void MidiLinkClose();
int MidiLinkArmReceive();
int MidiLinkSend(const unsigned char* bytes, unsigned long length);
int MidiLinkReceive(unsigned char* buffer, unsigned long capacity);
void MidiLinkTick();
void MidiLinkAbortWait();

// Text of a platform MIDI result code.
const char* MidiErrorText(UINT code);

int MidiScanBegin(HWND notify, const unsigned char product_id[MIDI_PRODUCT_ID_SIZE]);
int MidiScanEnd(char* in_name, char* out_name);
