// vsbtool: lists, checks and assembles system files (".vsb").
//
// `info` walks a file block by block with the same header parse and checks
// as the updater's run; `build` writes a file from block definitions given on
// the command line or in a block list file. Plain stdio, so the same source
// builds for Linux and Windows.
#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "protocol.h"
#include "sysfile.h"

namespace {

enum {
    EXIT_FILE_REJECTED = 1, // the file or a data file is bad, or writing failed
    EXIT_USAGE = 2,         // bad command line or block definition
    MAX_BLOCKS = 64,
    MAX_PATH_TEXT = 1024,
    MAX_LINE = 4096,
    COPY_CHUNK = 65536,
};

const char kUsage[] =
    "usage: vsbtool info [--packet N] FILE\n"
    "       vsbtool build OUT [--blocks LISTFILE] [--block DEF]...\n"
    "       vsbtool --help\n"
    "\n"
    "info   lists every block of a system file and checks it the way the updater\n"
    "       does. Exit 0 only when the whole file would be accepted. With\n"
    "       --packet N, block offsets and lengths must also be multiples of N.\n"
    "\n"
    "build  writes OUT from one or more blocks, in order. Each block is a DEF of\n"
    "       comma-separated key=value pairs; a LISTFILE holds one DEF per line\n"
    "       ('#' starts a comment line). OUT is written under OUT.tmp and renamed\n"
    "       when complete, so a failed build leaves no partial file.\n"
    "\n"
    "Keys of a DEF (numbers are decimal or 0x hex; sizes may end in K or M):\n"
    "  name=TEXT      device name, up to 16 characters (required)\n"
    "  pid=AA[:BB[:CC]] product ID bytes in hex; missing ones are FF (required)\n"
    "  type=TEXT      type text, up to 8 characters\n"
    "  code=N         block code (0-255)\n"
    "  version=M.N    version major and minor, 0-255 each; 1.05 is minor 5\n"
    "  inquiry=N      inquiry parameter (0-255; default 0x80 = none)\n"
    "  base=N         base address\n"
    "  offset=N       block offset\n"
    "  auxbyte=N      auxiliary byte;  auxword=N  auxiliary word\n"
    "  data=FILE      block data from FILE, or\n"
    "  size=N         N bytes of generated data (one of data and size is required)\n"
    "  pattern=P      generated data: count (byte i is i mod 256, default),\n"
    "                 random (fixed pseudo-random sequence) or a byte value\n"
    "  pad=N          pad the data with padbyte to a multiple of N bytes\n"
    "  padbyte=N      padding value (default 0xFF)\n"
    "  length=N       header block length (default: the data size, padding\n"
    "                 included); a different value makes a broken file\n"
    "  magic=TEXT     header string, up to 16 characters (default\n"
    "                 \"ORLO SYSTEM FILE\"); any other makes a broken file\n"
    "\n"
    "example:\n"
    "  vsbtool build out.vsb --block name=Pallavox,type=MAIN,code=1,version=1.05,\n"
    "      pid=44:01:ff,base=0x10000,size=4M (one argument, without the break)\n";

enum Pattern { PatternCount, PatternRandom, PatternByte };

struct BlockDef {
    char name[17];
    char type[9];
    char magic[17];
    unsigned char pid[3];
    unsigned char inquiry;
    unsigned char code;
    unsigned char aux_byte;
    unsigned char major;
    unsigned char minor;
    uint32_t base;
    uint32_t aux_word;
    uint32_t offset;
    int has_length;
    uint32_t length;
    char data_path[MAX_PATH_TEXT];
    uint64_t size;      // data size before padding (from the data file or size=)
    int pattern;
    unsigned char pattern_byte;
    uint32_t pad;
    unsigned char pad_byte;
    uint32_t data_total; // size after padding
};

BlockDef g_blocks[MAX_BLOCKS];
int g_block_count;

void PrintEscaped(const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        if (*p < 0x20 || *p >= 0x7F || *p == '\\')
            printf("\\x%02X", *p);
        else
            putchar(*p);
    }
}

