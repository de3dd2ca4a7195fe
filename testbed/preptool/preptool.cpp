// preptool: the test bed's hands on the system around a launcher run.
//
//   preptool snapshot FILE                 sorted listing of the device records below
//                                          Enum\USB, the media class key, their access
//                                          lists and the files of the Inf folder
//   preptool pending on|off [PID|IMAGE]    installation events pending (or not) for a
//                                          running process (default: every panelprep64.exe)
//   preptool install-checks on|off [PID|IMAGE]  its driver installation fails for a
//                                          missing INF file or device, as on Windows
//   preptool translated-names on|off [PID|IMAGE]  its access lists refuse trustees
//                                          given by name, as on a translated Windows
//   preptool refuse-grant on|off [PID|IMAGE]  its next access list change is made and
//                                          then reported refused, as by a subkey
//   preptool class-acl readonly|restore    the media class key refuses writing, or not
//   preptool lock-key PATH | unlock-key PATH   a key that cannot be deleted, and back
//   preptool add-key PATH | delete-key PATH | set-value PATH NAME TEXT
//
// PATH is below HKEY_LOCAL_MACHINE. Exit code 0 on success, 1 with a message
// on stderr, 2 for a usage error.
#include <windows.h>
#include <tlhelp32.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "preptool.h"
#include "vcaccess.h"
#include "vcclient.h"

