/*
 * vcupd.sys - function driver of the virtual controller in its update mode.
 *
 * Publishes the device as an interface of class {58DC2B45-40C4-11D6-992B-
 * 000001005982}, answers the four control requests of the update-mode device
 * and serves its endpoints as pipe objects opened by name below the device
 * path ("\dpipe00", "\dpipe01", ... by endpoint index in the descriptor set):
 * writes to the bulk OUT pipe complete at once, reads on the bulk IN pipe pend
 * until the device sends a transfer.
 *
 * The device itself is a native process (the device model). The driver
 * relays to it through two FIFOs in a Linux folder named by the service value
 * "BridgeDir": it writes records to "h2d" and a system thread reads records
 * from "d2h". A record is one type byte, a 32-bit little-endian payload length
 * and the payload. Without the FIFOs the device is mute: writes succeed and
 * are dropped, reads pend; the FIFOs are looked for again at every pipe open.
 */
#include <ntddk.h>
#include "vcbridge.h"
#include "vcshared.h"
#include "vckernel.h"

/* Exported by the kernel, not declared by the DDK headers at hand. */
NTSYSAPI NTSTATUS NTAPI ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION name, ULONG length,
                                          PULONG return_length);

#define VCUPD_TAG 0x70754356u  /* "VCup" */
#define MAX_ENDPOINTS 8
#define MAX_QUEUED 64                  /* transfers waiting for a read */
#define PIPE_NONE 0                    /* FsContext2 of a handle of the device itself */
#define PIPE_INVALID ((ULONG_PTR)-1)   /* FsContext2 of a handle of an unknown name */

static const GUID vc_iface_guid = VC_IFACE_GUID_INIT;

struct queued_transfer
{
    LIST_ENTRY entry;
    ULONG length;
    UCHAR data[1];
};

struct dev_ext
{
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *pdo;
    DEVICE_OBJECT *lower;
    UNICODE_STRING iface;            /* symbolic link of the device interface */
    BOOLEAN iface_enabled;
    BOOLEAN present;                 /* started and not removed */
    BOOLEAN gone;                    /* removal has been handled */
    ULONG layout;
    UCHAR config[VC_CONFIG_SIZE];
    ULONG config_length;
    ULONG ep_count;
    UCHAR ep_address[MAX_ENDPOINTS];
    UCHAR ep_attributes[MAX_ENDPOINTS];
    LIST_ENTRY bulk_reads;           /* pending reads on bulk IN pipes */
    LIST_ENTRY other_reads;          /* pending reads on interrupt IN pipes */
    LIST_ENTRY queued;               /* struct queued_transfer */
    ULONG queued_count;
};

/* Guards every list of every device and 'current'. */
static KSPIN_LOCK io_lock;
static struct dev_ext *current;      /* the device that receives the bridge's transfers */
static UNICODE_STRING service_key;

/* ---- small helpers --------------------------------------------------------- */

static HANDLE open_key(UNICODE_STRING *path)
{
    OBJECT_ATTRIBUTES attr;
    HANDLE key;
    InitializeObjectAttributes(&attr, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attr)) ? key : NULL;
}

/* Reads a value of the service key into buf; returns its type, or REG_NONE. */
static ULONG query_value(HANDLE key, const WCHAR *name, void *buf, ULONG size, ULONG *length)
{
    union { KEY_VALUE_PARTIAL_INFORMATION info; UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024]; } *v;
    UNICODE_STRING uname;
    ULONG len, type = REG_NONE;

    if (!(v = ExAllocatePoolWithTag(PagedPool, sizeof(*v), VCUPD_TAG))) return REG_NONE;
    RtlInitUnicodeString(&uname, name);
    if (NT_SUCCESS(ZwQueryValueKey(key, &uname, KeyValuePartialInformation, v, sizeof(*v), &len))
        && v->info.DataLength <= size)
    {
        RtlCopyMemory(buf, v->info.Data, v->info.DataLength);
        *length = v->info.DataLength;
        type = v->info.Type;
    }
    ExFreePoolWithTag(v, VCUPD_TAG);
    return type;
}

/* ---- descriptors ------------------------------------------------------------- */

struct endpoint { UCHAR address, attributes; USHORT max_packet; UCHAR interval; };

static void put(struct dev_ext *ext, const UCHAR *bytes, ULONG n)
{
    if (ext->config_length + n <= VC_CONFIG_SIZE)
        RtlCopyMemory(ext->config + ext->config_length, bytes, n);
    ext->config_length += n;
}

