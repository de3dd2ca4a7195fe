#include "commands.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int ParseNumber(const std::string& word, unsigned long long max, unsigned long long* value)
{
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return 0;
    char* end = NULL;
    errno = 0;
    unsigned long long v = strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v > max)
        return 0;
    *value = v;
    return 1;
}

int ParseVersion(const std::string& word, unsigned* major, unsigned* minor)
{
    size_t dot = word.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= word.size() || dot > 3 || word.size() - dot - 1 > 3 ||
        word.find_first_not_of("0123456789.") != std::string::npos || word.find('.', dot + 1) != std::string::npos)
        return 0;
    unsigned a = (unsigned)strtoul(word.substr(0, dot).c_str(), NULL, 10);
    unsigned b = (unsigned)strtoul(word.substr(dot + 1).c_str(), NULL, 10);
    if (a > 127 || b > 127)
        return 0;
    *major = a;
    *minor = b;
    return 1;
}

namespace {

const char* const kUsage =
    "set protocol N | set packet-size N | set caps N | set version CODE MAJOR.MINOR |\n"
    "set pid HEX [HEX [HEX]] | set pid any | set base ADDRESS | set flash-limit BYTES\n"
    "fault status N [--text T] | fault silent | fault empty | fault delay MS |\n"
    "fault malformed manufacturer|vup|pid|code | fault long BYTES | fault unplug | fault clear\n"
    "  (each fault takes --at K, default 1, and --on packet|setmode|inquiry|version|any, default packet)\n"
    "flash OUT [--base A] [--length L] | log | status | reset\n";

int Usage(std::string* out, const char* what)
{
    *out = std::string("vctl: ") + what + "\nusage:\n" + kUsage;
    return 2;
}

int SetCommand(DeviceModel* m, const std::vector<std::string>& a, std::string* out)
{
    unsigned long long v;
    if (a.size() < 3)
        return Usage(out, "set what?");
    const std::string& what = a[1];
    if (what == "protocol" && a.size() == 3 && ParseNumber(a[2], 0x7F, &v)) {
        m->cfg.protocol = (int)v;
    } else if (what == "packet-size" && a.size() == 3 && ParseNumber(a[2], 0x0FFFFFFF, &v)) {
        m->cfg.packet_size = (uint32_t)v;
    } else if (what == "caps" && a.size() == 3 && ParseNumber(a[2], 0x7F, &v)) {
        m->cfg.caps = (unsigned char)v;
    } else if (what == "base" && a.size() == 3 && ParseNumber(a[2], 0xFFFFFFFFull, &v)) {
        m->cfg.default_base = (uint32_t)v;
    } else if (what == "flash-limit" && a.size() == 3 && ParseNumber(a[2], 1ull << 34, &v)) {
        m->cfg.flash_limit = v;
    } else if (what == "version" && a.size() == 4) {
        unsigned major, minor;
        if (!ParseNumber(a[2], 0x7F, &v) || !ParseVersion(a[3], &major, &minor))
            return Usage(out, "set version CODE MAJOR.MINOR: block code 0..127, version like 1.05");
        ModelSetVersion(m, (unsigned char)v, (unsigned char)major, (unsigned char)minor);
    } else if (what == "pid") {
        unsigned char pid[3];
        int n = 0;
        if (a.size() == 3 && a[2] == "any") {
            ModelSetProductId(m, pid, 0);
        } else {
            if (a.size() > 5)
                return Usage(out, "set pid takes 1 to 3 bytes");
            for (size_t i = 2; i < a.size(); ++i) {
                char* end = NULL;
                unsigned long b = strtoul(a[i].c_str(), &end, 16);
                if (a[i].empty() || *end != 0 || b > 0x7F)
                    return Usage(out, "set pid: bytes in hex, 00..7F");
                pid[n++] = (unsigned char)b;
            }
            ModelSetProductId(m, pid, n);
        }
    } else {
        return Usage(out, "bad set command");
    }
    *out = "ok\n";
    return 0;
}

int FaultCommand(DeviceModel* m, const std::vector<std::string>& a, std::string* out)
{
    if (a.size() < 2)
        return Usage(out, "fault what?");
    if (a[1] == "clear" && a.size() == 2) {
        ModelClearFaults(m);
        ModelNote(m, "faults cleared");
        *out = "ok\n";
        return 0;
    }
    ModelFault f;
    memset(&f, 0, sizeof(f));
    f.at = 1;
    f.target = TargetPacket;
    size_t i = 2;
    unsigned long long v;
    const std::string& kind = a[1];
    if (kind == "status") {
        if (a.size() < 3 || !ParseNumber(a[2], 0x7F, &v))
            return Usage(out, "fault status N: N is 0..127");
        f.kind = FaultStatus;
        f.value = (int)v;
        i = 3;
    } else if (kind == "silent") {
        f.kind = FaultSilent;
    } else if (kind == "empty") {
        f.kind = FaultEmpty;
    } else if (kind == "delay") {
        if (a.size() < 3 || !ParseNumber(a[2], 600000, &v))
            return Usage(out, "fault delay MS");
        f.kind = FaultDelay;
        f.value = (int)v;
        i = 3;
    } else if (kind == "malformed") {
        f.kind = FaultMalformed;
        if (a.size() < 3)
            return Usage(out, "fault malformed manufacturer|vup|pid|code");
        if (a[2] == "manufacturer")
            f.value = MalformManufacturer;
        else if (a[2] == "vup")
            f.value = MalformVupId;
        else if (a[2] == "pid")
            f.value = MalformProductId;
        else if (a[2] == "code")
            f.value = MalformCode;
        else
            return Usage(out, "fault malformed manufacturer|vup|pid|code");
        i = 3;
    } else if (kind == "long") {
        if (a.size() < 3 || !ParseNumber(a[2], MODEL_MAX_REPLY, &v) || v < 17)
            return Usage(out, "fault long BYTES: 17..1024");
        f.kind = FaultLong;
        f.value = (int)v;
        i = 3;
    } else if (kind == "unplug") {
        f.kind = FaultUnplug;
    } else {
        return Usage(out, "unknown fault");
    }
    for (; i < a.size(); ++i) {
        if (a[i] == "--at" && i + 1 < a.size() && ParseNumber(a[i + 1], 0xFFFFFFFFu, &v) && v >= 1) {
            f.at = (uint32_t)v;
            ++i;
        } else if (a[i] == "--text" && i + 1 < a.size() && f.kind == FaultStatus) {
            snprintf(f.text, sizeof(f.text), "%s", a[i + 1].c_str());
            ++i;
        } else if (a[i] == "--on" && i + 1 < a.size()) {
            const std::string& t = a[++i];
            if (t == "packet")
                f.target = TargetPacket;
            else if (t == "setmode")
                f.target = TargetSetMode;
            else if (t == "inquiry")
                f.target = TargetInquiry;
            else if (t == "version")
                f.target = TargetVersion;
            else if (t == "any")
                f.target = TargetAny;
            else
                return Usage(out, "--on packet|setmode|inquiry|version|any");
        } else {
            return Usage(out, ("bad fault option " + a[i]).c_str());
        }
    }
    if (!ModelArmFault(m, &f)) {
        *out = "vctl: too many faults armed (fault clear first)\n";
        return 1;
    }
    char note[96];
    snprintf(note, sizeof(note), "fault armed: %s on %s #%u", kind.c_str(), ModelFaultTargetName(f.target), f.at);
    ModelNote(m, note);
    *out = "ok\n";
    return 0;
}

int FlashCommand(DeviceModel* m, const std::vector<std::string>& a, std::string* out)
{
    if (a.size() < 2)
        return Usage(out, "flash OUT [--base A] [--length L]");
    unsigned long long base = m->flash_low, length = m->flash_high - m->flash_low, v;
    int have_base = 0, have_length = 0;
    for (size_t i = 2; i < a.size(); ++i) {
        if (a[i] == "--base" && i + 1 < a.size() && ParseNumber(a[i + 1], ~0ull, &v)) {
            base = v;
            have_base = 1;
        } else if (a[i] == "--length" && i + 1 < a.size() && ParseNumber(a[i + 1], ~0ull, &v)) {
            length = v;
            have_length = 1;
        } else {
            return Usage(out, "flash OUT [--base A] [--length L]");
        }
        ++i;
    }
    if (have_base && !have_length)
        length = m->flash_high > base ? m->flash_high - base : 0;
    if (base > m->cfg.flash_limit || length > m->cfg.flash_limit - base) {
        *out = "vctl: region leaves the flash\n";
        return 1;
    }
    FILE* f = fopen(a[1].c_str(), "wb");
    if (!f) {
        *out = "vctl: cannot write " + a[1] + ": " + strerror(errno) + "\n";
        return 1;
    }
    std::vector<unsigned char> buf(1 << 20);
    int ok = 1;
    for (unsigned long long done = 0; done < length && ok;) {
        size_t take = (size_t)(length - done < buf.size() ? length - done : buf.size());
        ModelFlashRead(m, base + done, buf.data(), take);
        ok = fwrite(buf.data(), 1, take, f) == take;
        done += take;
    }
    if (fclose(f) != 0)
        ok = 0;
    if (!ok) {
        *out = "vctl: write error on " + a[1] + "\n";
        return 1;
    }
    char line[128];
    snprintf(line, sizeof(line), "0x%llX bytes from 0x%llX\n", length, base);
    *out = line;
    return 0;
}

} // namespace

