/*
 * Constants shared by the virtual controller's drivers (vcbus.sys, vcupd.sys)
 * and their user-mode tools (vcsetup.exe, the device tests). Plain C, no
 * Windows headers needed beyond the basic types.
 */
#ifndef VC_SHARED_H
#define VC_SHARED_H

/* ---- bus driver ---------------------------------------------------------- */

/* Control device of the bus driver: \\.\VcBus from user mode. */
#define VCBUS_CONTROL_DEVICE L"\\Device\\VcBus"
#define VCBUS_CONTROL_LINK   L"\\DosDevices\\VcBus"
#define VCBUS_USER_PATH      "\\\\.\\VcBus"

/* Hardware ID of the root-enumerated bus device, and its service name. */
#define VCBUS_HARDWARE_ID    "Root\\VcBus"
#define VCBUS_SERVICE        "vcbus"

/* Identity of the child the bus plugs in. */
#define VC_CHILD_DEVICE_ID   L"USB\\VID_0944&PID_1001"
#define VC_CHILD_INSTANCE_ID L"1"
#define VC_CHILD_HARDWARE_ID "USB\\VID_0944&PID_1001"

/* Device-control codes of the control device:
 * CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS). */
#define VCBUS_IOCTL(n)       ((0x22u << 16) | ((0x800u + (n)) << 2))
#define IOCTL_VCBUS_PLUG     VCBUS_IOCTL(0)   /* no buffers */
#define IOCTL_VCBUS_UNPLUG   VCBUS_IOCTL(1)   /* no buffers */
#define IOCTL_VCBUS_STATUS   VCBUS_IOCTL(2)   /* out: struct vcbus_status */

/* Child states. */
#define VC_CHILD_ABSENT      0   /* nothing plugged in */
#define VC_CHILD_PRESENT     1   /* plugged in, reported to the PnP manager */
#define VC_CHILD_REMOVING    2   /* unplugged, removal not finished yet */

struct vcbus_status
{
    unsigned int bus_started;    /* the bus device got IRP_MN_START_DEVICE */
    unsigned int child_state;    /* VC_CHILD_* */
    unsigned int child_started;  /* the child's stack got IRP_MN_START_DEVICE */
    unsigned int has_function;   /* a function driver sits on the child */
    unsigned int plug_count;     /* children plugged in since the bus started */
};

/* Service value of vcbus: REG_DWORD "Plugged", the child's state when the
 * bus starts (default 1). plug/unplug keep it up to date. */
#define VCBUS_VALUE_PLUGGED  "Plugged"

/* ---- update-mode device driver ------------------------------------------- */

#define VCUPD_SERVICE        "vcupd"

/* Service values of vcupd, read each time a child is added:
 * REG_SZ "BridgeDir": Linux folder holding the FIFOs h2d and d2h;
 * REG_DWORD "Layout": VC_LAYOUT_*. */
#define VCUPD_VALUE_BRIDGE   "BridgeDir"
#define VCUPD_VALUE_LAYOUT   "Layout"

/* Endpoint layouts of the configuration descriptor set. */
#define VC_LAYOUT_IN_OUT     0   /* bulk IN (dpipe00), bulk OUT (dpipe01) */
#define VC_LAYOUT_OUT_IN     1   /* bulk OUT (dpipe00), bulk IN (dpipe01) */
#define VC_LAYOUT_INT_IN_OUT 2   /* interrupt IN (00), bulk IN (01), bulk OUT (02) */
#define VC_LAYOUT_NONE       3   /* an interface without endpoints */
#define VC_LAYOUT_IN_ONLY    4   /* bulk IN (dpipe00) and no OUT endpoint */
#define VC_LAYOUT_COUNT      5

/* Device interface class of the update-mode device. */
#define VC_IFACE_GUID_INIT \
    { 0x58DC2B45, 0x40C4, 0x11D6, { 0x99, 0x2B, 0x00, 0x00, 0x01, 0x00, 0x59, 0x82 } }

/* Control requests of the update-mode device (device type 0x22, buffered). */
#define IOCTL_VCUPD_GET_CONFIG  0x220000u  /* 512 bytes: configuration descriptor set */
#define IOCTL_VCUPD_GET_DEVICE  0x22000Cu  /* 18 bytes: device descriptor */
#define IOCTL_VCUPD_ABORT       0x220010u  /* completes every pending transfer */
#define IOCTL_VCUPD_CHECK       0x220014u  /* 4 bytes: bit 0 = device present */

#define VC_CONFIG_SIZE       512
#define VC_DEVICE_DESC_SIZE  18
#define VC_VENDOR_ID         0x0944
#define VC_PRODUCT_ID        0x1001

/* ---- bridge to the native device model ------------------------------------ */

/* Record: 1 byte type, 4 bytes little-endian payload length, payload. */
#define VC_RECORD_HEADER     5
#define VC_RECORD_MAX        65536   /* longer payloads are skipped */