enum {
    NUM_SIZE = 1,    // K and M suffixes allowed
    NUM_DECIMAL = 2, // no 0x prefix
    NUM_HEX = 4,     // hex digits without prefix
};

// Decimal or 0x hex, at most max. 1 on success.
int ParseNumber(const char* text, uint64_t max, int flags, uint64_t* out)
{
    const char* p = text;
    unsigned base = (flags & NUM_HEX) ? 16 : 10;
    if (!(flags & (NUM_DECIMAL | NUM_HEX)) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!*p)
        return 0;
    uint64_t v = 0;
    for (; *p; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = (unsigned)(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            d = (unsigned)(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            d = (unsigned)(*p - 'A' + 10);
        else
            break;
        if (v > (max - d) / base)
            return 0;
        v = v * base + d;
    }
    if (*p && (flags & NUM_SIZE) && !p[1] && (*p == 'K' || *p == 'k' || *p == 'M' || *p == 'm')) {
        uint64_t mul = (*p == 'K' || *p == 'k') ? 1024 : 1024 * 1024;
        if (v > max / mul)
            return 0;
        v *= mul;
        ++p;
    }
    if (*p)
        return 0;
    *out = v;
    return 1;
}

// Reports a problem in block definition `index` (1-based) and returns 0.
__attribute__((format(printf, 2, 3))) int DefError(int index, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "vsbtool: block %d: ", index);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 0;
}

int ParseByteValue(int index, const char* key, const char* value, unsigned char* out)
{
    uint64_t v;
    if (!ParseNumber(value, 0xFF, 0, &v))
        return DefError(index, "bad number '%s' for %s (0-255)", value, key);
    *out = (unsigned char)v;
    return 1;
}

int ParseWordValue(int index, const char* key, const char* value, int flags, uint32_t* out)
{
    uint64_t v;
    if (!ParseNumber(value, 0xFFFFFFFFu, flags, &v))
        return DefError(index, "bad number '%s' for %s (0-0xFFFFFFFF)", value, key);
    *out = (uint32_t)v;
    return 1;
}

int CopyText(int index, const char* key, const char* value, char* out, size_t size)
{
    if (strlen(value) > size - 1)
        return DefError(index, "%s longer than %u characters", key, (unsigned)(size - 1));
    snprintf(out, size, "%s", value);
    return 1;
}

int ParseProductId(int index, const char* value, unsigned char pid[3])
{
    pid[0] = pid[1] = pid[2] = 0xFF;
    char text[16];
    if (strlen(value) >= sizeof(text))
        return DefError(index, "bad product ID '%s' (1 to 3 hex bytes, e.g. 44:01:ff)", value);
    snprintf(text, sizeof(text), "%s", value);
    int n = 0;
    for (char* part = text; part; ++n) {
        char* colon = strchr(part, ':');
        if (colon)
            *colon = 0;
        uint64_t v;
        if (n == 3 || strlen(part) > 2 || !ParseNumber(part, 0xFF, NUM_HEX, &v))
            return DefError(index, "bad product ID '%s' (1 to 3 hex bytes, e.g. 44:01:ff)", value);
        pid[n] = (unsigned char)v;
        part = colon ? colon + 1 : NULL;
    }
    return 1;
}

int ParseVersion(int index, const char* value, unsigned char* major, unsigned char* minor)
{
    char text[16];
    uint64_t ma, mi;
    char* dot = NULL;
    if (strlen(value) < sizeof(text)) {
        snprintf(text, sizeof(text), "%s", value);
        dot = strchr(text, '.');
    }
    if (dot)
        *dot = 0;
    // 1.05 is major 1, minor 5: both plain decimal.
    if (!dot || !ParseNumber(text, 0xFF, NUM_DECIMAL, &ma) || !ParseNumber(dot + 1, 0xFF, NUM_DECIMAL, &mi))
        return DefError(index, "bad version '%s' (MAJOR.MINOR, each 0-255, e.g. 1.05)", value);
    *major = (unsigned char)ma;
    *minor = (unsigned char)mi;
    return 1;
}

enum Key {
    KeyName, KeyPid, KeyType, KeyCode, KeyVersion, KeyInquiry, KeyBase, KeyOffset, KeyAuxByte,
    KeyAuxWord, KeyData, KeySize, KeyPattern, KeyPad, KeyPadByte, KeyLength, KeyMagic, KEY_COUNT
};

const char* const kKeyNames[KEY_COUNT] = {
    "name", "pid", "type", "code", "version", "inquiry", "base", "offset", "auxbyte",
    "auxword", "data", "size", "pattern", "pad", "padbyte", "length", "magic",
};

int ParseKeyValue(int index, BlockDef* b, int key, const char* value)
{
    uint64_t v;
    switch (key) {
    case KeyName:
        return CopyText(index, "name", value, b->name, sizeof(b->name));
    case KeyPid:
        return ParseProductId(index, value, b->pid);
    case KeyType:
        return CopyText(index, "type", value, b->type, sizeof(b->type));
    case KeyCode:
        return ParseByteValue(index, "code", value, &b->code);
    case KeyVersion:
        return ParseVersion(index, value, &b->major, &b->minor);
    case KeyInquiry:
        return ParseByteValue(index, "inquiry", value, &b->inquiry);
    case KeyBase:
        return ParseWordValue(index, "base", value, 0, &b->base);
    case KeyOffset:
        return ParseWordValue(index, "offset", value, NUM_SIZE, &b->offset);
    case KeyAuxByte:
        return ParseByteValue(index, "auxbyte", value, &b->aux_byte);
    case KeyAuxWord:
        return ParseWordValue(index, "auxword", value, 0, &b->aux_word);
    case KeyData:
        if (!*value)
            return DefError(index, "data needs a file name");
        return CopyText(index, "data file name", value, b->data_path, sizeof(b->data_path));
    case KeySize:
        if (!ParseNumber(value, 0xFFFFFFFFu, NUM_SIZE, &b->size))
            return DefError(index, "bad number '%s' for size (0-0xFFFFFFFF)", value);
        return 1;
    case KeyPattern:
        if (!strcmp(value, "count"))
            b->pattern = PatternCount;
        else if (!strcmp(value, "random"))
            b->pattern = PatternRandom;
        else if (ParseNumber(value, 0xFF, 0, &v)) {
            b->pattern = PatternByte;
            b->pattern_byte = (unsigned char)v;
        } else
            return DefError(index, "bad pattern '%s' (count, random or a byte value)", value);
        return 1;
    case KeyPad:
        if (!ParseWordValue(index, "pad", value, NUM_SIZE, &b->pad))
            return 0;
        if (b->pad == 0)
            return DefError(index, "pad must be at least 1");
        return 1;
    case KeyPadByte:
        return ParseByteValue(index, "padbyte", value, &b->pad_byte);
    case KeyLength:
        return ParseWordValue(index, "length", value, NUM_SIZE, &b->length);
    case KeyMagic:
    default:
        return CopyText(index, "magic", value, b->magic, sizeof(b->magic));
    }
}

// Parses one block definition into the next entry of g_blocks. 1 on success.
int ParseBlockDef(const char* def)
{
    int index = g_block_count + 1;
    if (g_block_count >= MAX_BLOCKS) {
        fprintf(stderr, "vsbtool: too many blocks (at most %d)\n", (int)MAX_BLOCKS);
        return 0;
    }
    BlockDef* b = &g_blocks[g_block_count];
    memset(b, 0, sizeof(*b));
    snprintf(b->magic, sizeof(b->magic), "%s", SYSFILE_MAGIC);
    b->inquiry = 0x80;
    b->pad_byte = 0xFF;
    b->pattern = PatternCount;

    int seen[KEY_COUNT] = {0};
    char item[MAX_LINE];
    for (const char* p = def; *p;) {
        size_t n = strcspn(p, ",");
        if (n >= sizeof(item))
            return DefError(index, "definition too long");
        memcpy(item, p, n);
        item[n] = 0;
        p += n + (p[n] == ',');
        char* key = item;
        while (*key == ' ' || *key == '\t')
            ++key;
        if (!*key)
            continue;
        char* eq = strchr(key, '=');
        if (!eq)
            return DefError(index, "'%s' is not key=value", key);
        *eq = 0;
        int k = 0;
        while (k < KEY_COUNT && strcmp(kKeyNames[k], key) != 0)
            ++k;
        if (k == KEY_COUNT)
            return DefError(index, "unknown key '%s'", key);
        if (seen[k])
            return DefError(index, "%s given twice", key);
        seen[k] = 1;
        if (!ParseKeyValue(index, b, k, eq + 1))
            return 0;
    }
    b->has_length = seen[KeyLength];

    if (!seen[KeyName])
        return DefError(index, "name is missing");
    if (!seen[KeyPid])
        return DefError(index, "pid is missing");
    if (seen[KeyData] == seen[KeySize])
        return DefError(index, "give either data=FILE or size=N");
    if (seen[KeyData] && seen[KeyPattern])
        return DefError(index, "pattern goes with size=N, not with data=FILE");
    ++g_block_count;
    return 1;
}

int ReadBlockList(const char* path)
{
    FILE* f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "vsbtool: cannot open block list '%s': %s\n", path, strerror(errno));
        return 0;
    }
    char line[MAX_LINE + 2];
    int line_no = 0;
    int ok = 1;
    while (ok && fgets(line, sizeof(line), f)) {
        ++line_no;
        size_t n = strlen(line);
        if (n > MAX_LINE) {
            fprintf(stderr, "vsbtool: %s:%d: line too long\n", path, line_no);
            ok = 0;
            break;
        }
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r' || line[n - 1] == ' ' || line[n - 1] == '\t'))
            line[--n] = 0;
        const char* p = line;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p || *p == '#')
            continue;
        if (!ParseBlockDef(p)) {
            fprintf(stderr, "vsbtool: (in %s, line %d)\n", path, line_no);
            ok = 0;
        }
    }
    if (ok && ferror(f)) {
        fprintf(stderr, "vsbtool: cannot read block list '%s'\n", path);
        ok = 0;
    }
    fclose(f);
    return ok;
}

