#include "comports.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "commands.h"

namespace {

std::string LinkName(const ComPorts* c, int port)
{
    return c->dir + "/com" + std::to_string(port + 1);
}

// Removes whatever stands at the port's name.
void Clear(ComPorts* c, int port)
{
    std::string name = LinkName(c, port);
    unlink(name.c_str());
    rmdir(name.c_str());
    unlink((name + ".file").c_str());
}

// An absent port's name is an empty folder: opening it fails as opening a
// missing port does. (A missing name would not do: Wine then looks for the
// port among the devices its mount manager made at boot, which has one for
// the machine's own first serial device.)
void Absent(ComPorts* c, int port)
{
    Clear(c, port);
    mkdir(LinkName(c, port).c_str(), 0755);
    if (c->master[port] >= 0) {
        close(c->slave[port]);
        close(c->master[port]);
    }
    c->master[port] = c->slave[port] = -1;
    c->in_free_us[port] = c->out_free_us[port] = 0;
}

int Present(ComPorts* c, int port, std::string* out)
{
    if (c->master[port] >= 0)
        return 0;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        *out += std::string("vctl: no pseudo-terminal: ") + strerror(errno) + "\n";
        if (master >= 0)
            close(master);
        return 1;
    }
    const char* name = ptsname(master);
    int slave = name ? open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (slave < 0) {
        *out += std::string("vctl: cannot open the pty's slave: ") + strerror(errno) + "\n";
        close(master);
        return 1;
    }
    struct termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    std::string link = LinkName(c, port);
    Clear(c, port);
    if (symlink(name, link.c_str()) != 0) {
        *out += "vctl: cannot link " + link + ": " + strerror(errno) + "\n";
        close(slave);
        close(master);
        return 1;
    }
    c->master[port] = master;
    c->slave[port] = slave;
    c->in_free_us[port] = c->out_free_us[port] = 0;
    return 0;
}

int ParseHex(const std::vector<std::string>& words, size_t from, std::vector<unsigned char>* bytes)
{
    for (size_t i = from; i < words.size(); ++i) {
        char* end = NULL;
        unsigned long v = strtoul(words[i].c_str(), &end, 16);
        if (words[i].empty() || *end != 0 || v > 0xFF)
            return 0;
        bytes->push_back((unsigned char)v);
    }
    return !bytes->empty();
}

int Usage(std::string* out, const char* what)
{
    *out = std::string("vctl: ") + what +
           "\nusage: com present N... | com absent N... | com file N | com noise on|off | com zero [--at K] | com inject N HEX...\n"
             "       | com rate line|off\n";
    return 2;
}

// Port numbers 1..4 from words[from...]; empty on a bad word.
std::vector<int> Ports(const std::vector<std::string>& words, size_t from)
{
    std::vector<int> ports;
    for (size_t i = from; i < words.size(); ++i) {
        unsigned long long n;
        if (!ParseNumber(words[i], COM_PORTS, &n) || n == 0)
            return std::vector<int>();
        ports.push_back((int)n - 1);
    }
    return ports;
}

// The rate the host set on the port (its termios output speed), 0 if unknown.
long Baud(int slave)
{
    static const struct {
        speed_t code;
        long baud;
    } kRates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
                  {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    struct termios t;
    if (slave < 0 || tcgetattr(slave, &t) != 0)
        return 0;
    speed_t code = cfgetospeed(&t);
    for (const auto& r : kRates) {
        if (r.code == code)
            return r.baud;
    }
    return 0;
}

} // namespace

long long ComByteMicros(const ComPorts* c, int port)
{
    if (!c->paced || port < 0 || port >= COM_PORTS)
        return 0;
    long baud = Baud(c->slave[port]);
    return baud > 0 ? (COM_BITS_PER_BYTE * 1000000LL + baud - 1) / baud : 0;
}

void ComLineIn(ComPorts* c, int port, size_t n, long long now_us)
{
    long long byte_us = ComByteMicros(c, port);
    if (byte_us == 0)
        return;
    long long start = c->in_free_us[port] > now_us ? c->in_free_us[port] : now_us;
    c->in_free_us[port] = start + (long long)n * byte_us;
}

long long ComLineOut(ComPorts* c, int port, long long ready_us, long long byte_us)
{
    long long start = ready_us;
    if (c->in_free_us[port] > start)
        start = c->in_free_us[port];
    if (c->out_free_us[port] > start)
        start = c->out_free_us[port];
    c->out_free_us[port] = start + byte_us;
    return c->out_free_us[port];
}

void ComInit(ComPorts* c, const std::string& dir)
{
    c->dir = dir;
    for (int i = 0; i < COM_PORTS; ++i) {
        c->master[i] = c->slave[i] = -1;
        Absent(c, i); // a port of an earlier daemon is gone with it
    }
    c->noise = 0;
    c->zero_at = 0;
    c->replies = 0;
    c->paced = 0;
}

void ComFlush(ComPorts* c)
{
    for (int i = 0; i < COM_PORTS; ++i) {
        if (c->slave[i] >= 0)
            tcflush(c->slave[i], TCIFLUSH);
    }
}

