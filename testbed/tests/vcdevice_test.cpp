// The virtual controller's drivers end to end, without the device model: the
// test plays the model's part on the bridge FIFOs (it reads h2d and writes
// d2h) and reaches the device only through the calls the updater makes
// (SetupAPI, CreateFileA, DeviceIoControl, ReadFile, WriteFile).
//
// Needs: the drivers installed with vcsetup.exe, bridge folder in
// VC_BRIDGE_DIR holding the FIFOs h2d and d2h, and the patched wineserver
// (pipes are opened by name below the device). run-vcdevice-test.sh sets
// this up.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // CancelIoEx, CancelSynchronousIo (tests only)
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "vcclient.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const DWORD kWaitMs = 15000;

std::string BridgeLinuxDir()
{
    const char *d = getenv("VC_BRIDGE_DIR");
    return d ? d : "";
}

std::string ToWindowsPath(const std::string &linux_path)
{
    std::string p = "Z:" + linux_path;
    for (char &c : p)
        if (c == '/') c = '\\';
    return p;
}

// One end of a bridge FIFO, opened for reading and writing (so that it never
// sees an end of file), overlapped so that a read can time out.
class Fifo {
public:
    ~Fifo() { Close(); }
    bool Open(const std::string &path)
    {
        h_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        ev_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        return h_ != INVALID_HANDLE_VALUE;
    }
    void Close()
    {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        if (ev_) CloseHandle(ev_);
        h_ = INVALID_HANDLE_VALUE;
        ev_ = NULL;
    }
    bool ReadExact(void *buf, DWORD n, DWORD timeout_ms)
    {
        DWORD got = 0, start = GetTickCount();
        while (got < n) {
            OVERLAPPED ov = {};
            ov.hEvent = ev_;
            DWORD done = 0;
            if (!ReadFile(h_, static_cast<char *>(buf) + got, n - got, NULL, &ov) &&
                GetLastError() != ERROR_IO_PENDING)
                return false;
            DWORD elapsed = GetTickCount() - start;
            if (WaitForSingleObject(ev_, elapsed < timeout_ms ? timeout_ms - elapsed : 0) != WAIT_OBJECT_0) {
                CancelIoEx(h_, &ov);
                GetOverlappedResult(h_, &ov, &done, TRUE);
                return false;
            }
            if (!GetOverlappedResult(h_, &ov, &done, TRUE)) return false;
            got += done;
        }
        return true;
    }
    bool Write(const void *buf, DWORD n)
    {
        OVERLAPPED ov = {};
        ov.hEvent = ev_;
        DWORD done = 0;
        if (!WriteFile(h_, buf, n, NULL, &ov) && GetLastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(h_, &ov, &done, TRUE) && done == n;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    HANDLE ev_ = NULL;
};

struct Record {
    int type = -1;
    Bytes payload;
};

Bytes Text(const char *s)
{
    return Bytes(s, s + strlen(s));
}

class VirtualController : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = BridgeLinuxDir();
        ASSERT_FALSE(dir_.empty()) << "VC_BRIDGE_DIR is not set (run through run-vcdevice-test.sh)";
        vcbus_status st;
        ASSERT_TRUE(VcBusStatus(&st)) << "the bus driver is not running (vcsetup.exe install)";
        ASSERT_TRUE(h2d_.Open(ToWindowsPath(dir_ + "/h2d"))) << "no FIFO h2d in " << dir_;
        ASSERT_TRUE(d2h_.Open(ToWindowsPath(dir_ + "/d2h"))) << "no FIFO d2h in " << dir_;
        Configure(VC_LAYOUT_IN_OUT, dir_.c_str());
    }

    void TearDown() override
    {
        CloseAll();
        VcSetSetting(VCUPD_VALUE_LAYOUT, VC_LAYOUT_IN_OUT);
        VcSetSettingString(VCUPD_VALUE_BRIDGE, dir_.c_str());
    }

    // New settings take effect at the next plug.
    void Configure(DWORD layout, const char *bridge)
    {
        CloseAll();
        ASSERT_TRUE(VcSetSetting(VCUPD_VALUE_LAYOUT, layout));
        ASSERT_TRUE(VcSetSettingString(VCUPD_VALUE_BRIDGE, bridge));
        ASSERT_TRUE(VcReplug(kWaitMs)) << "re-plugging the virtual controller failed";
        char path[512];
        ASSERT_EQ(1, VcFindInterface(path, sizeof(path)));
        path_ = path;
        dev_ = Open(path_);
        ASSERT_NE(INVALID_HANDLE_VALUE, dev_) << "cannot open " << path_ << " (error " << GetLastError() << ")";
        Drain();
    }

    HANDLE Open(const std::string &path)
    {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
        return h;
    }

