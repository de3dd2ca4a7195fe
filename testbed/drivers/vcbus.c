/*
 * vcbus.sys - root-enumerated bus driver of the virtual controller.
 *
 * It owns one child device, the controller in its update mode, with the
 * hardware IDs USB\VID_0944&PID_1001&REV_0100 and USB\VID_0944&PID_1001 and
 * instance ID 1, so that the PnP manager records it as
 * Enum\USB\VID_0944&PID_1001\1 and loads its function driver. The child is
 * plugged in and out through device-control requests on the control device
 * \\.\VcBus (vcsetup.exe). Every plug creates a new physical device object:
 * the PnP manager then treats it as a newly arrived device and starts its
 * driver stack again, as it does for a real device that is reconnected.
 *
 * Two duties of the system's PnP manager that Wine leaves out fall to the
 * bus as well: a child that runs without a driver is restarted once a driver
 * has been installed for it, and a child without a driver leaves no device
 * record behind when it is unplugged (Wine lists every recorded device as
 * present).
 */
#include <ntddk.h>
#include "vcregistry.h"
#include "vcshared.h"
#include "vckernel.h"

/* Exported by the kernel, not declared by the DDK headers at hand. */
int __cdecl _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

#define VCBUS_TAG 0x73624356u  /* "VCbs" */
#define WATCH_INTERVAL_MS 50      /* how often a child without a driver is looked at */
#define REMOVAL_POLL_MS 20
#define REMOVAL_WAIT_MS 10000     /* a restart gives up when the removal takes longer */
#define THREAD_STOP_WAIT_MS 5000
#define MAX_KEY_DEPTH 8           /* deepest key below a device record */
#define MS_TO_RELATIVE(ms) (-10000LL * (ms))

enum ext_kind { EXT_CONTROL = 1, EXT_FDO, EXT_PDO };

struct bus_ext
{
    enum ext_kind kind;
    DEVICE_OBJECT *self;
    DEVICE_OBJECT *lower;      /* FDO: next device down */
    DEVICE_OBJECT *bus_pdo;    /* FDO: physical device object of the bus */
};

struct child_ext
{
    enum ext_kind kind;
    DEVICE_OBJECT *self;
    BOOLEAN reported;          /* still reported in the bus relations */
    BOOLEAN started;
    BOOLEAN restarted;         /* plugged in by the restart watch: never restarted again */
};

/* Process-wide bus state, guarded by bus_lock. */
static KSPIN_LOCK bus_lock;
static struct bus_ext *the_bus;         /* the first (only) bus FDO */
static DEVICE_OBJECT *child_pdo;        /* current child, NULL when absent */
static ULONG child_state = VC_CHILD_ABSENT;
static ULONG plug_count;
static BOOLEAN bus_started;
static DEVICE_OBJECT *control_device;
static UNICODE_STRING service_key;      /* copy of the registry path */

/* The restart watch: a system thread, ended through 'stop'. */
static struct
{
    KEVENT stop;
    HANDLE thread;
} watch;

/* ---- service settings ----------------------------------------------------- */

static ULONG read_plugged_setting(void)
{
    OBJECT_ATTRIBUTES attr;
    UNICODE_STRING name;
    HANDLE key;
    ULONG result = 1, len;
    union { KEY_VALUE_PARTIAL_INFORMATION info; UCHAR raw[64]; } buf;

    InitializeObjectAttributes(&attr, &service_key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attr))) return result;
    RtlInitUnicodeString(&name, L"" VCBUS_VALUE_PLUGGED);
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buf, sizeof(buf), &len))
        && buf.info.Type == REG_DWORD && buf.info.DataLength == sizeof(ULONG))
        result = *(ULONG *)buf.info.Data;
    ZwClose(key);
    return result;
}

/* ---- device records ------------------------------------------------------------ */

static HANDLE open_key(HANDLE root, const WCHAR *path, ACCESS_MASK access)
{
    OBJECT_ATTRIBUTES attr;
    UNICODE_STRING name;
    HANDLE key;

    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return NT_SUCCESS(ZwOpenKey(&key, access, &attr)) ? key : NULL;
}

/* TRUE when the value is a string that is not empty; text gets it terminated.
 * Device installation writes some strings without their terminator. */