static void put_endpoint(struct dev_ext *ext, const struct endpoint *ep)
{
    UCHAR d[7] = { 7, 5, ep->address, ep->attributes, (UCHAR)ep->max_packet,
                   (UCHAR)(ep->max_packet >> 8), ep->interval };
    put(ext, d, sizeof(d));
    if (ext->ep_count < MAX_ENDPOINTS)
    {
        ext->ep_address[ext->ep_count] = ep->address;
        ext->ep_attributes[ext->ep_count] = ep->attributes;
        ext->ep_count++;
    }
}

/* Configuration descriptor set of the layout, standard USB layout. */
static void build_config(struct dev_ext *ext, ULONG layout)
{
    static const struct endpoint bulk_in = { 0x82, 2, 64, 0 };
    static const struct endpoint bulk_out = { 0x01, 2, 64, 0 };
    static const struct endpoint int_in = { 0x83, 3, 16, 10 };
    /* class-specific interface and endpoint descriptors: skipped by index counting */
    static const UCHAR cs_interface[7] = { 7, 0x24, 1, 0, 1, 7, 0 };
    static const UCHAR cs_endpoint[5] = { 5, 0x25, 1, 1, 3 };
    UCHAR cfg[9] = { 9, 2, 0, 0, 1, 1, 0, 0x80, 50 };
    UCHAR ifc[9] = { 9, 4, 0, 0, 0, 0xFF, 0, 0, 0 };

    RtlZeroMemory(ext->config, sizeof(ext->config));
    ext->config_length = 0;
    ext->ep_count = 0;
    ext->layout = layout;

    ifc[4] = layout == VC_LAYOUT_INT_IN_OUT ? 3 : layout == VC_LAYOUT_NONE ? 0 : layout == VC_LAYOUT_IN_ONLY ? 1 : 2;
    put(ext, cfg, sizeof(cfg));
    put(ext, ifc, sizeof(ifc));
    switch (layout)
    {
    case VC_LAYOUT_OUT_IN:
        put_endpoint(ext, &bulk_out);
        put_endpoint(ext, &bulk_in);
        break;
    case VC_LAYOUT_INT_IN_OUT:
        put(ext, cs_interface, sizeof(cs_interface));
        put_endpoint(ext, &int_in);
        put(ext, cs_endpoint, sizeof(cs_endpoint));
        put_endpoint(ext, &bulk_in);
        put_endpoint(ext, &bulk_out);
        break;
    case VC_LAYOUT_NONE:
        break;
    case VC_LAYOUT_IN_ONLY:
        put_endpoint(ext, &bulk_in);
        break;
    default:
        put_endpoint(ext, &bulk_in);
        put_endpoint(ext, &bulk_out);
        break;
    }
    ext->config[2] = (UCHAR)ext->config_length;
    ext->config[3] = (UCHAR)(ext->config_length >> 8);
}

static const UCHAR device_descriptor[VC_DEVICE_DESC_SIZE] =
{
    18, 1, 0x10, 0x01,           /* USB 1.10 */
    0, 0, 0, 64,                 /* class per interface, EP0 64 bytes */
    VC_VENDOR_ID & 0xFF, VC_VENDOR_ID >> 8,
    VC_PRODUCT_ID & 0xFF, VC_PRODUCT_ID >> 8,
    0x00, 0x01,                  /* release 1.00 */
    1, 2, 0, 1                   /* strings, one configuration */
};

/* ---- transfers ---------------------------------------------------------------- */

static void NTAPI cancel_read(DEVICE_OBJECT *device, IRP *irp)
{
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&io_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&io_lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the first read of the list (of one file, or any file) that is not
 * being cancelled. Called with io_lock held. */
static IRP *take_read(LIST_ENTRY *list, FILE_OBJECT *file)
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
        /* its cancel routine runs and takes it off the list */
    }
    return NULL;
}

/* Completes every pending read (of one file, or all) with the status. */
static void end_reads(struct dev_ext *ext, FILE_OBJECT *file, NTSTATUS status)
{
    LIST_ENTRY done;
    IRP *irp;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&io_lock, &irql);
    while ((irp = take_read(&ext->bulk_reads, file))) InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    while ((irp = take_read(&ext->other_reads, file))) InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&io_lock, irql);
    while (!IsListEmpty(&done))
    {
        LIST_ENTRY *e = RemoveHeadList(&done);
        complete(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry), status, 0);
    }
}