// Counts the bytes of an open file by reading it through (ftell's long is
// 32 bits on Windows), then goes back to its start.
int CountBytes(FILE* f, uint64_t* size)
{
    static unsigned char buf[COPY_CHUNK];
    uint64_t total = 0;
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        total += n;
    if (ferror(f) || fseek(f, 0, SEEK_SET) != 0)
        return 0;
    *size = total;
    return 1;
}

int MeasureDataFile(const char* path, uint64_t* size)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "vsbtool: cannot open data file '%s': %s\n", path, strerror(errno));
        return 0;
    }
    int ok = CountBytes(f, size);
    fclose(f);
    if (!ok) {
        fprintf(stderr, "vsbtool: cannot read data file '%s'\n", path);
        return 0;
    }
    return 1;
}

// Sizes every block's data, padding included. 1 when all fit the header.
int SizeBlocks()
{
    for (int i = 0; i < g_block_count; ++i) {
        BlockDef* b = &g_blocks[i];
        if (b->data_path[0] && !MeasureDataFile(b->data_path, &b->size))
            return 0;
        uint64_t total = b->size;
        if (b->pad > 1 && total % b->pad)
            total += b->pad - total % b->pad;
        if (total > 0xFFFFFFFFu) {
            fprintf(stderr, "vsbtool: block %d: data of %" PRIu64 " bytes does not fit a block (at most 0xFFFFFFFF)\n",
                    i + 1, total);
            return 0;
        }
        b->data_total = (uint32_t)total;
    }
    return 1;
}

