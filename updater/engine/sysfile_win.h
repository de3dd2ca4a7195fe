// System file access through Win32 file handles.
#pragma once

#include <windows.h>

#include "sysfile.h"

// Reads and checks the block header at the file's current position. On
// success the position is left at the block's first data byte.
int ReadSystemFileHeader(HANDLE file, FileInfo* info, char* err);

// Opens the file, reads its first header and shows name and versions in the
// info area. Returns 1 and fills *info, or 0.
int ShowFileInfo(const char* path, FileInfo* info);
