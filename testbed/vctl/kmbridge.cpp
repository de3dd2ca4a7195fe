#include "kmbridge.h"

#include <stdio.h>
#include <string.h>

#include "commands.h"

namespace {

const unsigned char kMarker[4] = {0xFF, 0xFF, 0xFF, 0x00};

void Wire(KmDevice* d, const char* dir, const unsigned char* data, size_t n)
{
    std::string line = dir;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(hex, sizeof(hex), " %02X", data[i]);
        line += hex;
    }
    d->wire.push_back(line);
    while (d->wire.size() > KM_WIRE_LINES)
        d->wire.pop_front();
}

// The reply as packets on cable 15: three bytes per packet, the last one
// with code index 5, 6 or 7 by the bytes it carries.
std::vector<unsigned char> Packets(const unsigned char* reply, size_t n)
{
    std::vector<unsigned char> p;
    for (size_t i = 0; i < n; i += 3) {
        size_t k = n - i < 3 ? n - i : 3;
        bool last = i + k >= n;
        p.push_back((unsigned char)(0xF0 | (last ? 4 + k : 4)));
        for (size_t j = 0; j < 3; ++j)
            p.push_back(j < k ? reply[i + j] : 0);
    }
    return p;
}

void AddEmpty(std::vector<std::vector<unsigned char> >* blocks, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        blocks->push_back(std::vector<unsigned char>(KM_BLOCK, 0));
}

int Usage(std::string* out, const char* what)
{
    *out = std::string("vctl: ") + what +
           "\nusage: kmidi shape empty N | shape gap N | shape trailing on|off | shape clear\n"
           "       kmidi fault header HEX [--packet P] [--at K] | kmidi fault clear | kmidi wire\n";
    return 2;
}

int ShapeCommand(KmDevice* d, const std::vector<std::string>& a, std::string* out)
{
    unsigned long long v;
    if (a.size() == 2 && a[1] == "clear") {
        d->empty_before = d->gap = 0;
        d->trailing = 0;
    } else if (a.size() == 3 && a[1] == "empty" && ParseNumber(a[2], 100000, &v)) {
        d->empty_before = (uint32_t)v;
    } else if (a.size() == 3 && a[1] == "gap" && ParseNumber(a[2], 100000, &v)) {
        d->gap = (uint32_t)v;
    } else if (a.size() == 3 && a[1] == "trailing" && (a[2] == "on" || a[2] == "off")) {
        d->trailing = a[2] == "on";
    } else {
        return Usage(out, "bad shape");
    }
    *out = "ok\n";
    return 0;
}

int FaultCommand(KmDevice* d, const std::vector<std::string>& a, std::string* out)
{
    unsigned long long v;
    if (a.size() == 2 && a[1] == "clear") {
        d->header_armed = 0;
        *out = "ok\n";
        return 0;
    }
    if (a.size() < 3 || a[1] != "header" || !ParseNumber(a[2], 0xFF, &v))
        return Usage(out, "bad fault");
    uint32_t packet = 1, at = 1;
    for (size_t i = 3; i < a.size(); i += 2) {
        unsigned long long n;
        if (i + 1 >= a.size() || !ParseNumber(a[i + 1], 0xFFFFFFFFu, &n) || n < 1)
            return Usage(out, "--packet and --at take a number from 1");
        if (a[i] == "--packet")
            packet = (uint32_t)n;
        else if (a[i] == "--at")
            at = (uint32_t)n;
        else
            return Usage(out, "bad fault option");
    }
    d->header_armed = 1;
    d->header = (unsigned char)v;
    d->header_packet = packet;
    d->header_at = at;
    d->replies_seen = 0;
    *out = "ok\n";
    return 0;
}

} // namespace

void KmInit(KmDevice* d)
{
    d->raw_next = 0;
    d->empty_before = 0;
    d->gap = 0;
    d->trailing = 0;
    d->header_armed = 0;
    d->header_at = 1;
    d->header_packet = 1;
    d->header = 0;
    d->replies_seen = 0;
    d->bad_packets = 0;
    d->wire.clear();
}

void KmPlugged(KmDevice* d)
{
    d->raw_next = 0;
}

void KmOutTransfer(KmDevice* d, const unsigned char* data, size_t n, std::vector<unsigned char>* to_model)
{
    Wire(d, "OUT", data, n);
    if (d->raw_next) {
        d->raw_next = 0;
        to_model->insert(to_model->end(), data, data + n);
        return;
    }
    for (size_t p = 0; p + 4 <= n; p += 4) {
        if (!memcmp(data + p, kMarker, 4)) {
            d->raw_next = 1;
            continue;
        }
        int cin = data[p] & 0x0F;
        if (cin == 4)
            to_model->insert(to_model->end(), data + p + 1, data + p + 4);
        else if (cin >= 5 && cin <= 7)
            to_model->insert(to_model->end(), data + p + 1, data + p + 1 + (cin - 4));
        else if (data[p] || data[p + 1] || data[p + 2] || data[p + 3])
            d->bad_packets++;
    }
    if (n % 4)
        d->bad_packets++;
}

void KmReplyBlocks(KmDevice* d, const unsigned char* reply, size_t n, std::vector<std::vector<unsigned char> >* blocks)
{
    std::vector<unsigned char> packets = Packets(reply, n);
    if (d->header_armed && ++d->replies_seen == d->header_at) {
        d->header_armed = 0;
        size_t at = (size_t)(d->header_packet - 1) * 4;
        if (at < packets.size())
            packets[at] = d->header;
    }
    size_t first = blocks->size();
    AddEmpty(blocks, d->empty_before);
    size_t count = packets.size() / 4;
    for (size_t i = 0; i < count; i += KM_PACKETS_PER_BLOCK) {
        if (i > 0)
            AddEmpty(blocks, d->gap);
        std::vector<unsigned char> b(KM_BLOCK, 0);
        size_t k = count - i < (size_t)KM_PACKETS_PER_BLOCK ? count - i : (size_t)KM_PACKETS_PER_BLOCK;
        memcpy(b.data(), packets.data() + i * 4, k * 4);
        if (d->trailing) {
            // Packets behind the end that would start another message.
            for (size_t j = k; j < KM_PACKETS_PER_BLOCK; ++j) {
                const unsigned char junk[4] = {0xF4, 0xF0, 0x42, 0x23};
                memcpy(b.data() + j * 4, junk, 4);
            }
        }
        blocks->push_back(b);
    }
    for (size_t i = first; i < blocks->size(); ++i)
        Wire(d, "IN", (*blocks)[i].data(), KM_BLOCK);
}

int KmCommand(KmDevice* d, const std::vector<std::string>& a, std::string* out)
{
    out->clear();
    if (a.empty())
        return Usage(out, "kmidi what?");
    if (a[0] == "shape")
        return ShapeCommand(d, a, out);
    if (a[0] == "fault")
        return FaultCommand(d, a, out);
    if (a[0] == "wire" && a.size() == 1) {
        for (const std::string& l : d->wire)
            *out += l + "\n";
        return 0;
    }
    if (a[0] == "wire" && a.size() == 2 && a[1] == "clear") {
        d->wire.clear();
        *out = "ok\n";
        return 0;
    }
    return Usage(out, "unknown kmidi command");
}
