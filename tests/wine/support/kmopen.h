// Opens of the test bed's kernel MIDI devices as Windows fails them.
//
// Wine 8.0 hands out the handle of a driver's device before the driver has
// seen IRP_MJ_CREATE, and a failure the driver returns for the open is lost:
// every open of an existing \\.\ZUVAXn name succeeds. On Windows the open
// fails with the driver's status. KmOpenChecksOn points this program's own
// import of CreateFileA at a function that, for a ZUVAX name, asks the driver
// right after the open whether it refused it, and then fails the call as
// Windows does (ERROR_BUSY). Nothing else changes.
#pragma once

void KmOpenChecksOn();

// Threads of this process now.
int ThreadCount();