    HANDLE OpenPipe(int index)
    {
        char name[16];
        snprintf(name, sizeof(name), "\\dpipe%02d", index);
        HANDLE h = Open(path_ + name);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
            ADD_FAILURE() << "the wineserver cannot open names below a device: start the patched one "
                             "(scripts/build-wineserver.sh, PANEL_WINESERVER)";
        return h;
    }

    void CloseAll()
    {
        for (HANDLE h : handles_) CloseHandle(h);
        handles_.clear();
        dev_ = INVALID_HANDLE_VALUE;
    }

    bool NextRecord(Record *rec, DWORD timeout_ms = 3000)
    {
        unsigned char head[VC_RECORD_HEADER];
        if (!h2d_.ReadExact(head, sizeof(head), timeout_ms)) return false;
        DWORD len = head[1] | (head[2] << 8) | (head[3] << 16) | (static_cast<DWORD>(head[4]) << 24);
        if (len > VC_RECORD_MAX) return false;
        rec->type = head[0];
        rec->payload.assign(len, 0);
        return !len || h2d_.ReadExact(rec->payload.data(), len, timeout_ms);
    }

    // The next record of the type; records of other types before it are skipped.
    Record Expect(int type)
    {
        Record rec;
        while (NextRecord(&rec))
            if (rec.type == type) return rec;
        ADD_FAILURE() << "no bridge record of type " << type;
        return Record();
    }

    void Drain()
    {
        Record rec;
        while (NextRecord(&rec, 100)) {
        }
    }

    void SendTransfer(const Bytes &data)
    {
        Bytes rec(VC_RECORD_HEADER);
        rec[0] = VC_D2H_DATA;
        DWORD n = static_cast<DWORD>(data.size());
        for (int i = 0; i < 4; i++) rec[1 + i] = static_cast<unsigned char>(n >> (8 * i));
        rec.insert(rec.end(), data.begin(), data.end());
        ASSERT_TRUE(d2h_.Write(rec.data(), static_cast<DWORD>(rec.size())));
    }

    bool Ioctl(DWORD code, void *buf, DWORD in, DWORD out, DWORD *got)
    {
        *got = 0;
        return DeviceIoControl(dev_, code, in ? buf : NULL, in, out ? buf : NULL, out, got, NULL) != FALSE;
    }

    Bytes Config()
    {
        Bytes cfg(VC_CONFIG_SIZE, 0);
        DWORD got;
        EXPECT_TRUE(Ioctl(IOCTL_VCUPD_GET_CONFIG, cfg.data(), VC_CONFIG_SIZE, VC_CONFIG_SIZE, &got));
        return cfg;
    }

    // Endpoint addresses and attributes in descriptor order.
    static std::vector<std::pair<int, int>> Endpoints(const Bytes &cfg)
    {
        std::vector<std::pair<int, int>> eps;
        size_t total = cfg[2] | (cfg[3] << 8);
        for (size_t off = 0; off < total && off < cfg.size() && cfg[off]; off += cfg[off])
            if (cfg[off + 1] == 5) eps.push_back({cfg[off + 2], cfg[off + 3]});
        return eps;
    }

    std::string dir_, path_;
    HANDLE dev_ = INVALID_HANDLE_VALUE;
    std::vector<HANDLE> handles_;
    Fifo h2d_, d2h_;
};

// A ReadFile on its own thread, to see whether it blocks and how it ends.
class PendingRead {
public:
    explicit PendingRead(HANDLE pipe, DWORD size = 16) : buf_(size), pipe_(pipe)
    {
        thread_ = CreateThread(NULL, 0, Run, this, 0, NULL);
    }
    ~PendingRead()
    {
        if (!Wait(0)) CancelSynchronousIo(thread_);
        WaitForSingleObject(thread_, kWaitMs);
        CloseHandle(thread_);
    }
    bool Wait(DWORD ms) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }
    HANDLE thread() { return thread_; }
    BOOL ok_ = FALSE;
    DWORD error_ = 0, got_ = 0;
    Bytes buf_;

private:
    static DWORD WINAPI Run(void *arg)
    {
        auto *self = static_cast<PendingRead *>(arg);
        DWORD got = 0;
        self->ok_ = ReadFile(self->pipe_, self->buf_.data(), static_cast<DWORD>(self->buf_.size()), &got, NULL);
        self->error_ = self->ok_ ? 0 : GetLastError();
        self->got_ = got;
        return 0;
    }
    HANDLE pipe_;
    HANDLE thread_;
};

