// The kernel MIDI link: the pipes of the kernel USB-MIDI driver's device 0.
#pragma once

#include "kmidiframe.h"

// Opens device 0's in-pipe and out-pipe and starts the reader thread; 0 with
// one of the four open texts in err.
int KernelMidiOpen(char* err);
// Ends the reader (its pending read included) and closes the pipes; nothing
// when the link is not running.
void KernelMidiClose();
// raw_next: the raw-data marker follows the final packet. 1 sent, 0 a write
// failed or was aborted, -1 the writes took longer than KMIDI_SEND_WAIT_MS.
int KernelMidiSend(const unsigned char* bytes, unsigned long length, int raw_next);
int KernelMidiWriteRaw(const unsigned char* bytes, unsigned long length);
// 1 with one message in buffer, 0 after KMIDI_TAKE_POLLS empty polls, after
// KMIDI_RECEIVE_BOUND_MS or at a packet with a bad code index, -2 aborted.
int KernelMidiReceive(unsigned char* buffer, unsigned long capacity);
// The user's abort: a receive or write going on ends, and none starts until
// the link is opened again. From any thread.
void KernelMidiAbort();

// The device count (process-wide state kept between opens).
int CountKernelMidiDevices();
