#include "devmodel.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Scratch for one unpacked packet; the model runs on one thread.
unsigned char g_packet[MODEL_MAX_PACKET];

uint32_t Get14(const unsigned char* p)
{
    return ((uint32_t)p[0] << 7) | p[1];
}

uint32_t Get28(const unsigned char* p)
{
    return ((uint32_t)p[0] << 21) | ((uint32_t)p[1] << 14) | ((uint32_t)p[2] << 7) | p[3];
}

int NumberLength(const DeviceModel* m)
{
    return m->cfg.protocol == 0 ? 2 : 4;
}

uint32_t PackedLength(uint32_t n)
{
    return n + (n + 6) / 7;
}

// ---------------------------------------------------------------- wire log

void LogText(DeviceModel* m, const char* text)
{
    ModelLogEntry line;
    snprintf(line.text, sizeof(line.text), "%s", text);
    uint32_t cap = m->cfg.log_capacity ? m->cfg.log_capacity : 1;
    if (m->log.size() < cap)
        m->log.push_back(line);
    else
        m->log[m->log_total % m->log.size()] = line;
    m->log_total++;
}

void Logf(DeviceModel* m, const char* fmt, ...)
{
    char text[MODEL_LOG_TEXT];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    LogText(m, text);
}

// "F0 42 23 ..": up to 24 bytes, longer messages as their first 20, "..", the last 2.
void HexBytes(const unsigned char* b, size_t n, char* out, size_t size)
{
    size_t used = 0;
    out[0] = 0;
    for (size_t i = 0; i < n && used + 4 < size; ++i) {
        if (n > 24 && i == 20) {
            used += (size_t)snprintf(out + used, size - used, ".. ");
            i = n - 2;
        }
        used += (size_t)snprintf(out + used, size - used, "%02X ", b[i]);
    }
    if (used > 0)
        out[used - 1] = 0;
}

void LogMessage(DeviceModel* m, const char* dir, const unsigned char* b, size_t n, const char* decode)
{
    char hex[96];
    HexBytes(b, n, hex, sizeof(hex));
    if (n > 24)
        Logf(m, "%s %s (%zu bytes) | %s", dir, hex, n, decode);
    else
        Logf(m, "%s %s | %s", dir, hex, decode);
}

// ---------------------------------------------------------------- flash image

int FlashWrite(DeviceModel* m, uint64_t address, const unsigned char* data, size_t n, int fill)
{
    if (address > m->cfg.flash_limit || n > m->cfg.flash_limit - address)
        return 0;
    size_t done = 0;
    while (done < n) {
        uint64_t a = address + done;
        size_t page = (size_t)(a / MODEL_FLASH_PAGE);
        size_t off = (size_t)(a % MODEL_FLASH_PAGE);
        size_t take = MODEL_FLASH_PAGE - off;
        if (take > n - done)
            take = n - done;
        if (m->flash_pages.size() <= page)
            m->flash_pages.resize(page + 1);
        std::vector<unsigned char>& p = m->flash_pages[page];
        if (p.empty())
            p.assign(MODEL_FLASH_PAGE, 0xFF);
        if (fill)
            memset(&p[off], data[0], take);
        else
            memcpy(&p[off], data + done, take);
        done += take;
    }
    if (m->flash_bytes == 0 || address < m->flash_low)
        m->flash_low = address;
    if (m->flash_bytes == 0 || address + n > m->flash_high)
        m->flash_high = address + n;
    m->flash_bytes += n;
    return 1;
}

// ---------------------------------------------------------------- replies

struct Head {
    unsigned char pid[3];
    int pid_length;
};

// Starts a reply with the product ID the host used; returns its length so far.
int ReplyHead(const Head* h, ModelReply* r, unsigned char code)
{
    FileInfo fi;
    memset(&fi, 0, sizeof(fi));
    fi.product_id[0] = h->pid[0];
    fi.product_id[1] = h->pid_length >= 2 ? h->pid[1] : 0xFF;
    fi.product_id[2] = h->pid_length >= 3 ? h->pid[2] : 0xFF;
    memset(r, 0, sizeof(*r));
    return BuildMessageHead(r->bytes, &fi, code);
}

void Queue(DeviceModel* m, ModelReply* r)
{
    m->outbox.push_back(*r);
}

void ReplyStatus(DeviceModel* m, const Head* h, int status, const char* text)
{
    ModelReply r;
    int n = ReplyHead(h, &r, MsgStatus);
    r.bytes[n++] = (unsigned char)(status & 0x7F);
    if (text) {
        for (const char* t = text; *t && n < MODEL_MAX_REPLY - 1; ++t)
            r.bytes[n++] = (unsigned char)(*t & 0x7F);
    }
    r.bytes[n++] = MSG_SYSEX_END;
    r.length = n;
    Queue(m, &r);
    if (status != 0) {
        m->errors++;
        if (m->block_pending)
            m->block_failed = 1;
    }
}

