/* The FIFO bridge between a test-bed driver and the native device model
 * (kernel mode only). Records go to the device model through the FIFO
 * named h2d in the bridge folder; a system thread reads the records of the
 * FIFO named d2h and hands each data record to the driver. Without the
 * FIFOs the bridge is absent: records sent are dropped; the FIFOs are
 * looked for again at every bridge_reopen(). */
#ifndef VCBRIDGE_H
#define VCBRIDGE_H

#include <ntddk.h>

typedef void (*bridge_deliver_fn)(const UCHAR *data, ULONG length);

/* Starts the reader thread; h2d and d2h are the FIFOs' names in the folder
 * (static strings), deliver gets every data record of d2h. */
NTSTATUS bridge_start(const WCHAR *h2d, const WCHAR *d2h, bridge_deliver_fn deliver);
void bridge_stop(void);
/* The folder, as a Linux path of chars characters (0: no bridge). */
void bridge_set_dir(const WCHAR *linux_path, ULONG chars);
/* Looks for the FIFOs again. */
void bridge_reopen(void);
/* Sends one record; dropped while the bridge is absent. */
void bridge_send(UCHAR type, const void *payload, ULONG length);
/* TRUE while records reach the device model. */
BOOLEAN bridge_connected(void);

#endif
