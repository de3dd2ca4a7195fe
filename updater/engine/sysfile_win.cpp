#include "sysfile_win.h"

#include "statusview.h"

int ReadSystemFileHeader(HANDLE file, FileInfo* info, char* err)
{
    unsigned char header[SYSFILE_HEADER_SIZE];
    DWORD got = 0;
    if (!ReadFile(file, header, sizeof(header), &got, NULL))
        got = 0;
    if (!ParseSystemFileHeader(header, got, info, err))
        return 0;

    LARGE_INTEGER zero, here, end;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file, zero, &here, FILE_CURRENT) || !SetFilePointerEx(file, zero, &end, FILE_END)) {
        SetErrorText(err, MSG_FILESIZE_ERROR);
        return 0;
    }
    uint64_t remaining = end.QuadPart > here.QuadPart ? (uint64_t)(end.QuadPart - here.QuadPart) : 0;
    if (!CheckBlockLength(info, remaining, err))
        return 0;
    SetFilePointerEx(file, here, NULL, FILE_BEGIN);
    return 1;
}

int ShowFileInfo(const char* path, FileInfo* info)
{
    ClearInfoArea();
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        ClearLog();
        DrawInfoText(INFO_LEFT_X, INFO_ROW_FIRST, MSG_FILE_OPEN_ERROR, true, false);
        AppendLogLine(0, MSG_FILE_OPEN_ERROR);
        return 0;
    }
    AppendLogLine(0, path);

    FileInfo parsed;
    char err[ERROR_TEXT_SIZE] = "";
    int ok = ReadSystemFileHeader(file, &parsed, err);
    CloseHandle(file);
    if (!ok) {
        // The header's reason goes to the info area, so that an unusable
        // file does not leave the user with an empty window.
        DrawInfoText(INFO_LEFT_X, INFO_ROW_FIRST, err, true, false);
        AppendLogLine(LOG_NEW_LINE_BEFORE, err);
        return 0;
    }

    char version[SYSFILE_VERSION_TEXT_SIZE];
    DrawInfoText(INFO_LABEL_END, INFO_ROW_FIRST, "Name :", true, true);
    DrawInfoText(INFO_VALUE_X, INFO_ROW_FIRST, parsed.device_name, false, false);
    DrawInfoText(INFO_LABEL_END, INFO_ROW_VERSION, "Software Version :", true, true);
    DrawInfoText(INFO_LABEL_END, INFO_ROW_LATEST, "Latest Software Version :", true, true);
    FormatVersion(version, sizeof(version), parsed.version_major, parsed.version_minor);
    DrawInfoText(INFO_VALUE_X, INFO_ROW_LATEST, version, false, false);
    *info = parsed;
    return 1;
}
