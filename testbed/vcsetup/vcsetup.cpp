// vcsetup: installs and drives the virtual controller inside a wine prefix.
//
//   vcsetup install BRIDGEDIR [--layout N] [--no-update-driver] [--drivers DIR]
//   vcsetup plug | unplug | replug
//   vcsetup layout N
//   vcsetup bridge BRIDGEDIR
//   vcsetup status
//   vcsetup kmidi install BRIDGEDIR | plug N | unplug N | status | refuse N WHAT COUNT
//                 | stall COUNT | clear          (the kernel USB-MIDI driver)
//
// install --no-update-driver leaves the child without a driver (one that was
// installed before is taken off again), as a launcher that installs the
// update driver itself finds it; the bus restarts the child once a driver
// has been installed for it.
//
// Exit code 0 on success, 1 with a message on stderr otherwise.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vcaccess.h"
#include "kmclient.h"
#include "vcclient.h"

namespace {

const DWORD kWaitMs = 15000;
const char kPnfExtension[] = ".PNF";
const SECURITY_INFORMATION kWholeSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const char kUsage[] =
    "usage: vcsetup install BRIDGEDIR [--layout N] [--no-update-driver] [--drivers DIR]\n"
    "                               (--no-update-driver: the child without a driver)\n"
    "       vcsetup plug | unplug | replug | status\n"
    "       vcsetup layout N        (0 bulk IN+OUT, 1 bulk OUT+IN, 2 interrupt IN+bulk IN+OUT,\n"
    "                                3 no endpoints, 4 bulk IN only; applies at the next plug)\n"
    "       vcsetup bridge BRIDGEDIR (Linux folder of the FIFOs h2d and d2h; next plug)\n"
    "       vcsetup kmidi install BRIDGEDIR | plug N | unplug N | status | clear\n"
    "                     | refuse N open|in|out|change COUNT|always | stall COUNT|always\n"
    "                     | hold idle|writes on|off\n"
    "                               (the kernel USB-MIDI driver, devices \\\\.\\ZUVAX0..7)\n";

int Fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("vcsetup: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 1;
}

const char *StateName(unsigned state)
{
    switch (state) {
    case VC_CHILD_ABSENT: return "unplugged";
    case VC_CHILD_PRESENT: return "plugged in";
    case VC_CHILD_REMOVING: return "being removed";
    default: return "?";
    }
}

BOOL FileExists(const char *path)
{
    DWORD attr = GetFileAttributesA(path);
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Folder of this program, without the trailing backslash.
void OwnFolder(char *dir, DWORD size)
{
    DWORD n = GetModuleFileNameA(NULL, dir, size);
    if (n == 0 || n >= size) { snprintf(dir, size, "."); return; }
    char *slash = strrchr(dir, '\\');
    if (slash) *slash = 0;
}

// TRUE when a device with the hardware ID exists below the ROOT enumerator.
BOOL RootDeviceExists(const char *hardware_id)
{
    HDEVINFO set = SetupDiGetClassDevsA(NULL, "ROOT", NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return FALSE;
    BOOL found = FALSE;
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof(dev);
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        char ids[512] = {0};
        if (SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids),
                                              sizeof(ids) - 2, NULL)) {
            for (const char *p = ids; *p; p += strlen(p) + 1)
                if (!lstrcmpiA(p, hardware_id)) found = TRUE;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Creates the root device of the bus (ROOT\SYSTEM\nnnn with hardware ID Root\VcBus).
int CreateBusDevice()
{
    static const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList failed (error %lu)", GetLastError());
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof(dev);
    char ids[64];
    memset(ids, 0, sizeof(ids));
    strcpy(ids, VCBUS_HARDWARE_ID);
    int rc = 0;
    if (!SetupDiCreateDeviceInfoA(set, "SYSTEM", &kSystemClass, NULL, NULL, DICD_GENERATE_ID, &dev))
        rc = Fail("SetupDiCreateDeviceInfoA failed (error %lu)", GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<BYTE *>(ids),
                                                static_cast<DWORD>(strlen(ids) + 2)))
        rc = Fail("setting the hardware ID failed (error %lu)", GetLastError());
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        rc = Fail("registering the bus device failed (error %lu)", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

// Gives the key (created when missing) the access list; Wine gives a key
// without one a default whose owner and group change once its list is
// changed, so a list put back would not read as before.
LONG SecureKey(const char *path, const char *access, DWORD *disposition)
{
    HKEY key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, WRITE_DAC | WRITE_OWNER, NULL,
                              &key, disposition);
    if (rc != ERROR_SUCCESS) return rc;
    rc = VcRegSetSecurity(key, kWholeSecurity, access);
    RegCloseKey(key);
    return rc;
}

// Windows always has the media class key with its name and description, and
// Enum\USB; a fresh Wine prefix has neither until a device needs them.
int SetUpSystemKeys()
{
    DWORD disposition = 0;
    LONG rc = SecureKey(VC_REG_MEDIA_CLASS, VC_ACCESS_MEDIA_CLASS, &disposition);
    if (rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) {
        HKEY key;
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, VC_REG_MEDIA_CLASS, 0, KEY_SET_VALUE, &key);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE *>(VC_REG_MEDIA_CLASS_DESC),
                                sizeof(VC_REG_MEDIA_CLASS_DESC));
            if (rc == ERROR_SUCCESS)
                rc = RegSetValueExA(key, VC_REG_VALUE_CLASS, 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(VC_REG_MEDIA_CLASS_NAME),
                                    sizeof(VC_REG_MEDIA_CLASS_NAME));
            RegCloseKey(key);
        }
    }
    if (rc != ERROR_SUCCESS) return Fail("setting up the media class key failed (error %ld)", rc);
    rc = SecureKey(VC_REG_ENUM_USB, VC_ACCESS_ENUM_USB, NULL);
    return rc == ERROR_SUCCESS ? 0 : Fail("setting up Enum\\USB failed (error %ld)", rc);
}

