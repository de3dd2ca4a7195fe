// The kernel MIDI link: the pipes of the kernel USB-MIDI driver.
#pragma once

int KernelMidiOpen(char* err);
void KernelMidiClose();
int KernelMidiSend(const unsigned char* bytes, unsigned long length, int raw_next);
int KernelMidiWriteRaw(const unsigned char* bytes, unsigned long length);
int KernelMidiReceive(unsigned char* buffer, unsigned long capacity);
