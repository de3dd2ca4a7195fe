// vctl: the test bed's command for the virtual controller. One program, two
// roles: the command the user and the tests run, and the daemon that holds
// the device model (started by `vctl start`, ended by `vctl stop`).
#pragma once

#include <string>
#include <vector>

// State dir: the --dir value, else $PANEL_VC_DIR, else $PANEL_WINE_DIR/vc,
// else build/wine/vc in the source tree. Always absolute.
std::string VctlStateDir(const char* option);

// vcsetup.exe to run under wine64: $PANEL_VCSETUP, else the path configured
// at build time, else next to vctl, else the usual places in the build
// trees. Empty when none exists; `tried` lists where it looked.
std::string VctlFindVcsetup(std::string* tried);

// preptool.exe: $PANEL_PREPTOOL, else the one beside vcsetup.exe.
std::string VctlFindPreptool(std::string* tried);

// A Linux path as a Windows program under wine sees it (Z:\..., absolute).
std::string VctlWindowsPath(const std::string& path);

// Starts `$WINE64 EXE args...` in a process group of its own, output to this
// process's stdout and stderr (stderr to `child_stderr` when that is not -1).
// Returns the child's pid or -1. The Vcsetup form finds vcsetup.exe first.
int VctlSpawnTool(const std::string& exe, const std::vector<std::string>& args, std::string* err,
                  int child_stderr = -1);
int VctlSpawnVcsetup(const std::vector<std::string>& args, std::string* err, int child_stderr = -1);

// Runs vcsetup.exe or preptool.exe and waits; returns its exit code (127 when
// it could not start). Both say why whenever they fail; an exit with 1 and
// not a word means that wine64 did not run the program (seen now and then),
// and it is run once more.
int VctlRunVcsetup(const std::vector<std::string>& args);
int VctlRunPreptool(const std::vector<std::string>& args);

// The daemon: serves the FIFOs and the control socket in dir until `stop`,
// a signal, the dir's disappearance or idle_seconds without activity.
// Writes "ok" to ready_fd once it serves, then closes it.
int DaemonMain(const std::string& dir, int idle_seconds, int ready_fd);

// Control socket request: words joined by NUL, prefixed by their total length
// (4 bytes little-endian). Reply: 1 byte result code, then text up to EOF.
int VctlRequest(const std::string& dir, const std::vector<std::string>& words, std::string* reply);
