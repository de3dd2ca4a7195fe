/*
 * vckmidi.sys - the kernel USB-MIDI driver of the test bed.
 *
 * A legacy driver (started as a service, no PnP). It owns eight devices,
 * \Device\VcZuvax0 .. 7, which are reachable as \\.\ZUVAX0 .. 7 only while
 * they are plugged in (the symbolic link exists only then; the objects stay,
 * so handles of an unplugged device fail cleanly). The control device
 * \\.\VcKmidi plugs and unplugs them, makes opens and change requests fail,
 * stalls the in-pipe, answers idle reads with empty blocks, holds writes,
 * and reports counters.
 *
 * Below a device: "P91", the in-pipe, whose reads take one 64-byte block
 * each, and "P11", the out-pipe. Device 0 is bridged to the device model
 * through two FIFOs in the service value "BridgeDir" (records as in
 * vcshared.h): "kh2d" gets every out-pipe transfer, "kd2h" brings the
 * blocks for the in-pipe. Change request 0x220010 on a device answers
 * nonzero once after any plug or unplug.
 */
#include <ntddk.h>
#include "vcbridge.h"
#include "vcshared.h"
/* A legacy driver passes nothing down: only complete() of the shared helpers is used. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "vckernel.h"
#pragma GCC diagnostic pop

NTSYSAPI NTSTATUS NTAPI ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length,
                                          PULONG return_length);
int __cdecl _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);

#define VCKM_TAG 0x6D6B4356u          /* "VCkm" */
#define MAX_QUEUED 8192               /* blocks waiting for reads; more are dropped and counted */
#define FILE_DEVICE_HANDLE 1          /* FsContext2 of the file kinds */
#define FILE_IN_PIPE 2
#define FILE_OUT_PIPE 3
#define FILE_REFUSED 4                /* an open the driver failed (Wine keeps its handle) */
#define IS_CONTROL ((struct km_dev *)1)

struct queued_block
{
    LIST_ENTRY entry;
    UCHAR data[VCKM_BLOCK];
};

struct km_dev
{
    DEVICE_OBJECT *self;
    ULONG number;
    LIST_ENTRY reads;                 /* pending in-pipe reads */
    LIST_ENTRY held;                  /* out-pipe writes held (VCKM_HOLD_WRITES) */
    LIST_ENTRY queued;                /* struct queued_block */
    struct vckm_device_status st;     /* counters; guarded by io_lock */
    ULONG refuse[VCKM_KINDS];
    ULONG skip[VCKM_KINDS];
};

/* The extension of every device object: the control device has dev == IS_CONTROL. */
struct km_ext { struct km_dev *dev; };

static KSPIN_LOCK io_lock;            /* guards every device's lists and counters, and 'changed' */
static struct km_dev devs[VCKM_DEVICES];
static DEVICE_OBJECT *control_device;
static ULONG changed;
static UNICODE_STRING service_key;

/* The bridge folder from the service key. */
static void read_settings(void)
{
    union { KEY_VALUE_PARTIAL_INFORMATION info; UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 520]; } v;
    OBJECT_ATTRIBUTES attr;
    UNICODE_STRING name;
    HANDLE key;
    ULONG len, chars = 0;

    InitializeObjectAttributes(&attr, &service_key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attr))) return;
    RtlInitUnicodeString(&name, L"" VCKM_VALUE_BRIDGE);
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &v, sizeof(v) - sizeof(WCHAR), &len))
        && v.info.Type == REG_SZ)
    {
        chars = v.info.DataLength / sizeof(WCHAR);
        ((WCHAR *)v.info.Data)[chars] = 0;
        chars = (ULONG)wcslen((WCHAR *)v.info.Data);
    }
    ZwClose(key);
    bridge_set_dir((WCHAR *)v.info.Data, chars);
}

/* ---- in-pipe reads ------------------------------------------------------------- */

