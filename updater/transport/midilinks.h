// The system MIDI link: the system's MIDI ports with their port scan.
#pragma once

#include <windows.h>

// System MIDI ports.
int MidiLinkOpen(const char* out_port, const char* in_port, char* err);
void MidiLinkClose();
int MidiLinkArmReceive();
int MidiLinkSend(const unsigned char* bytes, unsigned long length);
int MidiLinkReceive(unsigned char* buffer, unsigned long capacity);
void MidiLinkTick();
void MidiLinkAbortWait();
int MidiScanBegin(HWND notify, const unsigned char product_id[3]);
void MidiScanEnd(char* in_name, char* out_name);
