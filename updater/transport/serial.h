// Serial link to the device on COM1..COM4.
#pragma once

void ProbeSerialPorts(unsigned char present[4]);
int SerialOpen(int port, unsigned long rate, char* err);
void SerialClose();
int SerialSend(const unsigned char* bytes, unsigned long length);
int SerialReceive(unsigned char* buffer, unsigned long capacity);