static void NTAPI cancel_read(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = ((struct km_ext *)device->DeviceExtension)->dev;
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&io_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    if (dev != IS_CONTROL && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ)
        dev->st.reads_cancelled++;
    KeReleaseSpinLock(&io_lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
}

/* First request of the list (of one file, or any) not being cancelled; io_lock held. */
static IRP *take_pending(LIST_ENTRY *list, FILE_OBJECT *file)
{
    LIST_ENTRY *e;
    for (e = list->Flink; e != list; e = e->Flink)
    {
        IRP *irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        if (IoSetCancelRoutine(irp, NULL))
        {
            RemoveEntryList(e);
            InitializeListHead(e);
            return irp;
        }
    }
    return NULL;
}

static const UCHAR empty_block[VCKM_BLOCK];

static ULONG fill_read(IRP *irp, const UCHAR *data);

/* Completes the pending requests of the list (of one file, or all) with the
 * status, reads with the data when given; returns how many. */
static ULONG end_pending_with(LIST_ENTRY *list, FILE_OBJECT *file, NTSTATUS status, const UCHAR *data)
{
    LIST_ENTRY done;
    IRP *irp;
    KIRQL irql;
    ULONG n = 0;

    InitializeListHead(&done);
    KeAcquireSpinLock(&io_lock, &irql);
    while ((irp = take_pending(list, file))) InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&io_lock, irql);
    while (!IsListEmpty(&done))
    {
        IRP *irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        complete(irp, status, data ? fill_read(irp, data) : 0);
        n++;
    }
    return n;
}

static ULONG end_pending(LIST_ENTRY *list, FILE_OBJECT *file, NTSTATUS status)
{
    return end_pending_with(list, file, status, NULL);
}

static ULONG end_reads(struct km_dev *dev, FILE_OBJECT *file, NTSTATUS status)
{
    return end_pending(&dev->reads, file, status);
}

static ULONG fill_read(IRP *irp, const UCHAR *data)
{
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = room < VCKM_BLOCK ? room : VCKM_BLOCK;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, data, n);
    return n;
}

static void drop_queued(struct km_dev *dev)
{
    LIST_ENTRY list;
    KIRQL irql;
    InitializeListHead(&list);
    KeAcquireSpinLock(&io_lock, &irql);
    while (!IsListEmpty(&dev->queued))
    {
        InsertTailList(&list, RemoveHeadList(&dev->queued));
        dev->st.dropped++;
    }
    dev->st.queued_blocks = 0;
    KeReleaseSpinLock(&io_lock, irql);
    while (!IsListEmpty(&list))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&list), struct queued_block, entry), VCKM_TAG);
}

/* A block from the device model: to a pending read of device 0, or queued. */
static void deliver_block(const UCHAR *data, ULONG length)
{
    struct km_dev *dev = &devs[0];
    struct queued_block *q;
    IRP *irp = NULL;
    KIRQL irql;

    if (!(q = ExAllocatePoolWithTag(NonPagedPool, sizeof(*q), VCKM_TAG))) return;
    RtlZeroMemory(q->data, sizeof(q->data));
    RtlCopyMemory(q->data, data, length < VCKM_BLOCK ? length : VCKM_BLOCK);
    KeAcquireSpinLock(&io_lock, &irql);
    if (!dev->st.present || dev->st.queued_blocks >= MAX_QUEUED)
    {
        dev->st.dropped++;
    }
    else if (IsListEmpty(&dev->queued) && (irp = take_pending(&dev->reads, NULL)))
    {
        dev->st.blocks_read++;
    }
    else
    {
        InsertTailList(&dev->queued, &q->entry);
        dev->st.queued_blocks++;
        q = NULL;
    }
    KeReleaseSpinLock(&io_lock, irql);
    if (irp) complete(irp, STATUS_SUCCESS, fill_read(irp, q->data));
    if (q) ExFreePoolWithTag(q, VCKM_TAG);
}

/* An idle read of a driver that answers every USB frame: an empty block after 1 ms. */
static NTSTATUS read_empty(IRP *irp)
{
    LARGE_INTEGER frame;
    frame.QuadPart = -10000;  /* 1 ms, relative */
    KeDelayExecutionThread(KernelMode, FALSE, &frame);
    return complete(irp, STATUS_SUCCESS, fill_read(irp, empty_block));
}