static void drop_queued(struct dev_ext *ext)
{
    KIRQL irql;
    LIST_ENTRY list;

    InitializeListHead(&list);
    KeAcquireSpinLock(&io_lock, &irql);
    while (!IsListEmpty(&ext->queued)) InsertTailList(&list, RemoveHeadList(&ext->queued));
    ext->queued_count = 0;
    KeReleaseSpinLock(&io_lock, irql);
    while (!IsListEmpty(&list))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&list), struct queued_transfer, entry), VCUPD_TAG);
}

static ULONG fill_read(IRP *irp, const UCHAR *data, ULONG length)
{
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = length < room ? length : room;   /* the rest of a longer transfer is lost */
    if (n) RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, data, n);
    return n;
}

/* One IN transfer from the device model: to a pending read, or queued. */
static void deliver_transfer(const UCHAR *data, ULONG length)
{
    struct queued_transfer *q, *old = NULL;
    IRP *irp = NULL;
    KIRQL irql;

    q = ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(struct queued_transfer, data) + length + 1, VCUPD_TAG);
    if (!q) return;
    q->length = length;
    if (length) RtlCopyMemory(q->data, data, length);

    KeAcquireSpinLock(&io_lock, &irql);
    if (current && current->present)
    {
        irp = take_read(&current->bulk_reads, NULL);
        if (!irp)
        {
            if (current->queued_count >= MAX_QUEUED)
            {
                old = CONTAINING_RECORD(RemoveHeadList(&current->queued), struct queued_transfer, entry);
                current->queued_count--;
            }
            InsertTailList(&current->queued, &q->entry);
            current->queued_count++;
            q = NULL;
        }
    }
    KeReleaseSpinLock(&io_lock, irql);

    if (irp) complete(irp, STATUS_SUCCESS, fill_read(irp, data, length));
    if (q) ExFreePoolWithTag(q, VCUPD_TAG);
    if (old) ExFreePoolWithTag(old, VCUPD_TAG);
}

static NTSTATUS pipe_of(struct dev_ext *ext, FILE_OBJECT *file, ULONG *index)
{
    ULONG_PTR ctx = file ? (ULONG_PTR)file->FsContext2 : PIPE_NONE;
    if (ctx == PIPE_NONE || ctx == PIPE_INVALID || ctx - 1 >= ext->ep_count) return STATUS_INVALID_DEVICE_REQUEST;
    *index = (ULONG)(ctx - 1);
    return STATUS_SUCCESS;
}