// Takes an installed driver off the child as a launcher's clean-up does (the
// OEM copy of the INF with its PNF, the driver key, the device record), so
// that the child comes up without a driver at its next plug. The child is
// left unplugged when it had one.
int RemoveChildDriver()
{
    char driver[VC_REG_TEXT_MAX], inf[VC_REG_TEXT_MAX], key[MAX_PATH], windir[MAX_PATH], file[MAX_PATH];
    if (!VcRegGetText(VC_REG_CHILD_INSTANCE, VC_REG_VALUE_DRIVER, driver, sizeof(driver))) return 0;
    if (!VcUnplugAndWait(kWaitMs)) return Fail("the device did not go away");
    snprintf(key, sizeof(key), "%s\\%s", VC_REG_CLASS_ROOT, driver);
    UINT n = GetWindowsDirectoryA(windir, sizeof(windir));
    if (VcRegGetText(key, VC_REG_VALUE_INF_PATH, inf, sizeof(inf)) && n && n < sizeof(windir)) {
        snprintf(file, sizeof(file), "%s\\inf\\%s", windir, inf);
        DeleteFileA(file);
        char *dot = strrchr(file, '.');
        if (dot && strlen(dot) == strlen(kPnfExtension)) {
            strcpy(dot, kPnfExtension);
            DeleteFileA(file);
        }
    }
    LONG rc = VcRegDeleteTree(HKEY_LOCAL_MACHINE, key);
    if (rc == ERROR_SUCCESS) rc = VcRegDeleteTree(HKEY_LOCAL_MACHINE, VC_REG_CHILD_INSTANCE);
    if (rc != ERROR_SUCCESS) return Fail("removing the child's driver failed (error %ld)", rc);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, VC_REG_CHILD_DEVICE);  // stays while other instances remain
    return 0;
}

int InstallInf(const char *hardware_id, const char *inf)
{
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, hardware_id, inf, INSTALLFLAG_FORCE, &reboot))
        return Fail("installing %s for %s failed (error 0x%lx)", inf, hardware_id, GetLastError());
    return 0;
}

BOOL BusRunning(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        vcbus_status st;
        if (VcBusStatus(&st) && st.bus_started) return TRUE;
        if (GetTickCount() - start >= timeout_ms) return FALSE;
        Sleep(50);
    }
}

int ParseLayout(const char *text, DWORD *layout)
{
    char *end = NULL;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end || v >= VC_LAYOUT_COUNT) return Fail("layout must be 0 to %d, not \"%s\"", VC_LAYOUT_COUNT - 1, text);
    *layout = v;
    return 0;
}

