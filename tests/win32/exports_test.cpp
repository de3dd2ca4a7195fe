// Calls the USB bulk device library the way another program does: panelup.exe
// loaded as a module and its eight exports looked up by name, against the
// virtual controller (plugged in, its update-mode driver installed). Built
// in both configurations: the 32-bit program loads the shipped 32-bit
// panelup.exe under WoW64, the 64-bit one its 64-bit twin.
//
//   exports_test PANELUP.EXE
//
// Prints every check that failed; exit code 0 when all held, 1 otherwise,
// 2 for a bad command line.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "protocol.h"
#include "usbbulk.h"

namespace {

const unsigned char kInquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
const unsigned char kPipeIn = 0x80;
const unsigned char kPipeOut = 0x00;
const unsigned long kBulkPacket = 64;
const unsigned short kOtherProduct = 0x1002;
const DWORD kPendingMs = 300;
const DWORD kAbortMs = 10000;
const int kInquiryReplyLength = 5;

// The exports' own declarations, calling convention included: a caller
// that disagreed with them would unbalance the stack in 32 bits.
typedef decltype(&init_cusbbulk) InitFn;
typedef decltype(&UsbOpenDevice) OpenDeviceFn;
typedef decltype(&UsbOpenDeviceVID) OpenDeviceVidFn;
typedef decltype(&UsbOpenPipe) OpenPipeFn;
typedef decltype(&UsbAbortPipe) AbortPipeFn;
typedef decltype(&UsbCheckDevice) CheckDeviceFn;
typedef decltype(&UsbCloseDevice) CloseDeviceFn;

struct Library {
    InitFn init;
    InitFn free;
    OpenDeviceFn open_device;
    OpenDeviceVidFn open_device_vid;
    OpenPipeFn open_pipe;
    AbortPipeFn abort_pipe;
    CheckDeviceFn check_device;
    CloseDeviceFn close_device;
};

int g_failures = 0;

void Check(bool ok, const char* what)
{
    if (!ok) {
        printf("FAIL: %s (last error %lu)\n", what, (unsigned long)GetLastError());
        ++g_failures;
    }
}

// Binds one import of the module, unless the loader did: a thunk that still
// equals its lookup entry names what to bind.
bool BindImport(BYTE* base, HMODULE dll, IMAGE_THUNK_DATA* lookup, IMAGE_THUNK_DATA* bound)
{
    if (bound->u1.Function != lookup->u1.AddressOfData)
        return true;
    LPCSTR name = IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)
                      ? (LPCSTR)(ULONG_PTR)IMAGE_ORDINAL(lookup->u1.Ordinal)
                      : (LPCSTR)((IMAGE_IMPORT_BY_NAME*)(base + lookup->u1.AddressOfData))->Name;
    FARPROC fn = GetProcAddress(dll, name);
    DWORD was = 0;
    if (!fn || !VirtualProtect(bound, sizeof(*bound), PAGE_READWRITE, &was))
        return false;
    bound->u1.Function = (ULONG_PTR)fn;
    VirtualProtect(bound, sizeof(*bound), was, &was);
    return true;
}

// A loader need not bind the imports of a program (.exe) loaded as a module
// (Wine's does not): what it left unbound is bound here, as by a loader.
bool BindImports(HMODULE module)
{
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); dir.Size && d->Name; ++d) {
        HMODULE dll = LoadLibraryA((const char*)(base + d->Name));
        if (!dll) {
            printf("FAIL: panelup's import %s cannot be loaded\n", (const char*)(base + d->Name));
            return false;
        }
        IMAGE_THUNK_DATA* lookup = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA* bound = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; lookup->u1.AddressOfData; ++lookup, ++bound) {
            if (!BindImport(base, dll, lookup, bound)) {
                printf("FAIL: an import of panelup from %s cannot be bound\n", (const char*)(base + d->Name));
                return false;
            }
        }
    }
    return true;
}

// Looks up one export; a missing one is a failure and leaves the slot NULL.
template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn* fn)
{
    *fn = (Fn)(void*)GetProcAddress(module, name);
    if (!*fn) {
        printf("FAIL: panelup exports no %s\n", name);
        ++g_failures;
    }
    return *fn != NULL;
}

bool BindAll(HMODULE module, Library* lib)
{
    bool ok = Bind(module, "init_cusbbulk", &lib->init);
    ok = Bind(module, "free_cusbbulk", &lib->free) && ok;
    ok = Bind(module, "UsbOpenDevice", &lib->open_device) && ok;
    ok = Bind(module, "UsbOpenDeviceVID", &lib->open_device_vid) && ok;
    ok = Bind(module, "UsbOpenPipe", &lib->open_pipe) && ok;
    ok = Bind(module, "UsbAbortPipe", &lib->abort_pipe) && ok;
    ok = Bind(module, "UsbCheckDevice", &lib->check_device) && ok;
    return Bind(module, "UsbCloseDevice", &lib->close_device) && ok;
}

