// What the test bed does around a launcher run, seen through the calls a
// launcher makes: a controller without a driver that a present-devices
// listing shows only while it is plugged in, its restart after a driver
// install (twice, with a launcher's clean-up in between), installation events
// pending for one process, a media class key that refuses writing, a key that
// cannot be deleted, and Enum\USB's access list read back unchanged after a
// grant and restore.
//
// Needs: the bus installed and the child plugged in without a driver
// (vcsetup install BRIDGE --no-update-driver), preptool.exe, prephook.dll and
// vcupd.inf beside this program. run-prepbed-test.sh sets this up.
#include <windows.h>
#include <aclapi.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "preptool.h"
#include "vcclient.h"

namespace {

typedef DWORD(WINAPI *WaitFn)(DWORD);

const DWORD kWaitMs = 15000;
const DWORD kFirstIdsSize = 128;  // the launcher reads the hardware IDs into 128 bytes
const char kScratchInstance[] = VC_REG_CHILD_DEVICE "\\9";
const char kMediaDriverWithoutNumber[] = VC_REG_MEDIA_CLASS_GUID;

std::string OwnFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof(path));
    char *slash = n && n < sizeof(path) ? strrchr(path, '\\') : NULL;
    if (!slash) return ".";
    *slash = 0;
    return path;
}

int RunPreptool(const std::string &args)
{
    std::string cmd = "\"" + OwnFolder() + "\\preptool.exe\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return -1;
    DWORD rc = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, kWaitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &rc);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(rc);
}

std::string Snapshot()
{
    char dir[MAX_PATH], file[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    GetTempFileNameA(dir, "snp", 0, file);
    std::string text;
    if (RunPreptool(std::string("snapshot \"") + file + "\"") == PREPTOOL_EXIT_OK) {
        FILE *f = fopen(file, "rb");
        char buf[4096];
        size_t n;
        while (f && (n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
        if (f) fclose(f);
    }
    DeleteFileA(file);
    return text;
}

// A listing of present devices as the launcher makes it shows the child
// (its first hardware ID, read into the launcher's buffer size).
bool ChildListed()
{
    HDEVINFO set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof(dev);
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &dev); i++) {
        char ids[kFirstIdsSize] = {0};
        SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, NULL, reinterpret_cast<BYTE *>(ids),
                                          sizeof(ids), NULL);
        found = !strncmp(ids, VC_CHILD_HARDWARE_ID, strlen(VC_CHILD_HARDWARE_ID));
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool ChildRunsWithoutDriver()
{
    vcbus_status st;
    return VcWaitChild(VC_CHILD_PRESENT, TRUE, kWaitMs) && VcBusStatus(&st) && !st.has_function;
}

LONG OpenMediaClass(REGSAM access)
{
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, VC_REG_MEDIA_CLASS, 0, access, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc;
}

std::string SecurityText(const char *path)
{
    HKEY key;
    char text[PREPTOOL_SDDL_MAX] = "";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key) == ERROR_SUCCESS) {
        VcRegGetSecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                         text, sizeof(text));
        RegCloseKey(key);
    }
    return text;
}

// The launcher's clean-up: the OEM INF copy with its PNF, the driver key and
// the whole device key.
void RemoveDriverTraces()
{
    char driver[VC_REG_TEXT_MAX], inf[VC_REG_TEXT_MAX], windir[MAX_PATH];
    ASSERT_TRUE(VcRegGetText(VC_REG_CHILD_INSTANCE, VC_REG_VALUE_DRIVER, driver, sizeof(driver)));
    std::string key = std::string(VC_REG_CLASS_ROOT) + "\\" + driver;
    ASSERT_TRUE(VcRegGetText(key.c_str(), VC_REG_VALUE_INF_PATH, inf, sizeof(inf)));
    GetWindowsDirectoryA(windir, sizeof(windir));
    std::string file = std::string(windir) + "\\inf\\" + inf;
    EXPECT_TRUE(DeleteFileA(file.c_str()));
    EXPECT_TRUE(DeleteFileA((file.substr(0, file.rfind('.')) + ".PNF").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, VcRegDeleteTree(HKEY_LOCAL_MACHINE, key.c_str()));
    EXPECT_EQ(ERROR_SUCCESS, VcRegDeleteTree(HKEY_LOCAL_MACHINE, VC_REG_CHILD_DEVICE));
}

// The launcher's pending check: the function looked up anew in the loaded
// setupapi.dll, called with a time-out of 0.
DWORD AskPending()
{
    auto wait = reinterpret_cast<WaitFn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA(PREPHOOK_TARGET_DLL), PREPHOOK_TARGET_NAME)));
    return wait ? wait(0) : WAIT_FAILED;
}

class LauncherSupport : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ChildRunsWithoutDriver()) << "run-prepbed-test.sh: the child must run without a driver";
    }
};

TEST_F(LauncherSupport, ChildWithoutDriverIsListedOnlyWhilePluggedIn)
{
    EXPECT_EQ(ERROR_SUCCESS, OpenMediaClass(KEY_WRITE));
    EXPECT_TRUE(ChildListed());
    ASSERT_TRUE(VcUnplugAndWait(kWaitMs));
    EXPECT_FALSE(ChildListed());
    ASSERT_TRUE(VcPlugAndWait(kWaitMs));
    EXPECT_TRUE(ChildListed());
}