int Install(int argc, char **argv)
{
    const char *bridge = NULL;
    char drivers[MAX_PATH];
    BOOL update_driver = TRUE;
    DWORD layout = VC_LAYOUT_IN_OUT;
    BOOL layout_given = FALSE;

    OwnFolder(drivers, sizeof(drivers));
    for (int i = 0; i < argc; i++) {
        if (!strcmp(argv[i], "--no-update-driver")) {
            update_driver = FALSE;
        } else if (!strcmp(argv[i], "--layout") && i + 1 < argc) {
            if (ParseLayout(argv[++i], &layout)) return 1;
            layout_given = TRUE;
        } else if (!strcmp(argv[i], "--drivers") && i + 1 < argc) {
            snprintf(drivers, sizeof(drivers), "%s", argv[++i]);
        } else if (argv[i][0] == '-' || bridge) {
            return Fail("unexpected argument \"%s\"\n%s", argv[i], kUsage);
        } else {
            bridge = argv[i];
        }
    }
    if (!bridge) return Fail("install needs the bridge folder\n%s", kUsage);

    char bus_inf[MAX_PATH], bus_sys[MAX_PATH], upd_inf[MAX_PATH], upd_sys[MAX_PATH];
    snprintf(bus_inf, sizeof(bus_inf), "%s\\vcbus.inf", drivers);
    snprintf(bus_sys, sizeof(bus_sys), "%s\\vcbus.sys", drivers);
    snprintf(upd_inf, sizeof(upd_inf), "%s\\vcupd.inf", drivers);
    snprintf(upd_sys, sizeof(upd_sys), "%s\\vcupd.sys", drivers);
    const char *needed[] = {bus_inf, bus_sys, upd_inf, upd_sys};
    for (int i = 0; i < (update_driver ? 4 : 2); i++)
        if (!FileExists(needed[i])) return Fail("missing driver file %s", needed[i]);

    vcbus_status st;
    if (!VcBusStatus(&st)) {
        if (!RootDeviceExists(VCBUS_HARDWARE_ID) && CreateBusDevice()) return 1;
        if (InstallInf(VCBUS_HARDWARE_ID, bus_inf)) return 1;
        if (!BusRunning(kWaitMs)) return Fail("the bus driver did not start");
    }

    // Settings once the services exist; the update driver reads them whenever
    // a child is added.
    DWORD old_layout;
    const char *svc = VcServiceExists(VCUPD_SERVICE) ? VCUPD_SERVICE : VCBUS_SERVICE;
    if (!layout_given && VcGetDword(svc, VCUPD_VALUE_LAYOUT, &old_layout) && old_layout < VC_LAYOUT_COUNT)
        layout = old_layout;
    if (!VcSetDword(VCBUS_SERVICE, VCBUS_VALUE_PLUGGED, 1) || !VcSetSetting(VCUPD_VALUE_LAYOUT, layout) ||
        !VcSetSettingString(VCUPD_VALUE_BRIDGE, bridge))
        return Fail("writing the settings failed (error %lu)", GetLastError());
    if (SetUpSystemKeys()) return 1;
    if (!update_driver && RemoveChildDriver()) return 1;

    // The child must have been seen once before a driver can be installed for it.
    if (!VcPlugAndWait(kWaitMs)) return Fail("the child device did not start after plugging it in");
    if (!VcBusStatus(&st)) return Fail("the bus driver stopped");
    if (!update_driver && st.has_function)
        return Fail("the child came up with a driver (another copy of its INF in the Inf folder?)");

    if (update_driver) {
        BOOL had_driver = st.has_function;
        if (InstallInf(VC_CHILD_HARDWARE_ID, upd_inf)) return 1;
        if (!VcSetSetting(VCUPD_VALUE_LAYOUT, layout) || !VcSetSettingString(VCUPD_VALUE_BRIDGE, bridge))
            return Fail("writing the settings failed (error %lu)", GetLastError());
        // A child without a driver is restarted by the bus for its new one; a
        // running driver reads the settings at the next plug.
        if (had_driver && !VcReplug(kWaitMs)) return Fail("re-plugging the child after the driver install failed");
        if (!VcWaitInterface(TRUE, kWaitMs)) return Fail("the update-mode device interface did not appear");
    }
    printf("vcsetup: installed (bridge %s, layout %lu%s)\n", bridge, layout,
           update_driver ? "" : ", child without a driver");
    return 0;
}

// The endpoints the device reports, as the updater sees them.
void PrintEndpoints(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    unsigned char cfg[VC_CONFIG_SIZE] = {0};
    DWORD got = 0;
    if (DeviceIoControl(h, IOCTL_VCUPD_GET_CONFIG, cfg, sizeof(cfg), cfg, sizeof(cfg), &got, NULL)) {
        unsigned total = cfg[2] | (cfg[3] << 8);
        int index = 0;
        printf("endpoints:");
        for (unsigned off = 0; off + 4 < sizeof(cfg) && off < total && cfg[off]; off += cfg[off]) {
            if (cfg[off + 1] != 5) continue;
            printf(" dpipe%02d=%02X(%s %s)", index++, cfg[off + 2], (cfg[off + 3] & 3) == 3 ? "interrupt" : "bulk",
                   (cfg[off + 2] & 0x80) ? "IN" : "OUT");
        }
        printf("%s\n", index ? "" : " none");
    }
    CloseHandle(h);
}