TEST_F(VirtualController, AnswersTheControlRequestsOfTheUpdateDevice)
{
    unsigned char dd[VC_DEVICE_DESC_SIZE] = {};
    DWORD got;
    ASSERT_TRUE(Ioctl(IOCTL_VCUPD_GET_DEVICE, dd, sizeof(dd), sizeof(dd), &got));
    EXPECT_EQ(18u, got);
    EXPECT_EQ(1, dd[1]);
    EXPECT_EQ(VC_VENDOR_ID, dd[8] | (dd[9] << 8));
    EXPECT_EQ(VC_PRODUCT_ID, dd[10] | (dd[11] << 8));

    Bytes cfg = Config();
    EXPECT_EQ(2, cfg[1]);
    EXPECT_EQ(32, cfg[2] | (cfg[3] << 8));  // configuration, interface, two endpoints
    auto eps = Endpoints(cfg);
    ASSERT_EQ(2u, eps.size());
    EXPECT_EQ(std::make_pair(0x82, 2), eps[0]);
    EXPECT_EQ(std::make_pair(0x01, 2), eps[1]);

    DWORD value = 0;
    ASSERT_TRUE(Ioctl(IOCTL_VCUPD_CHECK, &value, 4, 4, &got));
    EXPECT_EQ(1u, value & 1);

    // Too small a buffer is refused, not overrun.
    unsigned char small[8];
    EXPECT_FALSE(Ioctl(IOCTL_VCUPD_GET_DEVICE, small, sizeof(small), sizeof(small), &got));
}

TEST_F(VirtualController, RelaysWritesAndReturnsOneTransferPerRead)
{
    HANDLE in = OpenPipe(0);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    EXPECT_EQ(Bytes{0}, Expect(VC_H2D_OPENED).payload);
    HANDLE out = OpenPipe(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, out);
    EXPECT_EQ(Bytes{1}, Expect(VC_H2D_OPENED).payload);

    // One record per write, bytes unchanged.
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(out, "\xF0\x44\x01\xF7", 4, &n, NULL));
    EXPECT_EQ(4u, n);
    ASSERT_TRUE(WriteFile(out, "abc", 3, &n, NULL));
    EXPECT_EQ(Bytes({0xF0, 0x44, 0x01, 0xF7}), Expect(VC_H2D_WRITE).payload);
    EXPECT_EQ(Text("abc"), Expect(VC_H2D_WRITE).payload);

    // A transfer longer than the read gives its first part; the rest is gone.
    SendTransfer(Text("0123456789abcdefTAIL"));
    unsigned char buf[64];
    ASSERT_TRUE(ReadFile(in, buf, 16, &n, NULL));
    EXPECT_EQ(Text("0123456789abcdef"), Bytes(buf, buf + n));
    SendTransfer(Text("xyz"));
    ASSERT_TRUE(ReadFile(in, buf, sizeof(buf), &n, NULL));
    EXPECT_EQ(Text("xyz"), Bytes(buf, buf + n));

    // A read waiting before the transfer arrives gets it.
    {
        PendingRead r(in, 64);
        EXPECT_FALSE(r.Wait(200));
        SendTransfer(Text("late"));
        ASSERT_TRUE(r.Wait(kWaitMs));
        EXPECT_TRUE(r.ok_);
        EXPECT_EQ(Text("late"), Bytes(r.buf_.begin(), r.buf_.begin() + r.got_));
    }

    // Wrong directions are refused.
    EXPECT_FALSE(WriteFile(in, "x", 1, &n, NULL));
    EXPECT_FALSE(ReadFile(out, buf, sizeof(buf), &n, NULL));
}

TEST_F(VirtualController, AbortAndCancelEndPendingReads)
{
    HANDLE in = OpenPipe(0);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    {
        PendingRead r(in);
        EXPECT_FALSE(r.Wait(300)) << "a read without data must wait";
        DWORD got;
        ASSERT_TRUE(Ioctl(IOCTL_VCUPD_ABORT, NULL, 0, 0, &got));  // on the device, not the pipe
        ASSERT_TRUE(r.Wait(2000)) << "the abort request did not end the read";
        EXPECT_FALSE(r.ok_);
        EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), r.error_);
    }
    Expect(VC_H2D_ABORT);
    {
        PendingRead r(in);
        EXPECT_FALSE(r.Wait(300));
        CancelSynchronousIo(r.thread());
        ASSERT_TRUE(r.Wait(2000)) << "cancelling the read did not end it";
        EXPECT_FALSE(r.ok_);
    }
    {
        // Closing the last handle of a pipe ends what waits on it.
        HANDLE second = OpenPipe(0);
        ASSERT_NE(INVALID_HANDLE_VALUE, second);
        handles_.pop_back();
        PendingRead r(second);
        EXPECT_FALSE(r.Wait(300));
        CloseHandle(second);
        EXPECT_TRUE(r.Wait(2000)) << "closing the pipe did not end the read";
    }
    // The pipe still works afterwards.
    SendTransfer(Text("ok"));
    unsigned char buf[16];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(in, buf, sizeof(buf), &n, NULL));
    EXPECT_EQ(Text("ok"), Bytes(buf, buf + n));
}

