#include "kmopen.h"

#include "testbed.h"

#include <windows.h>

#include <string.h>
#include <tlhelp32.h>

#include "vcshared.h"

namespace {

typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileAFn g_real_create;

HANDLE WINAPI CheckedCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                 DWORD flags, HANDLE templ)
{
    HANDLE h = g_real_create(name, access, share, sa, disposition, flags, templ);
    if (h == INVALID_HANDLE_VALUE || !name || _strnicmp(name, "\\\\.\\ZUVAX", 9) != 0)
        return h;
    ULONG status = 0;
    DWORD got = 0;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BOOL ok = DeviceIoControl(h, IOCTL_VCKM_OPEN_RESULT, NULL, 0, &status, sizeof(status), &got,
                              (flags & FILE_FLAG_OVERLAPPED) ? &ov : NULL);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(h, &ov, &got, TRUE);
    CloseHandle(ov.hEvent);
    if (ok && got == sizeof(status) && status != 0) {
        CloseHandle(h);
        SetLastError(ERROR_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

} // namespace

int ThreadCount()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    int n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snap);
    return n;
}

void KmOpenChecksOn()
{
    void* real = testbed::SystemFunction("kernel32.dll", "CreateFileA");
    if (g_real_create || !real)
        return;
    g_real_create = (CreateFileAFn)real;
    testbed::ReplaceImport(real, (void*)CheckedCreateFileA);
}
