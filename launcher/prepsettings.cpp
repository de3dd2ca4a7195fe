// The settings file beside the launcher and the models of the driver's INF
// file, read through the profile functions.
#include "launcher.h"

namespace {

const char SECTION_DRIVER[] = "Driver";
const char KEY_INF[] = "Inf";
const char SECTION_APPLICATION[] = "Application";
const char KEY_EXE[] = "exe";
const char KEY_OPTION[] = "Option";
const char SECTION_MANUFACTURER[] = "Manufacturer";

#ifdef _WIN64
// The 64-bit edition reads the settings of the launcher it stands beside.
const char EDITION_SUFFIX[] = "64";
#else
const char* const EDITION_SUFFIX = NULL;
#endif

char SectionBuffer[PREP_SECTION_SIZE];
DWORD SectionFilled;

// Reads one value; 0 when it is missing or empty.
DWORD ReadValue(const char* section, const char* key, char* out, DWORD size, const char* file)
{
    return GetPrivateProfileStringA(section, key, NULL, out, size, file);
}

int ReadPathValue(const char* section, const char* key, const char* folder, const char* file, char* out)
{
    char value[PREP_VALUE_SIZE] = "";
    if (!ReadValue(section, key, value, sizeof(value), file))
        return 0;
    return PrepFullPath(folder, value, out, PREP_PATH_SIZE);
}

int FindModelsSection(char* name)
{
    char line[PREP_LINE_SIZE];
    for (int n = 0; GetSectionLine(n, line); ++n) {
        if (PrepModelsSectionName(line, name, PREP_SECTION_NAME_SIZE))
            return name[0] != 0;
    }
    return 0;
}

int ReadSection(const char* file, const char* section)
{
    SectionFilled = GetPrivateProfileSectionA(section, SectionBuffer, sizeof(SectionBuffer), file);
    return SectionFilled != 0;
}

// Reads the models section of an INF file into the section buffer.
int ReadModelsSection(const char* inf_path)
{
    char models[PREP_SECTION_NAME_SIZE];
    if (!ReadSection(inf_path, SECTION_MANUFACTURER) || !FindModelsSection(models))
        return 0;
    return ReadSection(inf_path, models);
}

}  // namespace

LauncherSettings Settings;
char InfModels[PREP_MAX_MODELS][PREP_HWID_SIZE];
int InfModelCount;

BOOL GetSectionLine(int n, char* line)
{
    return PrepSectionLine(SectionBuffer, SectionFilled, n, line, PREP_LINE_SIZE);
}

int ReadLauncherSettings()
{
    char own[PREP_PATH_SIZE], folder[PREP_PATH_SIZE], ini[PREP_PATH_SIZE];
    if (!LauncherOwnPath(own) || !PrepFolderOf(own, LauncherLeadByte, folder, sizeof(folder)) ||
        !PrepSettingsPath(own, EDITION_SUFFIX, LauncherLeadByte, ini, sizeof(ini)))
        return 0;
    if (!ReadPathValue(SECTION_DRIVER, KEY_INF, folder, ini, Settings.inf_path) ||
        !ReadPathValue(SECTION_APPLICATION, KEY_EXE, folder, ini, Settings.updater_path))
        return 0;
    Settings.option[0] = 0;
    ReadValue(SECTION_APPLICATION, KEY_OPTION, Settings.option, sizeof(Settings.option), ini);

    return ReadModelsSection(Settings.inf_path);
}

int ReadInfModels()
{
    char line[PREP_LINE_SIZE];
    InfModelCount = 0;
    for (int n = 0; InfModelCount < PREP_MAX_MODELS && GetSectionLine(n, line); ++n) {
        if (PrepModelHardwareId(line, InfModels[InfModelCount], PREP_HWID_SIZE))
            ++InfModelCount;
    }
    return InfModelCount;
}

int InfListsHardwareId(const char* inf_path, const char* hardware_id)
{
    char line[PREP_LINE_SIZE], id[PREP_HWID_SIZE];
    if (!ReadModelsSection(inf_path))
        return 0;
    for (int n = 0; GetSectionLine(n, line); ++n) {
        if (PrepModelHardwareId(line, id, sizeof(id)) && PrepMatchModel(hardware_id, &id, 1) == 0)
            return 1;
    }
    return 0;
}
