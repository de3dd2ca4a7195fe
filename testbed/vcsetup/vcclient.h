// Client side of the virtual controller's drivers: the bus control device,
// the drivers' service settings and the update-mode device interface.
// Shared by vcsetup.exe and the device tests.
#ifndef VC_CLIENT_H
#define VC_CLIENT_H

#include <windows.h>

#include "vcregistry.h"
#include "vcshared.h"

// Bus control device: FALSE when the bus driver is not running.
BOOL VcBusStatus(vcbus_status *status);
BOOL VcBusPlug();
BOOL VcBusUnplug();

// Waits until the child reaches the state (VC_CHILD_*); with want_started
// also until its stack is started. FALSE after timeout_ms.
BOOL VcWaitChild(unsigned state, BOOL want_started, DWORD timeout_ms);

// Unplug, wait for the removal, plug, wait for the start (and for the
// interface when a function driver sits on the child).
BOOL VcReplug(DWORD timeout_ms);
BOOL VcPlugAndWait(DWORD timeout_ms);
BOOL VcUnplugAndWait(DWORD timeout_ms);

// Present interfaces of the update-mode device: count, and the path of the
// first one (buffer of 260 characters) when path is given.
int VcFindInterface(char *path, DWORD path_size);
BOOL VcWaitInterface(BOOL present, DWORD timeout_ms);

// Service values (HKLM\System\CurrentControlSet\Services\<service>); the
// service must exist (its key is never created here).
BOOL VcSetDword(const char *service, const char *name, DWORD value);
BOOL VcGetDword(const char *service, const char *name, DWORD *value);
BOOL VcSetString(const char *service, const char *name, const char *value);
BOOL VcGetString(const char *service, const char *name, char *value, DWORD size);
BOOL VcServiceExists(const char *service);
BOOL VcDeleteValue(const char *service, const char *name);

// A setting of the update driver (Layout, BridgeDir): written to the bus's
// service key, which exists once the bus is installed, and to the update
// driver's own key when that is installed. The update driver prefers its own.
BOOL VcSetSetting(const char *name, DWORD value);
BOOL VcSetSettingString(const char *name, const char *value);

// Registry paths below HKEY_LOCAL_MACHINE (vcregistry.h names the places).
// A string value, terminated also when it was stored without; FALSE when the
// key or value is missing, is no string or does not fit.
BOOL VcRegGetText(const char *path, const char *name, char *text, DWORD size);
// Deletes the key below root with everything below it, subkey by subkey;
// ERROR_SUCCESS also when it does not exist, else the first failure (a key
// that refuses deletion ends it).
LONG VcRegDeleteTree(HKEY root, const char *path);
// Security of a key as descriptor text (the parts `what` names), and back;
// Windows error codes.
LONG VcRegGetSecurity(HKEY key, SECURITY_INFORMATION what, char *text, DWORD size);
LONG VcRegSetSecurity(HKEY key, SECURITY_INFORMATION what, const char *text);

#endif