namespace {

typedef std::vector<std::string> Lines;

const char kUsage[] =
    "usage: preptool snapshot FILE\n"
    "       preptool pending on|off [PID|IMAGE]   (default image " PREPTOOL_LAUNCHER_IMAGE ")\n"
    "       preptool install-checks|translated-names|refuse-grant on|off [PID|IMAGE]\n"
    "       preptool class-acl readonly|restore\n"
    "       preptool lock-key PATH | unlock-key PATH\n"
    "       preptool add-key PATH | delete-key PATH | set-value PATH NAME TEXT\n"
    "PATH is below HKEY_LOCAL_MACHINE.\n";
const char kMachine[] = "HKLM\\";
const char kInfFolder[] = "%windir%\\inf\\";
const DWORD kRemoteWaitMs = 10000;
const DWORD kValueMax = 65536;
const SECURITY_INFORMATION kShownSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

int Fail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("preptool: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return PREPTOOL_EXIT_FAILED;
}

int Usage(const char *what)
{
    fprintf(stderr, "preptool: %s\n%s", what, kUsage);
    return PREPTOOL_EXIT_USAGE;
}

// ---- snapshot -----------------------------------------------------------------

std::string Quoted(const char *text, size_t length)
{
    std::string out = "\"";
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char hex[8];
        if (c < 0x20 || c >= 0x7F || c == '"') {
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Value data as text: strings quoted (a multi-string as its parts), numbers
// in hex, anything else as hex bytes.
std::string DataText(DWORD type, const BYTE *data, DWORD size)
{
    const char *text = reinterpret_cast<const char *>(data);
    char num[32];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return std::string(type == REG_SZ ? "REG_SZ " : "REG_EXPAND_SZ ") + Quoted(text, strnlen(text, size));
    case REG_MULTI_SZ: {
        std::string out = "REG_MULTI_SZ";
        for (DWORD at = 0; at < size && text[at];) {
            size_t n = strnlen(text + at, size - at);
            out += " " + Quoted(text + at, n);
            at += static_cast<DWORD>(n) + 1;
        }
        return out;
    }
    case REG_DWORD:
        if (size == sizeof(DWORD)) {
            snprintf(num, sizeof(num), "REG_DWORD 0x%08lX", *reinterpret_cast<const DWORD *>(data));
            return num;
        }
        break;
    }
    snprintf(num, sizeof(num), "type %lu,", type);
    std::string out = num;
    for (DWORD i = 0; i < size; i++) {
        snprintf(num, sizeof(num), " %02X", data[i]);
        out += num;
    }
    return out;
}

void ListValues(HKEY key, const std::string &path, Lines *out)
{
    std::vector<BYTE> data(kValueMax);
    char name[VC_REG_KEY_NAME_MAX * 2];
    for (DWORD i = 0;; i++) {
        DWORD name_size = sizeof(name), data_size = kValueMax, type = 0;
        LONG rc = RegEnumValueA(key, i, name, &name_size, NULL, &type, data.data(), &data_size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            out->push_back(path + " : value " + std::to_string(i) + " unreadable (error " + std::to_string(rc) + ")");
            continue;
        }
        std::string shown = name_size ? Quoted(name, name_size) : "@";
        out->push_back(path + " : " + shown + " = " + DataText(type, data.data(), data_size));
    }
}

// The key, its values and everything below it.
void ListTree(HKEY parent, const char *name, const std::string &path, Lines *out)
{
    HKEY key;
    LONG rc = RegOpenKeyExA(parent, name, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        out->push_back(path + (rc == ERROR_FILE_NOT_FOUND ? " (missing)" : " (unreadable, error " +
                                                                               std::to_string(rc) + ")"));
        return;
    }
    out->push_back(path);
    ListValues(key, path, out);
    char sub[VC_REG_KEY_NAME_MAX];
    for (DWORD i = 0;; i++) {
        DWORD n = sizeof(sub);
        if (RegEnumKeyExA(key, i, sub, &n, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
        ListTree(key, sub, path + "\\" + sub, out);
    }
    RegCloseKey(key);
}

void ListSecurity(const char *path, Lines *out)
{
    HKEY key;
    char text[PREPTOOL_SDDL_MAX];
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key);
    if (rc == ERROR_SUCCESS) {
        rc = VcRegGetSecurity(key, kShownSecurity, text, sizeof(text));
        RegCloseKey(key);
    }
    std::string shown = rc == ERROR_SUCCESS ? text : "unreadable (error " + std::to_string(rc) + ")";
    out->push_back(kMachine + std::string(path) + " :: security " + shown);
}

void ListInfFolder(Lines *out)
{
    char pattern[MAX_PATH];
    UINT n = GetWindowsDirectoryA(pattern, sizeof(pattern));
    if (n == 0 || n + sizeof("\\inf\\*") > sizeof(pattern)) return;
    strcat(pattern, "\\inf\\*");
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        ULONGLONG size = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        out->push_back(kInfFolder + std::string(found.cFileName) + " : " + std::to_string(size) + " bytes");
    } while (FindNextFileA(h, &found));
    FindClose(h);
}

int Snapshot(const char *file)
{
    Lines lines;
    for (const char *root : {VC_REG_ENUM_USB, VC_REG_MEDIA_CLASS}) {
        ListTree(HKEY_LOCAL_MACHINE, root, kMachine + std::string(root), &lines);
        ListSecurity(root, &lines);
    }
    ListInfFolder(&lines);
    std::sort(lines.begin(), lines.end());
    FILE *f = fopen(file, "w");
    if (!f) return Fail("cannot write %s", file);
    for (const std::string &line : lines) fprintf(f, "%s\n", line.c_str());
    if (fclose(f) != 0) return Fail("cannot write %s", file);
    printf("preptool: %zu lines in %s\n", lines.size(), file);
    return PREPTOOL_EXIT_OK;
}

// ---- answers inside a running process ----------------------------------------------

bool FindRemoteModule(DWORD pid, const char *name, BYTE **base)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snap == INVALID_HANDLE_VALUE) return false;
    MODULEENTRY32 me;
    me.dwSize = sizeof(me);
    bool found = false;
    for (BOOL more = Module32First(snap, &me); more && !found; more = Module32Next(snap, &me)) {
        if (lstrcmpiA(me.szModule, name) == 0) {
            *base = me.modBaseAddr;
            found = true;
        }
    }
    CloseHandle(snap);
    return found;
}

