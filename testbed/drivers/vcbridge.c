/* The FIFO bridge of the test-bed drivers: see vcbridge.h. A record is one
 * type byte, a 32-bit little-endian payload length and the payload. */
#include "vcbridge.h"
#include "vcshared.h"

/* Exported by the kernel, not declared by the DDK headers at hand. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSYSAPI NTSTATUS NTAPI ZwWaitForMultipleObjects(ULONG count, HANDLE *handles, WAIT_TYPE type,
                                                 BOOLEAN alertable, PLARGE_INTEGER timeout);
NTSYSAPI NTSTATUS NTAPI ZwCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb);
NTSYSAPI NTSTATUS NTAPI ZwSetEvent(HANDLE event, PLONG previous);
NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE event, ACCESS_MASK access, POBJECT_ATTRIBUTES attr,
                                      EVENT_TYPE type, BOOLEAN initial_state);

#define VCBRIDGE_TAG 0x72424356u       /* "VCBr" */
#define WRITE_TIMEOUT_MS 2000          /* a stuck device model drops the bridge */

static struct
{
    KEVENT lock;                     /* synchronization event used as a mutex */
    WCHAR dir[260];                  /* NT path of the folder, ends in a backslash */
    LONG generation;                 /* bumped when the folder changes */
    HANDLE h2d;                      /* write end, NULL while absent */
    HANDLE write_event;
    HANDLE read_event;
    HANDLE wake_event;               /* asks the reader thread to look for d2h */
    HANDLE stop_event;
    HANDLE thread;
    const WCHAR *h2d_name, *d2h_name;
    bridge_deliver_fn deliver;
} bridge;

static void bridge_lock(void)
{
    KeWaitForSingleObject(&bridge.lock, Executive, KernelMode, FALSE, NULL);
}

static void bridge_unlock(void)
{
    KeSetEvent(&bridge.lock, IO_NO_INCREMENT, FALSE);
}

/* Takes a Linux path and makes it \??\Z:\path\ with backslashes. */
void bridge_set_dir(const WCHAR *linux_path, ULONG chars)
{
    WCHAR dir[ARRAYSIZE(bridge.dir)];
    ULONG i, n = 0;
    static const WCHAR prefix[] = L"\\??\\Z:";

    for (i = 0; prefix[i]; i++) dir[n++] = prefix[i];
    if (chars && linux_path[0] != '/') dir[n++] = '\\';
    for (i = 0; i < chars && linux_path[i] && n < ARRAYSIZE(dir) - 2; i++)
        dir[n++] = linux_path[i] == '/' ? '\\' : linux_path[i];
    if (dir[n - 1] != '\\') dir[n++] = '\\';
    dir[n] = 0;
    if (!chars) dir[0] = 0;   /* no folder: no bridge */

    bridge_lock();
    if (_wcsicmp(dir, bridge.dir))
    {
        RtlCopyMemory(bridge.dir, dir, sizeof(dir));
        if (bridge.h2d) ZwClose(bridge.h2d);
        bridge.h2d = NULL;
        InterlockedIncrement(&bridge.generation);
    }
    bridge_unlock();
}

/* Opens dir + name without blocking (the server opens FIFOs non-blocking):
 * a write end without a reader fails, a read end always opens. */
static HANDLE open_fifo(const WCHAR *dir, const WCHAR *name, ACCESS_MASK access)
{
    WCHAR path[ARRAYSIZE(bridge.dir) + 8];
    UNICODE_STRING upath;
    OBJECT_ATTRIBUTES attr;
    IO_STATUS_BLOCK iosb;
    HANDLE h;
    ULONG n = 0, i;

    if (!dir[0]) return NULL;
    for (i = 0; dir[i] && n < ARRAYSIZE(path) - 8; i++) path[n++] = dir[i];
    for (i = 0; name[i]; i++) path[n++] = name[i];
    path[n] = 0;
    RtlInitUnicodeString(&upath, path);
    InitializeObjectAttributes(&attr, &upath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwCreateFile(&h, access | SYNCHRONIZE, &attr, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE, NULL, 0)))
        return NULL;
    return h;
}

#define IO_STOPPED  STATUS_CANCELLED
#define IO_REOPEN   STATUS_RETRY

/* One read or write on an asynchronous handle. Waits for the event of the
 * operation; a read also ends on the stop event or when the bridge folder
 * changed, a write after WRITE_TIMEOUT_MS. */