static NTSTATUS do_read(struct km_dev *dev, IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    struct queued_block *q = NULL;
    NTSTATUS fail = STATUS_SUCCESS;
    KIRQL irql;

    if (!file || (ULONG_PTR)file->FsContext2 != FILE_IN_PIPE) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&io_lock, &irql);
    if (!dev->st.present) fail = STATUS_DEVICE_NOT_CONNECTED;
    else if (dev->st.stall)
    {
        if (dev->st.stall != VCKM_ALWAYS) dev->st.stall--;
        fail = STATUS_UNSUCCESSFUL;  /* the endpoint is stalled */
    }
    if (fail != STATUS_SUCCESS)
    {
        dev->st.reads_failed++;
        KeReleaseSpinLock(&io_lock, irql);
        return complete(irp, fail, 0);
    }
    if (!IsListEmpty(&dev->queued))
    {
        q = CONTAINING_RECORD(RemoveHeadList(&dev->queued), struct queued_block, entry);
        dev->st.queued_blocks--;
        dev->st.blocks_read++;
    }
    else if (dev->st.hold & VCKM_HOLD_IDLE_EMPTY)
    {
        KeReleaseSpinLock(&io_lock, irql);
        return read_empty(irp);
    }
    else
    {
        IoSetCancelRoutine(irp, cancel_read);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        {
            dev->st.reads_cancelled++;
            KeReleaseSpinLock(&io_lock, irql);
            return complete(irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(irp);
        InsertTailList(&dev->reads, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&io_lock, irql);
    if (!q) return STATUS_PENDING;
    complete(irp, STATUS_SUCCESS, fill_read(irp, q->data));
    ExFreePoolWithTag(q, VCKM_TAG);
    return STATUS_SUCCESS;
}

static NTSTATUS do_write(struct km_dev *dev, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Write.Length;
    KIRQL irql;
    BOOLEAN present;

    if (!stack->FileObject || (ULONG_PTR)stack->FileObject->FsContext2 != FILE_OUT_PIPE)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&io_lock, &irql);
    present = (BOOLEAN)dev->st.present;
    if (present) dev->st.writes++;
    if (present && (dev->st.hold & VCKM_HOLD_WRITES))
    {
        /* a stalled out-pipe: the write waits for its cancel, its close or the release */
        IoSetCancelRoutine(irp, cancel_read);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        {
            KeReleaseSpinLock(&io_lock, irql);
            return complete(irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(irp);
        InsertTailList(&dev->held, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&io_lock, irql);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&io_lock, irql);
    if (!present) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    if (dev->number == 0) bridge_send(VC_H2D_WRITE, irp->AssociatedIrp.SystemBuffer, length);
    return complete(irp, STATUS_SUCCESS, length);
}

/* 1 when a refusal of this kind is armed (and counts it down). io_lock held. */
static BOOLEAN refused(struct km_dev *dev, ULONG what)
{
    if (!dev->refuse[what]) return FALSE;
    if (dev->skip[what])
    {
        dev->skip[what]--;
        return FALSE;
    }
    if (dev->refuse[what] != VCKM_ALWAYS) dev->refuse[what]--;
    return TRUE;
}

static NTSTATUS do_ioctl(struct km_dev *dev, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG value;
    KIRQL irql;
    BOOLEAN fail;

    ULONG_PTR kind = stack->FileObject ? (ULONG_PTR)stack->FileObject->FsContext2 : 0;

    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(value))
        return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VCKM_OPEN_RESULT)
    {
        value = kind == FILE_REFUSED ? (ULONG)STATUS_DEVICE_BUSY : 0;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &value, sizeof(value));
        return complete(irp, STATUS_SUCCESS, sizeof(value));
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_VCKM_CHANGE || kind == FILE_REFUSED)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&io_lock, &irql);
    fail = !dev->st.present || refused(dev, VCKM_CHANGE);
    value = changed;
    if (!fail)
    {
        changed = 0;
        dev->st.opens[VCKM_CHANGE]++;
    }
    KeReleaseSpinLock(&io_lock, irql);
    if (fail) return complete(irp, STATUS_UNSUCCESSFUL, 0);
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &value, sizeof(value));
    return complete(irp, STATUS_SUCCESS, sizeof(value));
}

/* ---- opening by name ------------------------------------------------------------ */

/* The name below the device the file was opened with; under Wine it is what
 * follows the device's own name in the file object's name. */