static BOOLEAN read_text(HANDLE key, const WCHAR *name, WCHAR *text, ULONG chars)
{
    union { KEY_VALUE_PARTIAL_INFORMATION info; UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION)
                                                        + VC_REG_TEXT_MAX * sizeof(WCHAR)]; } buf;
    UNICODE_STRING uname;
    ULONG len, n;

    RtlInitUnicodeString(&uname, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &uname, KeyValuePartialInformation, &buf, sizeof(buf), &len))
        || buf.info.Type != REG_SZ)
        return FALSE;
    n = buf.info.DataLength / sizeof(WCHAR);
    if (n >= chars) return FALSE;
    RtlCopyMemory(text, buf.info.Data, n * sizeof(WCHAR));
    text[n] = 0;
    return text[0] != 0;
}

/* Deletes the key below root with everything below it; FALSE when any of it stays. */
static BOOLEAN delete_key_tree(HANDLE root, const WCHAR *path, int depth)
{
    union { KEY_BASIC_INFORMATION info; UCHAR raw[sizeof(KEY_BASIC_INFORMATION)
                                                  + VC_REG_KEY_NAME_MAX * sizeof(WCHAR)]; } buf;
    HANDLE key = open_key(root, path, KEY_ALL_ACCESS);
    BOOLEAN ok = TRUE;
    ULONG len;

    if (!key) return FALSE;
    while (ok && depth < MAX_KEY_DEPTH
           && NT_SUCCESS(ZwEnumerateKey(key, 0, KeyBasicInformation, &buf, sizeof(buf) - sizeof(WCHAR), &len)))
    {
        buf.info.Name[buf.info.NameLength / sizeof(WCHAR)] = 0;
        ok = delete_key_tree(key, buf.info.Name, depth + 1);
    }
    ok = ok && NT_SUCCESS(ZwDeleteKey(key));
    ZwClose(key);
    return ok;
}

/* The child's record names a driver (the instance key's Driver value). */
static BOOLEAN child_has_driver(HANDLE instance, WCHAR *driver, ULONG chars)
{
    return read_text(instance, L"" VC_REG_VALUE_DRIVER, driver, chars);
}

/* Wine lists every recorded device as present, also one that has gone. A
 * child without a driver therefore takes its record with it when it is
 * removed; one with a driver keeps it, as on Windows. Another instance
 * under the device key keeps that key. */
static void forget_driverless_child(void)
{
    WCHAR driver[VC_REG_TEXT_MAX];
    HANDLE device, instance;
    BOOLEAN keep = FALSE;

    if (!(device = open_key(NULL, L"" VC_REG_NT_MACHINE VC_REG_CHILD_DEVICE, KEY_ALL_ACCESS))) return;
    if ((instance = open_key(device, VC_CHILD_INSTANCE_ID, KEY_READ)))
    {
        keep = child_has_driver(instance, driver, ARRAYSIZE(driver));
        ZwClose(instance);
        if (!keep) delete_key_tree(device, VC_CHILD_INSTANCE_ID, 0);
    }
    if (!keep) ZwDeleteKey(device);  /* fails while other instances remain */
    ZwClose(device);
}

/* A driver has been installed for the child: its record names the driver
 * and its service, and the driver key holds InfSection, which the
 * installation writes last. */
static BOOLEAN child_driver_installed(void)
{
    WCHAR driver[VC_REG_TEXT_MAX], text[VC_REG_TEXT_MAX];
    HANDLE instance, classes, key;
    BOOLEAN installed = FALSE;

    if (!(instance = open_key(NULL, L"" VC_REG_NT_MACHINE VC_REG_CHILD_INSTANCE, KEY_READ))) return FALSE;
    if (child_has_driver(instance, driver, ARRAYSIZE(driver))
        && read_text(instance, L"" VC_REG_VALUE_SERVICE, text, ARRAYSIZE(text))
        && (classes = open_key(NULL, L"" VC_REG_NT_MACHINE VC_REG_CLASS_ROOT, KEY_READ)))
    {
        if ((key = open_key(classes, driver, KEY_READ)))
        {
            installed = read_text(key, L"" VC_REG_VALUE_INF_SECTION, text, ARRAYSIZE(text));
            ZwClose(key);
        }
        ZwClose(classes);
    }
    ZwClose(instance);
    return installed;
}

/* ---- child (physical device object) ---------------------------------------- */

static WCHAR *alloc_id(const WCHAR *text, SIZE_T chars)
{
    WCHAR *id = ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), VCBUS_TAG);
    if (id) RtlCopyMemory(id, text, chars * sizeof(WCHAR));
    return id;
}