int Status()
{
    vcbus_status st;
    char path[512], bridge[512];
    DWORD layout = 0;
    if (!VcBusStatus(&st)) return Fail("the bus driver is not running (vcsetup install)");
    printf("bus:       %s\n", st.bus_started ? "started" : "not started");
    printf("child:     %s%s%s (plugged %u times)\n", StateName(st.child_state),
           st.child_started ? ", started" : "", st.has_function ? ", driver loaded" : "", st.plug_count);
    int n = VcFindInterface(path, sizeof(path));
    printf("interface: %s\n", n ? path : "none");
    if (n) PrintEndpoints(path);
    const char *svc = VcServiceExists(VCUPD_SERVICE) ? VCUPD_SERVICE : VCBUS_SERVICE;
    if (VcGetDword(svc, VCUPD_VALUE_LAYOUT, &layout)) printf("layout:    %lu\n", layout);
    if (VcGetString(svc, VCUPD_VALUE_BRIDGE, bridge, sizeof(bridge))) printf("bridge:    %s\n", bridge);
    char driver[VC_REG_TEXT_MAX];
    if (VcRegGetText(VC_REG_CHILD_INSTANCE, VC_REG_VALUE_DRIVER, driver, sizeof(driver)))
        printf("driver:    %s (update driver %s)\n", driver, VcServiceExists(VCUPD_SERVICE) ? "installed" : "missing");
    else
        printf("driver:    none for the child\n");
    return 0;
}

int RequireBus()
{
    vcbus_status st;
    if (!VcBusStatus(&st)) return Fail("the bus driver is not running (vcsetup install)");
    return 0;
}

// ---- the kernel USB-MIDI driver ----

// A count: a number, or "always".
int ParseCount(const char *text, unsigned *count)
{
    char *end = NULL;
    if (!strcmp(text, "always")) { *count = VCKM_ALWAYS; return 0; }
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end || v >= VCKM_ALWAYS) return Fail("a count is a number or \"always\", not \"%s\"", text);
    *count = (unsigned)v;
    return 0;
}

int ParseDevice(const char *text, unsigned *device)
{
    char *end = NULL;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end || v >= VCKM_DEVICES) return Fail("device number 0 to %d, not \"%s\"", VCKM_DEVICES - 1, text);
    *device = (unsigned)v;
    return 0;
}

int KmStatus()
{
    vckm_status st;
    if (!VcKmStatus(&st)) return Fail("the kernel MIDI driver is not running (vcsetup kmidi install)");
    printf("changed %u, bridge %s\n", st.changed, st.bridge ? "open" : "closed");
    printf("dev present opens(dev,in,out,change) open-now(dev,in,out) pending queued read failed cancelled closed "
           "writes dropped stall\n");
    for (int i = 0; i < VCKM_DEVICES; i++) {
        const vckm_device_status &d = st.dev[i];
        printf("%d %u %u,%u,%u,%u %u,%u,%u %u %u %u %u %u %u %u %u %u\n", i, d.present, d.opens[0], d.opens[1],
               d.opens[2], d.opens[3], d.open_now[0], d.open_now[1], d.open_now[2], d.pending_reads, d.queued_blocks,
               d.blocks_read, d.reads_failed, d.reads_cancelled, d.reads_closed, d.writes, d.dropped, d.stall);
    }
    return 0;
}

