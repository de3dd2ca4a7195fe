// The launcher's byte-level rules: its command line, the settings and INF
// lines, hardware IDs, registry paths and the command lines it starts.
// Pure functions on plain buffers; the Windows calls live in panelprep.cpp,
// prepsettings.cpp and prepdriver.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cmdline.h"  // LeadBytePredicate

enum {
    PREP_LANG_ENGLISH = 9,
    PREP_LANG_JAPANESE = 17,
    PREP_LANG_PRIMARY_MASK = 0x3FF,

    PREP_PATH_SIZE = 256,           // settings fields, own path
    PREP_VALUE_SIZE = 64,           // "Inf" and "exe" as read
    PREP_LINE_SIZE = 256,           // one line of a section
    PREP_SECTION_SIZE = 8192,       // one whole section
    PREP_SECTION_NAME_SIZE = 64,    // the models section's name
    PREP_HWID_SIZE = 128,           // one hardware ID
    PREP_MAX_MODELS = 128,
    PREP_MAX_PRESENT = 512,
    PREP_HWID_REV_AT = 21,          // "USB\VID_vvvv&PID_pppp" ends here
    PREP_HWID_AFTER_REV_AT = 30,    // what follows "&REV_rrrr"
    PREP_COMMAND_LINE_SIZE = 2 * PREP_PATH_SIZE + 2,
    PREP_WOW64_PATH_SIZE = PREP_PATH_SIZE + 8,  // own path, its extension made "64.exe"
    PREP_WOW64_COMMAND_LINE_SIZE = 32768,       // as long as any command line
    PREP_REG_PATH_SIZE = 512,
    PREP_DRIVER_VALUE_SIZE = 80,
    PREP_INF_NAME_SIZE = 64,
    PREP_WINDOWS_DIR_SIZE = 128,
    PREP_MAX_INSTANCES = 127,
    PREP_INSTANCE_NAME_SIZE = 40,   // 39 characters and the terminator
    PREP_SUBKEY_NAME_SIZE = 120,    // 119 characters and the terminator
};

// The media device setup class, as the start of a "Driver" value.
#define PREP_MEDIA_CLASS_GUID "{36FC9E60-C465-11CF-8056-444553540000}"
#define PREP_MEDIA_CLASS_KEY "SYSTEM\\CurrentControlSet\\Control\\Class\\" PREP_MEDIA_CLASS_GUID
#define PREP_USB_ENUM_KEY "SYSTEM\\CurrentControlSet\\Enum\\USB"
#define PREP_DEVICE_VID "vid_0944"
#define PREP_DEVICE_PID "pid_1001"

// Display language after the switches of the argument text: "/E" English,
// "/J" Japanese (either case, wherever a "/" stands), "/C", "/D" and "/V"
// with a number accepted without effect, any other letter ignored.
uint16_t PrepScanSwitches(const char* args, uint16_t language);

// Index of the last backslash of a path (a trail byte of a double-byte
// character is not one), or -1.
long PrepLastBackslash(const char* path, LeadBytePredicate is_lead);

// The path up to, not including, its last backslash; empty without one.
// Returns 0 when it does not fit.
int PrepFolderOf(const char* path, LeadBytePredicate is_lead, char* out, size_t size);

// The path with everything from the last "." of its file name replaced by
// `ext` (appended when the name has none). Returns 0 when it does not fit.
int PrepReplaceExtension(const char* path, const char* ext, LeadBytePredicate is_lead, char* out, size_t size);

// The settings file of a launcher: its own path with ".INI" for the
// extension. An edition suffix ("64") at the end of the file name is dropped
// first, so that every edition in a folder reads the same file.
int PrepSettingsPath(const char* own_path, const char* edition_suffix, LeadBytePredicate is_lead, char* out,
                     size_t size);

// A settings value as a full path: unchanged when it holds a ":", else
// "folder\value". Returns 0 when it does not fit.
int PrepFullPath(const char* folder, const char* value, char* out, size_t size);

// The command line of a program started by its full path: the path (in
// quotes when it holds a blank), a blank, the argument text verbatim (an
// empty one leaves a trailing blank).
int PrepProgramCommandLine(const char* path, const char* args, char* out, size_t size);

// The 64-bit edition's path (own path, "64.exe" from the last ".") and its
// command line: that path as PrepProgramCommandLine gives it, a blank, the
// launcher's own argument text.
int PrepWow64EditionPath(const char* own_path, LeadBytePredicate is_lead, char* out, size_t size);
int PrepWow64CommandLine(const char* own_path, const char* args, LeadBytePredicate is_lead, char* out, size_t size);

// Line n (from 0) of a section as the profile call returned it: lines each
// ended by a zero, the list ended by an empty line or by `filled`. Copies at
// most PREP_LINE_SIZE - 1 characters. Returns 0 when there is no line n.
int PrepSectionLine(const char* section, size_t filled, int n, char* line, size_t size);

// From a "Manufacturer" line: 1 and the models section's name (the text
// after the "=", blanks and tabs skipped) when the line holds a "=", else 0.
int PrepModelsSectionName(const char* line, char* name, size_t size);

// From a models line: 1 and its hardware ID (after the first "," behind the
// first "=", blanks and tabs skipped, up to a blank, tab, line feed, ";" or
// the end). 0 for a comment line and a line without "=" or without ",".
int PrepModelHardwareId(const char* line, char* id, size_t size);

// Removes the revision part of a USB hardware ID in place:
// USB\VID_vvvv&PID_pppp&REV_rrrr[&MI_nn] becomes USB\VID_vvvv&PID_pppp[&MI_nn].
// Only the first ID of the buffer is looked at.
void PrepTrimHardwareId(char* id, size_t size);

// Index of the first model equal to a present device's trimmed ID (case
// ignored), or -1. Only IDs that begin with "USB" (in capitals) can match.
int PrepMatchModel(const char* present_id, const char (*models)[PREP_HWID_SIZE], int count);

// The driver instance number of a "Driver" value of the media class
// ("{36FC9E60-...}\0012" gives 12). Returns 0 for another class and for a
// value without a backslash or without a plain decimal number after it.
int PrepDriverInstance(const char* driver_value, long* number);

// "media class key\nnnn" for a driver instance.
int PrepDriverKeyPath(long number, char* out, size_t size);

// Splits a registry path at its last backslash. Returns 0 without one.
int PrepSplitRegistryPath(const char* path, char* parent, size_t parent_size, char* key, size_t key_size);

// The OEM copy of an INF file in the Windows folder and its precompiled
// twin. Returns 0 for a name that is empty or not a plain file name.
int PrepOemInfPaths(const char* windows_dir, const char* inf_name, char* inf, size_t inf_size, char* pnf,
                    size_t pnf_size);