void MakeHeader(const BlockDef* b, unsigned char* h)
{
    memset(h, 0, SYSFILE_HEADER_SIZE);
    memcpy(h + HDR_MAGIC, b->magic, strlen(b->magic));
    memcpy(h + HDR_DEVICE_NAME, b->name, strlen(b->name));
    memcpy(h + HDR_TYPE, b->type, strlen(b->type));
    h[HDR_AUX_BYTE] = b->aux_byte;
    h[HDR_BLOCK_CODE] = b->code;
    h[HDR_VERSION_MAJOR] = b->major;
    h[HDR_VERSION_MINOR] = b->minor;
    memcpy(h + HDR_PRODUCT_ID, b->pid, 3);
    h[HDR_INQUIRY_PARAM] = b->inquiry;
    WriteLe32(h + HDR_BASE_ADDRESS, b->base);
    WriteLe32(h + HDR_AUX_WORD, b->aux_word);
    WriteLe32(h + HDR_BLOCK_OFFSET, b->offset);
    WriteLe32(h + HDR_BLOCK_LENGTH, b->has_length ? b->length : b->data_total);
}

int WriteAll(FILE* out, const unsigned char* p, size_t n, const char* tmp)
{
    if (n && fwrite(p, 1, n, out) != n) {
        fprintf(stderr, "vsbtool: cannot write '%s': %s\n", tmp, strerror(errno));
        return 0;
    }
    return 1;
}