int ApplyCommand(DeviceModel* m, const std::vector<std::string>& a, std::string* out)
{
    out->clear();
    if (a.empty())
        return Usage(out, "no command");
    const std::string& c = a[0];
    if (c == "set")
        return SetCommand(m, a, out);
    if (c == "fault")
        return FaultCommand(m, a, out);
    if (c == "flash")
        return FlashCommand(m, a, out);
    if (c == "status" && a.size() == 1) {
        *out = ModelStatusText(m);
        return 0;
    }
    if (c == "log" && a.size() == 1) {
        uint64_t seq = ModelLogFirstSeq(m);
        char num[32];
        for (size_t i = 0; i < ModelLogCount(m); ++i) {
            snprintf(num, sizeof(num), "%6llu ", (unsigned long long)(seq + i));
            *out += num;
            *out += ModelLogLine(m, i);
            *out += "\n";
        }
        return 0;
    }
    if (c == "reset" && a.size() == 1) {
        ModelReset(m);
        *out = "ok\n";
        return 0;
    }
    if (c == "plugged" && a.size() == 1) {
        ModelPlugged(m);
        *out = "ok\n";
        return 0;
    }
    if (c == "note" && a.size() == 2) {
        ModelNote(m, a[1].c_str());
        *out = "ok\n";
        return 0;
    }
    return Usage(out, ("unknown command " + c).c_str());
}