TEST_F(VirtualController, PipeNamesFollowTheEndpointIndexOfEachLayout)
{
    // Bulk OUT described before bulk IN: dpipe00 writes, dpipe01 reads.
    Configure(VC_LAYOUT_OUT_IN, dir_.c_str());
    auto eps = Endpoints(Config());
    ASSERT_EQ(2u, eps.size());
    EXPECT_EQ(0x01, eps[0].first);
    EXPECT_EQ(0x82, eps[1].first);
    HANDLE out = OpenPipe(0), in = OpenPipe(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, out);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    DWORD n;
    ASSERT_TRUE(WriteFile(out, "hi", 2, &n, NULL));
    EXPECT_EQ(Text("hi"), Expect(VC_H2D_WRITE).payload);
    SendTransfer(Text("back"));
    unsigned char buf[16];
    ASSERT_TRUE(ReadFile(in, buf, sizeof(buf), &n, NULL));
    EXPECT_EQ(Text("back"), Bytes(buf, buf + n));

    // Interrupt IN, bulk IN, bulk OUT, with class-specific descriptors between them.
    Configure(VC_LAYOUT_INT_IN_OUT, dir_.c_str());
    Bytes cfg = Config();
    eps = Endpoints(cfg);
    ASSERT_EQ(3u, eps.size());
    EXPECT_EQ(std::make_pair(0x83, 3), eps[0]);
    EXPECT_EQ(std::make_pair(0x82, 2), eps[1]);
    EXPECT_EQ(std::make_pair(0x01, 2), eps[2]);
    in = OpenPipe(1);
    out = OpenPipe(2);
    ASSERT_TRUE(WriteFile(out, "int", 3, &n, NULL));
    EXPECT_EQ(Text("int"), Expect(VC_H2D_WRITE).payload);
    SendTransfer(Text("bulk"));
    ASSERT_TRUE(ReadFile(in, buf, sizeof(buf), &n, NULL));
    EXPECT_EQ(Text("bulk"), Bytes(buf, buf + n));

    // No endpoints: a configuration and an interface only; no pipe serves I/O.
    Configure(VC_LAYOUT_NONE, dir_.c_str());
    cfg = Config();
    EXPECT_EQ(18, cfg[2] | (cfg[3] << 8));
    EXPECT_TRUE(Endpoints(cfg).empty());
    HANDLE none = Open(path_ + "\\dpipe00");
    if (none != INVALID_HANDLE_VALUE) {  // Wine does not pass a refused open on to the caller
        EXPECT_FALSE(WriteFile(none, "x", 1, &n, NULL));
        EXPECT_FALSE(ReadFile(none, buf, sizeof(buf), &n, NULL));
    }
}

TEST_F(VirtualController, UnplugEndsReadsAndRemovesTheInterface)
{
    HANDLE in = OpenPipe(0);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    std::string old_path = path_;
    {
        PendingRead r(in);
        EXPECT_FALSE(r.Wait(200));
        ASSERT_TRUE(VcUnplugAndWait(kWaitMs));
        ASSERT_TRUE(r.Wait(2000)) << "removal did not end the pending read";
        EXPECT_FALSE(r.ok_);
    }
    Expect(VC_H2D_REMOVED);
    EXPECT_EQ(0, VcFindInterface(NULL, 0));
    DWORD value = 1, got;
    if (Ioctl(IOCTL_VCUPD_CHECK, &value, 4, 4, &got)) {
        EXPECT_EQ(0u, value & 1);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(old_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));

    // Plugged in again: the same path, working again.
    CloseAll();
    ASSERT_TRUE(VcPlugAndWait(kWaitMs));
    char path[512];
    ASSERT_EQ(1, VcFindInterface(path, sizeof(path)));
    EXPECT_STREQ(old_path.c_str(), path);
    dev_ = Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, dev_);
    ASSERT_TRUE(Ioctl(IOCTL_VCUPD_CHECK, &value, 4, 4, &got));
    EXPECT_EQ(1u, value & 1);
}

TEST_F(VirtualController, WithoutBridgeWritesAreDroppedAndReadsWait)
{
    Configure(VC_LAYOUT_IN_OUT, (dir_ + "/absent").c_str());
    HANDLE in = OpenPipe(0), out = OpenPipe(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    ASSERT_NE(INVALID_HANDLE_VALUE, out);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(out, "lost", 4, &n, NULL));
    EXPECT_EQ(4u, n);
    PendingRead r(in);
    EXPECT_FALSE(r.Wait(300));
    DWORD got;
    ASSERT_TRUE(Ioctl(IOCTL_VCUPD_ABORT, NULL, 0, 0, &got));
    EXPECT_TRUE(r.Wait(2000));
    Record rec;
    EXPECT_FALSE(NextRecord(&rec, 200)) << "nothing may reach the old bridge";
}

}  // namespace
