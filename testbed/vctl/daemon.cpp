// The daemon: the device model behind two FIFOs and a control socket.
//
// The driver writes h2d records (host writes, abort requests, pipe opens,
// removal) and reads d2h records (one IN transfer each). The kernel MIDI
// driver does the same on kh2d and kd2h (its transfers are USB-MIDI event
// packets, its IN transfers 64-byte blocks: kmbridge). One model serves
// every link: its replies go to the link that wrote to it last. The daemon opens
// both FIFOs read-write itself, so that the driver's opens never wait for a
// partner. vctl talks to it through ctl.sock. One thread; replies that a
// fault delays wait in a queue until due, in order.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "bridge.h"
#include "commands.h"
#include "comports.h"
#include "devmodel.h"
#include "kmbridge.h"
#include "vctl.h"

namespace {

enum {
    MAX_QUEUED = 4096,    // replies waiting for the driver; more are dropped
    CHECK_EVERY_MS = 1000, // dir and idle checks
    MAX_REQUEST = 1 << 16,
};

// Where the host's latest bytes came from; replies go back the same way.
enum Route {
    ROUTE_USB = 0,  // the d2h FIFO
    ROUTE_COM1 = 1, // ROUTE_COM1 + n: COMn+1
    ROUTE_MIDI = ROUTE_COM1 + COM_PORTS, // the md2h FIFO of the test bed's MIDI driver
    ROUTE_KMIDI = ROUTE_MIDI + 1,        // the kd2h FIFO of the kernel USB-MIDI driver
};

int IsCom(int route)
{
    return route >= ROUTE_COM1 && route < ROUTE_COM1 + COM_PORTS;
}

// Records of the MIDI driver: mh2d carries one long message per WRITE and an
// OPENED when a driver starts in a process; md2h one device message per
// DATA, and READY once what an earlier process left unread is gone.
enum {
    MIDI_READY = 2,
};

struct Outgoing {
    long long due_us;
    int route;
    std::vector<unsigned char> record; // a d2h record, or the bytes for the line
};

struct Daemon {
    std::string dir, h2d_path, d2h_path, kh2d_path, kd2h_path, sock_path, pid_path;
    int h2d, d2h, kh2d, kd2h, listener;
    int mh2d, md2h;
    BridgeReader midi_reader;
    BridgeReader km_reader;
    KmDevice km;
    int sig_pipe[2];
    ino_t sock_ino;
    DeviceModel model;
    BridgeReader reader;
    ComPorts com;
    int route;
    std::deque<Outgoing> out;
    long long last_due;
    long long last_activity;
    int idle_seconds;
    std::vector<int> children;
    int stop;
};

Daemon g;

long long NowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

long long NowMs()
{
    return NowUs() / 1000;
}

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...)
{
    time_t t = time(NULL);
    struct tm tm;
    localtime_r(&t, &tm);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &tm);
    printf("%s vctl[%d]: ", stamp, (int)getpid());
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