static NTSTATUS fifo_io(HANDLE h, HANDLE event, BOOLEAN write, void *buf, ULONG len, LONG generation,
                        ULONG *done)
{
    IO_STATUS_BLOCK iosb, cancel_iosb;
    LARGE_INTEGER offset, timeout;
    NTSTATUS status;

    offset.QuadPart = 0;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    *done = 0;
    if (write) status = ZwWriteFile(h, event, NULL, NULL, &iosb, buf, len, &offset, NULL);
    else status = ZwReadFile(h, event, NULL, NULL, &iosb, buf, len, &offset, NULL);

    if (status == STATUS_PENDING)
    {
        for (;;)
        {
            NTSTATUS wait;
            if (write)
            {
                timeout.QuadPart = -10000LL * WRITE_TIMEOUT_MS;
                wait = ZwWaitForSingleObject(event, FALSE, &timeout);
            }
            else
            {
                HANDLE objs[3] = { event, bridge.stop_event, bridge.wake_event };
                wait = ZwWaitForMultipleObjects(3, objs, WaitAny, FALSE, NULL);
                if (wait == STATUS_WAIT_2 && generation == bridge.generation) continue;
            }
            if (wait == STATUS_WAIT_0) break;
            /* stopped, folder changed or timed out: take the operation back */
            ZwCancelIoFile(h, &cancel_iosb);
            timeout.QuadPart = -10000LL * 1000;
            ZwWaitForSingleObject(event, FALSE, &timeout);
            if (write) return STATUS_IO_TIMEOUT;
            return wait == STATUS_WAIT_1 ? IO_STOPPED : IO_REOPEN;
        }
        status = iosb.Status;
    }
    if (NT_SUCCESS(status)) *done = (ULONG)iosb.Information;
    return status;
}

/* Sends one record to the device model; dropped while the bridge is absent. */
void bridge_send(UCHAR type, const void *payload, ULONG length)
{
    UCHAR *rec;
    ULONG done, total = VC_RECORD_HEADER + length;
    NTSTATUS status;

    if (!bridge.h2d) return;
    if (!(rec = ExAllocatePoolWithTag(NonPagedPool, total, VCBRIDGE_TAG))) return;
    rec[0] = type;
    rec[1] = (UCHAR)length;
    rec[2] = (UCHAR)(length >> 8);
    rec[3] = (UCHAR)(length >> 16);
    rec[4] = (UCHAR)(length >> 24);
    if (length) RtlCopyMemory(rec + VC_RECORD_HEADER, payload, length);

    bridge_lock();
    if (bridge.h2d)
    {
        ULONG sent = 0;
        status = STATUS_SUCCESS;
        while (sent < total && NT_SUCCESS(status))
        {
            status = fifo_io(bridge.h2d, bridge.write_event, TRUE, rec + sent, total - sent, 0, &done);
            if (NT_SUCCESS(status) && !done) status = STATUS_PIPE_BROKEN;
            sent += done;
        }
        if (!NT_SUCCESS(status))
        {
            /* reader gone or stuck: absent until the next pipe open */
            ZwClose(bridge.h2d);
            bridge.h2d = NULL;
        }
    }
    bridge_unlock();
    ExFreePoolWithTag(rec, VCBRIDGE_TAG);
}

/* Looks for the FIFOs again (at every pipe open). */
void bridge_reopen(void)
{
    bridge_lock();
    if (!bridge.h2d) bridge.h2d = open_fifo(bridge.dir, bridge.h2d_name, FILE_WRITE_DATA);
    bridge_unlock();
    ZwSetEvent(bridge.wake_event, NULL);
}

/* Reads exactly len bytes (a record is read in pieces as the FIFO gives them). */
static NTSTATUS read_full(HANDLE h, UCHAR *buf, ULONG len, LONG generation)
{
    ULONG got = 0, done;
    NTSTATUS status;
    while (got < len)
    {
        status = fifo_io(h, bridge.read_event, FALSE, buf + got, len - got, generation, &done);
        if (!NT_SUCCESS(status)) return status;
        if (!done) return STATUS_END_OF_FILE;
        got += done;
    }
    return STATUS_SUCCESS;
}

