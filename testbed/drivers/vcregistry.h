/*
 * Registry locations of the system around the virtual controller: where the
 * PnP manager records the child, where device installation puts its driver
 * key, and the values the test bed reads there. Paths are below
 * HKEY_LOCAL_MACHINE; kernel code puts VC_REG_NT_MACHINE in front and makes
 * them wide with L"" (L"" VC_REG_NT_MACHINE VC_REG_CHILD_INSTANCE).
 */
#ifndef VC_REGISTRY_H
#define VC_REGISTRY_H

/* Kernel name of HKEY_LOCAL_MACHINE. */
#define VC_REG_NT_MACHINE        "\\Registry\\Machine\\"

/* Device setup classes and the media class the update driver belongs to. */
#define VC_REG_CLASS_ROOT        "SYSTEM\\CurrentControlSet\\Control\\Class"
#define VC_REG_MEDIA_CLASS_GUID  "{36FC9E60-C465-11CF-8056-444553540000}"
#define VC_REG_MEDIA_CLASS       VC_REG_CLASS_ROOT "\\" VC_REG_MEDIA_CLASS_GUID
/* What Windows keeps in the media class key: its name and description. */
#define VC_REG_MEDIA_CLASS_NAME  "MEDIA"
#define VC_REG_MEDIA_CLASS_DESC  "Sound, video and game controllers"

/* The USB branch of the device records and the child's keys in it. */
#define VC_REG_ENUM_USB          "SYSTEM\\CurrentControlSet\\Enum\\USB"
#define VC_REG_CHILD_DEVICE_NAME "VID_0944&PID_1001"
#define VC_REG_CHILD_DEVICE      VC_REG_ENUM_USB "\\" VC_REG_CHILD_DEVICE_NAME
#define VC_REG_CHILD_INSTANCE    VC_REG_CHILD_DEVICE "\\1"

/* Values of a device instance key (Enum) and of its driver key (Class). */
#define VC_REG_VALUE_DRIVER      "Driver"      /* "{class guid}\nnnn" */
#define VC_REG_VALUE_SERVICE     "Service"
#define VC_REG_VALUE_CLASS       "Class"
#define VC_REG_VALUE_INF_PATH    "InfPath"     /* file name of the OEM copy in %windir%\inf */
#define VC_REG_VALUE_INF_SECTION "InfSection"  /* written last by a driver installation */

/* Longest text the test bed reads from these values, terminator included,
 * and the longest key name (the system's limit, terminator included). */
#define VC_REG_TEXT_MAX          128
#define VC_REG_KEY_NAME_MAX      256

#endif