void OnSignal(int sig)
{
    unsigned char b = (unsigned char)sig;
    int saved = errno;
    ssize_t r = write(g.sig_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

int MakeFifo(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return 1; // keep it: a driver may hold it open from an earlier run
        unlink(path.c_str());
    }
    if (mkfifo(path.c_str(), 0666) != 0) {
        Say("mkfifo %s: %s", path.c_str(), strerror(errno));
        return 0;
    }
    return 1;
}

void Drain(int fd)
{
    unsigned char buf[65536];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

int OpenListener()
{
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (g.sock_path.size() >= sizeof(sa.sun_path)) {
        Say("socket path too long: %s", g.sock_path.c_str());
        return 0;
    }
    memcpy(sa.sun_path, g.sock_path.c_str(), g.sock_path.size());
    unlink(g.sock_path.c_str());
    g.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (g.listener < 0 || bind(g.listener, (struct sockaddr*)&sa, sizeof(sa)) != 0 || listen(g.listener, 16) != 0) {
        Say("control socket %s: %s", g.sock_path.c_str(), strerror(errno));
        return 0;
    }
    struct stat st;
    g.sock_ino = stat(g.sock_path.c_str(), &st) == 0 ? st.st_ino : 0;
    return 1;
}

// ---------------------------------------------------------------- children

void ReapChildren()
{
    for (size_t i = 0; i < g.children.size();) {
        int st = 0;
        pid_t r = waitpid(g.children[i], &st, WNOHANG);
        if (r == g.children[i] || (r < 0 && errno == ECHILD)) {
            Say("unplug action (pid %d) ended with %d", g.children[i], WIFEXITED(st) ? WEXITSTATUS(st) : -1);
            g.children.erase(g.children.begin() + (long)i);
        } else {
            ++i;
        }
    }
}

void StopChildren()
{
    for (int pid : g.children)
        kill(-pid, SIGTERM);
    long long until = NowMs() + 3000;
    while (!g.children.empty() && NowMs() < until) {
        ReapChildren();
        if (!g.children.empty())
            usleep(20000);
    }
    for (int pid : g.children) {
        kill(-pid, SIGKILL);
        waitpid(pid, NULL, 0);
    }
    g.children.clear();
}

void RunUnplugAction()
{
    std::vector<std::string> args;
    if (g.route == ROUTE_KMIDI) {
        args.push_back("kmidi");
        args.push_back("unplug");
        args.push_back("0");
    } else {
        args.push_back("unplug");
    }
    std::string err;
    int pid = VctlSpawnVcsetup(args, &err);
    if (pid < 0) {
        Say("unplug fault: %s", err.c_str());
        ModelNote(&g.model, "unplug action could not start (see daemon.log)");
        return;
    }
    Say("unplug fault: vcsetup unplug started (pid %d)", pid);
    g.children.push_back(pid);
}

// ---------------------------------------------------------------- bridge

void Enqueue(const Outgoing& o)
{
    if (g.out.size() >= MAX_QUEUED) {
        ModelNote(&g.model, "reply queue full: oldest reply dropped (is the driver reading?)");
        g.out.pop_front();
    }
    g.out.push_back(o);
}

// A reply on a serial line that runs at its rate: byte by byte, each when it
// has crossed the line, after the request has fully arrived.
void EnqueuePaced(Outgoing o, const std::vector<unsigned char>& line, long long byte_us)
{
    int port = o.route - ROUTE_COM1;
    for (unsigned char b : line) {
        o.due_us = ComLineOut(&g.com, port, o.due_us, byte_us);
        o.record.assign(1, b);
        Enqueue(o);
    }
    g.last_due = o.due_us;
}

void QueueReplies()
{
    ModelReply r;
    long long now = NowUs();
    while (ModelTakeReply(&g.model, &r)) {
        Outgoing o;
        o.due_us = now + (long long)r.delay_ms * 1000;
        if (o.due_us < g.last_due)
            o.due_us = g.last_due; // a late reply holds back the ones behind it
        g.last_due = o.due_us;
        o.route = g.route;
        std::vector<std::vector<unsigned char> > parts;
        if (IsCom(o.route))
            parts.push_back(ComLineBytes(&g.com, r.bytes, (size_t)r.length));
        else if (o.route == ROUTE_KMIDI)
            KmReplyBlocks(&g.km, r.bytes, (size_t)r.length, &parts);
        else
            parts.push_back(std::vector<unsigned char>(r.bytes, r.bytes + r.length));
        long long byte_us = IsCom(o.route) ? ComByteMicros(&g.com, o.route - ROUTE_COM1) : 0;
        for (const std::vector<unsigned char>& part : parts) {
            if (byte_us > 0) {
                EnqueuePaced(o, part, byte_us);
                continue;
            }
            if (IsCom(o.route)) {
                o.record = part;
            } else {
                o.record.resize(BRIDGE_HEAD + part.size());
                BridgeEncode(BRIDGE_DATA, part.data(), (uint32_t)part.size(), o.record.data());
            }
            Enqueue(o);
        }
    }
    if (ModelTakeUnplug(&g.model)) {
        if (g.route == ROUTE_MIDI) {
            ModelNote(&g.model, "gone from the MIDI ports");
        } else if (IsCom(g.route)) {
            ComTakeAway(&g.com, g.route - ROUTE_COM1);
            ModelNote(&g.model, ("COM" + std::to_string(g.route - ROUTE_COM1 + 1) + " taken away").c_str());
        } else {
            RunUnplugAction();
        }
    }
}

// The FIFO that carries the replies of a link other than a serial line.
int RouteFd(int route)
{
    if (route == ROUTE_MIDI)
        return g.md2h;
    if (route == ROUTE_KMIDI)
        return g.kd2h;
    return g.d2h;
}

// Replies of one link that its driver has not taken go with its device.
void DropReplies(int route)
{
    for (size_t i = 0; i < g.out.size();) {
        if (g.out[i].route == route)
            g.out.erase(g.out.begin() + (long)i);
        else
            ++i;
    }
    if (g.out.empty())
        g.last_due = 0;
    Drain(RouteFd(route));
}

void RouteFrom(int route);

void HandleKmRecord(const BridgeRecord& rec)
{
    switch (rec.type) {
    case BRIDGE_WRITE: {
        RouteFrom(ROUTE_KMIDI);
        std::vector<unsigned char> bytes;
        KmOutTransfer(&g.km, rec.payload.data(), rec.payload.size(), &bytes);
        ModelFeed(&g.model, bytes.data(), bytes.size());
        break;
    }
    case BRIDGE_OPENED:
        ModelNote(&g.model, rec.payload.size() && rec.payload[0] == 1 ? "host: kernel MIDI in-pipe opened"
                                                                       : "host: kernel MIDI out-pipe opened");
        break;
    case BRIDGE_REMOVED:
        ModelNote(&g.model, "kernel MIDI device 0 removed");
        if (g.route == ROUTE_KMIDI)
            ModelRemoved(&g.model);
        KmPlugged(&g.km);
        DropReplies(ROUTE_KMIDI);
        break;
    default:
        ModelNote(&g.model, "unknown kernel MIDI bridge record ignored");
        break;
    }
}

void HandleRecord(const BridgeRecord& rec)
{
    // The removal of the USB device says nothing of where the host is now.
    if (rec.type != BRIDGE_REMOVED)
        RouteFrom(ROUTE_USB);
    switch (rec.type) {
    case BRIDGE_WRITE:
        ModelFeed(&g.model, rec.payload.data(), rec.payload.size());
        break;
    case BRIDGE_ABORT:
        ModelHostAbort(&g.model);
        break;
    case BRIDGE_OPENED: {
        uint32_t pipe = 0;
        for (size_t i = 0; i < 4 && i < rec.payload.size(); ++i)
            pipe |= (uint32_t)rec.payload[i] << (8 * i);
        ModelPipeOpened(&g.model, pipe);
        break;
    }
    case BRIDGE_REMOVED:
        if (g.route == ROUTE_USB || g.route < 0)
            ModelRemoved(&g.model);
        DropReplies(ROUTE_USB); // replies the driver did not take are gone with the device
        break;
    default: {
        char note[64];
        snprintf(note, sizeof(note), "unknown bridge record type %d ignored", rec.type);
        ModelNote(&g.model, note);
        break;
    }
    }
}

// The model hears one host at a time: a change of link is noted in the log.
void RouteFrom(int route)
{
    if (route == g.route)
        return;
    g.route = route;
    if (IsCom(route))
        ModelNote(&g.model, ("host on COM" + std::to_string(route - ROUTE_COM1 + 1)).c_str());
    else if (route == ROUTE_MIDI)
        ModelNote(&g.model, "host on MIDI");
    else if (route == ROUTE_KMIDI)
        ModelNote(&g.model, "host on kernel MIDI");
    else
        ModelNote(&g.model, "host on USB");
}

void ReadCom(int port)
{
    unsigned char buf[4096];
    for (;;) {
        ssize_t n = read(g.com.master[port], buf, sizeof(buf));
        if (n <= 0)
            break;
        RouteFrom(ROUTE_COM1 + port);
        ComLineIn(&g.com, port, (size_t)n, NowUs());
        ModelFeed(&g.model, buf, (size_t)n);
        g.last_activity = NowMs();
    }
    QueueReplies();
}

// A driver started in a new process: what an earlier one left unread goes.
void MidiDriverStarted()
{
    Drain(g.md2h);
    for (size_t i = 0; i < g.out.size();) {
        if (g.out[i].route == ROUTE_MIDI)
            g.out.erase(g.out.begin() + (long)i);
        else
            ++i;
    }
    unsigned char rec[BRIDGE_HEAD];
    BridgeEncode(MIDI_READY, rec, 0, rec);
    ssize_t n = write(g.md2h, rec, sizeof(rec));
    (void)n;
    ModelNote(&g.model, "MIDI driver started");
}

void ReadMh2d()
{
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(g.mh2d, buf, sizeof(buf));
        if (n <= 0)
            break;
        std::vector<BridgeRecord> recs;
        if (!BridgeFeed(&g.midi_reader, buf, (size_t)n, &recs))
            ModelNote(&g.model, "broken record stream from the MIDI driver: resynchronising");
        for (const BridgeRecord& r : recs) {
            if (r.type == BRIDGE_WRITE) {
                RouteFrom(ROUTE_MIDI);
                ModelFeed(&g.model, r.payload.data(), r.payload.size());
            } else if (r.type == BRIDGE_OPENED) {
                MidiDriverStarted();
            }
        }
        g.last_activity = NowMs();
    }
    QueueReplies();
}

void ReadRecords(int fd, BridgeReader* reader, void (*handle)(const BridgeRecord&))
{
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        std::vector<BridgeRecord> recs;
        if (!BridgeFeed(reader, buf, (size_t)n, &recs))
            ModelNote(&g.model, "broken record stream from the driver: resynchronising");
        for (const BridgeRecord& r : recs) {
            handle(r);
            QueueReplies(); // each reply goes to the link of the bytes that caused it
        }
        g.last_activity = NowMs();
    }
    QueueReplies();
}