static void NTAPI reader_thread(void *context)
{
    UCHAR header[VC_RECORD_HEADER];
    UCHAR *payload;
    HANDLE d2h = NULL;
    LONG generation = 0;
    (void)context;

    payload = ExAllocatePoolWithTag(NonPagedPool, VC_RECORD_MAX, VCBRIDGE_TAG);
    while (payload)
    {
        NTSTATUS status;
        ULONG length, got;

        if (!d2h)
        {
            HANDLE objs[2] = { bridge.stop_event, bridge.wake_event };
            if (ZwWaitForMultipleObjects(2, objs, WaitAny, FALSE, NULL) != STATUS_WAIT_1) break;
            bridge_lock();
            generation = bridge.generation;
            d2h = open_fifo(bridge.dir, bridge.d2h_name, FILE_READ_DATA);
            bridge_unlock();
            continue;
        }

        status = read_full(d2h, header, VC_RECORD_HEADER, generation);
        if (status == STATUS_SUCCESS)
        {
            UCHAR scratch[256];
            ULONG rest;

            length = header[1] | (header[2] << 8) | (header[3] << 16) | ((ULONG)header[4] << 24);
            got = length < VC_RECORD_MAX ? length : VC_RECORD_MAX;
            status = read_full(d2h, payload, got, generation);
            /* the part of an oversized record that does not fit is skipped */
            for (rest = length - got; status == STATUS_SUCCESS && rest; )
            {
                ULONG part = rest < sizeof(scratch) ? rest : sizeof(scratch);
                status = read_full(d2h, scratch, part, generation);
                rest -= part;
            }
            if (status == STATUS_SUCCESS && header[0] == VC_D2H_DATA)
                bridge.deliver(payload, got);
        }
        if (status == IO_STOPPED) break;
        if (status != STATUS_SUCCESS)
        {
            /* no writer any more, or the folder changed: look again at the next pipe open */
            ZwClose(d2h);
            d2h = NULL;
            if (status == IO_REOPEN) ZwSetEvent(bridge.wake_event, NULL);
        }
    }
    if (d2h) ZwClose(d2h);
    if (payload) ExFreePoolWithTag(payload, VCBRIDGE_TAG);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static HANDLE make_event(EVENT_TYPE type)
{
    OBJECT_ATTRIBUTES attr;
    HANDLE h;
    InitializeObjectAttributes(&attr, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return NT_SUCCESS(ZwCreateEvent(&h, EVENT_ALL_ACCESS, &attr, type, FALSE)) ? h : NULL;
}

NTSTATUS bridge_start(const WCHAR *h2d, const WCHAR *d2h, bridge_deliver_fn deliver)
{
    OBJECT_ATTRIBUTES attr;

    KeInitializeEvent(&bridge.lock, SynchronizationEvent, TRUE);
    bridge.h2d_name = h2d;
    bridge.d2h_name = d2h;
    bridge.deliver = deliver;
    bridge.write_event = make_event(NotificationEvent);
    bridge.read_event = make_event(NotificationEvent);
    bridge.wake_event = make_event(SynchronizationEvent);
    bridge.stop_event = make_event(NotificationEvent);
    if (!bridge.write_event || !bridge.read_event || !bridge.wake_event || !bridge.stop_event)
        return STATUS_INSUFFICIENT_RESOURCES;
    InitializeObjectAttributes(&attr, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(&bridge.thread, THREAD_ALL_ACCESS, &attr, NULL, NULL, reader_thread, NULL);
}

void bridge_stop(void)
{
    LARGE_INTEGER timeout;
    if (bridge.thread)
    {
        ZwSetEvent(bridge.stop_event, NULL);
        timeout.QuadPart = -10000LL * 5000;
        ZwWaitForSingleObject(bridge.thread, FALSE, &timeout);
        ZwClose(bridge.thread);
        bridge.thread = NULL;
    }
    if (bridge.h2d) ZwClose(bridge.h2d);
    bridge.h2d = NULL;
    if (bridge.write_event) ZwClose(bridge.write_event);
    if (bridge.read_event) ZwClose(bridge.read_event);
    if (bridge.wake_event) ZwClose(bridge.wake_event);
    if (bridge.stop_event) ZwClose(bridge.stop_event);
    bridge.write_event = bridge.read_event = bridge.wake_event = bridge.stop_event = NULL;
}

BOOLEAN bridge_connected(void)
{
    return bridge.h2d != NULL;
}