static ULONG opened_name(FILE_OBJECT *file, WCHAR *out, ULONG max_chars)
{
    OBJECT_NAME_INFORMATION *fname = NULL, *dname = NULL;
    const WCHAR *src = NULL;
    ULONG n = 0, src_chars = 0, len;
    const ULONG size = 2048;

    if (file->FileName.Length)
    {
        src = file->FileName.Buffer;
        src_chars = file->FileName.Length / sizeof(WCHAR);
    }
    else if (file->DeviceObject
             && (fname = ExAllocatePoolWithTag(PagedPool, size, VCKM_TAG))
             && (dname = ExAllocatePoolWithTag(PagedPool, size, VCKM_TAG))
             && NT_SUCCESS(ObQueryNameString(file, fname, size, &len))
             && NT_SUCCESS(ObQueryNameString(file->DeviceObject, dname, size, &len)))
    {
        ULONG flen = fname->Name.Length / sizeof(WCHAR), dlen = dname->Name.Length / sizeof(WCHAR);
        if (flen > dlen + 1 && fname->Name.Buffer[dlen] == '\\'
            && !_wcsnicmp(fname->Name.Buffer, dname->Name.Buffer, dlen))
        {
            src = fname->Name.Buffer + dlen;
            src_chars = flen - dlen;
        }
    }
    while (src_chars && *src == '\\') { src++; src_chars--; }
    for (; n < src_chars && n < max_chars - 1; n++) out[n] = src[n];
    out[n] = 0;
    if (fname) ExFreePoolWithTag(fname, VCKM_TAG);
    if (dname) ExFreePoolWithTag(dname, VCKM_TAG);
    return n;
}

static NTSTATUS do_create(struct km_dev *dev, IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    WCHAR name[64];
    ULONG kind, what;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    UCHAR pipe;

    if (!file) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (!opened_name(file, name, ARRAYSIZE(name))) { kind = FILE_DEVICE_HANDLE; what = VCKM_OPEN_DEVICE; }
    else if (!_wcsicmp(name, L"P91")) { kind = FILE_IN_PIPE; what = VCKM_OPEN_IN; }
    else if (!_wcsicmp(name, L"P11")) { kind = FILE_OUT_PIPE; what = VCKM_OPEN_OUT; }
    else return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);

    KeAcquireSpinLock(&io_lock, &irql);
    if (!dev->st.present) status = STATUS_NO_SUCH_DEVICE;
    else if (refused(dev, what)) status = STATUS_DEVICE_BUSY;
    else
    {
        dev->st.opens[what]++;
        dev->st.open_now[what]++;
        file->FsContext2 = (void *)(ULONG_PTR)kind;
    }
    KeReleaseSpinLock(&io_lock, irql);
    if (!NT_SUCCESS(status))
    {
        file->FsContext2 = (void *)(ULONG_PTR)FILE_REFUSED;
        return complete(irp, status, 0);
    }
    if (kind != FILE_DEVICE_HANDLE && dev->number == 0)
    {
        read_settings();
        bridge_reopen();
        pipe = (UCHAR)what;
        bridge_send(VC_H2D_OPENED, &pipe, 1);
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

/* Wine sends no IRP_MJ_CLEANUP, only IRP_MJ_CLOSE when the last handle
 * goes: both end the reads still pending on the file, and count them. */
static NTSTATUS do_close(struct km_dev *dev, IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ULONG kind = file ? (ULONG)(ULONG_PTR)file->FsContext2 : 0;
    ULONG ended;
    KIRQL irql;

    if (!kind || kind == FILE_REFUSED) return complete(irp, STATUS_SUCCESS, 0);
    ended = end_reads(dev, file, STATUS_CANCELLED);
    end_pending(&dev->held, file, STATUS_CANCELLED);
    KeAcquireSpinLock(&io_lock, &irql);
    dev->st.reads_closed += ended;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE && dev->st.open_now[kind - 1])
        dev->st.open_now[kind - 1]--;
    KeReleaseSpinLock(&io_lock, irql);
    return complete(irp, STATUS_SUCCESS, 0);
}

/* ---- plugging ------------------------------------------------------------------------ */

static void link_name(ULONG number, WCHAR *buf, ULONG chars)
{
    _snwprintf(buf, chars - 1, L"\\DosDevices\\ZUVAX%lu", number);
    buf[chars - 1] = 0;
}

static void device_name(ULONG number, WCHAR *buf, ULONG chars)
{
    _snwprintf(buf, chars - 1, L"\\Device\\VcZuvax%lu", number);
    buf[chars - 1] = 0;
}