void ReplyInquiry(DeviceModel* m, const Head* h)
{
    ModelReply r;
    int n = ReplyHead(h, &r, MsgInquiryReply);
    r.bytes[n++] = (unsigned char)(m->cfg.protocol & 0x7F);
    if (m->cfg.protocol == 0) {
        r.bytes[n++] = (unsigned char)((m->cfg.packet_size >> 7) & 0x7F);
        r.bytes[n++] = (unsigned char)(m->cfg.packet_size & 0x7F);
    } else {
        Put28Bit(r.bytes + n, m->cfg.packet_size);
        n += 4;
    }
    r.bytes[n++] = (unsigned char)(m->cfg.caps & 0x7F);
    r.bytes[n++] = MSG_SYSEX_END;
    r.length = n;
    Queue(m, &r);
}

void ReplyVersion(DeviceModel* m, const Head* h, unsigned char block_code)
{
    ModelReply r;
    int n = ReplyHead(h, &r, MsgVersionReply);
    r.bytes[n++] = (unsigned char)(m->cfg.version[block_code & 0x7F][0] & 0x7F);
    r.bytes[n++] = (unsigned char)(m->cfg.version[block_code & 0x7F][1] & 0x7F);
    r.bytes[n++] = MSG_SYSEX_END;
    r.length = n;
    Queue(m, &r);
}

// Short decode of a reply the model built (its head has h's product ID).
void DecodeReply(const Head* h, const ModelReply* r, char* out, size_t size)
{
    int at = 3 + h->pid_length;
    const unsigned char* b = r->bytes;
    if (at + 1 >= r->length) {
        snprintf(out, size, "reply");
        return;
    }
    switch (b[at]) {
    case MsgStatus: {
        char what[32];
        DeviceStatusText(b[at + 1], what);
        if (b[at + 1] == 0)
            snprintf(out, size, "status 0");
        else if (b[at + 1] >= 0x40)
            snprintf(out, size, "status 0x%02X with text", b[at + 1]);
        else
            snprintf(out, size, "status %d (%s)", b[at + 1], what);
        break;
    }
    case MsgInquiryReply:
        if (b[at + 1] == 0 && at + 5 < r->length)
            snprintf(out, size, "inquiry reply: protocol 0, packet size %u, caps 0x%02X", Get14(b + at + 2), b[at + 4]);
        else if (at + 7 < r->length)
            snprintf(out, size, "inquiry reply: protocol %d, packet size %u, caps 0x%02X", b[at + 1], Get28(b + at + 2),
                     b[at + 6]);
        else
            snprintf(out, size, "inquiry reply");
        break;
    case MsgVersionReply:
        snprintf(out, size, "version reply: %d.%02d", b[at + 1], at + 2 < r->length ? b[at + 2] : 0);
        break;
    case MsgPortProbeReply:
        snprintf(out, size, "port probe reply: %d", b[at + 1]);
        break;
    default:
        snprintf(out, size, "reply code 0x%02X", b[at]);
        break;
    }
}

// ---------------------------------------------------------------- blocks

void Commit(DeviceModel* m)
{
    if (m->block_pending && !m->block_failed) {
        m->cfg.version[m->block_code & 0x7F][0] = (unsigned char)(m->set_major & 0x3F);
        m->cfg.version[m->block_code & 0x7F][1] = m->set_minor;
        m->commits++;
        Logf(m, "--- block 0x%02X complete: version now %d.%02d", m->block_code, m->set_major & 0x3F, m->set_minor);
    }
    m->block_pending = 0;
}

// The host moved on to another request. Protocol 0 tells no block length, so
// a block that took packets without an error counts as complete now; a
// protocol 1 block completes only by its last packet.
void HostMovedOn(DeviceModel* m)
{
    if (!m->block_pending)
        return;
    if (m->cfg.protocol == 0 && !m->block_failed && m->block_acked > 0)
        Commit(m);
    else if (m->block_pending)
        Logf(m, "--- block 0x%02X left incomplete: version kept", m->block_code);
    m->block_pending = 0;
}

void ForgetBlock(DeviceModel* m, const char* why)
{
    if (m->block_pending)
        Logf(m, "--- block 0x%02X dropped (%s): version kept", m->block_code, why);
    m->block_pending = 0;
}

// ---------------------------------------------------------------- messages