void WriteD2h()
{
    long long now = NowUs();
    while (!g.out.empty() && g.out.front().due_us <= now) {
        std::vector<unsigned char>& rec = g.out.front().record;
        if (IsCom(g.out.front().route)) {
            long n = ComWrite(&g.com, g.out.front().route - ROUTE_COM1, rec.data(), rec.size());
            if (n >= 0 && (size_t)n < rec.size()) {
                rec.erase(rec.begin(), rec.begin() + n); // the line is full: the rest later
                return;
            }
            g.out.pop_front(); // all written, or the port is gone with its reply
            continue;
        }
        ssize_t n = write(RouteFd(g.out.front().route), rec.data(), rec.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return; // FIFO full: wait until the driver reads
        if (n != (ssize_t)rec.size())
            Say("d2h write: %s", n < 0 ? strerror(errno) : "short write");
        g.out.pop_front();
    }
}

// ---------------------------------------------------------------- control

// `midi inject HEX...`: one message to the MIDI ports that hear the device.
int MidiInject(const std::vector<std::string>& hex, std::string* out)
{
    std::vector<unsigned char> bytes;
    for (const std::string& w : hex) {
        unsigned long long v;
        if (!ParseNumber("0x" + w, 0xFF, &v)) {
            *out = "vctl: midi inject HEX...\n";
            return 2;
        }
        bytes.push_back((unsigned char)v);
    }
    std::vector<unsigned char> rec(BRIDGE_HEAD + bytes.size());
    BridgeEncode(BRIDGE_DATA, bytes.data(), (uint32_t)bytes.size(), rec.data());
    if (write(g.md2h, rec.data(), rec.size()) != (ssize_t)rec.size()) {
        *out = "vctl: the MIDI bridge is full\n";
        return 1;
    }
    ModelNote(&g.model, ("MIDI line: " + std::to_string(bytes.size()) + " bytes injected").c_str());
    return 0;
}

int ReadAll(int fd, void* buf, size_t n)
{
    size_t off = 0;
    while (off < n) {
        ssize_t r = recv(fd, (char*)buf + off, n - off, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return 0;
        off += (size_t)r;
    }
    return 1;
}

void Respond(int fd, int rc, const std::string& text)
{
    std::string msg(1, (char)rc);
    msg += text;
    size_t off = 0;
    while (off < msg.size()) {
        ssize_t n = send(fd, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

void ServeClient()
{
    int fd = accept4(g.listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    g.last_activity = NowMs();

    unsigned char len4[4];
    if (!ReadAll(fd, len4, 4)) {
        close(fd);
        return;
    }
    uint32_t len = ReadLe32(len4);
    if (len > MAX_REQUEST) {
        Respond(fd, 2, "vctl: request too long\n");
        close(fd);
        return;
    }
    std::string body(len, '\0');
    if (len && !ReadAll(fd, &body[0], len)) {
        close(fd);
        return;
    }
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == 0) {
            words.push_back(body.substr(start, i - start));
            start = i + 1;
        }
    }

    std::string text;
    int rc = 0;
    if (!words.empty() && words[0] == "ping") {
        text = std::to_string(getpid()) + "\n";
    } else if (!words.empty() && words[0] == "stop") {
        text = "stopping " + std::to_string(getpid()) + "\n";
        g.stop = 1;
    } else if (words.size() >= 3 && words[0] == "midi" && words[1] == "inject") {
        rc = MidiInject(std::vector<std::string>(words.begin() + 2, words.end()), &text);
    } else if (!words.empty() && words[0] == "com") {
        rc = ComCommand(&g.com, &g.model, std::vector<std::string>(words.begin() + 1, words.end()), &text);
    } else if (words.size() == 1 && words[0] == "status") {
        char head[512];
        const char* link = g.route == ROUTE_KMIDI ? "kernel MIDI"
                         : g.route == ROUTE_MIDI  ? "system MIDI"
                         : IsCom(g.route)         ? "serial"
                                                  : "USB";
        snprintf(head, sizeof(head),
                 "daemon: pid %d, dir %s\nreplies waiting: %zu\nunplug actions running: %zu\n"
                 "replies go to: %s link\nkernel MIDI: bad packets %llu, raw transfer next: %s\n",
                 (int)getpid(), g.dir.c_str(), g.out.size(), g.children.size(), link,
                 (unsigned long long)g.km.bad_packets, g.km.raw_next ? "yes" : "no");
        rc = ApplyCommand(&g.model, words, &text);
        text = head + text;
    } else if (words.size() == 2 && words[0] == "kmidi" && words[1] == "plugged") {
        // Device 0 of the kernel MIDI driver: a power-on for the model.
        DropReplies(ROUTE_KMIDI);
        KmPlugged(&g.km);
        ModelPlugged(&g.model);
        text = "ok\n";
    } else if (!words.empty() && words[0] == "kmidi") {
        rc = KmCommand(&g.km, std::vector<std::string>(words.begin() + 1, words.end()), &text);
    } else {
        if (words.size() == 1 && (words[0] == "reset" || words[0] == "plugged")) {
            // Nothing the host has not read survives a reset or a power cycle.
            g.out.clear();
            g.last_due = 0;
            Drain(g.d2h);
            Drain(g.kd2h);
            KmPlugged(&g.km);
            Drain(g.md2h);
            ComFlush(&g.com);
            g.route = -1; // the next bytes name their link in the log
        }
        rc = ApplyCommand(&g.model, words, &text);
        QueueReplies();
    }
    Respond(fd, rc, text);
    close(fd);
}

// ---------------------------------------------------------------- checks

// The dir or our socket gone (a test cleaned up its temp dir): time to go.
int StillWanted()
{
    struct stat st;
    if (stat(g.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Say("state dir %s is gone: exiting", g.dir.c_str());
        return 0;
    }
    if (stat(g.sock_path.c_str(), &st) != 0 || st.st_ino != g.sock_ino) {
        Say("control socket %s is gone or replaced: exiting", g.sock_path.c_str());
        return 0;
    }
    if (g.idle_seconds > 0 && NowMs() - g.last_activity > (long long)g.idle_seconds * 1000) {
        Say("idle for %d s: exiting", g.idle_seconds);
        return 0;
    }
    return 1;
}

void Cleanup()
{
    StopChildren();
    ComCloseAll(&g.com);
    struct stat st;
    // Only our own socket: a newer daemon may have taken the dir over.
    if (stat(g.sock_path.c_str(), &st) == 0 && st.st_ino == g.sock_ino) {
        unlink(g.sock_path.c_str());
        unlink(g.pid_path.c_str());
    }
    if (g.listener >= 0)
        close(g.listener);
    if (g.h2d >= 0)
        close(g.h2d);
    if (g.d2h >= 0)
        close(g.d2h);
    if (g.kh2d >= 0)
        close(g.kh2d);
    if (g.kd2h >= 0)
        close(g.kd2h);
    if (g.mh2d >= 0)
        close(g.mh2d);
    if (g.md2h >= 0)
        close(g.md2h);
    Say("stopped");
}

} // namespace

int DaemonMain(const std::string& dir, int idle_seconds, int ready_fd)
{
    g.dir = dir;
    g.h2d_path = dir + "/h2d";
    g.d2h_path = dir + "/d2h";
    g.kh2d_path = dir + "/kh2d";
    g.kd2h_path = dir + "/kd2h";
    g.sock_path = dir + "/ctl.sock";
    g.pid_path = dir + "/daemon.pid";
    g.h2d = g.d2h = g.kh2d = g.kd2h = g.listener = -1;
    g.mh2d = g.md2h = -1;
    KmInit(&g.km);
    BridgeReaderInit(&g.km_reader);
    g.idle_seconds = idle_seconds;
    g.stop = 0;
    g.last_due = 0;
    ModelInit(&g.model);
    BridgeReaderInit(&g.reader);
    BridgeReaderInit(&g.midi_reader);
    ComInit(&g.com, dir);
    g.route = ROUTE_USB;

    if (pipe2(g.sig_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    sigaction(SIGCHLD, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    if (!MakeFifo(g.h2d_path) || !MakeFifo(g.d2h_path) || !MakeFifo(g.kh2d_path) || !MakeFifo(g.kd2h_path) ||
        !MakeFifo(dir + "/mh2d") || !MakeFifo(dir + "/md2h"))
        return 1;
    g.h2d = open(g.h2d_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g.d2h = open(g.d2h_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g.kh2d = open(g.kh2d_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g.kd2h = open(g.kd2h_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g.mh2d = open((dir + "/mh2d").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g.md2h = open((dir + "/md2h").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (g.h2d < 0 || g.d2h < 0 || g.kh2d < 0 || g.kd2h < 0 || g.mh2d < 0 || g.md2h < 0) {
        Say("opening the FIFOs: %s", strerror(errno));
        return 1;
    }
    Drain(g.h2d);
    Drain(g.d2h);
    Drain(g.kh2d);
    Drain(g.kd2h);
    Drain(g.mh2d);
    Drain(g.md2h);
    if (!OpenListener())
        return 1;
    FILE* pf = fopen(g.pid_path.c_str(), "w");
    if (pf) {
        fprintf(pf, "%d\n", (int)getpid());
        fclose(pf);
    }
    Say("serving %s (idle limit %d s)", dir.c_str(), idle_seconds);
    g.last_activity = NowMs();
    if (ready_fd >= 0) {
        char msg[32];
        int n = snprintf(msg, sizeof(msg), "ok %d\n", (int)getpid());
        ssize_t w = write(ready_fd, msg, (size_t)n);
        (void)w;
        close(ready_fd);
    }

    long long next_check = NowMs() + CHECK_EVERY_MS;
    while (!g.stop) {
        long long now = NowUs();
        long long timeout = next_check * 1000 - now; // microseconds
        int want_out = 0;
        if (!g.out.empty()) {
            long long wait = g.out.front().due_us - now;
            if (wait <= 0)
                want_out = 1;
            int r = g.out.front().route;
            if (wait <= 0 && IsCom(r) && g.com.master[r - ROUTE_COM1] < 0)
                timeout = 0; // its port went away: drop it at once
            else if (wait < timeout)
                timeout = wait;
        }
        if (timeout < 0)
            timeout = 0;
        struct timespec ts;
        ts.tv_sec = (time_t)(timeout / 1000000);
        ts.tv_nsec = (long)(timeout % 1000000) * 1000;
        struct pollfd p[6 + COM_PORTS];
        p[0].fd = g.h2d;
        p[0].events = POLLIN;
        p[1].fd = g.listener;
        p[1].events = POLLIN;
        p[2].fd = g.sig_pipe[0];
        p[2].events = POLLIN;
        p[3].fd = want_out && !IsCom(g.out.front().route) ? RouteFd(g.out.front().route) : -1;
        p[3].events = POLLOUT;
        for (int i = 0; i < COM_PORTS; ++i) {
            p[4 + i].fd = g.com.master[i];
            p[4 + i].events = POLLIN;
            if (want_out && g.out.front().route == ROUTE_COM1 + i)
                p[4 + i].events |= POLLOUT;
        }
        p[4 + COM_PORTS].fd = g.mh2d;
        p[4 + COM_PORTS].events = POLLIN;
        p[5 + COM_PORTS].fd = g.kh2d;
        p[5 + COM_PORTS].events = POLLIN;
        for (int i = 0; i < 6 + COM_PORTS; ++i)
            p[i].revents = 0;
        int r = ppoll(p, 6 + COM_PORTS, &ts, NULL);
        if (r < 0 && errno != EINTR) {
            Say("poll: %s", strerror(errno));
            break;
        }
        if (p[2].revents & POLLIN) {
            unsigned char sigs[16];
            ssize_t n = read(g.sig_pipe[0], sigs, sizeof(sigs));
            for (ssize_t i = 0; i < n; ++i) {
                if (sigs[i] != SIGCHLD) {
                    Say("signal %d: exiting", sigs[i]);
                    g.stop = 1;
                }
            }
            ReapChildren();
        }
        if (p[0].revents & POLLIN)
            ReadRecords(g.h2d, &g.reader, HandleRecord);
        if (p[5 + COM_PORTS].revents & POLLIN)
            ReadRecords(g.kh2d, &g.km_reader, HandleKmRecord);
        if (p[4 + COM_PORTS].revents & POLLIN)
            ReadMh2d();
        for (int i = 0; i < COM_PORTS; ++i) {
            if (p[4 + i].fd >= 0 && (p[4 + i].revents & POLLIN))
                ReadCom(i);
        }
        if (p[1].revents & POLLIN)
            ServeClient();
        WriteD2h();
        if (NowMs() >= next_check) {
            ReapChildren();
            if (!StillWanted())
                break;
            next_check = NowMs() + CHECK_EVERY_MS;
        }
    }
    Cleanup();
    return 0;
}