static NTSTATUS plug(ULONG number)
{
    WCHAR lbuf[40], dbuf[40];
    UNICODE_STRING link, name;
    struct km_dev *dev;
    NTSTATUS status;
    KIRQL irql;

    if (number >= VCKM_DEVICES) return STATUS_INVALID_PARAMETER;
    dev = &devs[number];
    if (dev->st.present) return STATUS_SUCCESS;
    if (number == 0) read_settings();
    drop_queued(dev);
    link_name(number, lbuf, ARRAYSIZE(lbuf));
    device_name(number, dbuf, ARRAYSIZE(dbuf));
    RtlInitUnicodeString(&link, lbuf);
    RtlInitUnicodeString(&name, dbuf);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) return status;
    KeAcquireSpinLock(&io_lock, &irql);
    dev->st.present = 1;
    dev->st.stall = 0;
    changed = 1;
    KeReleaseSpinLock(&io_lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS unplug(ULONG number)
{
    WCHAR lbuf[40];
    UNICODE_STRING link;
    struct km_dev *dev;
    KIRQL irql;

    if (number >= VCKM_DEVICES) return STATUS_INVALID_PARAMETER;
    dev = &devs[number];
    if (!dev->st.present) return STATUS_SUCCESS;
    link_name(number, lbuf, ARRAYSIZE(lbuf));
    RtlInitUnicodeString(&link, lbuf);
    IoDeleteSymbolicLink(&link);
    KeAcquireSpinLock(&io_lock, &irql);
    dev->st.present = 0;
    changed = 1;
    KeReleaseSpinLock(&io_lock, irql);
    end_reads(dev, NULL, STATUS_DEVICE_NOT_CONNECTED);
    end_pending(&dev->held, NULL, STATUS_DEVICE_NOT_CONNECTED);
    drop_queued(dev);
    if (number == 0) bridge_send(VC_H2D_REMOVED, NULL, 0);
    return STATUS_SUCCESS;
}

static void fill_status(struct vckm_status *st)
{
    KIRQL irql;
    LIST_ENTRY *e;
    ULONG i;

    KeAcquireSpinLock(&io_lock, &irql);
    st->changed = changed;
    st->bridge = bridge_connected();
    for (i = 0; i < VCKM_DEVICES; i++)
    {
        st->dev[i] = devs[i].st;
        st->dev[i].pending_reads = 0;
        for (e = devs[i].reads.Flink; e != &devs[i].reads; e = e->Flink) st->dev[i].pending_reads++;
        st->dev[i].held_writes = 0;
        for (e = devs[i].held.Flink; e != &devs[i].held; e = e->Flink) st->dev[i].held_writes++;
    }
    KeReleaseSpinLock(&io_lock, irql);
}

static void clear_counters(void)
{
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&io_lock, &irql);
    for (i = 0; i < VCKM_DEVICES; i++)
    {
        struct vckm_device_status *s = &devs[i].st;
        RtlZeroMemory(s->opens, sizeof(s->opens));
        s->blocks_read = s->reads_failed = s->reads_cancelled = s->reads_closed = 0;
        s->writes = s->dropped = s->stall = 0;
        RtlZeroMemory(devs[i].refuse, sizeof(devs[i].refuse));
        RtlZeroMemory(devs[i].skip, sizeof(devs[i].skip));
    }
    KeReleaseSpinLock(&io_lock, irql);
}

