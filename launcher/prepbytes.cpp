#include "prepbytes.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace {

const char PREP_INI_EXTENSION[] = ".INI";
const char PREP_WOW64_EXTENSION[] = "64.exe";
const char PREP_PNF_EXTENSION[] = ".PNF";
const char PREP_USB_PREFIX[] = "USB";
const size_t PREP_CLASS_GUID_LENGTH = sizeof(PREP_MEDIA_CLASS_GUID) - 1;
const int PREP_MAX_INSTANCE_DIGITS = 9;

int Fits(int written, size_t size)
{
    return written >= 0 && (size_t)written < size;
}

int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

const char* SkipBlanks(const char* p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

// Copies at most size - 1 characters of [begin, end).
void CopySpan(const char* begin, const char* end, char* out, size_t size)
{
    size_t n = (size_t)(end - begin);
    if (n > size - 1)
        n = size - 1;
    memcpy(out, begin, n);
    out[n] = 0;
}

int EqualNoCase(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i]))
            return 0;
        if (!a[i])
            return 1;
    }
    return 1;
}

// Index of the "." that starts the extension of the file name, or -1.
long ExtensionDot(const char* path, LeadBytePredicate is_lead)
{
    long name = PrepLastBackslash(path, is_lead) + 1;
    const char* dot = strrchr(path + name, '.');
    return dot ? (long)(dot - path) : -1;
}

}  // namespace

uint16_t PrepScanSwitches(const char* args, uint16_t language)
{
    for (const char* p = args; *p; ++p) {
        if (*p != '/')
            continue;
        char letter = (char)toupper((unsigned char)p[1]);
        if (!letter)
            break;
        ++p;
        if (letter == 'E') {
            language = PREP_LANG_ENGLISH;
        } else if (letter == 'J') {
            language = PREP_LANG_JAPANESE;
        } else if (letter == 'V') {
            while (isdigit((unsigned char)p[1]))
                ++p;
        }
    }
    return language;
}

long PrepLastBackslash(const char* path, LeadBytePredicate is_lead)
{
    long last = -1;
    for (long i = 0; path[i]; ++i) {
        if (is_lead((unsigned char)path[i]) && path[i + 1])
            ++i;
        else if (path[i] == '\\')
            last = i;
    }
    return last;
}

int PrepFolderOf(const char* path, LeadBytePredicate is_lead, char* out, size_t size)
{
    long slash = PrepLastBackslash(path, is_lead);
    size_t n = slash < 0 ? 0 : (size_t)slash;
    if (n >= size)
        return 0;
    memcpy(out, path, n);
    out[n] = 0;
    return 1;
}

int PrepReplaceExtension(const char* path, const char* ext, LeadBytePredicate is_lead, char* out, size_t size)
{
    long dot = ExtensionDot(path, is_lead);
    int stem = dot < 0 ? (int)strlen(path) : (int)dot;
    return Fits(snprintf(out, size, "%.*s%s", stem, path, ext), size);
}

int PrepSettingsPath(const char* own_path, const char* edition_suffix, LeadBytePredicate is_lead, char* out,
                     size_t size)
{
    long dot = ExtensionDot(own_path, is_lead);
    size_t stem = dot < 0 ? strlen(own_path) : (size_t)dot;
    size_t name = (size_t)(PrepLastBackslash(own_path, is_lead) + 1);
    size_t suffix = edition_suffix ? strlen(edition_suffix) : 0;
    if (suffix && stem - name > suffix && EqualNoCase(own_path + stem - suffix, edition_suffix, suffix))
        stem -= suffix;
    return Fits(snprintf(out, size, "%.*s%s", (int)stem, own_path, PREP_INI_EXTENSION), size);
}

int PrepFullPath(const char* folder, const char* value, char* out, size_t size)
{
    if (strchr(value, ':'))
        return Fits(snprintf(out, size, "%s", value), size);
    return Fits(snprintf(out, size, "%s\\%s", folder, value), size);
}

int PrepProgramCommandLine(const char* path, const char* args, char* out, size_t size)
{
    const char* quote = strchr(path, ' ') ? "\"" : "";
    return Fits(snprintf(out, size, "%s%s%s %s", quote, path, quote, args), size);
}

int PrepWow64EditionPath(const char* own_path, LeadBytePredicate is_lead, char* out, size_t size)
{
    return PrepReplaceExtension(own_path, PREP_WOW64_EXTENSION, is_lead, out, size);
}

int PrepWow64CommandLine(const char* own_path, const char* args, LeadBytePredicate is_lead, char* out, size_t size)
{
    char edition[PREP_WOW64_PATH_SIZE];
    if (!PrepWow64EditionPath(own_path, is_lead, edition, sizeof(edition)))
        return 0;
    return PrepProgramCommandLine(edition, args, out, size);
}

