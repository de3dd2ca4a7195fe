// System file reading through real Win32 file handles.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/testbed.h"
#include "sysfile_win.h"

namespace {

std::vector<unsigned char> Block(const char* name, unsigned char major, unsigned char minor, uint32_t length)
{
    std::vector<unsigned char> b(SYSFILE_HEADER_SIZE + length, 0);
    memcpy(b.data(), SYSFILE_MAGIC, 16);
    strncpy(reinterpret_cast<char*>(b.data()) + HDR_DEVICE_NAME, name, 16);
    b[HDR_VERSION_MAJOR] = major;
    b[HDR_VERSION_MINOR] = minor;
    WriteLe32(b.data() + HDR_BLOCK_LENGTH, length);
    for (uint32_t i = 0; i < length; ++i)
        b[SYSFILE_HEADER_SIZE + i] = (unsigned char)i;
    return b;
}

HANDLE OpenRead(const testbed::TempFile& f)
{
    return CreateFileA(f.path(), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

using testbed::TempFile;

LONGLONG Position(HANDLE h)
{
    LARGE_INTEGER zero, pos;
    zero.QuadPart = 0;
    SetFilePointerEx(h, zero, &pos, FILE_CURRENT);
    return pos.QuadPart;
}

TEST(ReadSystemFileHeader, WalksBlocksLeavingPositionAtData)
{
    std::vector<unsigned char> file = Block("First", 1, 2, 512);
    std::vector<unsigned char> second = Block("Second", 3, 4, 100);
    file.insert(file.end(), second.begin(), second.end());
    TempFile f(file);
    HANDLE h = OpenRead(f);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    FileInfo fi;
    char err[ERROR_TEXT_SIZE] = "";
    ASSERT_EQ(1, ReadSystemFileHeader(h, &fi, err)) << err;
    EXPECT_STREQ("First", fi.device_name);
    EXPECT_EQ(0, fi.is_last_block);
    EXPECT_EQ(256, Position(h));

    LARGE_INTEGER skip;
    skip.QuadPart = fi.block_length;
    SetFilePointerEx(h, skip, NULL, FILE_CURRENT);
    ASSERT_EQ(1, ReadSystemFileHeader(h, &fi, err)) << err;
    EXPECT_STREQ("Second", fi.device_name);
    EXPECT_EQ(1, fi.is_last_block);
    EXPECT_EQ(256 + 512 + 256, Position(h));

    // Nothing behind the last block: a further read is a short header.
    skip.QuadPart = fi.block_length;
    SetFilePointerEx(h, skip, NULL, FILE_CURRENT);
    EXPECT_EQ(0, ReadSystemFileHeader(h, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);
    CloseHandle(h);
}

TEST(ReadSystemFileHeader, BadFiles)
{
    FileInfo fi;
    char err[ERROR_TEXT_SIZE];

    std::vector<unsigned char> b = Block("X", 1, 0, 0);
    b.resize(255);
    TempFile short_file(b);
    HANDLE h = OpenRead(short_file);
    EXPECT_EQ(0, ReadSystemFileHeader(h, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);
    CloseHandle(h);

    TempFile empty(std::vector<unsigned char>{});
    h = OpenRead(empty);
    EXPECT_EQ(0, ReadSystemFileHeader(h, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);
    CloseHandle(h);

    b = Block("X", 1, 0, 10);
    b.pop_back();
    TempFile truncated(b);
    h = OpenRead(truncated);
    EXPECT_EQ(0, ReadSystemFileHeader(h, &fi, err));
    EXPECT_STREQ("Filesize Error(shorter than header paramter).", err);
    CloseHandle(h);

    b = Block("X", 1, 0, 0);
    memcpy(b.data(), "ORLO SYSTEM FILe", 16);
    TempFile magic(b);
    h = OpenRead(magic);
    EXPECT_EQ(0, ReadSystemFileHeader(h, &fi, err));
    EXPECT_STREQ("Error - Illegal header string.", err);
    CloseHandle(h);

    // A handle that cannot read counts as a short header, not a crash.
    EXPECT_EQ(0, ReadSystemFileHeader(INVALID_HANDLE_VALUE, &fi, err));
    EXPECT_STREQ("Error - Header lengrh is too short.", err);
}

TEST(ReadSystemFileHeader, BareHeaderIsLastBlock)
{
    TempFile f(Block("Bare", 2, 0, 0));
    HANDLE h = OpenRead(f);
    FileInfo fi;
    char err[ERROR_TEXT_SIZE];
    ASSERT_EQ(1, ReadSystemFileHeader(h, &fi, err));
    EXPECT_EQ(1, fi.is_last_block);
    EXPECT_EQ(0u, fi.block_length);
    CloseHandle(h);
}

} // namespace
