// Command-line paths and the forwarding of a path to a running instance.
// Pure functions; the file-system look-ups live in main.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A forwarded path travels in WM_COMMAND messages of PATH_CHUNK_BYTES bytes
// each: the low word of wParam is CMD_PATH_CHUNK, the high word the chunk's
// byte offset in the path, lParam the bytes (the first in the low byte).
enum {
    CMD_PATH_CHUNK = 211,
    FORWARD_BUFFER_SIZE = 260,
    PATH_CHUNK_BYTES = 4,
    PATH_CHUNK_OFFSET_SHIFT = 16,
};

// Tells whether a byte starts a double-byte character in the code page in use.
typedef int (*LeadBytePredicate)(unsigned char byte);

// Length of the root that is copied as it stands before the components:
// 1 for a path that begins with a backslash, 3 for "x:\...", else 0.
size_t PathRootLength(const char* path, LeadBytePredicate is_lead);

// End (index of the backslash or of the terminator) of the component that
// starts at `start`; a trail byte that looks like a backslash is skipped.
size_t PathComponentEnd(const char* path, size_t start, LeadBytePredicate is_lead);

// Number of chunks that forward a path (length / PATH_CHUNK_BYTES + 1; the last one holds
// the terminating zero), and chunk i as the WM_COMMAND wParam and lParam.
int PathChunkCount(const char* path);
void PathChunk(const char* path, int index, uint32_t* wparam, uint32_t* lparam);

// Writes one received chunk into the reassembly buffer. Returns -1 when the
// chunk lies outside the buffer (ignored), 1 when it completed the path
// (one of its bytes is zero), else 0.
int ApplyPathChunk(char* buffer, uint32_t offset, uint32_t value);
