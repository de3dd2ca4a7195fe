// Client side of the test bed's kernel USB-MIDI driver (vckmidi.sys): its
// service and control device. Shared by vcsetup.exe and the link tests.
#ifndef VC_KMCLIENT_H
#define VC_KMCLIENT_H

#include <windows.h>

#include "vcshared.h"

// Copies the driver (from folder) into the system's drivers folder, creates
// or updates its service with the bridge folder, and starts it. Windows
// error code; the driver runs on success.
DWORD VcKmInstall(const char *folder, const char *bridge_dir);

// Requests on \\.\VcKmidi: FALSE when the driver does not run or refuses.
BOOL VcKmPlug(unsigned device);
BOOL VcKmUnplug(unsigned device);
BOOL VcKmStatus(vckm_status *status);
// After `skip` more that succeed, the next `count` opens (or change requests) fail.
BOOL VcKmRefuse(unsigned device, unsigned what, unsigned count, unsigned skip = 0);
BOOL VcKmStall(unsigned reads);
// VCKM_HOLD_* faults of device 0 (0: none).
BOOL VcKmHold(unsigned flags);
BOOL VcKmClear();

#endif