// A driver installed for the running child brings up its interface without
// a re-plug by the caller, also after a clean-up and a power cycle; the
// clean-up leaves the listing as it was.
TEST_F(LauncherSupport, DriverInstallRestartsTheChildEachTime)
{
    const std::string inf = OwnFolder() + "\\vcupd.inf";
    const std::string before = Snapshot();
    ASSERT_NE("", before);
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        DWORD start = GetTickCount();
        ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(NULL, VC_CHILD_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE,
                                                       NULL));
        DWORD installed = GetTickCount();
        ASSERT_TRUE(VcWaitInterface(TRUE, kWaitMs)) << "the child was not restarted with its driver";
        printf("round %d: driver install %lu ms, interface %lu ms after it\n", round, installed - start,
               GetTickCount() - installed);
        EXPECT_NE(before, Snapshot());
        RemoveDriverTraces();
        ASSERT_TRUE(VcUnplugAndWait(kWaitMs));
        ASSERT_TRUE(VcPlugAndWait(kWaitMs));
        ASSERT_TRUE(ChildRunsWithoutDriver());
        EXPECT_EQ(before, Snapshot());
    }
}

// Wine's installation succeeds without an INF file and without a device;
// with the checks switched on for this process it fails as Windows does.
TEST_F(LauncherSupport, DriverInstallFailsWithoutInfOrDeviceOnceChecked)
{
    const std::string inf = OwnFolder() + "\\vcupd.inf", missing = OwnFolder() + "\\missing.inf";
    char self[32];
    snprintf(self, sizeof(self), "%lu", GetCurrentProcessId());
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool(std::string("install-checks on ") + self));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(NULL, VC_CHILD_HARDWARE_ID, missing.c_str(), INSTALLFLAG_FORCE,
                                                    NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    ASSERT_TRUE(VcUnplugAndWait(kWaitMs));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(NULL, VC_CHILD_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), GetLastError());
    ASSERT_TRUE(VcPlugAndWait(kWaitMs));
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("install-checks off prepbed_test.exe"));
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesA(NULL, VC_CHILD_HARDWARE_ID, missing.c_str(), INSTALLFLAG_FORCE,
                                                   NULL));
    EXPECT_TRUE(ChildRunsWithoutDriver());
}

TEST_F(LauncherSupport, PendingInstallationEventsReachOneProcessOnly)
{
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), AskPending());
    char self[32];
    snprintf(self, sizeof(self), "%lu", GetCurrentProcessId());
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool(std::string("pending on ") + self));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), AskPending());
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("pending off prepbed_test.exe"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), AskPending());
    EXPECT_EQ(PREPTOOL_EXIT_FAILED, RunPreptool("pending on " PREPTOOL_LAUNCHER_IMAGE));
}

TEST_F(LauncherSupport, AccessListsRefuseWritingAndDeletionAndComeBack)
{
    const std::string class_before = SecurityText(VC_REG_MEDIA_CLASS);
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("class-acl readonly"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, OpenMediaClass(KEY_WRITE));
    EXPECT_EQ(ERROR_SUCCESS, OpenMediaClass(KEY_READ));
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("class-acl restore"));
    EXPECT_EQ(ERROR_SUCCESS, OpenMediaClass(KEY_WRITE));
    EXPECT_EQ(class_before, SecurityText(VC_REG_MEDIA_CLASS));

    // A device instance whose Driver value has no number, made undeletable.
    const std::string scratch = std::string("\"") + kScratchInstance + "\"";
    ASSERT_EQ(PREPTOOL_EXIT_OK,
              RunPreptool("set-value " + scratch + " " VC_REG_VALUE_DRIVER " " + kMediaDriverWithoutNumber));
    char driver[VC_REG_TEXT_MAX];
    EXPECT_TRUE(VcRegGetText(kScratchInstance, VC_REG_VALUE_DRIVER, driver, sizeof(driver)));
    EXPECT_STREQ(kMediaDriverWithoutNumber, driver);
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("lock-key " + scratch));
    EXPECT_EQ(ERROR_ACCESS_DENIED, VcRegDeleteTree(HKEY_LOCAL_MACHINE, kScratchInstance));
    EXPECT_TRUE(VcRegGetText(kScratchInstance, VC_REG_VALUE_DRIVER, driver, sizeof(driver)));
    ASSERT_EQ(PREPTOOL_EXIT_OK, RunPreptool("unlock-key " + scratch));
    EXPECT_EQ(ERROR_SUCCESS, VcRegDeleteTree(HKEY_LOCAL_MACHINE, kScratchInstance));

    // The launcher's grant on Enum\USB and the restore of the list it read.
    const std::string usb_before = SecurityText(VC_REG_ENUM_USB);
    HKEY usb;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, VC_REG_ENUM_USB, 0, KEY_READ | WRITE_DAC, &usb));
    PACL old_dacl = NULL, everyone = NULL;
    PSECURITY_DESCRIPTOR old_sd = NULL;
    ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(usb, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, &old_dacl,
                                             NULL, &old_sd));
    EXPLICIT_ACCESSA grant = {};
    grant.grfAccessPermissions = KEY_ALL_ACCESS;
    grant.grfAccessMode = GRANT_ACCESS;
    grant.grfInheritance = CONTAINER_INHERIT_ACE;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    grant.Trustee.ptstrName = const_cast<char *>("Everyone");
    ASSERT_EQ(ERROR_SUCCESS, SetEntriesInAclA(1, &grant, NULL, &everyone));
    const SECURITY_INFORMATION how = DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    EXPECT_EQ(ERROR_SUCCESS, SetSecurityInfo(usb, SE_REGISTRY_KEY, how, NULL, NULL, everyone, NULL));
    EXPECT_NE(usb_before, SecurityText(VC_REG_ENUM_USB));
    EXPECT_EQ(ERROR_SUCCESS, SetSecurityInfo(usb, SE_REGISTRY_KEY, how, NULL, NULL, old_dacl, NULL));
    EXPECT_EQ(usb_before, SecurityText(VC_REG_ENUM_USB));
    LocalFree(everyone);
    LocalFree(old_sd);
    RegCloseKey(usb);
}

}  // namespace