// Runs start(param) on a new thread of the process; its exit code in result.
bool RunRemote(HANDLE process, void *start, void *param, DWORD *result)
{
    HANDLE thread =
        CreateRemoteThread(process, NULL, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(start), param, 0, NULL);
    if (!thread) return false;
    bool ok = WaitForSingleObject(thread, kRemoteWaitMs) == WAIT_OBJECT_0 && GetExitCodeThread(thread, result);
    CloseHandle(thread);
    return ok;
}

// Address in the other process of an export of a module loaded in both.
void *RemoteExport(BYTE *remote_base, HMODULE local, const char *name)
{
    FARPROC f = GetProcAddress(local, name);
    return f ? remote_base + (reinterpret_cast<BYTE *>(f) - reinterpret_cast<BYTE *>(local)) : NULL;
}

bool LoadHook(DWORD pid, HANDLE process, const char *path, BYTE **hook)
{
    if (FindRemoteModule(pid, PREPHOOK_DLL, hook)) return true;
    BYTE *kernel = NULL;
    if (!FindRemoteModule(pid, "kernel32.dll", &kernel)) return false;
    void *load = RemoteExport(kernel, GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    size_t size = strlen(path) + 1;
    void *remote_path = VirtualAllocEx(process, NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!load || !remote_path) return false;
    DWORD loaded = 0;
    bool ok = WriteProcessMemory(process, remote_path, path, size, NULL) && RunRemote(process, load, remote_path, &loaded);
    VirtualFreeEx(process, remote_path, 0, MEM_RELEASE);
    return ok && loaded && FindRemoteModule(pid, PREPHOOK_DLL, hook);
}

// Processes with the image name, or the one whose number is given.
std::vector<DWORD> FindTargets(const char *target)
{
    std::vector<DWORD> pids;
    char *end = NULL;
    unsigned long pid = strtoul(target, &end, 10);
    if (*target && !*end) {
        pids.push_back(pid);
        return pids;
    }
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return pids;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof(pe);
    for (BOOL more = Process32First(snap, &pe); more; more = Process32Next(snap, &pe))
        if (lstrcmpiA(pe.szExeFile, target) == 0) pids.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return pids;
}

// One of the hook's switches in one process: PREPHOOK_DONE or a failure.
int SwitchIn(DWORD pid, const char *hook_export, bool on, const char *hook_path, HMODULE local_hook)
{
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!process) return Fail("cannot open process %lu (error %lu)", pid, GetLastError());
    BYTE *hook = NULL;
    DWORD result = 0;
    bool loaded = LoadHook(pid, process, hook_path, &hook);
    void *start = loaded ? RemoteExport(hook, local_hook, hook_export) : NULL;
    bool ran = start && RunRemote(process, start, reinterpret_cast<void *>(static_cast<ULONG_PTR>(on)), &result);
    CloseHandle(process);
    if (!loaded) return Fail("cannot load %s into process %lu", PREPHOOK_DLL, pid);
    if (!ran) return Fail("%s did not run in process %lu", hook_export, pid);
    switch (result) {
    case PREPHOOK_DONE: return PREPTOOL_EXIT_OK;
    case PREPHOOK_NO_SETUPAPI: return Fail("process %lu has not loaded %s", pid, PREPHOOK_TARGET_DLL);
    case PREPHOOK_NO_IMPORT: return Fail("process %lu has no function for %s", pid, hook_export);
    default: return Fail("%s failed in process %lu (%lu)", hook_export, pid, result);
    }
}

struct HookSwitch {
    const char *command;
    const char *hook_export;
    const char *on_text;
    const char *off_text;
};

const HookSwitch kSwitches[] = {
    {"pending", PREPHOOK_SET_PENDING, "installation events pending", "installation events not pending"},
    {"install-checks", PREPHOOK_CHECK_INSTALL, "driver installation checked as on Windows",
     "driver installation unchecked"},
    {"translated-names", PREPHOOK_TRANSLATE_NAMES, "account names translated", "account names as Wine's"},
    {"refuse-grant", PREPHOOK_REFUSE_GRANT, "next access list change refused", "access list changes as Wine's"},
};

