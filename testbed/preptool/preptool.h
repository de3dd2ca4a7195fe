// preptool and the helper it loads into a launcher process (prephook.dll):
// exit codes, names and the hook's interface. Shared with the tests.
#ifndef PREPTOOL_H
#define PREPTOOL_H

// Exit codes of preptool.exe.
#define PREPTOOL_EXIT_OK       0
#define PREPTOOL_EXIT_FAILED   1   // with a message on stderr
#define PREPTOOL_EXIT_USAGE    2

// The process `pending` looks for when no PID is given.
#define PREPTOOL_LAUNCHER_IMAGE "panelprep64.exe"

// Subkey that lock-key puts below a key: its access list refuses deletion.
#define PREPTOOL_LOCK_KEY      "TestBedLock"

// Value of the bus's service key that keeps the media class key's access
// list while class-acl has replaced it.
#define PREPTOOL_VALUE_SAVED_ACL "SavedClassAcl"

// Longest security descriptor text preptool reads or keeps.
#define PREPTOOL_SDDL_MAX      1024

// prephook.dll, beside preptool.exe, and its export, run on a thread of the
// process it was loaded into: the thread's parameter is 0 (nothing pending)
// or 1 (installation events pending); its exit code is PREPHOOK_DONE, or
// PREPHOOK_NO_SETUPAPI / PREPHOOK_PATCH_FAILED.
#define PREPHOOK_DLL           "prephook.dll"
#define PREPHOOK_SET_PENDING   "PrepHookSetPending"
#define PREPHOOK_DONE          1
#define PREPHOOK_NO_SETUPAPI   2
#define PREPHOOK_PATCH_FAILED  3

// The function the hook answers for, in setupapi.dll.
#define PREPHOOK_TARGET_DLL    "setupapi.dll"
#define PREPHOOK_TARGET_NAME   "CMP_WaitNoPendingInstallEvents"

// Second export, run the same way: with parameter 1 the program's calls of
// UpdateDriverForPlugAndPlayDevicesA (its import from newdev.dll, or the
// function as newdev.dll exports it) first make the checks Windows makes
// (the INF file exists, a present device has the hardware ID), with 0 they
// go straight to the system again. Exit code PREPHOOK_DONE, or
// PREPHOOK_NO_IMPORT when newdev.dll cannot be loaded.
#define PREPHOOK_CHECK_INSTALL "PrepHookCheckInstall"
#define PREPHOOK_NO_IMPORT     4
#define PREPHOOK_INSTALL_DLL   "newdev.dll"
#define PREPHOOK_INSTALL_NAME  "UpdateDriverForPlugAndPlayDevicesA"

// Two more, run the same way on the program's imports from advapi32.dll
// (PREPHOOK_NO_IMPORT when it has none): with parameter 1,
// PrepHookTranslateNames makes SetEntriesInAclA fail for a trustee given by
// name (ERROR_NONE_MAPPED), as on a Windows with translated account names;
// PrepHookRefuseGrant makes the next SetSecurityInfo change the key and then
// fail (ERROR_ACCESS_DENIED), as when a subkey refuses an inherited entry.
#define PREPHOOK_TRANSLATE_NAMES  "PrepHookTranslateNames"
#define PREPHOOK_REFUSE_GRANT     "PrepHookRefuseGrant"
#define PREPHOOK_SET_ENTRIES_NAME "SetEntriesInAclA"
#define PREPHOOK_SET_SECURITY_NAME "SetSecurityInfo"

// Files that prepstandin.exe and prepplant.dll leave beside themselves.
#define PREPSTANDIN_ENDED_SUFFIX ".ended"
#define PREPSTANDIN_RAN_SUFFIX   ".ran"
#define PREPPLANT_LOADED_SUFFIX  ".loaded"

#endif