/* host to device (FIFO "h2d") */
#define VC_H2D_WRITE         1   /* bytes written to the OUT pipe, one record per write */
#define VC_H2D_ABORT         2   /* the abort request arrived */
#define VC_H2D_OPENED        3   /* a pipe was opened; payload: pipe index byte */
#define VC_H2D_REMOVED       4   /* the device went away */

/* device to host (FIFO "d2h") */
#define VC_D2H_DATA          1   /* one IN transfer */

/* ---- kernel USB-MIDI driver (vckmidi.sys) ---------------------------------- */

/* A legacy driver (no PnP): devices \\.\ZUVAX0 .. \\.\ZUVAX7, which the
 * control device \\.\VcKmidi plugs and unplugs. Below a device: the pipes
 * "P91" (in, 64-byte blocks of USB-MIDI event packets) and "P11" (out). */
#define VCKM_SERVICE         "vckmidi"
#define VCKM_CONTROL_DEVICE  L"\\Device\\VcKmidi"
#define VCKM_CONTROL_LINK    L"\\DosDevices\\VcKmidi"
#define VCKM_USER_PATH       "\\\\.\\VcKmidi"
#define VCKM_DEVICES         8
#define VCKM_BLOCK           64
#define VCKM_VALUE_BRIDGE    "BridgeDir"   /* REG_SZ in the service key: Linux folder of kh2d, kd2h */

#define IOCTL_VCKM_CHANGE    0x220010u     /* on a device: 4 bytes, nonzero when the devices changed */
/* On a file of a device: 4 bytes, the status the driver gave its open (0: open).
 * Wine 8.0 hands out a device's handle before the driver has seen the open
 * and drops the driver's refusal; the tests ask with this right after. */
#define IOCTL_VCKM_OPEN_RESULT ((0x22u << 16) | ((0x830u) << 2))

#define VCKM_IOCTL(n)        ((0x22u << 16) | ((0x820u + (n)) << 2))
#define IOCTL_VCKM_PLUG      VCKM_IOCTL(0)   /* in: ULONG device number */
#define IOCTL_VCKM_UNPLUG    VCKM_IOCTL(1)   /* in: ULONG device number */
#define IOCTL_VCKM_STATUS    VCKM_IOCTL(2)   /* out: struct vckm_status */
#define IOCTL_VCKM_REFUSE    VCKM_IOCTL(3)   /* in: struct vckm_refuse */
#define IOCTL_VCKM_STALL     VCKM_IOCTL(4)   /* in: ULONG reads of device 0's in-pipe that fail */
#define IOCTL_VCKM_CLEAR     VCKM_IOCTL(5)   /* counters, refusals and the stall back to 0 */
#define IOCTL_VCKM_HOLD      VCKM_IOCTL(6)   /* in: ULONG VCKM_HOLD_* flags of device 0 */

/* Faults of device 0 that last until changed. */
#define VCKM_HOLD_IDLE_EMPTY 1u              /* a read with no block waits 1 ms and gets an empty block */
#define VCKM_HOLD_WRITES     2u              /* out-pipe writes pend until cancelled, closed or released */

/* What a refusal makes fail, and the file kinds counted in the status. */
#define VCKM_OPEN_DEVICE     0
#define VCKM_OPEN_IN         1
#define VCKM_OPEN_OUT        2
#define VCKM_CHANGE          3
#define VCKM_KINDS           4
#define VCKM_ALWAYS          0xFFFFFFFFu   /* a count that never runs out */

struct vckm_refuse
{
    unsigned int device;
    unsigned int what;                    /* VCKM_OPEN_* or VCKM_CHANGE */
    unsigned int count;                   /* then the next count of them fail */
    unsigned int skip;                    /* the next skip of them succeed first */
};

struct vckm_device_status
{
    unsigned int present;
    unsigned int opens[VCKM_KINDS];       /* successful opens by kind; [VCKM_CHANGE]: change requests */
    unsigned int open_now[3];             /* files open now by kind */
    unsigned int pending_reads;
    unsigned int queued_blocks;           /* blocks waiting for a read */
    unsigned int blocks_read;             /* reads completed with a block */
    unsigned int reads_failed;            /* stalled or refused reads */
    unsigned int reads_cancelled;         /* reads the program cancelled */
    unsigned int reads_closed;            /* reads still pending when their file closed */
    unsigned int writes;
    unsigned int dropped;                 /* blocks dropped: queue full or device gone */
    unsigned int stall;                   /* reads left to fail */
    unsigned int hold;                    /* VCKM_HOLD_* (device 0) */
    unsigned int held_writes;             /* writes pending now */
};

struct vckm_status
{
    unsigned int changed;                 /* the answer the next change request gets */
    unsigned int bridge;                  /* 1 while the bridge's h2d is open */
    struct vckm_device_status dev[VCKM_DEVICES];
};

/* Records of its bridge (FIFOs "kh2d", "kd2h"; header as above).
 * kh2d: VC_H2D_WRITE (one out-pipe transfer of device 0), VC_H2D_OPENED
 * (payload: the pipe, 1 in or 2 out), VC_H2D_REMOVED (device 0 unplugged).
 * kd2h: VC_D2H_DATA (one 64-byte block for device 0's in-pipe). */

#endif
