// Command-line path splitting and the forwarding of a path between instances.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "cmdline.h"

namespace {

int NoLead(unsigned char)
{
    return 0;
}

// Shift-JIS style lead bytes: a trail byte may be 0x5C, the backslash.
int SjisLead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

TEST(CommandLinePath, RootAndComponents)
{
    EXPECT_EQ(3u, PathRootLength("c:\\dir\\file.vsb", NoLead));
    EXPECT_EQ(1u, PathRootLength("\\dir\\file.vsb", NoLead));
    EXPECT_EQ(0u, PathRootLength("dir\\file.vsb", NoLead));
    EXPECT_EQ(0u, PathRootLength("c:file.vsb", NoLead)); // drive-relative: the first component is "c:file.vsb"
    EXPECT_EQ(0u, PathRootLength("", NoLead));

    const char* p = "c:\\dir\\file.vsb";
    EXPECT_EQ(6u, PathComponentEnd(p, 3, NoLead));
    EXPECT_EQ(strlen(p), PathComponentEnd(p, 7, NoLead));

    // "\x95\x5C" is one double-byte character whose trail byte is a backslash.
    const char* dbcs = "c:\\\x95\x5C" "dir\\f.vsb";
    EXPECT_EQ(8u, PathComponentEnd(dbcs, 3, SjisLead));
    EXPECT_EQ(4u, PathComponentEnd(dbcs, 3, NoLead));
    // A lead byte at the very end does not run past the terminator.
    const char* cut = "a\x95";
    EXPECT_EQ(2u, PathComponentEnd(cut, 0, SjisLead));
}

std::string Reassemble(const char* path, char* buffer)
{
    int complete = 0;
    int n = PathChunkCount(path);
    for (int i = 0; i < n; ++i) {
        uint32_t w, l;
        PathChunk(path, i, &w, &l);
        EXPECT_EQ(CMD_PATH_CHUNK, (int)(w & 0xFFFF));
        EXPECT_EQ(4u * (uint32_t)i, w >> 16);
        complete = ApplyPathChunk(buffer, w >> 16, l);
        EXPECT_EQ(i == n - 1 ? 1 : 0, complete) << i;
    }
    return complete ? std::string(buffer) : std::string("<incomplete>");
}

TEST(PathForwarding, ChunksRoundTrip)
{
    char buffer[FORWARD_BUFFER_SIZE];
    memset(buffer, 'x', sizeof(buffer));
    // 8 characters: three chunks, the last holding only the terminating zero.
    EXPECT_EQ(3, PathChunkCount("c:\\a.vsb"));
    uint32_t w, l;
    PathChunk("c:\\a.vsb", 2, &w, &l);
    EXPECT_EQ(0u, l);
    EXPECT_EQ("c:\\a.vsb", Reassemble("c:\\a.vsb", buffer));

    EXPECT_EQ(1, PathChunkCount(""));
    EXPECT_EQ("", Reassemble("", buffer));

    PathChunk("abcdefg", 1, &w, &l); // little-endian, first byte least significant
    EXPECT_EQ(0x00676665u, l);

    std::string longest(259, 'p'); // the longest path that fits the buffer
    EXPECT_EQ(longest, Reassemble(longest.c_str(), buffer));
}

TEST(PathForwarding, ChunksOutsideTheBufferAreDropped)
{
    char buffer[FORWARD_BUFFER_SIZE + 8];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(-1, ApplyPathChunk(buffer, FORWARD_BUFFER_SIZE - 3, 0));
    EXPECT_EQ(-1, ApplyPathChunk(buffer, 0xFFFC, 0));
    EXPECT_EQ(0, memcmp(buffer + FORWARD_BUFFER_SIZE - 4, "xxxxxxxxxxxx", 12));
    EXPECT_EQ(1, ApplyPathChunk(buffer, FORWARD_BUFFER_SIZE - 4, 0x00414141));
    EXPECT_EQ('x', buffer[FORWARD_BUFFER_SIZE]);
}

} // namespace
