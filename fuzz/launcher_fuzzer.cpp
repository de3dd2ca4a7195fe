// The launcher's readers on arbitrary text: the switch scan, a profile
// section walked line by line into the models section's name and hardware
// IDs, hardware-ID trimming and matching, "Driver" values, registry and
// file paths. Every result must stay inside its buffer and be terminated.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "prepbytes.h"

namespace {

int SjisLead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void CheckTerminated(const char* buf, size_t size)
{
    if (!memchr(buf, 0, size))
        abort();
}

void WalkSection(const char* section, size_t filled)
{
    static char models[PREP_MAX_MODELS][PREP_HWID_SIZE];
    int count = 0;
    char line[PREP_LINE_SIZE], name[PREP_SECTION_NAME_SIZE];
    for (int n = 0; count < PREP_MAX_MODELS && PrepSectionLine(section, filled, n, line, sizeof(line)); ++n) {
        CheckTerminated(line, sizeof(line));
        if (PrepModelsSectionName(line, name, sizeof(name)))
            CheckTerminated(name, sizeof(name));
        if (PrepModelHardwareId(line, models[count], PREP_HWID_SIZE))
            CheckTerminated(models[count++], PREP_HWID_SIZE);
    }
    char id[PREP_HWID_SIZE];
    size_t n = filled < sizeof(id) ? filled : sizeof(id);
    memset(id, 0, sizeof(id));
    memcpy(id, section, n);
    PrepTrimHardwareId(id, sizeof(id));
    CheckTerminated(id, sizeof(id));
    if (PrepMatchModel(id, models, count) >= count)
        abort();
}

void CheckPaths(const char* text)
{
    char out[PREP_PATH_SIZE], other[PREP_PATH_SIZE];
    PrepScanSwitches(text, PREP_LANG_ENGLISH);
    if (PrepSettingsPath(text, "64", SjisLead, out, sizeof(out)))
        CheckTerminated(out, sizeof(out));
    if (PrepFolderOf(text, SjisLead, out, sizeof(out)) && strlen(out) > strlen(text))
        abort();
    if (PrepWow64CommandLine(text, text, SjisLead, out, sizeof(out)))
        CheckTerminated(out, sizeof(out));
    long number = 0;
    if (PrepDriverInstance(text, &number) && number < 0)
        abort();
    if (PrepSplitRegistryPath(text, out, sizeof(out), other, sizeof(other)) && strchr(other, '\\'))
        abort();
    char inf[PREP_REG_PATH_SIZE], pnf[PREP_REG_PATH_SIZE];
    if (PrepOemInfPaths("C:\\windows", text, inf, sizeof(inf), pnf, sizeof(pnf)) &&
        strncmp(inf, "C:\\windows\\Inf\\", 15) != 0)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that a read past the section is caught.
    char* section = static_cast<char*>(malloc(size ? size : 1));
    memcpy(section, data, size);
    WalkSection(section, size);
    free(section);

    char* text = static_cast<char*>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = 0;
    CheckPaths(text);
    free(text);
    return 0;
}