static NTSTATUS child_query_id(IRP *irp, BUS_QUERY_ID_TYPE type)
{
    static const WCHAR device_id[] = VC_CHILD_DEVICE_ID;
    static const WCHAR instance_id[] = VC_CHILD_INSTANCE_ID;
    static const WCHAR hardware_ids[] =
        L"USB\\VID_0944&PID_1001&REV_0100\0USB\\VID_0944&PID_1001\0";
    static const WCHAR compatible_ids[] =
        L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
    WCHAR *id;

    switch (type)
    {
    case BusQueryDeviceID:
        id = alloc_id(device_id, ARRAYSIZE(device_id));
        break;
    case BusQueryInstanceID:
        id = alloc_id(instance_id, ARRAYSIZE(instance_id));
        break;
    case BusQueryHardwareIDs:
        id = alloc_id(hardware_ids, ARRAYSIZE(hardware_ids)); /* ends in two zeros */
        break;
    case BusQueryCompatibleIDs:
        id = alloc_id(compatible_ids, ARRAYSIZE(compatible_ids));
        break;
    default:
        return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (!id) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return complete(irp, STATUS_SUCCESS, (ULONG_PTR)id);
}

static NTSTATUS child_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct child_ext *ext = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;

    switch (stack->MinorFunction)
    {
    case IRP_MN_QUERY_ID:
        return child_query_id(irp, stack->Parameters.QueryId.IdType);

    case IRP_MN_QUERY_CAPABILITIES:
    {
        DEVICE_CAPABILITIES *caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->EjectSupported = FALSE;
        caps->UniqueID = FALSE;
        caps->RawDeviceOK = TRUE;  /* started even before its driver is installed */
        caps->Address = 1;
        caps->UINumber = 1;
        return complete(irp, STATUS_SUCCESS, 0);
    }

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
        {
            DEVICE_RELATIONS *rel = ExAllocatePoolWithTag(PagedPool, sizeof(*rel), VCBUS_TAG);
            if (!rel) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            rel->Count = 1;
            rel->Objects[0] = device;
            ObReferenceObject(device);
            return complete(irp, STATUS_SUCCESS, (ULONG_PTR)rel);
        }
        return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);

    case IRP_MN_START_DEVICE:
        ext->started = TRUE;
        return complete(irp, STATUS_SUCCESS, 0);

    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
        ext->started = FALSE;
        return complete(irp, STATUS_SUCCESS, 0);

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return complete(irp, STATUS_SUCCESS, 0);

    case IRP_MN_REMOVE_DEVICE:
        ext->started = FALSE;
        /* Before the child counts as absent: a new plug may follow at once. */
        if (child_pdo == device) forget_driverless_child();
        KeAcquireSpinLock(&bus_lock, &irql);
        if (child_pdo == device)
        {
            child_pdo = NULL;
            child_state = VC_CHILD_ABSENT;
        }
        KeReleaseSpinLock(&bus_lock, irql);
        complete(irp, STATUS_SUCCESS, 0);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;

    default:
        return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

/* Creates a new child device object and reports it; called with no lock held.
 * restarted marks a plug of the restart watch. */
static NTSTATUS plug_child(BOOLEAN restarted)
{
    WCHAR name_buf[40];
    UNICODE_STRING name;
    DEVICE_OBJECT *pdo;
    struct child_ext *ext;
    DEVICE_OBJECT *bus_pdo = NULL;
    NTSTATUS status;
    ULONG number;
    KIRQL irql;

    KeAcquireSpinLock(&bus_lock, &irql);
    if (!the_bus || !bus_started)
    {
        KeReleaseSpinLock(&bus_lock, irql);
        return STATUS_DEVICE_NOT_READY;
    }
    if (child_state != VC_CHILD_ABSENT)
    {
        status = child_state == VC_CHILD_PRESENT ? STATUS_SUCCESS : STATUS_DEVICE_BUSY;
        KeReleaseSpinLock(&bus_lock, irql);
        return status;
    }
    number = ++plug_count;
    KeReleaseSpinLock(&bus_lock, irql);

    /* A new name for every plug: the object of an earlier plug may still be
     * referenced by open handles of programs. */
    _snwprintf(name_buf, ARRAYSIZE(name_buf) - 1, L"\\Device\\VcUsb%lu", number);
    name_buf[ARRAYSIZE(name_buf) - 1] = 0;
    RtlInitUnicodeString(&name, name_buf);
    status = IoCreateDevice(the_bus->self->DriverObject, sizeof(struct child_ext), &name,
                            FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;

    ext = pdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = EXT_PDO;
    ext->self = pdo;
    ext->reported = TRUE;
    ext->restarted = restarted;
    pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&bus_lock, &irql);
    child_pdo = pdo;
    child_state = VC_CHILD_PRESENT;
    bus_pdo = the_bus->bus_pdo;
    KeReleaseSpinLock(&bus_lock, irql);

    IoInvalidateDeviceRelations(bus_pdo, BusRelations);
    return STATUS_SUCCESS;
}

static NTSTATUS unplug_child(void)
{
    DEVICE_OBJECT *bus_pdo = NULL;
    KIRQL irql;

    KeAcquireSpinLock(&bus_lock, &irql);
    if (child_state == VC_CHILD_PRESENT && child_pdo)
    {
        ((struct child_ext *)child_pdo->DeviceExtension)->reported = FALSE;
        child_state = VC_CHILD_REMOVING;
        if (the_bus) bus_pdo = the_bus->bus_pdo;
    }
    KeReleaseSpinLock(&bus_lock, irql);

    if (bus_pdo) IoInvalidateDeviceRelations(bus_pdo, BusRelations);
    return STATUS_SUCCESS;
}

/* ---- restart after a driver install ------------------------------------------- */

/* Windows restarts a running device for the driver installed for it; Wine
 * only records the driver. The watch looks at a child that runs without a
 * function driver every WATCH_INTERVAL_MS and re-plugs it once its record
 * names an installed driver, so that the PnP manager starts the driver. A
 * child it plugged in is not restarted again (a driver that fails to load
 * must not make it cycle). */

static ULONG current_child_state(void)
{
    ULONG state;
    KIRQL irql;
    KeAcquireSpinLock(&bus_lock, &irql);
    state = child_state;
    KeReleaseSpinLock(&bus_lock, irql);
    return state;
}

static BOOLEAN child_runs_raw(void)
{
    BOOLEAN raw = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&bus_lock, &irql);
    if (child_pdo && child_state == VC_CHILD_PRESENT)
    {
        struct child_ext *ext = child_pdo->DeviceExtension;
        raw = ext->started && !ext->restarted && !child_pdo->AttachedDevice;
    }
    KeReleaseSpinLock(&bus_lock, irql);
    return raw;
}

