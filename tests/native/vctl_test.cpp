// vctl and its daemon end to end, with the test in the driver's place: bridge
// records into h2d, replies out of d2h, everything else through the vctl
// command. wine64 is replaced by a script that records its arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bridge.h"
#include "protocol.h"
#include "testdata.h"

#ifndef VCTL_BIN
#error VCTL_BIN names the vctl program
#endif

namespace {

typedef std::vector<unsigned char> Bytes;

std::string Slurp(const std::string& path)
{
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int Alive(int pid)
{
    std::string st = Slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = st.rfind(')');
    return !st.empty() && paren != std::string::npos && st.compare(paren, 3, ") Z") != 0;
}

class Vctl : public ::testing::Test {
protected:
    std::string tmp, dir;
    int h2d = -1, d2h = -1;
    FileInfo fi;

    void SetUp() override
    {
        char t[] = "/tmp/vctl_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(t));
        tmp = t;
        dir = tmp + "/vc";
        // Stand-ins for wine64 and vcsetup.exe.
        std::string wine = tmp + "/wine64";
        FILE* f = fopen(wine.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fprintf(f, "#!/bin/sh\necho \"$(basename \"$1\") $2\" >> %s/wine.calls\n", tmp.c_str());
        fclose(f);
        chmod(wine.c_str(), 0755);
        f = fopen((tmp + "/vcsetup.exe").c_str(), "w");
        fclose(f);
        setenv("WINE64", wine.c_str(), 1);
        setenv("PANEL_VCSETUP", (tmp + "/vcsetup.exe").c_str(), 1);
        unsetenv("PANEL_VC_DIR");
        fi = ProductId(0x21, 0x05);
    }

    void TearDown() override
    {
        if (h2d >= 0)
            close(h2d);
        if (d2h >= 0)
            close(d2h);
        Run("stop");
        std::string cmd = "rm -rf '" + tmp + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }

    int Run(const std::string& args, std::string* out = NULL)
    {
        std::string cmd = std::string(VCTL_BIN) + " --dir '" + dir + "' " + args + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            s.append(buf, n);
        int st = pclose(p);
        if (out)
            *out = s;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    void StartAndConnect(const char* extra = "")
    {
        std::string out;
        ASSERT_EQ(0, Run(std::string("start ") + extra, &out)) << out;
        h2d = open((dir + "/h2d").c_str(), O_WRONLY);
        d2h = open((dir + "/d2h").c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(h2d, 0);
        ASSERT_GE(d2h, 0);
    }

    int DaemonPid() { return atoi(Slurp(dir + "/daemon.pid").c_str()); }

    void Record(int type, const Bytes& payload)
    {
        std::vector<unsigned char> rec(BRIDGE_HEAD + payload.size());
        BridgeEncode(type, payload.data(), (uint32_t)payload.size(), rec.data());
        ASSERT_EQ((ssize_t)rec.size(), write(h2d, rec.data(), rec.size()));
    }

    int ReadFull(unsigned char* p, size_t n, int timeout_ms)
    {
        size_t got = 0;
        long long until = NowMs() + timeout_ms;
        while (got < n) {
            struct pollfd pfd = {d2h, POLLIN, 0};
            int left = (int)(until - NowMs());
            if (left <= 0 || poll(&pfd, 1, left) <= 0)
                return 0;
            ssize_t r = read(d2h, p + got, n - got);
            if (r > 0)
                got += (size_t)r;
        }
        return 1;
    }

    // One IN transfer, or empty after the timeout.
    Bytes Reply(int timeout_ms = 5000)
    {
        unsigned char head[BRIDGE_HEAD];
        if (!ReadFull(head, sizeof(head), timeout_ms))
            return Bytes();
        EXPECT_EQ(BRIDGE_DATA, head[0]);
        Bytes b(ReadLe32(head + 1));
        EXPECT_TRUE(ReadFull(b.data(), b.size(), 5000));
        return b;
    }

    Bytes Msg(unsigned char code, const Bytes& payload) { return HostMessage(fi, code, payload); }

    int Status(const Bytes& reply)
    {
        char err[ERROR_TEXT_SIZE];
        int at = CheckReply(reply.data(), reply.size(), &fi, MsgStatus, err);
        return at > 0 ? reply[at] : -1;
    }

    // A packed data packet as the updater writes it: three writes.
    void Data(uint32_t number, const Bytes& packet)
    {
        unsigned char tx[16];
        int n = BuildMessageHead(tx, &fi, MsgData);
        Bytes head(tx, tx + n);
        head.resize(head.size() + 4);
        Put28Bit(&head[head.size() - 4], number);
        Record(BRIDGE_WRITE, head);
        Bytes packed(packet.size() + packet.size() / 7 + 1);
        unsigned char sum;
        packed.resize(PackSevenBit(packet.data(), packed.data(), (uint32_t)packet.size(), &sum));
        Record(BRIDGE_WRITE, packed);
        Record(BRIDGE_WRITE, Bytes{sum, 0xF7});
    }
};

Bytes Pattern(size_t n, unsigned variant)
{
    return TestPattern(n, variant);
}

TEST_F(Vctl, WholeUpdateThroughTheFifosThenFlashLogAndStatus)
{
    StartAndConnect();
    const unsigned char pipe1[] = {1, 0, 0, 0};
    Record(BRIDGE_OPENED, Bytes(pipe1, pipe1 + 4));

    Record(BRIDGE_WRITE, Msg(MsgInquiry, Bytes{0x05}));
    Bytes r = Reply();
    char err[ERROR_TEXT_SIZE];
    int at = CheckReply(r.data(), r.size(), &fi, MsgInquiryReply, err);
    ASSERT_GT(at, 0) << err;
    EXPECT_EQ(1, r[at]);

    Record(BRIDGE_WRITE, Msg(MsgVersionRequest, Bytes{0x01}));
    r = Reply();
    at = CheckReply(r.data(), r.size(), &fi, MsgVersionReply, err);
    ASSERT_GT(at, 0) << err;
    EXPECT_EQ(Bytes({1, 0}), Bytes(r.begin() + at, r.begin() + at + 2));

    // Block 1: base 0x1000, length 0x300, version 1.05, 256-byte packets.
    Bytes sm{0x00, 0x01};
    sm.resize(2 + 8);
    Put28Bit(&sm[2], 0x1000);
    Put28Bit(&sm[6], 0x300);
    sm.push_back(0x41);
    sm.push_back(0x05);
    sm.resize(sm.size() + 4);
    Put28Bit(&sm[sm.size() - 4], 0x100);
    Record(BRIDGE_WRITE, Msg(MsgSetMode, sm));
    EXPECT_EQ(0, Status(Reply()));

    Bytes p0 = Pattern(0x100, 0), p1 = Pattern(0x100, 1);
    Data(0, p0);
    EXPECT_EQ(0, Status(Reply()));
    Data(1, p1);
    EXPECT_EQ(0, Status(Reply()));
    Record(BRIDGE_WRITE, Msg(MsgFill, Bytes{0, 0, 0, 2, 0x03, 0x0C}));
    EXPECT_EQ(0, Status(Reply()));

    std::string out;
    ASSERT_EQ(0, Run("flash '" + tmp + "/image.bin'", &out)) << out;
    std::string image = Slurp(tmp + "/image.bin");
    Bytes want = p0;
    want.insert(want.end(), p1.begin(), p1.end());
    want.insert(want.end(), 0x100, 0x3C);
    EXPECT_EQ(std::string(want.begin(), want.end()), image);
    ASSERT_EQ(0, Run("flash '" + tmp + "/part.bin' --base 0x10F0 --length 0x20", &out)) << out;
    EXPECT_EQ(std::string(want.begin() + 0xF0, want.begin() + 0x110), Slurp(tmp + "/part.bin"));

    ASSERT_EQ(0, Run("log", &out));
    EXPECT_NE(std::string::npos, out.find("H>D F0 42 23 21 05 00 05 F7 | inquiry, param 0x05"));
    EXPECT_NE(std::string::npos, out.find("fill #2 value 0x3C, address 0x001200"));
    EXPECT_NE(std::string::npos, out.find("block 0x01 complete: version now 1.05"));
    EXPECT_NE(std::string::npos, out.find("pipe 1 opened"));

    ASSERT_EQ(0, Run("status", &out));
    EXPECT_NE(std::string::npos, out.find("versions: 01=1.05"));
    EXPECT_NE(std::string::npos, out.find("packets: 3 received, 3 acknowledged"));

    // Settings reach the next reply; reset clears the flash.
    ASSERT_EQ(0, Run("set version 1 0.50", &out)) << out;
    Record(BRIDGE_WRITE, Msg(MsgVersionRequest, Bytes{0x01}));
    r = Reply();
    at = CheckReply(r.data(), r.size(), &fi, MsgVersionReply, err);
    ASSERT_GT(at, 0);
    EXPECT_EQ(50, r[at + 1]);
    ASSERT_EQ(0, Run("reset", &out));
    ASSERT_EQ(0, Run("flash '" + tmp + "/empty.bin'", &out));
    EXPECT_EQ("", Slurp(tmp + "/empty.bin"));
    EXPECT_EQ(2, Run("set protocol x", &out));
}

TEST_F(Vctl, LateRepliesAndDisappearing)
{
    StartAndConnect();
    std::string out;
    ASSERT_EQ(0, Run("fault delay 400 --on inquiry", &out)) << out;
    long long t0 = NowMs();
    Record(BRIDGE_WRITE, Msg(MsgInquiry, Bytes()));
    Record(BRIDGE_WRITE, Msg(MsgVersionRequest, Bytes{0x01})); // queued behind the late one
    Bytes first = Reply(), second = Reply();
    EXPECT_GE(NowMs() - t0, 400);
    char err[ERROR_TEXT_SIZE];
    EXPECT_GT(CheckReply(first.data(), first.size(), &fi, MsgInquiryReply, err), 0);
    EXPECT_GT(CheckReply(second.data(), second.size(), &fi, MsgVersionReply, err), 0);

    // The device vanishes at the first packet: no reply, and the daemon runs the unplug.
    ASSERT_EQ(0, Run("fault unplug --at 1", &out)) << out;
    Bytes sm{0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x04, 0x00, 0x41, 0x00, 0, 0, 0x02, 0x00};
    Record(BRIDGE_WRITE, Msg(MsgSetMode, sm));
    EXPECT_EQ(0, Status(Reply()));
    Data(0, Pattern(0x100, 0));
    EXPECT_TRUE(Reply(500).empty());
    std::string calls;
    for (long long until = NowMs() + 5000; NowMs() < until; usleep(20000)) {
        calls = Slurp(tmp + "/wine.calls");
        if (!calls.empty())
            break;
    }
    EXPECT_EQ("vcsetup.exe unplug\n", calls);
    Record(BRIDGE_REMOVED, Bytes());

    // Plugged back: it answers again, in a fresh state.
    ASSERT_EQ(0, Run("replug", &out)) << out;
    EXPECT_EQ("vcsetup.exe unplug\nvcsetup.exe replug\n", Slurp(tmp + "/wine.calls"));
    Record(BRIDGE_WRITE, Msg(MsgInquiry, Bytes()));
    EXPECT_GT(CheckReply(Reply().data(), 12, &fi, MsgInquiryReply, err), 0);
    ASSERT_EQ(0, Run("log", &out));
    EXPECT_NE(std::string::npos, out.find("[fault: device disappears]"));
    EXPECT_NE(std::string::npos, out.find("device removed"));
}

TEST_F(Vctl, StopLeavesNothingAndTheDaemonEndsWithItsDir)
{
    StartAndConnect();
    int pid = DaemonPid();
    ASSERT_GT(pid, 0);
    std::string out;
    EXPECT_EQ(0, Run("start", &out)); // a second start finds the first
    EXPECT_NE(std::string::npos, out.find("already running"));
    EXPECT_EQ(pid, DaemonPid());
    ASSERT_EQ(0, Run("stop", &out)) << out;
    EXPECT_FALSE(Alive(pid));
    EXPECT_NE(0, Run("status", &out));
    EXPECT_NE(std::string::npos, out.find("no daemon"));

    // Restarted, it keeps serving the same FIFOs, and leaves when the dir goes.
    ASSERT_EQ(0, Run("start", &out)) << out;
    Record(BRIDGE_WRITE, Msg(MsgInquiry, Bytes()));
    EXPECT_FALSE(Reply().empty());
    pid = DaemonPid();
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
    long long until = NowMs() + 5000;
    while (Alive(pid) && NowMs() < until)
        usleep(50000);
    EXPECT_FALSE(Alive(pid));

    // And after its idle time.
    ASSERT_EQ(0, Run("start --idle 1", &out)) << out;
    pid = DaemonPid();
    until = NowMs() + 5000;
    while (Alive(pid) && NowMs() < until)
        usleep(50000);
    EXPECT_FALSE(Alive(pid));
}

} // namespace

// vcsetup says why whenever it fails: an exit with 1 and nothing on stderr
// is a start that did not happen, and gets one more try; a failure with a
// reason does not.
TEST_F(Vctl, VcsetupEndingWithoutAWordRunsOnceMore)
{
    std::string wine = tmp + "/wine64";
    FILE* f = fopen(wine.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fprintf(f,
            "#!/bin/sh\n"
            "echo \"$2\" >> %s/wine.calls\n"
            "case \"$2\" in\n"
            "plug) [ -f %s/once ] && exit 0; touch %s/once; exit 1 ;;\n"
            "unplug) echo 'vcsetup: the device did not go' >&2; exit 1 ;;\n"
            "*) exit 1 ;;\n"
            "esac\n",
            tmp.c_str(), tmp.c_str(), tmp.c_str());
    fclose(f);
    std::string out;
    EXPECT_EQ(0, Run("plug", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("without a word")) << out;
    EXPECT_EQ(1, Run("unplug", &out));
    EXPECT_NE(std::string::npos, out.find("the device did not go")) << out;
    EXPECT_EQ(std::string::npos, out.find("without a word")) << out;
    EXPECT_EQ(1, Run("replug", &out)); // silent twice: reported as it is
    EXPECT_EQ("plug\nplug\nunplug\nreplug\nreplug\n", Slurp(tmp + "/wine.calls"));
}