void HandleInquiry(DeviceModel* m, const Head* h, const unsigned char* pay, size_t len, char* dec, size_t dsize)
{
    if (len > 1) {
        snprintf(dec, dsize, "inquiry with %zu payload bytes", len);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    HostMovedOn(m);
    if (len == 1)
        snprintf(dec, dsize, "inquiry, param 0x%02X", pay[0]);
    else
        snprintf(dec, dsize, "inquiry");
    ReplyInquiry(m, h);
}

void HandleVersion(DeviceModel* m, const Head* h, const unsigned char* pay, size_t len, char* dec, size_t dsize)
{
    if (len != 1) {
        snprintf(dec, dsize, "version request with %zu payload bytes", len);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    HostMovedOn(m);
    snprintf(dec, dsize, "version request, block 0x%02X", pay[0]);
    ReplyVersion(m, h, pay[0]);
}

void HandleSetMode(DeviceModel* m, const Head* h, const unsigned char* pay, size_t len, char* dec, size_t dsize)
{
    HostMovedOn(m);
    m->mode_set = 0;
    int proto1 = m->cfg.protocol != 0;
    size_t want = proto1 ? 16 : 4;
    if (len != want) {
        snprintf(dec, dsize, "set-mode with %zu payload bytes (want %zu)", len, want);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    unsigned char mode = pay[0];
    unsigned char code = pay[1];
    uint32_t base, length, psize;
    unsigned char major, minor;
    if (proto1) {
        base = Get28(pay + 2);
        length = Get28(pay + 6);
        major = pay[10];
        minor = pay[11];
        psize = Get28(pay + 12);
    } else {
        base = m->cfg.default_base;
        length = 0;
        major = pay[2];
        minor = pay[3];
        psize = m->cfg.packet_size;
    }
    int n = snprintf(dec, dsize, "set-mode %s, block 0x%02X", mode == 1 ? "raw" : "packed", code);
    if (proto1)
        n += snprintf(dec + n, dsize - (size_t)n, ", base 0x%X, length 0x%X", base, length);
    n += snprintf(dec + n, dsize - (size_t)n, ", version %d.%02d, packet size %u", major & 0x3F, minor, psize);

    const char* bad = NULL;
    if (mode > 1)
        bad = "mode byte";
    else if (mode == 1 && !(m->cfg.caps & CAP_RAW_DATA))
        bad = "raw data not offered";
    else if (!(major & 0x40))
        bad = "version major without 0x40";
    else if (psize == 0 || psize > MODEL_MAX_PACKET)
        bad = "packet size";
    if (bad) {
        snprintf(dec + n, dsize - (size_t)n, " - refused: %s", bad);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    m->mode_set = 1;
    m->raw = mode;
    m->block_code = code;
    m->base = base;
    m->length = length;
    m->psize = psize;
    m->set_major = major;
    m->set_minor = minor;
    m->block_pending = 1;
    m->block_failed = 0;
    m->block_acked = 0;
    ReplyStatus(m, h, STATUS_OK, NULL);
    if (proto1 && length == 0)
        m->commit_due = 1;
}

// Writes a packet at base + number * packet size; returns the status.
int StorePacket(DeviceModel* m, uint32_t number, const unsigned char* data, int fill, uint64_t* address)
{
    // The block's offset from the base is not sent, so the number is not
    // checked against the block: only the flash bounds it.
    uint64_t a = (uint64_t)m->base + (uint64_t)number * m->psize;
    *address = a;
    if (!FlashWrite(m, a, data, m->psize, fill))
        return STATUS_FLASH_WRITE;
    return STATUS_OK;
}

void Acked(DeviceModel* m)
{
    m->packets_acked++;
    m->block_acked++;
    if (m->cfg.protocol != 0 && m->block_pending && m->block_acked * m->psize >= m->length)
        m->commit_due = 1; // after the reply is logged
}

void HandleData(DeviceModel* m, const Head* h, const unsigned char* pay, size_t len, char* dec, size_t dsize)
{
    m->packets++;
    size_t nl = (size_t)NumberLength(m);
    if (!m->mode_set) {
        snprintf(dec, dsize, "data before an accepted set-mode");
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    if (len < nl + 2) {
        snprintf(dec, dsize, "data with %zu payload bytes", len);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    uint32_t number = nl == 2 ? Get14(pay) : Get28(pay);
    const unsigned char* body = pay + nl;
    size_t body_len = len - nl - 1;
    unsigned char sent_sum = pay[len - 1];
    int n = snprintf(dec, dsize, "data #%u %s", number, m->raw ? "raw" : "packed");

    unsigned sum = 0;
    for (size_t i = 0; i < body_len; ++i)
        sum += body[i];
    unsigned char want_sum;
    if (m->raw) {
        if (body_len != m->psize) {
            snprintf(dec + n, dsize - (size_t)n, ", %zu data bytes (want %u)", body_len, m->psize);
            ReplyStatus(m, h, STATUS_FORMAT, NULL);
            return;
        }
        want_sum = (unsigned char)(sum & 0xFF);
    } else {
        if (body_len != PackedLength(m->psize)) {
            snprintf(dec + n, dsize - (size_t)n, ", %zu packed bytes (want %u)", body_len, PackedLength(m->psize));
            ReplyStatus(m, h, STATUS_FORMAT, NULL);
            return;
        }
        want_sum = (unsigned char)(sum & 0x7F);
    }
    if (sent_sum != want_sum) {
        snprintf(dec + n, dsize - (size_t)n, ", checksum 0x%02X (want 0x%02X)", sent_sum, want_sum);
        ReplyStatus(m, h, STATUS_CHECKSUM, NULL);
        return;
    }
    const unsigned char* data = body;
    if (!m->raw) {
        size_t out = 0;
        for (size_t i = 0; i < body_len;) {
            unsigned char high = body[i++];
            for (int k = 0; k < 7 && i < body_len; ++k, ++i)
                g_packet[out++] = (unsigned char)(body[i] | (((high >> k) & 1) << 7));
        }
        data = g_packet;
    }
    uint64_t address = 0;
    int status = StorePacket(m, number, data, 0, &address);
    snprintf(dec + n, dsize - (size_t)n, ", address 0x%06llX%s", (unsigned long long)address,
             status == STATUS_FLASH_WRITE ? " outside the flash" : "");
    ReplyStatus(m, h, status, NULL);
    if (status == STATUS_OK)
        Acked(m);
}

void HandleFill(DeviceModel* m, const Head* h, const unsigned char* pay, size_t len, char* dec, size_t dsize)
{
    m->packets++;
    size_t nl = (size_t)NumberLength(m);
    if (!m->mode_set) {
        snprintf(dec, dsize, "fill before an accepted set-mode");
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    if (len != nl + 2) {
        snprintf(dec, dsize, "fill with %zu payload bytes", len);
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    uint32_t number = nl == 2 ? Get14(pay) : Get28(pay);
    unsigned char hi = pay[nl], lo = pay[nl + 1];
    int n = snprintf(dec, dsize, "fill #%u", number);
    if (!(m->cfg.caps & CAP_FILL) || hi > 0x0F || lo > 0x0F) {
        snprintf(dec + n, dsize - (size_t)n, " - refused: %s", (m->cfg.caps & CAP_FILL) ? "nibbles" : "fill not offered");
        ReplyStatus(m, h, STATUS_FORMAT, NULL);
        return;
    }
    unsigned char value = (unsigned char)((hi << 4) | lo);
    uint64_t address = 0;
    int status = StorePacket(m, number, &value, 1, &address);
    snprintf(dec + n, dsize - (size_t)n, " value 0x%02X, address 0x%06llX%s", value, (unsigned long long)address,
             status == STATUS_FLASH_WRITE ? " outside the flash" : "");
    ReplyStatus(m, h, status, NULL);
    if (status == STATUS_OK)
        Acked(m);
}

// 1 when the payload length fits what a message of that code carries.
int ShapeFits(const DeviceModel* m, const unsigned char* msg, size_t len, int p)
{
    size_t code_at = 3 + (size_t)p;
    if (code_at + 1 >= len)
        return 0;
    for (int i = 0; i < p; ++i) {
        if (msg[3 + i] & 0x80)
            return 0;
    }
    size_t pay = len - code_at - 2;
    size_t nl = (size_t)NumberLength(m);
    switch (msg[code_at]) {
    case MsgInquiry:
        return pay <= 1;
    case MsgVersionRequest:
    case MsgPortProbe:
        return pay == 1;
    case MsgSetMode:
        return pay == (m->cfg.protocol == 0 ? 4u : 16u);
    case MsgData:
        if (m->mode_set)
            return pay == nl + 1 + (m->raw ? m->psize : PackedLength(m->psize));
        return pay >= nl + 3;
    case MsgFill:
        return pay == nl + 2;
    }
    return 0;
}

// Length of the product ID in a host message when any is accepted: the one
// used before if it still fits; else, as the host starts every exchange with
// an inquiry, the shortest reading as an inquiry; else the shortest that
// gives a sensible message. (F0 42 23 10 00 00 F7 stays ambiguous: 10 with
// parameter 00, or 10 00 without; the shorter wins.)
int GuessPidLength(const DeviceModel* m, const unsigned char* msg, size_t len)
{
    int hl = m->host_pid_length;
    if (hl > 0 && len > (size_t)(3 + hl) && memcmp(msg + 3, m->host_pid, (size_t)hl) == 0 && ShapeFits(m, msg, len, hl))
        return hl;
    for (int p = 1; p <= 3; ++p) {
        if (ShapeFits(m, msg, len, p) && msg[3 + p] == MsgInquiry)
            return p;
    }
    for (int p = 1; p <= 3; ++p) {
        if (ShapeFits(m, msg, len, p))
            return p;
    }
    return 0;
}

int TargetOf(unsigned char code)
{
    switch (code) {
    case MsgData:
    case MsgFill:
        return TargetPacket;
    case MsgSetMode:
        return TargetSetMode;
    case MsgInquiry:
        return TargetInquiry;
    case MsgVersionRequest:
        return TargetVersion;
    }
    return -1;
}

// Counts the message for every armed fault of its kind; returns the one that fires.
ModelFault* PickFault(DeviceModel* m, int target)
{
    ModelFault* fire = NULL;
    for (int i = 0; i < m->fault_count; ++i) {
        ModelFault* f = &m->faults[i];
        if (f->fired || (f->target != TargetAny && f->target != target))
            continue;
        f->seen++;
        if (!fire && f->seen >= f->at) {
            f->fired = 1;
            fire = f;
        }
    }
    return fire;
}

void ClearAssembly(DeviceModel* m)
{
    m->in_msg = 0;
    m->msg_len = 0;
    m->msg_overflow = 0;
    m->raw_left = 0;
    m->raw_end = 0;
}

void ApplyReplyFault(const ModelFault* f, const Head* h, ModelReply* r, char* note, size_t nsize)
{
    note[0] = 0;
    if (!f)
        return;
    switch (f->kind) {
    case FaultDelay:
        r->delay_ms = f->value;
        snprintf(note, nsize, " [fault: %d ms late]", f->value);
        break;
    case FaultMalformed:
        if (f->value == MalformManufacturer)
            r->bytes[1] = 0x41;
        else if (f->value == MalformVupId)
            r->bytes[2] = 0x24;
        else if (f->value == MalformProductId)
            r->bytes[3] ^= 0x01;
        else
            r->bytes[3 + h->pid_length] = 0x7E;
        snprintf(note, nsize, " [fault: wrong %s]", ModelMalformName(f->value));
        break;
    case FaultLong:
        if (f->value > r->length) {
            int to = f->value > MODEL_MAX_REPLY ? MODEL_MAX_REPLY : f->value;
            memset(r->bytes + r->length - 1, 0, (size_t)(to - r->length));
            r->bytes[to - 1] = MSG_SYSEX_END;
            r->length = to;
        }
        snprintf(note, nsize, " [fault: padded to %d bytes]", r->length);
        break;
    }
}

// Logs the replies queued from `before` on, after the fault (if any) changed them.
void LogReplies(DeviceModel* m, const Head* h, size_t before, const ModelFault* fault)
{
    for (size_t i = before; i < m->outbox.size(); ++i) {
        ModelReply* r = &m->outbox[i];
        char rdec[96], note[64];
        DecodeReply(h, r, rdec, sizeof(rdec));
        ApplyReplyFault(fault, h, r, note, sizeof(note));
        char line[160];
        snprintf(line, sizeof(line), "%s%s", rdec, note);
        LogMessage(m, "D>H", r->bytes, (size_t)r->length, line);
    }
}

// Answers a message that cannot be read with a format error, in the product
// ID the host used last.
void RefuseUnreadable(DeviceModel* m, const unsigned char* msg, size_t len, const char* why)
{
    Head h;
    h.pid_length = m->host_pid_length > 0 ? m->host_pid_length : 1;
    memcpy(h.pid, m->host_pid_length > 0 ? m->host_pid : msg + 3, 3);
    LogMessage(m, "H>D", msg, len, why);
    size_t before = m->outbox.size();
    ReplyStatus(m, &h, STATUS_FORMAT, NULL);
    LogReplies(m, &h, before, NULL);
}

void HandleMessage(DeviceModel* m)
{
    const unsigned char* msg = m->msg;
    size_t len = m->msg_len;
    char dec[160];
    m->messages_in++;

    if (m->msg_overflow) {
        Logf(m, "H>D message longer than %d bytes dropped", MODEL_MAX_MESSAGE);
        return;
    }
    if (len < 6 || msg[1] != MSG_MANUFACTURER_ID || msg[2] != MSG_VUP_ID) {
        LogMessage(m, "H>D", msg, len, "not an update message, ignored");
        return;
    }

    Head h;
    int pid_ok = 1;
    if (m->cfg.pid_length > 0) {
        h.pid_length = m->cfg.pid_length;
        if (len < (size_t)(h.pid_length + 5)) {
            LogMessage(m, "H>D", msg, len, "too short, ignored");
            return;
        }
        pid_ok = memcmp(msg + 3, m->cfg.pid, (size_t)h.pid_length) == 0;
    } else {
        h.pid_length = GuessPidLength(m, msg, len);
        if (h.pid_length == 0) {
            RefuseUnreadable(m, msg, len, "unreadable message");
            return;
        }
    }
    memcpy(h.pid, msg + 3, (size_t)h.pid_length);
    memcpy(m->host_pid, h.pid, (size_t)h.pid_length);
    m->host_pid_length = h.pid_length;

    unsigned char code = msg[3 + h.pid_length];
    const unsigned char* pay = msg + 4 + h.pid_length;
    size_t pay_len = len - 5 - (size_t)h.pid_length;
    ModelFault* fault = PickFault(m, TargetOf(code));
    size_t before = m->outbox.size();
    dec[0] = 0;

    if (fault && fault->kind == FaultUnplug) {
        LogMessage(m, "H>D", msg, len, "[fault: device disappears]");
        m->gone = 1;
        m->unplug_request = 1;
        m->mode_set = 0;
        ForgetBlock(m, "unplugged");
        return;
    }
    if (fault && fault->kind == FaultSilent) {
        LogMessage(m, "H>D", msg, len, "[fault: no reply]");
        if (TargetOf(code) == TargetPacket)
            m->packets++;
        return;
    }
    if (fault && fault->kind == FaultEmpty) {
        LogMessage(m, "H>D", msg, len, "[fault: empty transfer]");
        if (TargetOf(code) == TargetPacket)
            m->packets++;
        ModelReply empty;
        empty.length = 0;
        empty.delay_ms = 0;
        Queue(m, &empty);
        return;
    }
    if (fault && fault->kind == FaultStatus) {
        if (TargetOf(code) == TargetPacket)
            m->packets++;
        if (TargetOf(code) == TargetSetMode) {
            HostMovedOn(m);
            m->mode_set = 0;
        }
        snprintf(dec, sizeof(dec), "code 0x%02X [fault: status 0x%02X]", code, fault->value);
        ReplyStatus(m, &h, fault->value, fault->text[0] ? fault->text : NULL);
    } else if (!pid_ok) {
        snprintf(dec, sizeof(dec), "code 0x%02X, product ID differs", code);
        ReplyStatus(m, &h, STATUS_PRODUCT_ID, NULL);
    } else {
        switch (code) {
        case MsgInquiry:
            HandleInquiry(m, &h, pay, pay_len, dec, sizeof(dec));
            break;
        case MsgVersionRequest:
            HandleVersion(m, &h, pay, pay_len, dec, sizeof(dec));
            break;
        case MsgSetMode:
            HandleSetMode(m, &h, pay, pay_len, dec, sizeof(dec));
            break;
        case MsgData:
            HandleData(m, &h, pay, pay_len, dec, sizeof(dec));
            break;
        case MsgFill:
            HandleFill(m, &h, pay, pay_len, dec, sizeof(dec));
            break;
        case MsgPortProbe:
            if (pay_len == 1) {
                snprintf(dec, sizeof(dec), "port probe %d", pay[0]);
                ModelReply r;
                int n = ReplyHead(&h, &r, MsgPortProbeReply);
                r.bytes[n++] = pay[0];
                r.bytes[n++] = MSG_SYSEX_END;
                r.length = n;
                Queue(m, &r);
                break;
            }
            [[fallthrough]]; // a malformed probe
        default:
            snprintf(dec, sizeof(dec), "unknown code 0x%02X", code);
            ReplyStatus(m, &h, STATUS_FORMAT, NULL);
            break;
        }
    }

    LogMessage(m, "H>D", msg, len, dec);
    LogReplies(m, &h, before, fault);
    if (m->commit_due) {
        m->commit_due = 0;
        Commit(m);
    }
}

} // namespace

// ---------------------------------------------------------------- public

void ModelInit(DeviceModel* m)
{
    memset(&m->cfg, 0, sizeof(m->cfg));
    m->cfg.pid_length = 0;
    m->cfg.protocol = 1;
    m->cfg.packet_size = 256;
    m->cfg.caps = CAP_RAW_DATA | CAP_FILL;
    m->cfg.default_base = 0;
    m->cfg.flash_limit = MODEL_DEFAULT_FLASH_LIMIT;
    m->cfg.log_capacity = MODEL_DEFAULT_LOG_CAPACITY;
    ModelReset(m);
}

void ModelReset(DeviceModel* m)
{
    for (int i = 0; i < MODEL_BLOCK_CODES; ++i) {
        m->cfg.version[i][0] = 1;
        m->cfg.version[i][1] = 0;
    }
    ClearAssembly(m);
    m->stray_bytes = 0;
    memset(m->host_pid, 0, sizeof(m->host_pid));
    m->host_pid_length = 0;
    m->mode_set = 0;
    m->raw = 0;
    m->block_code = 0;
    m->base = m->length = m->psize = 0;
    m->set_major = m->set_minor = 0;
    m->block_pending = m->block_failed = 0;
    m->block_acked = 0;
    m->commit_due = 0;
    m->messages_in = m->replies_out = m->packets = m->packets_acked = m->errors = m->commits = 0;
    m->bytes_in = m->bytes_out = 0;
    memset(m->faults, 0, sizeof(m->faults));
    m->fault_count = 0;
    m->gone = 0;
    m->unplug_request = 0;
    m->outbox.clear();
    m->outbox_head = 0;
    m->flash_pages.clear();
    m->flash_low = m->flash_high = m->flash_bytes = 0;
    m->log.clear();
    m->log_total = 0;
}

void ModelFeed(DeviceModel* m, const unsigned char* data, size_t n)
{
    if (m->gone)
        return;
    m->bytes_in += n;
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = data[i];
        if (!m->in_msg) {
            if (b == MSG_SYSEX_START) {
                ClearAssembly(m);
                m->in_msg = 1;
                m->msg[m->msg_len++] = b;
            } else {
                m->stray_bytes++;
            }
            continue;
        }
        if (m->raw_left > 0) {
            // Raw data and its 8-bit checksum: any value, F7 included.
            m->msg[m->msg_len++] = b;
            if (--m->raw_left == 0)
                m->raw_end = 1;
            continue;
        }
        if (m->raw_end && b != MSG_SYSEX_END) {
            m->messages_in++;
            m->packets++;
            RefuseUnreadable(m, m->msg, m->msg_len, "raw packet not closed by F7");
            ClearAssembly(m);
            if (b == MSG_SYSEX_START) {
                m->in_msg = 1;
                m->msg[m->msg_len++] = b;
            }
            continue;
        }
        if (b == MSG_SYSEX_END) {
            if (m->msg_len < MODEL_MAX_MESSAGE)
                m->msg[m->msg_len++] = b;
            HandleMessage(m);
            ClearAssembly(m);
            if (m->gone)
                return;
            continue;
        }
        if (b == MSG_SYSEX_START) {
            Logf(m, "H>D message cut off after %zu bytes by a new F0, dropped", m->msg_len);
            ClearAssembly(m);
            m->in_msg = 1;
            m->msg[m->msg_len++] = b;
            continue;
        }
        if (b & 0x80) {
            Logf(m, "H>D status byte 0x%02X inside a message, dropped", b);
            ClearAssembly(m);
            continue;
        }
        if (m->msg_len + 1 >= MODEL_MAX_MESSAGE) {
            m->msg_overflow = 1;
            continue;
        }
        m->msg[m->msg_len++] = b;

        // After a raw set-mode the data part of MsgData is 8-bit: once the
        // head and packet number are in, take the packet and checksum blindly.
        if (m->raw && m->mode_set) {
            int p = m->cfg.pid_length > 0 ? m->cfg.pid_length : m->host_pid_length;
            size_t head = 3 + (size_t)p + 1 + (size_t)NumberLength(m);
            if (p > 0 && m->msg_len == head && m->msg[1] == MSG_MANUFACTURER_ID && m->msg[2] == MSG_VUP_ID &&
                m->msg[3 + p] == MsgData) {
                m->raw_left = m->psize + 1;
            }
        }
    }
}

int ModelTakeReply(DeviceModel* m, ModelReply* out)
{
    if (m->outbox_head >= m->outbox.size()) {
        m->outbox.clear();
        m->outbox_head = 0;
        return 0;
    }
    *out = m->outbox[m->outbox_head++];
    m->replies_out++;
    m->bytes_out += out->length;
    if (m->outbox_head == m->outbox.size()) {
        m->outbox.clear();
        m->outbox_head = 0;
    }
    return 1;
}

int ModelTakeUnplug(DeviceModel* m)
{
    int r = m->unplug_request;
    m->unplug_request = 0;
    return r;
}

void ModelHostAbort(DeviceModel* m)
{
    LogText(m, "--- host: abort request");
    ForgetBlock(m, "aborted");
}

void ModelPipeOpened(DeviceModel* m, uint32_t pipe)
{
    Logf(m, "--- host: pipe %u opened", pipe);
    m->gone = 0;
}

void ModelRemoved(DeviceModel* m)
{
    LogText(m, "--- device removed");
    ForgetBlock(m, "removed");
    ClearAssembly(m);
    m->mode_set = 0;
    m->outbox.clear();
    m->outbox_head = 0;
}

void ModelPlugged(DeviceModel* m)
{
    LogText(m, "--- device plugged in");
    ForgetBlock(m, "power cycle");
    ClearAssembly(m);
    m->mode_set = 0;
    m->gone = 0;
}

void ModelNote(DeviceModel* m, const char* text)
{
    Logf(m, "--- %s", text);
}

int ModelSetProductId(DeviceModel* m, const unsigned char* pid, int length)
{
    if (length < 0 || length > 3)
        return 0;
    for (int i = 0; i < length; ++i) {
        if (pid[i] & 0x80)
            return 0;
    }
    memset(m->cfg.pid, 0, sizeof(m->cfg.pid));
    memcpy(m->cfg.pid, pid, (size_t)length);
    m->cfg.pid_length = length;
    return 1;
}

void ModelSetVersion(DeviceModel* m, unsigned char block_code, unsigned char major, unsigned char minor)
{
    m->cfg.version[block_code & 0x7F][0] = major;
    m->cfg.version[block_code & 0x7F][1] = minor;
}

int ModelArmFault(DeviceModel* m, const ModelFault* f)
{
    if (m->fault_count >= MODEL_MAX_FAULTS)
        return 0;
    ModelFault* d = &m->faults[m->fault_count++];
    *d = *f;
    d->text[MODEL_FAULT_TEXT - 1] = 0;
    if (d->at == 0)
        d->at = 1;
    d->seen = 0;
    d->fired = 0;
    return 1;
}

void ModelClearFaults(DeviceModel* m)
{
    memset(m->faults, 0, sizeof(m->faults));
    m->fault_count = 0;
}

int ModelFlashRead(const DeviceModel* m, uint64_t address, unsigned char* out, size_t n)
{
    if (address > m->cfg.flash_limit || n > m->cfg.flash_limit - address)
        return 0;
    for (size_t i = 0; i < n;) {
        uint64_t a = address + i;
        size_t page = (size_t)(a / MODEL_FLASH_PAGE);
        size_t off = (size_t)(a % MODEL_FLASH_PAGE);
        size_t take = MODEL_FLASH_PAGE - off;
        if (take > n - i)
            take = n - i;
        if (page < m->flash_pages.size() && !m->flash_pages[page].empty())
            memcpy(out + i, &m->flash_pages[page][off], take);
        else
            memset(out + i, 0xFF, take);
        i += take;
    }
    return 1;
}

size_t ModelLogCount(const DeviceModel* m)
{
    return m->log.size();
}

const char* ModelLogLine(const DeviceModel* m, size_t i)
{
    size_t n = m->log.size();
    if (i >= n)
        return "";
    if (m->log_total <= n)
        return m->log[i].text;
    return m->log[(size_t)((m->log_total + i) % n)].text;
}

uint64_t ModelLogFirstSeq(const DeviceModel* m)
{
    return m->log_total - m->log.size() + 1;
}

const char* ModelFaultTargetName(int target)
{
    switch (target) {
    case TargetPacket:
        return "packet";
    case TargetSetMode:
        return "setmode";
    case TargetInquiry:
        return "inquiry";
    case TargetVersion:
        return "version";
    }
    return "any";
}

const char* ModelMalformName(int malform)
{
    switch (malform) {
    case MalformManufacturer:
        return "manufacturer";
    case MalformVupId:
        return "vup";
    case MalformProductId:
        return "pid";
    }
    return "code";
}

std::string ModelStatusText(const DeviceModel* m)
{
    std::string s;
    char line[256];
    const ModelConfig* c = &m->cfg;
    if (c->pid_length == 0)
        s += "product ID: any (answers with the host's)\n";
    else {
        snprintf(line, sizeof(line), "product ID:");
        s += line;
        for (int i = 0; i < c->pid_length; ++i) {
            snprintf(line, sizeof(line), " %02X", c->pid[i]);
            s += line;
        }
        s += "\n";
    }
    snprintf(line, sizeof(line),
             "protocol: %d\npacket size: %u\ncaps: 0x%02X\nbase (protocol 0): 0x%X\nflash limit: %llu\n", c->protocol,
             c->packet_size, c->caps, c->default_base, (unsigned long long)c->flash_limit);
    s += line;
    s += "versions:";
    int any = 0;
    for (int i = 0; i < MODEL_BLOCK_CODES; ++i) {
        if (c->version[i][0] != 1 || c->version[i][1] != 0) {
            snprintf(line, sizeof(line), " %02X=%d.%02d", i, c->version[i][0], c->version[i][1]);
            s += line;
            any = 1;
        }
    }
    s += any ? " (others 1.00)\n" : " all 1.00\n";
    snprintf(line, sizeof(line), "present: %s\n", m->gone ? "no (disappeared)" : "yes");
    s += line;
    if (m->mode_set) {
        snprintf(line, sizeof(line), "mode: %s, block 0x%02X, base 0x%X, length 0x%X, packet size %u, %s\n",
                 m->raw ? "raw" : "packed", m->block_code, m->base, m->length, m->psize,
                 m->block_pending ? (m->block_failed ? "failed" : "in progress") : "done");
        s += line;
    } else {
        s += "mode: none\n";
    }
    snprintf(line, sizeof(line),
             "messages: %llu in, %llu replies out\nbytes: %llu in, %llu out\npackets: %llu received, %llu acknowledged\n"
             "errors: %llu\nblocks completed: %llu\n",
             (unsigned long long)m->messages_in, (unsigned long long)m->replies_out, (unsigned long long)m->bytes_in,
             (unsigned long long)m->bytes_out, (unsigned long long)m->packets, (unsigned long long)m->packets_acked,
             (unsigned long long)m->errors, (unsigned long long)m->commits);
    s += line;
    if (m->flash_bytes)
        snprintf(line, sizeof(line), "flash: 0x%llX..0x%llX written (%llu bytes)\n", (unsigned long long)m->flash_low,
                 (unsigned long long)m->flash_high, (unsigned long long)m->flash_bytes);
    else
        snprintf(line, sizeof(line), "flash: empty\n");
    s += line;
    if (m->stray_bytes) {
        snprintf(line, sizeof(line), "stray bytes: %llu\n", (unsigned long long)m->stray_bytes);
        s += line;
    }
    for (int i = 0; i < m->fault_count; ++i) {
        const ModelFault* f = &m->faults[i];
        const char* kinds[] = {"status", "silent", "delay", "malformed", "long", "unplug", "empty"};
        snprintf(line, sizeof(line), "fault %d: %s", i + 1, kinds[f->kind]);
        s += line;
        if (f->kind == FaultStatus || f->kind == FaultDelay || f->kind == FaultLong) {
            snprintf(line, sizeof(line), " %d", f->value);
            s += line;
        } else if (f->kind == FaultMalformed) {
            s += " ";
            s += ModelMalformName(f->value);
        }
        snprintf(line, sizeof(line), " on %s #%u (%u seen)%s\n", ModelFaultTargetName(f->target), f->at, f->seen,
                 f->fired ? ", fired" : "");
        s += line;
    }
    return s;
}