static NTSTATUS do_read(struct dev_ext *ext, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    struct queued_transfer *q = NULL;
    LIST_ENTRY *list;
    ULONG index;
    KIRQL irql;

    if (!NT_SUCCESS(pipe_of(ext, stack->FileObject, &index)) || !(ext->ep_address[index] & 0x80))
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    list = (ext->ep_attributes[index] & 3) == 2 ? &ext->bulk_reads : &ext->other_reads;

    KeAcquireSpinLock(&io_lock, &irql);
    if (!ext->present)
    {
        KeReleaseSpinLock(&io_lock, irql);
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (list == &ext->bulk_reads && !IsListEmpty(&ext->queued))
    {
        q = CONTAINING_RECORD(RemoveHeadList(&ext->queued), struct queued_transfer, entry);
        ext->queued_count--;
    }
    else
    {
        IoSetCancelRoutine(irp, cancel_read);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        {
            KeReleaseSpinLock(&io_lock, irql);
            return complete(irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(irp);
        InsertTailList(list, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&io_lock, irql);

    if (!q) return STATUS_PENDING;
    complete(irp, STATUS_SUCCESS, fill_read(irp, q->data, q->length));
    ExFreePoolWithTag(q, VCUPD_TAG);
    return STATUS_SUCCESS;
}

static NTSTATUS do_write(struct dev_ext *ext, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG index, length = stack->Parameters.Write.Length;

    if (!NT_SUCCESS(pipe_of(ext, stack->FileObject, &index)) || (ext->ep_address[index] & 0x80))
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!ext->present) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    bridge_send(VC_H2D_WRITE, irp->AssociatedIrp.SystemBuffer, length);
    return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS do_ioctl(struct dev_ext *ext, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buf = irp->AssociatedIrp.SystemBuffer;

    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_VCUPD_GET_CONFIG:
    {
        ULONG n = out_len < VC_CONFIG_SIZE ? out_len : VC_CONFIG_SIZE;
        if (!ext->present) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        if (n < ext->config_length) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(buf, ext->config, n);
        return complete(irp, STATUS_SUCCESS, n);
    }
    case IOCTL_VCUPD_GET_DEVICE:
        if (!ext->present) return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        if (out_len < VC_DEVICE_DESC_SIZE) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(buf, device_descriptor, VC_DEVICE_DESC_SIZE);
        return complete(irp, STATUS_SUCCESS, VC_DEVICE_DESC_SIZE);
    case IOCTL_VCUPD_ABORT:
        end_reads(ext, NULL, STATUS_CANCELLED);
        bridge_send(VC_H2D_ABORT, NULL, 0);
        return complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VCUPD_CHECK:
    {
        ULONG value = ext->present ? 1 : 0;
        if (out_len < sizeof(value)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlCopyMemory(buf, &value, sizeof(value));
        return complete(irp, STATUS_SUCCESS, sizeof(value));
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- opening pipes by name ------------------------------------------------------ */

/* The name below the device that the file was opened with ("dpipe00"), or
 * an empty text. Windows puts it in FileObject->FileName. Under Wine the
 * file object's own name is the device's name followed by a backslash and
 * that name, so it is what is left after the device's name. */
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
             && (fname = ExAllocatePoolWithTag(PagedPool, size, VCUPD_TAG))
             && (dname = ExAllocatePoolWithTag(PagedPool, size, VCUPD_TAG))
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
    if (fname) ExFreePoolWithTag(fname, VCUPD_TAG);
    if (dname) ExFreePoolWithTag(dname, VCUPD_TAG);
    return n;
}

/* "dpipeNN" (two or more decimal digits) gives NN, anything else -1. */
static LONG parse_pipe_name(const WCHAR *name)
{
    static const WCHAR prefix[] = L"dpipe";
    LONG value = 0;
    ULONG i, digits = 0;

    for (i = 0; prefix[i]; i++)
        if ((name[i] | 0x20) != prefix[i]) return -1;
    for (; name[i]; i++, digits++)
    {
        if (name[i] < '0' || name[i] > '9' || value > 1000) return -1;
        value = value * 10 + (name[i] - '0');
    }
    return digits >= 2 ? value : -1;
}

static NTSTATUS do_create(struct dev_ext *ext, IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    WCHAR name[64];
    LONG index;
    UCHAR byte;

    if (!ext->present) return complete(irp, STATUS_DELETE_PENDING, 0);
    if (!file) return complete(irp, STATUS_SUCCESS, 0);
    file->FsContext2 = (void *)PIPE_NONE;
    if (!opened_name(file, name, ARRAYSIZE(name))) return complete(irp, STATUS_SUCCESS, 0);

    index = parse_pipe_name(name);
    if (index < 0 || (ULONG)index >= ext->ep_count)
    {
        file->FsContext2 = (void *)PIPE_INVALID;
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    file->FsContext2 = (void *)(ULONG_PTR)(index + 1);
    bridge_reopen();
    byte = (UCHAR)index;
    bridge_send(VC_H2D_OPENED, &byte, 1);
    return complete(irp, STATUS_SUCCESS, 0);
}

/* ---- plug and play --------------------------------------------------------------- */

/* Settings come from the driver's service key; what is missing there is
 * taken from the bus driver's key, where the test bed's setup program puts
 * them before this driver is installed. */
static void read_settings(struct dev_ext *ext)
{
    UNICODE_STRING bus_key;
    HANDLE keys[2];
    WCHAR dir[260];
    ULONG layout = VC_LAYOUT_IN_OUT, len, value, i;
    BOOLEAN have_layout = FALSE, have_dir = FALSE;

    RtlInitUnicodeString(&bus_key, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" VCBUS_SERVICE);
    keys[0] = open_key(&service_key);
    keys[1] = open_key(&bus_key);
    dir[0] = 0;
    for (i = 0; i < 2; i++)
    {
        if (!keys[i]) continue;
        if (!have_layout && query_value(keys[i], L"" VCUPD_VALUE_LAYOUT, &value, sizeof(value), &len) == REG_DWORD
            && len == sizeof(value))
        {
            have_layout = TRUE;
            if (value < VC_LAYOUT_COUNT) layout = value;
        }
        if (!have_dir && query_value(keys[i], L"" VCUPD_VALUE_BRIDGE, dir, sizeof(dir) - sizeof(WCHAR), &len) == REG_SZ)
        {
            have_dir = TRUE;
            dir[len / sizeof(WCHAR)] = 0;
        }
        ZwClose(keys[i]);
    }
    bridge_set_dir(dir, (ULONG)wcslen(dir));
    build_config(ext, layout);
}

/* The device went away (surprise removal or removal): ends its transfers. */
static void device_gone(struct dev_ext *ext)
{
    KIRQL irql;

    if (ext->gone) return;
    ext->gone = TRUE;
    KeAcquireSpinLock(&io_lock, &irql);
    ext->present = FALSE;
    if (current == ext) current = NULL;
    KeReleaseSpinLock(&io_lock, irql);
    if (ext->iface_enabled) IoSetDeviceInterfaceState(&ext->iface, FALSE);
    ext->iface_enabled = FALSE;
    end_reads(ext, NULL, STATUS_DEVICE_NOT_CONNECTED);
    drop_queued(ext);
    bridge_send(VC_H2D_REMOVED, NULL, 0);
}

static NTSTATUS do_pnp(struct dev_ext *ext, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    KIRQL irql;

    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(ext->lower, irp);
        if (NT_SUCCESS(status) && !ext->gone)
        {
            KeAcquireSpinLock(&io_lock, &irql);
            ext->present = TRUE;
            current = ext;
            KeReleaseSpinLock(&io_lock, irql);
            if (NT_SUCCESS(IoSetDeviceInterfaceState(&ext->iface, TRUE))) ext->iface_enabled = TRUE;
        }
        return complete(irp, status, 0);

    case IRP_MN_SURPRISE_REMOVAL:
        device_gone(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_REMOVE_DEVICE:
    {
        DEVICE_OBJECT *lower = ext->lower;
        device_gone(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&ext->iface);
        IoDeleteDevice(ext->self);
        return status;
    }

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *fdo;
    struct dev_ext *ext;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof(struct dev_ext), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->self = fdo;
    ext->pdo = pdo;
    InitializeListHead(&ext->bulk_reads);
    InitializeListHead(&ext->other_reads);
    InitializeListHead(&ext->queued);
    read_settings(ext);

    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!ext->lower)
    {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(pdo, &vc_iface_guid, NULL, &ext->iface);
    if (!NT_SUCCESS(status))
    {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ---- dispatch -------------------------------------------------------------------- */

static NTSTATUS NTAPI dispatch_create(DEVICE_OBJECT *device, IRP *irp)
{
    return do_create(device->DeviceExtension, irp);
}

/* Wine sends no IRP_MJ_CLEANUP, only IRP_MJ_CLOSE when the last handle goes:
 * both end the reads still pending on the file, as a cleanup does. */
static NTSTATUS NTAPI dispatch_close(DEVICE_OBJECT *device, IRP *irp)
{
    FILE_OBJECT *file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file) end_reads(device->DeviceExtension, file, STATUS_CANCELLED);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_read(DEVICE_OBJECT *device, IRP *irp)
{
    return do_read(device->DeviceExtension, irp);
}

static NTSTATUS NTAPI dispatch_write(DEVICE_OBJECT *device, IRP *irp)
{
    return do_write(device->DeviceExtension, irp);
}

static NTSTATUS NTAPI dispatch_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    return do_ioctl(device->DeviceExtension, irp);
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    return do_pnp(device->DeviceExtension, irp);
}

static NTSTATUS NTAPI dispatch_pass_down(DEVICE_OBJECT *device, IRP *irp)
{
    struct dev_ext *ext = device->DeviceExtension;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp)
{
    struct dev_ext *ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

static void NTAPI driver_unload(DRIVER_OBJECT *driver)
{
    (void)driver;
    bridge_stop();
    if (service_key.Buffer) ExFreePoolWithTag(service_key.Buffer, VCUPD_TAG);
    service_key.Buffer = NULL;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    NTSTATUS status;

    KeInitializeSpinLock(&io_lock);
    service_key.Length = 0;
    service_key.MaximumLength = registry_path->Length + sizeof(WCHAR);
    service_key.Buffer = ExAllocatePoolWithTag(PagedPool, service_key.MaximumLength, VCUPD_TAG);
    if (!service_key.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&service_key, registry_path);

    status = bridge_start(L"h2d", L"d2h", deliver_transfer);
    if (!NT_SUCCESS(status))
    {
        driver_unload(driver);
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_close;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_pass_down;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
