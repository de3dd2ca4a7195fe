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
 */
#include <ntddk.h>
#include "vcshared.h"
#include "vckernel.h"

/* Exported by the kernel, not declared by the DDK headers at hand. */
int __cdecl _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);

#define VCBUS_TAG 0x73624356u  /* "VCbs" */

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

/* Creates a new child device object and reports it; called with no lock held. */
static NTSTATUS plug_child(void)
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
            if (ext == the_bus && read_plugged_setting()) plug_child();
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
        return complete(irp, plug_child(), 0);
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

    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