void ComTakeAway(ComPorts* c, int port)
{
    Absent(c, port);
}

void ComCloseAll(ComPorts* c)
{
    for (int i = 0; i < COM_PORTS; ++i)
        Absent(c, i);
}

int ComCommand(ComPorts* c, DeviceModel* m, const std::vector<std::string>& w, std::string* out)
{
    if (w.empty())
        return Usage(out, "com what?");
    if ((w[0] == "present" || w[0] == "absent") && w.size() >= 2) {
        std::vector<int> ports = Ports(w, 1);
        if (ports.empty())
            return Usage(out, "port numbers 1..4");
        for (int p : ports) {
            if (w[0] == "absent") {
                Absent(c, p);
            } else if (Present(c, p, out) != 0) {
                return 1;
            }
            ModelNote(m, ("COM" + std::to_string(p + 1) + " " + w[0]).c_str());
        }
        return 0;
    }
    if (w[0] == "file" && w.size() == 2) {
        // A name that opens like a port but is a plain file.
        std::vector<int> port = Ports(w, 1);
        if (port.size() != 1)
            return Usage(out, "com file N");
        Absent(c, port[0]);
        Clear(c, port[0]);
        std::string file = LinkName(c, port[0]) + ".file";
        FILE* f = fopen(file.c_str(), "w");
        if (f)
            fclose(f);
        if (!f || symlink(file.c_str(), LinkName(c, port[0]).c_str()) != 0) {
            *out = "vctl: cannot make " + file + "\n";
            return 1;
        }
        return 0;
    }
    if (w[0] == "noise" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        c->noise = w[1] == "on";
        return 0;
    }
    if (w[0] == "rate" && w.size() == 2 && (w[1] == "line" || w[1] == "off")) {
        c->paced = w[1] == "line";
        return 0;
    }
    if (w[0] == "zero" && (w.size() == 1 || (w.size() == 3 && w[1] == "--at"))) {
        unsigned long long k = 1;
        if (w.size() == 3 && (!ParseNumber(w[2], 0xFFFFFFFF, &k) || k == 0))
            return Usage(out, "--at K, K from 1");
        c->zero_at = (uint32_t)k;
        c->replies = 0;
        return 0;
    }
    if (w[0] == "inject" && w.size() >= 3) {
        std::vector<int> port = Ports(std::vector<std::string>(w.begin(), w.begin() + 2), 1);
        std::vector<unsigned char> bytes;
        if (port.size() != 1 || !ParseHex(w, 2, &bytes))
            return Usage(out, "com inject N HEX...");
        long n = ComWrite(c, port[0], bytes.data(), bytes.size());
        if (n != (long)bytes.size()) {
            *out = "vctl: COM" + std::to_string(port[0] + 1) + " is absent or full\n";
            return 1;
        }
        ModelNote(m, ("COM" + std::to_string(port[0] + 1) + " line: " + std::to_string(n) + " bytes injected").c_str());
        return 0;
    }
    if (w[0] == "status" && w.size() == 1) {
        for (int i = 0; i < COM_PORTS; ++i) {
            char link[4096];
            ssize_t n = readlink(LinkName(c, i).c_str(), link, sizeof(link) - 1);
            link[n > 0 ? n : 0] = 0;
            *out += "COM" + std::to_string(i + 1) + ": " + (c->master[i] >= 0 ? std::string("present, ") + link : "absent") + "\n";
        }
        *out += std::string("noise ") + (c->noise ? "on" : "off") + ", zero before reply " + std::to_string(c->zero_at) + "\n";
        *out += std::string("rate ") + (c->paced ? "line" : "off");
        for (int i = 0; i < COM_PORTS; ++i) {
            long long us = ComByteMicros(c, i);
            if (us > 0)
                *out += ", COM" + std::to_string(i + 1) + " " + std::to_string(Baud(c->slave[i])) + " baud";
        }
        *out += "\n";
        return 0;
    }
    return Usage(out, "unknown com command");
}

std::vector<unsigned char> ComLineBytes(ComPorts* c, const unsigned char* reply, size_t n)
{
    std::vector<unsigned char> line;
    ++c->replies;
    if (c->zero_at && c->replies == c->zero_at)
        line.push_back(0x00);
    if (c->noise && n >= 2) {
        // Stray bytes before the start, and timing clocks and active sensing
        // inside, as a busy MIDI line carries them.
        const unsigned char before[] = {0xFE, 0x41, 0xF8};
        line.insert(line.end(), before, before + sizeof(before));
        line.push_back(reply[0]);
        line.push_back(0xF8);
        line.insert(line.end(), reply + 1, reply + n - 1);
        line.push_back(0xFF);
        line.push_back(reply[n - 1]);
        return line;
    }
    line.insert(line.end(), reply, reply + n);
    return line;
}

long ComWrite(ComPorts* c, int port, const unsigned char* bytes, size_t n)
{
    if (port < 0 || port >= COM_PORTS || c->master[port] < 0)
        return -1;
    ssize_t r = write(c->master[port], bytes, n);
    if (r < 0)
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    return (long)r;
}