// Writes one block: header, data, padding.
int WriteBlock(FILE* out, const BlockDef* b, int index, const char* tmp)
{
    static unsigned char buf[COPY_CHUNK];
    MakeHeader(b, buf);
    if (!WriteAll(out, buf, SYSFILE_HEADER_SIZE, tmp))
        return 0;

    uint64_t done = 0;
    if (b->data_path[0]) {
        FILE* in = fopen(b->data_path, "rb");
        if (!in) {
            fprintf(stderr, "vsbtool: cannot open data file '%s': %s\n", b->data_path, strerror(errno));
            return 0;
        }
        size_t n;
        int ok = 1;
        while (ok && (n = fread(buf, 1, sizeof(buf), in)) > 0) {
            done += n;
            ok = done <= b->size && WriteAll(out, buf, n, tmp);
        }
        if (ok && (ferror(in) || done != b->size)) {
            fprintf(stderr, "vsbtool: data file '%s' changed or could not be read while building\n", b->data_path);
            ok = 0;
        }
        fclose(in);
        if (!ok)
            return 0;
    } else {
        uint32_t state = 0x2545F491u ^ (uint32_t)index; // fixed per block, so builds repeat
        while (done < b->size) {
            size_t n = (size_t)(b->size - done < sizeof(buf) ? b->size - done : sizeof(buf));
            for (size_t i = 0; i < n; ++i) {
                if (b->pattern == PatternCount) {
                    buf[i] = (unsigned char)(done + i);
                } else if (b->pattern == PatternRandom) {
                    state ^= state << 13;
                    state ^= state >> 17;
                    state ^= state << 5;
                    buf[i] = (unsigned char)(state >> 24);
                } else {
                    buf[i] = b->pattern_byte;
                }
            }
            if (!WriteAll(out, buf, n, tmp))
                return 0;
            done += n;
        }
    }

    memset(buf, b->pad_byte, sizeof(buf));
    while (done < b->data_total) {
        size_t n = (size_t)(b->data_total - done < sizeof(buf) ? b->data_total - done : sizeof(buf));
        if (!WriteAll(out, buf, n, tmp))
            return 0;
        done += n;
    }
    return 1;
}