int PrepSectionLine(const char* section, size_t filled, int n, char* line, size_t size)
{
    size_t at = 0;
    for (int i = 0;; ++i) {
        if (at >= filled || !section[at])
            return 0;
        size_t end = at;
        while (end < filled && section[end])
            ++end;
        if (i == n) {
            CopySpan(section + at, section + end, line, size);
            return 1;
        }
        at = end + 1;
    }
}

int PrepModelsSectionName(const char* line, char* name, size_t size)
{
    const char* eq = strchr(line, '=');
    if (!eq)
        return 0;
    const char* begin = SkipBlanks(eq + 1);
    CopySpan(begin, begin + strlen(begin), name, size);
    return 1;
}

int PrepModelHardwareId(const char* line, char* id, size_t size)
{
    const char* p = SkipBlanks(line);
    if (*p == ';')
        return 0;
    const char* eq = strchr(p, '=');
    const char* comma = eq ? strchr(eq + 1, ',') : NULL;
    if (!comma)
        return 0;
    const char* begin = SkipBlanks(comma + 1);
    const char* end = begin + strcspn(begin, " \t\n;");
    CopySpan(begin, end, id, size);
    return 1;
}

void PrepTrimHardwareId(char* id, size_t size)
{
    id[size - 1] = 0;
    size_t len = strlen(id);
    if (len <= PREP_HWID_REV_AT || id[PREP_HWID_REV_AT] != '&')
        return;
    if (len > PREP_HWID_AFTER_REV_AT)
        memmove(id + PREP_HWID_REV_AT, id + PREP_HWID_AFTER_REV_AT, len - PREP_HWID_AFTER_REV_AT + 1);
    else
        id[PREP_HWID_REV_AT] = 0;
}

int PrepMatchModel(const char* present_id, const char (*models)[PREP_HWID_SIZE], int count)
{
    if (strncmp(present_id, PREP_USB_PREFIX, sizeof(PREP_USB_PREFIX) - 1) != 0)
        return -1;
    for (int i = 0; i < count; ++i) {
        size_t n = strlen(models[i]);
        if (strlen(present_id) == n && EqualNoCase(present_id, models[i], n))
            return i;
    }
    return -1;
}

int PrepDriverInstance(const char* driver_value, long* number)
{
    if (strlen(driver_value) < PREP_CLASS_GUID_LENGTH ||
        !EqualNoCase(driver_value, PREP_MEDIA_CLASS_GUID, PREP_CLASS_GUID_LENGTH))
        return 0;
    const char* slash = strrchr(driver_value, '\\');
    if (!slash || !slash[1] || strlen(slash + 1) > (size_t)PREP_MAX_INSTANCE_DIGITS)
        return 0;
    long n = 0;
    for (const char* p = slash + 1; *p; ++p) {
        if (!isdigit((unsigned char)*p))
            return 0;
        n = n * 10 + (*p - '0');
    }
    *number = n;
    return 1;
}

int PrepDriverKeyPath(long number, char* out, size_t size)
{
    return Fits(snprintf(out, size, "%s\\%04ld", PREP_MEDIA_CLASS_KEY, number), size);
}

int PrepSplitRegistryPath(const char* path, char* parent, size_t parent_size, char* key, size_t key_size)
{
    const char* slash = strrchr(path, '\\');
    if (!slash)
        return 0;
    size_t n = (size_t)(slash - path);
    if (n >= parent_size || strlen(slash + 1) >= key_size)
        return 0;
    memcpy(parent, path, n);
    parent[n] = 0;
    strcpy(key, slash + 1);
    return 1;
}

int PrepOemInfPaths(const char* windows_dir, const char* inf_name, char* inf, size_t inf_size, char* pnf,
                    size_t pnf_size)
{
    // The value names a file in the Inf folder; anything that could reach
    // outside it is not ours to delete.
    if (!inf_name[0] || strpbrk(inf_name, "\\/:") || !strcmp(inf_name, ".") || !strcmp(inf_name, ".."))
        return 0;
    if (!Fits(snprintf(inf, inf_size, "%s\\Inf\\%s", windows_dir, inf_name), inf_size))
        return 0;
    const char* dot = strrchr(inf, '.');
    int stem = (int)(dot && dot > strrchr(inf, '\\') ? dot - inf : (long)strlen(inf));
    return Fits(snprintf(pnf, pnf_size, "%.*s%s", stem, inf, PREP_PNF_EXTENSION), pnf_size);
}