const HookSwitch *FindSwitch(const char *command)
{
    for (const HookSwitch &s : kSwitches)
        if (!strcmp(s.command, command)) return &s;
    return NULL;
}

// One of the hook's switches, on or off, in every target process.
int Switch(const HookSwitch *what, const char *state, const char *target)
{
    bool on = !strcmp(state, "on");
    if (!on && strcmp(state, "off")) return Usage("on or off");
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof(path));
    char *slash = strrchr(path, '\\');
    if (!n || n >= sizeof(path) || !slash || (slash - path) + sizeof(PREPHOOK_DLL) + 1 > sizeof(path))
        return Fail("cannot tell this program's folder");
    strcpy(slash + 1, PREPHOOK_DLL);
    HMODULE local = LoadLibraryA(path);
    if (!local) return Fail("cannot load %s (error %lu)", path, GetLastError());
    std::vector<DWORD> pids = FindTargets(target);
    if (pids.empty()) return Fail("no process %s is running", target);
    int rc = PREPTOOL_EXIT_OK;
    for (DWORD pid : pids) {
        if (SwitchIn(pid, what->hook_export, on, path, local) != PREPTOOL_EXIT_OK)
            rc = PREPTOOL_EXIT_FAILED;
        else
            printf("preptool: process %lu: %s\n", pid, on ? what->on_text : what->off_text);
    }
    return rc;
}

// ---- access lists ---------------------------------------------------------------

int SetKeySecurity(HKEY parent, const char *path, SECURITY_INFORMATION what, const char *text)
{
    HKEY key;
    LONG rc = RegOpenKeyExA(parent, path, 0, WRITE_DAC | WRITE_OWNER, &key);
    if (rc == ERROR_SUCCESS) {
        rc = VcRegSetSecurity(key, what, text);
        RegCloseKey(key);
    }
    return rc == ERROR_SUCCESS ? PREPTOOL_EXIT_OK : Fail("cannot change the access list of %s (error %ld)", path, rc);
}

// The media class key's list is kept in the bus's service key while it is
// read-only; a second readonly keeps the first list.
int ClassReadOnly()
{
    char saved[PREPTOOL_SDDL_MAX];
    if (!VcGetString(VCBUS_SERVICE, PREPTOOL_VALUE_SAVED_ACL, saved, sizeof(saved))) {
        HKEY key;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, VC_REG_MEDIA_CLASS, 0, READ_CONTROL, &key);
        if (rc == ERROR_SUCCESS) {
            rc = VcRegGetSecurity(key, DACL_SECURITY_INFORMATION, saved, sizeof(saved));
            RegCloseKey(key);
        }
        if (rc != ERROR_SUCCESS) return Fail("cannot read the media class key's access list (error %ld)", rc);
        if (!VcSetString(VCBUS_SERVICE, PREPTOOL_VALUE_SAVED_ACL, saved))
            return Fail("cannot keep the access list (is the bus installed? vcsetup install)");
    }
    int rc = SetKeySecurity(HKEY_LOCAL_MACHINE, VC_REG_MEDIA_CLASS, DACL_SECURITY_INFORMATION, VC_ACCESS_READ_ONLY);
    if (rc == PREPTOOL_EXIT_OK) printf("preptool: the media class key is read-only\n");
    return rc;
}

int ClassRestore()
{
    char saved[PREPTOOL_SDDL_MAX];
    bool have_saved = VcGetString(VCBUS_SERVICE, PREPTOOL_VALUE_SAVED_ACL, saved, sizeof(saved));
    if (have_saved) {
        int rc = SetKeySecurity(HKEY_LOCAL_MACHINE, VC_REG_MEDIA_CLASS, DACL_SECURITY_INFORMATION, saved);
        if (rc != PREPTOOL_EXIT_OK) return rc;
        VcDeleteValue(VCBUS_SERVICE, PREPTOOL_VALUE_SAVED_ACL);
    }
    printf("preptool: the media class key has its access list%s\n", have_saved ? " again" : "");
    return PREPTOOL_EXIT_OK;
}