/* FALSE when the watch is asked to stop during the wait. */
static BOOLEAN watch_sleep(ULONG ms)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = MS_TO_RELATIVE(ms);
    return KeWaitForSingleObject(&watch.stop, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT;
}

static void restart_child(void)
{
    ULONG waited = 0;

    unplug_child();
    while (current_child_state() != VC_CHILD_ABSENT)
    {
        if (waited >= REMOVAL_WAIT_MS || !watch_sleep(REMOVAL_POLL_MS)) return;
        waited += REMOVAL_POLL_MS;
    }
    /* Unplugged by someone else meanwhile: it stays out. */
    if (read_plugged_setting()) plug_child(TRUE);
}

static void NTAPI watch_thread(void *context)
{
    (void)context;
    while (watch_sleep(WATCH_INTERVAL_MS))
        if (child_runs_raw() && child_driver_installed()) restart_child();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS watch_start(void)
{
    OBJECT_ATTRIBUTES attr;
    KeInitializeEvent(&watch.stop, NotificationEvent, FALSE);
    InitializeObjectAttributes(&attr, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(&watch.thread, THREAD_ALL_ACCESS, &attr, NULL, NULL, watch_thread, NULL);
}

static void watch_stop(void)
{
    LARGE_INTEGER timeout;
    if (!watch.thread) return;
    KeSetEvent(&watch.stop, IO_NO_INCREMENT, FALSE);
    timeout.QuadPart = MS_TO_RELATIVE(THREAD_STOP_WAIT_MS);
    ZwWaitForSingleObject(watch.thread, FALSE, &timeout);
    ZwClose(watch.thread);
    watch.thread = NULL;
}

/* ---- bus function device object ------------------------------------------- */

static NTSTATUS bus_relations(struct bus_ext *ext, IRP *irp)
{
    DEVICE_RELATIONS *rel;
    KIRQL irql;

    /* Only this bus's own children: nothing of a lower driver to merge. */
    rel = ExAllocatePoolWithTag(PagedPool, sizeof(*rel), VCBUS_TAG);
    if (!rel) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    rel->Count = 0;
    KeAcquireSpinLock(&bus_lock, &irql);
    if (ext == the_bus && child_pdo && child_state == VC_CHILD_PRESENT)
    {
        rel->Objects[0] = child_pdo;
        ObReferenceObject(child_pdo);
        rel->Count = 1;
    }
    KeReleaseSpinLock(&bus_lock, irql);

    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)rel;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static NTSTATUS bus_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    struct bus_ext *ext = device->DeviceExtension;
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    KIRQL irql;

    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(ext->lower, irp);
        if (NT_SUCCESS(status))
        {
            KeAcquireSpinLock(&bus_lock, &irql);
            if (ext == the_bus) bus_started = TRUE;
            KeReleaseSpinLock(&bus_lock, irql);
            if (ext == the_bus && read_plugged_setting()) plug_child(FALSE);
        }
        return complete(irp, status, 0);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
            return bus_relations(ext, irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
    {
        DEVICE_OBJECT *lower = ext->lower;
        KeAcquireSpinLock(&bus_lock, &irql);
        if (ext == the_bus)
        {
            the_bus = NULL;
            bus_started = FALSE;
        }
        KeReleaseSpinLock(&bus_lock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }

    case IRP_MN_SURPRISE_REMOVAL:
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

static NTSTATUS WINAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *fdo;
    struct bus_ext *ext;
    NTSTATUS status;
    KIRQL irql;

    status = IoCreateDevice(driver, sizeof(struct bus_ext), NULL, FILE_DEVICE_BUS_EXTENDER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = EXT_FDO;
    ext->self = fdo;
    ext->bus_pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!ext->lower)
    {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeAcquireSpinLock(&bus_lock, &irql);
    if (!the_bus) the_bus = ext;
    KeReleaseSpinLock(&bus_lock, irql);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ---- control device -------------------------------------------------------- */

static NTSTATUS control_ioctl(IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    KIRQL irql;

    switch (code)
    {
    case IOCTL_VCBUS_PLUG:
        return complete(irp, plug_child(FALSE), 0);
    case IOCTL_VCBUS_UNPLUG:
        return complete(irp, unplug_child(), 0);
    case IOCTL_VCBUS_STATUS:
    {
        struct vcbus_status st;
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(st))
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        RtlZeroMemory(&st, sizeof(st));
        KeAcquireSpinLock(&bus_lock, &irql);
        st.bus_started = bus_started;
        st.child_state = child_state;
        st.plug_count = plug_count;
        if (child_pdo)
        {
            st.child_started = ((struct child_ext *)child_pdo->DeviceExtension)->started;
            st.has_function = child_pdo->AttachedDevice != NULL;
        }
        KeReleaseSpinLock(&bus_lock, irql);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &st, sizeof(st));
        return complete(irp, STATUS_SUCCESS, sizeof(st));
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- dispatch --------------------------------------------------------------- */

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    enum ext_kind kind = *(enum ext_kind *)device->DeviceExtension;
    if (kind == EXT_PDO) return child_pnp(device, irp);
    if (kind == EXT_FDO) return bus_pnp(device, irp);
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI dispatch_power(DEVICE_OBJECT *device, IRP *irp)
{
    struct bus_ext *ext = device->DeviceExtension;
    PoStartNextPowerIrp(irp);
    if (ext->kind == EXT_FDO)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->lower, irp);
    }
    return complete(irp, ext->kind == EXT_PDO ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI dispatch_create_close(DEVICE_OBJECT *device, IRP *irp)
{
    enum ext_kind kind = *(enum ext_kind *)device->DeviceExtension;
    return complete(irp, kind == EXT_CONTROL ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    enum ext_kind kind = *(enum ext_kind *)device->DeviceExtension;
    if (kind == EXT_CONTROL) return control_ioctl(irp);
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void WINAPI driver_unload(DRIVER_OBJECT *driver)
{
    UNICODE_STRING link;
    (void)driver;
    watch_stop();
    RtlInitUnicodeString(&link, VCBUS_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (control_device) IoDeleteDevice(control_device);
    control_device = NULL;
    if (service_key.Buffer) ExFreePoolWithTag(service_key.Buffer, VCBUS_TAG);
    service_key.Buffer = NULL;
}

NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    UNICODE_STRING name, link;
    struct bus_ext *ext;
    NTSTATUS status;

    KeInitializeSpinLock(&bus_lock);

    service_key.Length = 0;
    service_key.MaximumLength = registry_path->Length + sizeof(WCHAR);
    service_key.Buffer = ExAllocatePoolWithTag(PagedPool, service_key.MaximumLength, VCBUS_TAG);
    if (!service_key.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&service_key, registry_path);

    RtlInitUnicodeString(&name, VCBUS_CONTROL_DEVICE);
    status = IoCreateDevice(driver, sizeof(struct bus_ext), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &control_device);
    if (!NT_SUCCESS(status))
    {
        driver_unload(driver);
        return status;
    }
    ext = control_device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->kind = EXT_CONTROL;
    ext->self = control_device;
    control_device->Flags |= DO_BUFFERED_IO;
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;

    RtlInitUnicodeString(&link, VCBUS_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
    {
        driver_unload(driver);
        return status;
    }

    status = watch_start();
    if (!NT_SUCCESS(status))
    {
        driver_unload(driver);
        return status;
    }

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