int Kmidi(int argc, char **argv)
{
    unsigned device = 0, count = 0;
    if (argc == 2 && !strcmp(argv[0], "install")) {
        char folder[MAX_PATH];
        OwnFolder(folder, sizeof(folder));
        DWORD rc = VcKmInstall(folder, argv[1]);
        if (rc != ERROR_SUCCESS) return Fail("installing the kernel MIDI driver failed (error %lu)", rc);
        printf("vcsetup: kernel MIDI driver running (bridge %s)\n", argv[1]);
        return 0;
    }
    if (argc == 1 && !strcmp(argv[0], "status")) return KmStatus();
    if (argc == 1 && !strcmp(argv[0], "clear"))
        return VcKmClear() ? 0 : Fail("clearing failed (error %lu)", GetLastError());
    if (argc == 2 && !strcmp(argv[0], "stall")) {
        if (ParseCount(argv[1], &count)) return 1;
        return VcKmStall(count) ? 0 : Fail("stall failed (error %lu)", GetLastError());
    }
    if (argc == 3 && !strcmp(argv[0], "hold")) {
        // hold idle|writes on|off: one fault of device 0 changed, the other kept
        vckm_status st;
        unsigned flag = !strcmp(argv[1], "idle") ? VCKM_HOLD_IDLE_EMPTY : !strcmp(argv[1], "writes") ? VCKM_HOLD_WRITES : 0;
        int on = !strcmp(argv[2], "on");
        if (!flag || (!on && strcmp(argv[2], "off"))) return Fail("hold idle|writes on|off");
        if (!VcKmStatus(&st)) return Fail("the kernel MIDI driver is not running (vcsetup kmidi install)");
        unsigned flags = on ? st.dev[0].hold | flag : st.dev[0].hold & ~flag;
        return VcKmHold(flags) ? 0 : Fail("hold failed (error %lu)", GetLastError());
    }
    if (argc == 2 && (!strcmp(argv[0], "plug") || !strcmp(argv[0], "unplug"))) {
        if (ParseDevice(argv[1], &device)) return 1;
        BOOL ok = argv[0][0] == 'p' ? VcKmPlug(device) : VcKmUnplug(device);
        return ok ? 0 : Fail("%s %u failed (error %lu)", argv[0], device, GetLastError());
    }
    if (argc == 4 && !strcmp(argv[0], "refuse")) {
        static const char *const kinds[VCKM_KINDS] = {"open", "in", "out", "change"};
        unsigned what = VCKM_KINDS;
        for (unsigned i = 0; i < VCKM_KINDS; i++)
            if (!strcmp(argv[2], kinds[i])) what = i;
        if (what == VCKM_KINDS) return Fail("refuse what: open, in, out or change");
        if (ParseDevice(argv[1], &device) || ParseCount(argv[3], &count)) return 1;
        return VcKmRefuse(device, what, count) ? 0 : Fail("refuse failed (error %lu)", GetLastError());
    }
    return Fail("bad kmidi command\n%s", kUsage);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return Fail("no command\n%s", kUsage);
    const char *cmd = argv[1];

    if (!strcmp(cmd, "install")) return Install(argc - 2, argv + 2);
    if (!strcmp(cmd, "status") && argc == 2) return Status();
    if (!strcmp(cmd, "kmidi") && argc >= 3) return Kmidi(argc - 2, argv + 2);
    if (!strcmp(cmd, "layout") && argc == 3) {
        DWORD layout;
        if (ParseLayout(argv[2], &layout)) return 1;
        if (!VcSetSetting(VCUPD_VALUE_LAYOUT, layout)) return Fail("writing the layout failed (vcsetup install first)");
        printf("vcsetup: layout %lu from the next plug\n", layout);
        return 0;
    }
    if (!strcmp(cmd, "bridge") && argc == 3) {
        if (!VcSetSettingString(VCUPD_VALUE_BRIDGE, argv[2]))
            return Fail("writing the bridge folder failed (vcsetup install first)");
        printf("vcsetup: bridge %s from the next plug\n", argv[2]);
        return 0;
    }
    if (!strcmp(cmd, "plug") && argc == 2) {
        if (RequireBus()) return 1;
        VcSetDword(VCBUS_SERVICE, VCBUS_VALUE_PLUGGED, 1);
        if (!VcPlugAndWait(kWaitMs)) return Fail("the device did not come up");
        printf("vcsetup: plugged in\n");
        return 0;
    }
    if (!strcmp(cmd, "unplug") && argc == 2) {
        if (RequireBus()) return 1;
        VcSetDword(VCBUS_SERVICE, VCBUS_VALUE_PLUGGED, 0);
        if (!VcUnplugAndWait(kWaitMs)) return Fail("the device did not go away");
        printf("vcsetup: unplugged\n");
        return 0;
    }
    if (!strcmp(cmd, "replug") && argc == 2) {
        if (RequireBus()) return 1;
        VcSetDword(VCBUS_SERVICE, VCBUS_VALUE_PLUGGED, 1);
        if (!VcReplug(kWaitMs)) return Fail("re-plugging failed");
        printf("vcsetup: re-plugged\n");
        return 0;
    }
    return Fail("unknown command \"%s\"\n%s", cmd, kUsage);
}