int LockKey(const char *path)
{
    HKEY parent, lock;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_CREATE_SUB_KEY, &parent);
    if (rc != ERROR_SUCCESS) return Fail("cannot open %s (error %ld)", path, rc);
    rc = RegCreateKeyExA(parent, PREPTOOL_LOCK_KEY, 0, NULL, 0, WRITE_DAC | WRITE_OWNER, NULL, &lock, NULL);
    RegCloseKey(parent);
    if (rc != ERROR_SUCCESS) return Fail("cannot create %s below %s (error %ld)", PREPTOOL_LOCK_KEY, path, rc);
    rc = VcRegSetSecurity(lock, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, VC_ACCESS_LOCKED);
    RegCloseKey(lock);
    if (rc != ERROR_SUCCESS) return Fail("cannot lock %s (error %ld)", path, rc);
    printf("preptool: %s cannot be deleted (%s below it)\n", path, PREPTOOL_LOCK_KEY);
    return PREPTOOL_EXIT_OK;
}

int UnlockKey(const char *path)
{
    std::string lock = std::string(path) + "\\" + PREPTOOL_LOCK_KEY;
    HKEY probe;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, lock.c_str(), 0, READ_CONTROL, &probe) != ERROR_SUCCESS) {
        printf("preptool: %s was not locked\n", path);
        return PREPTOOL_EXIT_OK;
    }
    RegCloseKey(probe);
    int rc = SetKeySecurity(HKEY_LOCAL_MACHINE, lock.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            VC_ACCESS_UNLOCKED);
    if (rc != PREPTOOL_EXIT_OK) return rc;
    LONG del = RegDeleteKeyA(HKEY_LOCAL_MACHINE, lock.c_str());
    if (del != ERROR_SUCCESS) return Fail("cannot remove %s (error %ld)", lock.c_str(), del);
    printf("preptool: %s can be deleted again\n", path);
    return PREPTOOL_EXIT_OK;
}

// ---- keys and values --------------------------------------------------------------

int AddKey(const char *path, const char *name, const char *text)
{
    HKEY key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS) return Fail("cannot create %s (error %ld)", path, rc);
    if (name)
        rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                            static_cast<DWORD>(strlen(text) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? PREPTOOL_EXIT_OK : Fail("cannot write %s (error %ld)", path, rc);
}

int DeleteKey(const char *path)
{
    LONG rc = VcRegDeleteTree(HKEY_LOCAL_MACHINE, path);
    return rc == ERROR_SUCCESS ? PREPTOOL_EXIT_OK : Fail("cannot delete %s (error %ld)", path, rc);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return Usage("no command");
    const char *cmd = argv[1];
    if (!strcmp(cmd, "snapshot") && argc == 3) return Snapshot(argv[2]);
    if (FindSwitch(cmd) && (argc == 3 || argc == 4))
        return Switch(FindSwitch(cmd), argv[2], argc == 4 ? argv[3] : PREPTOOL_LAUNCHER_IMAGE);
    if (!strcmp(cmd, "class-acl") && argc == 3 && !strcmp(argv[2], "readonly")) return ClassReadOnly();
    if (!strcmp(cmd, "class-acl") && argc == 3 && !strcmp(argv[2], "restore")) return ClassRestore();
    if (!strcmp(cmd, "lock-key") && argc == 3) return LockKey(argv[2]);
    if (!strcmp(cmd, "unlock-key") && argc == 3) return UnlockKey(argv[2]);
    if (!strcmp(cmd, "add-key") && argc == 3) return AddKey(argv[2], NULL, NULL);
    if (!strcmp(cmd, "set-value") && argc == 5) return AddKey(argv[2], argv[3], argv[4]);
    if (!strcmp(cmd, "delete-key") && argc == 3) return DeleteKey(argv[2]);
    return Usage("unknown command or wrong number of arguments");
}