int CommandBuild(int argc, char** argv)
{
    if (argc < 1 || argv[0][0] == '-') {
        fprintf(stderr, "vsbtool: build needs an output file name first\n%s", kUsage);
        return EXIT_USAGE;
    }
    const char* out_path = argv[0];
    for (int i = 1; i < argc; ++i) {
        const char* opt = argv[i];
        if (!strcmp(opt, "--block") || !strcmp(opt, "--blocks")) {
            if (i + 1 >= argc) {
                fprintf(stderr, "vsbtool: %s needs a value\n", opt);
                return EXIT_USAGE;
            }
            const char* value = argv[++i];
            int ok = !strcmp(opt, "--block") ? ParseBlockDef(value) : ReadBlockList(value);
            if (!ok)
                return EXIT_USAGE;
        } else {
            fprintf(stderr, "vsbtool: unknown build option '%s'\n", opt);
            return EXIT_USAGE;
        }
    }
    if (g_block_count == 0) {
        fprintf(stderr, "vsbtool: build needs at least one --block or --blocks\n");
        return EXIT_USAGE;
    }
    if (!SizeBlocks())
        return EXIT_FILE_REJECTED;

    char tmp[MAX_PATH_TEXT + 8];
    if (strlen(out_path) >= MAX_PATH_TEXT) {
        fprintf(stderr, "vsbtool: output file name too long\n");
        return EXIT_USAGE;
    }
    snprintf(tmp, sizeof(tmp), "%s.tmp", out_path);
    FILE* out = fopen(tmp, "wb");
    if (!out) {
        fprintf(stderr, "vsbtool: cannot create '%s': %s\n", tmp, strerror(errno));
        return EXIT_FILE_REJECTED;
    }
    int ok = 1;
    for (int i = 0; ok && i < g_block_count; ++i)
        ok = WriteBlock(out, &g_blocks[i], i + 1, tmp);
    if (fclose(out) != 0 && ok) {
        fprintf(stderr, "vsbtool: cannot write '%s': %s\n", tmp, strerror(errno));
        ok = 0;
    }
    // Windows' rename does not replace an existing file.
    if (ok && rename(tmp, out_path) != 0 && (remove(out_path) != 0 || rename(tmp, out_path) != 0)) {
        fprintf(stderr, "vsbtool: cannot rename '%s' to '%s': %s\n", tmp, out_path, strerror(errno));
        ok = 0;
    }
    if (!ok) {
        remove(tmp);
        return EXIT_FILE_REJECTED;
    }
    uint64_t total = 0;
    for (int i = 0; i < g_block_count; ++i)
        total += SYSFILE_HEADER_SIZE + (uint64_t)g_blocks[i].data_total;
    printf("%s: %d block%s, %" PRIu64 " bytes\n", out_path, g_block_count, g_block_count == 1 ? "" : "s", total);
    return 0;
}

void PrintBlock(const FileInfo* fi)
{
    char version[16];
    FormatVersion(version, sizeof(version), fi->version_major, fi->version_minor);
    printf("  device name   : ");
    PrintEscaped(fi->device_name);
    printf("\n  product ID    : %02X %02X %02X (%d on the wire)\n", fi->product_id[0], fi->product_id[1],
           fi->product_id[2], ProductIdLength(fi->product_id));
    printf("  type          : ");
    PrintEscaped(fi->type_name);
    printf("\n  block code    : 0x%02X\n", fi->block_code);
    printf("  version       : %s\n", version);
    printf("  inquiry param : 0x%02X%s\n", fi->inquiry_param, fi->inquiry_param >= 0x80 ? " (none sent)" : "");
    printf("  base address  : 0x%08" PRIX32 "\n", fi->base_address);
    printf("  block offset  : 0x%08" PRIX32 "\n", fi->block_offset);
    printf("  block length  : %" PRIu32 " (0x%08" PRIX32 ")\n", fi->block_length, fi->block_length);
    printf("  aux byte      : 0x%02X\n", fi->aux_byte);
    printf("  aux word      : 0x%08" PRIX32 "\n", fi->aux_word);
}