static NTSTATUS control_ioctl(IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buf = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_VCKM_PLUG:
        if (in_len < sizeof(ULONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        return complete(irp, plug(*(ULONG *)buf), 0);
    case IOCTL_VCKM_UNPLUG:
        if (in_len < sizeof(ULONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        return complete(irp, unplug(*(ULONG *)buf), 0);
    case IOCTL_VCKM_STATUS:
        if (out_len < sizeof(struct vckm_status)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        fill_status(buf);
        return complete(irp, STATUS_SUCCESS, sizeof(struct vckm_status));
    case IOCTL_VCKM_REFUSE:
    {
        struct vckm_refuse r;
        if (in_len < sizeof(r)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(&r, buf, sizeof(r));
        if (r.device >= VCKM_DEVICES || r.what >= VCKM_KINDS) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        KeAcquireSpinLock(&io_lock, &irql);
        devs[r.device].refuse[r.what] = r.count;
        devs[r.device].skip[r.what] = r.skip;
        KeReleaseSpinLock(&io_lock, irql);
        return complete(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_VCKM_STALL:
        if (in_len < sizeof(ULONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&io_lock, &irql);
        devs[0].st.stall = *(ULONG *)buf;
        KeReleaseSpinLock(&io_lock, irql);
        /* a read that waits now fails as a stalled endpoint's does */
        if (*(ULONG *)buf) end_reads(&devs[0], NULL, STATUS_UNSUCCESSFUL);
        return complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VCKM_HOLD:
        if (in_len < sizeof(ULONG)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&io_lock, &irql);
        devs[0].st.hold = *(ULONG *)buf;
        KeReleaseSpinLock(&io_lock, irql);
        /* released writes end as a cancelled transfer does; a read waiting now gets its empty block */
        if (!(*(ULONG *)buf & VCKM_HOLD_WRITES)) end_pending(&devs[0].held, NULL, STATUS_CANCELLED);
        if (*(ULONG *)buf & VCKM_HOLD_IDLE_EMPTY) end_pending_with(&devs[0].reads, NULL, STATUS_SUCCESS, empty_block);
        return complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VCKM_CLEAR:
        clear_counters();
        return complete(irp, STATUS_SUCCESS, 0);
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- dispatch --------------------------------------------------------------------- */

static struct km_dev *dev_of(DEVICE_OBJECT *device)
{
    return ((struct km_ext *)device->DeviceExtension)->dev;
}

static NTSTATUS NTAPI dispatch_create(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = dev_of(device);
    if (dev == IS_CONTROL) return complete(irp, STATUS_SUCCESS, 0);
    return do_create(dev, irp);
}

static NTSTATUS NTAPI dispatch_close(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = dev_of(device);
    if (dev == IS_CONTROL) return complete(irp, STATUS_SUCCESS, 0);
    return do_close(dev, irp);
}

static NTSTATUS NTAPI dispatch_read(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = dev_of(device);
    if (dev == IS_CONTROL) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return do_read(dev, irp);
}

static NTSTATUS NTAPI dispatch_write(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = dev_of(device);
    if (dev == IS_CONTROL) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return do_write(dev, irp);
}

static NTSTATUS NTAPI dispatch_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    struct km_dev *dev = dev_of(device);
    if (dev == IS_CONTROL) return control_ioctl(irp);
    return do_ioctl(dev, irp);
}

static void NTAPI driver_unload(DRIVER_OBJECT *driver)
{
    UNICODE_STRING link;
    ULONG i;
    (void)driver;
    for (i = 0; i < VCKM_DEVICES; i++)
    {
        if (devs[i].st.present) unplug(i);
        if (devs[i].self) IoDeleteDevice(devs[i].self);
        devs[i].self = NULL;
    }
    RtlInitUnicodeString(&link, VCKM_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (control_device) IoDeleteDevice(control_device);
    control_device = NULL;
    bridge_stop();
    if (service_key.Buffer) ExFreePoolWithTag(service_key.Buffer, VCKM_TAG);
    service_key.Buffer = NULL;
}

static NTSTATUS create_device(DRIVER_OBJECT *driver, const WCHAR *name_text, struct km_dev *dev, DEVICE_OBJECT **out)
{
    UNICODE_STRING name;
    NTSTATUS status;
    RtlInitUnicodeString(&name, name_text);
    status = IoCreateDevice(driver, sizeof(struct km_ext), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, out);
    if (!NT_SUCCESS(status)) return status;
    ((struct km_ext *)(*out)->DeviceExtension)->dev = dev;
    (*out)->Flags |= DO_BUFFERED_IO;
    (*out)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    UNICODE_STRING link, name;
    WCHAR dbuf[40];
    NTSTATUS status;
    ULONG i;

    KeInitializeSpinLock(&io_lock);
    service_key.Length = 0;
    service_key.MaximumLength = registry_path->Length + sizeof(WCHAR);
    service_key.Buffer = ExAllocatePoolWithTag(PagedPool, service_key.MaximumLength, VCKM_TAG);
    if (!service_key.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&service_key, registry_path);

    status = bridge_start(L"kh2d", L"kd2h", deliver_block);
    for (i = 0; NT_SUCCESS(status) && i < VCKM_DEVICES; i++)
    {
        devs[i].number = i;
        InitializeListHead(&devs[i].reads);
        InitializeListHead(&devs[i].queued);
        InitializeListHead(&devs[i].held);
        device_name(i, dbuf, ARRAYSIZE(dbuf));
        status = create_device(driver, dbuf, &devs[i], &devs[i].self);
    }
    if (NT_SUCCESS(status)) status = create_device(driver, VCKM_CONTROL_DEVICE, IS_CONTROL, &control_device);
    if (NT_SUCCESS(status))
    {
        RtlInitUnicodeString(&link, VCKM_CONTROL_LINK);
        RtlInitUnicodeString(&name, VCKM_CONTROL_DEVICE);
        status = IoCreateSymbolicLink(&link, &name);
    }
    if (!NT_SUCCESS(status))
    {
        driver_unload(driver);
        return status;
    }
    read_settings();

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_close;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