// An inquiry out, its reply in: the pipes carry the protocol's bytes.
void InquiryRoundTrip(HANDLE out, HANDLE in)
{
    DWORD done = 0;
    Check(WriteFile(out, kInquiry, sizeof(kInquiry), &done, NULL) && done == sizeof(kInquiry), "inquiry written");
    unsigned char rx[RX_BUFFER_SIZE];
    memset(rx, 0, sizeof(rx));
    Check(ReadFile(in, rx, kBulkPacket, &done, NULL) && done > 0, "reply read");
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    fi.product_id[0] = kInquiry[3];
    fi.product_id[1] = 0xFF;
    fi.product_id[2] = 0xFF;
    char err[ERROR_TEXT_SIZE] = "";
    Check(CheckReply(rx, sizeof(rx), &fi, MsgInquiryReply, err) == kInquiryReplyLength, "inquiry reply");
    if (err[0])
        printf("  reply: %s\n", err);
}

struct PendingRead {
    HANDLE pipe;
    BOOL ok;
};

DWORD WINAPI ReadNothingAsked(LPVOID param)
{
    PendingRead* read = (PendingRead*)param;
    unsigned char rx[RX_BUFFER_SIZE];
    DWORD got = 0;
    read->ok = ReadFile(read->pipe, rx, kBulkPacket, &got, NULL) && got > 0;
    return 0;
}

// A read that waits for a reply nobody asked for ends when the pipe is aborted.
void AbortEndsPendingRead(const Library& lib, int slot, HANDLE in)
{
    PendingRead read = {in, TRUE};
    HANDLE thread = CreateThread(NULL, 0, ReadNothingAsked, &read, 0, NULL);
    Check(thread != NULL, "reader thread started");
    if (!thread)
        return;
    Check(WaitForSingleObject(thread, kPendingMs) == WAIT_TIMEOUT, "read pending while nothing was asked");
    Check(lib.abort_pipe(slot) != FALSE, "UsbAbortPipe");
    Check(WaitForSingleObject(thread, kAbortMs) == WAIT_OBJECT_0, "read ended by the abort");
    CloseHandle(thread);
    Check(!read.ok, "aborted read reports no data");
}

void RunLibrary(const Library& lib)
{
    lib.init();
    int slot = lib.open_device(USBBULK_UPDATE_PRODUCT_ID);
    Check(slot >= 0, "UsbOpenDevice finds the controller");
    Check(lib.open_device_vid(USBBULK_VENDOR_ID, kOtherProduct) == -1, "UsbOpenDeviceVID: no other product");
    if (slot >= 0) {
        Check(lib.check_device(slot) == 1, "UsbCheckDevice on the open slot");
        unsigned long packet = 0;
        HANDLE in = lib.open_pipe(slot, kPipeIn, &packet);
        HANDLE out = lib.open_pipe(slot, kPipeOut, NULL);
        Check(in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE, "UsbOpenPipe: bulk in and out");
        Check(packet == kBulkPacket, "UsbOpenPipe: the bulk packet size");
        Check(lib.open_pipe(USBBULK_MAX_DEVICES, kPipeIn, NULL) == INVALID_HANDLE_VALUE, "UsbOpenPipe: no slot 32");
        if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE) {
            InquiryRoundTrip(out, in);
            AbortEndsPendingRead(lib, slot, in);
            InquiryRoundTrip(out, in);
        }
        if (in != INVALID_HANDLE_VALUE)
            CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE)
            CloseHandle(out);
        lib.close_device(slot);
        Check(lib.check_device(slot) == 0, "UsbCheckDevice after UsbCloseDevice");
        Check(lib.abort_pipe(slot) == FALSE, "UsbAbortPipe after UsbCloseDevice");
    }
    lib.free();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: exports_test PANELUP.EXE\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    HMODULE module = LoadLibraryA(argv[1]);
    if (!module) {
        printf("FAIL: cannot load %s (error %lu)\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    Library lib;
    if (!BindImports(module))
        ++g_failures;
    else if (BindAll(module, &lib))
        RunLibrary(lib);
    FreeLibrary(module);
    printf("%s: %s\n", argv[1], g_failures ? "some checks failed" : "all checks passed");
    return g_failures ? 1 : 0;
}