// Moves forward by n bytes; fseek takes a long, which is 32 bits on Windows.
int SkipForward(FILE* f, uint64_t n)
{
    while (n > 0) {
        long step = n > 0x40000000u ? 0x40000000L : (long)n;
        if (fseek(f, step, SEEK_CUR) != 0)
            return 0;
        n -= (uint64_t)step;
    }
    return 1;
}

int CommandInfo(int argc, char** argv)
{
    const char* path = NULL;
    uint32_t packet = 0;
    for (int i = 0; i < argc; ++i) {
        if (!strcmp(argv[i], "--packet")) {
            uint64_t v;
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], 0xFFFFFFFFu, NUM_SIZE, &v) || v == 0) {
                fprintf(stderr, "vsbtool: --packet needs a packet size of at least 1\n");
                return EXIT_USAGE;
            }
            packet = (uint32_t)v;
            ++i;
        } else if (argv[i][0] == '-' && argv[i][1]) {
            fprintf(stderr, "vsbtool: unknown info option '%s'\n", argv[i]);
            return EXIT_USAGE;
        } else if (path) {
            fprintf(stderr, "vsbtool: info takes one file\n");
            return EXIT_USAGE;
        } else {
            path = argv[i];
        }
    }
    if (!path) {
        fprintf(stderr, "vsbtool: info needs a file\n%s", kUsage);
        return EXIT_USAGE;
    }

    uint64_t size;
    FILE* f = fopen(path, "rb");
    if (!f || !CountBytes(f, &size)) {
        if (f)
            fclose(f);
        printf("%s: %s\n", path, MSG_FILE_OPEN_ERROR);
        return EXIT_FILE_REJECTED;
    }
    printf("%s: %" PRIu64 " bytes\n", path, size);

    // The updater's run: a header at the current position, its data, and the
    // next header right behind, until the file ends exactly behind a block.
    uint64_t pos = 0;
    int count = 0;
    const char* failure = NULL;
    char err[ERROR_TEXT_SIZE] = "";
    while (!failure) {
        ++count;
        printf("block %d at 0x%08" PRIX64 ":\n", count, pos);
        unsigned char header[SYSFILE_HEADER_SIZE];
        size_t got = fread(header, 1, sizeof(header), f);
        FileInfo fi;
        if (!ParseSystemFileHeader(header, got, &fi, err)) {
            failure = err;
            break;
        }
        pos += SYSFILE_HEADER_SIZE;
        if (!CheckBlockLength(&fi, size - pos, err)) {
            PrintBlock(&fi);
            failure = err;
            break;
        }
        PrintBlock(&fi);
        printf("  last block    : %s\n", fi.is_last_block ? "yes" : "no");
        if (packet && (fi.block_offset % packet || fi.block_length % packet))
            failure = "Error - Packet size is not correct.";
        else if (!SkipForward(f, fi.block_length))
            failure = "Error - cannot seek in the file.";
        pos += fi.block_length;
        if (pos == size)
            break;
    }
    fclose(f);
    if (failure) {
        printf("  %s\n", failure);
        printf("%s: rejected at block %d\n", path, count);
        return EXIT_FILE_REJECTED;
    }
    printf("%s: OK, %d block%s\n", path, count, count == 1 ? "" : "s");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fputs(kUsage, stderr);
        return EXIT_USAGE;
    }
    const char* cmd = argv[1];
    if (!strcmp(cmd, "--help") || !strcmp(cmd, "-h") || !strcmp(cmd, "help")) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (!strcmp(cmd, "info"))
        return CommandInfo(argc - 2, argv + 2);
    if (!strcmp(cmd, "build"))
        return CommandBuild(argc - 2, argv + 2);
    fprintf(stderr, "vsbtool: unknown command '%s' (try vsbtool --help)\n", cmd);
    return EXIT_USAGE;
}
