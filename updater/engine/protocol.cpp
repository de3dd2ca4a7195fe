#include "protocol.h"

#include <stdio.h>
#include <string.h>

int ProductIdLength(const unsigned char product_id[3])
{
    if (product_id[1] == 0xFF)
        return 1;
    if (product_id[2] == 0xFF)
        return 2;
    return 3;
}

int BuildMessageHead(unsigned char* tx, const FileInfo* info, unsigned char code)
{
    int n = 0;
    tx[n++] = MSG_SYSEX_START;
    tx[n++] = MSG_MANUFACTURER_ID;
    tx[n++] = MSG_VUP_ID;
    int p = ProductIdLength(info->product_id);
    for (int i = 0; i < p; ++i)
        tx[n++] = info->product_id[i];
    tx[n++] = code;
    return n;
}

void Put28Bit(unsigned char* dst, uint32_t value)
{
    dst[0] = (unsigned char)((value >> 21) & 0x7F);
    dst[1] = (unsigned char)((value >> 14) & 0x7F);
    dst[2] = (unsigned char)((value >> 7) & 0x7F);
    dst[3] = (unsigned char)(value & 0x7F);
}

int BuildInquiry(unsigned char* tx, const FileInfo* info)
{
    int n = BuildMessageHead(tx, info, MsgInquiry);
    // A parameter that is no data byte is not sent.
    if (info->inquiry_param < MSG_DATA_LIMIT)
        tx[n++] = info->inquiry_param;
    tx[n++] = MSG_SYSEX_END;
    return n;
}

int BuildVersionRequest(unsigned char* tx, const FileInfo* info)
{
    int n = BuildMessageHead(tx, info, MsgVersionRequest);
    tx[n++] = info->block_code;
    tx[n++] = MSG_SYSEX_END;
    return n;
}

int BuildSetMode(unsigned char* tx, const FileInfo* info, int protocol_code, int raw, uint32_t packet_size)
{
    int n = BuildMessageHead(tx, info, MsgSetMode);
    tx[n++] = raw ? SETMODE_RAW : SETMODE_SEVEN_BIT;
    tx[n++] = info->block_code;
    if (protocol_code == PROTOCOL_FOUR_BYTE) {
        Put28Bit(tx + n, info->base_address);
        n += 4;
        Put28Bit(tx + n, info->block_length);
        n += 4;
    }
    tx[n++] = (unsigned char)(info->version_major | SETMODE_VERSION_FLAG);
    tx[n++] = info->version_minor;
    if (protocol_code == PROTOCOL_FOUR_BYTE) {
        Put28Bit(tx + n, packet_size);
        n += 4;
    }
    tx[n++] = MSG_SYSEX_END;
    return n;
}

int BuildPacketHead(unsigned char* tx, const FileInfo* info, unsigned char code, int protocol_code, uint32_t number)
{
    int n = BuildMessageHead(tx, info, code);
    if (protocol_code == PROTOCOL_TWO_BYTE) {
        tx[n++] = (unsigned char)((number >> 7) & 0x7F);
        tx[n++] = (unsigned char)(number & 0x7F);
    } else {
        Put28Bit(tx + n, number);
        n += 4;
    }
    return n;
}

int BuildFillTail(unsigned char* tx, unsigned char value)
{
    tx[0] = (unsigned char)(value >> 4);
    tx[1] = (unsigned char)(value & 0x0F);
    tx[2] = MSG_SYSEX_END;
    return 3;
}

int IsFillPacket(const unsigned char* packet, uint32_t size)
{
    for (uint32_t i = 1; i < size; ++i) {
        if (packet[i] != packet[0])
            return 0;
    }
    return 1;
}

unsigned char RawChecksum(const unsigned char* packet, uint32_t size)
{
    unsigned total = 0;
    for (uint32_t i = 0; i < size; ++i)
        total += packet[i];
    return (unsigned char)total;
}

namespace {

unsigned char ReplyByte(const unsigned char* rx, size_t size, size_t at)
{
    return at < size ? rx[at] : 0;
}

} // namespace

int ReadInquiryReply(const unsigned char* rx, size_t size, int payload, InquiryReply* reply)
{
    size_t at = (size_t)payload;
    reply->protocol_code = ReplyByte(rx, size, at++);
    if (reply->protocol_code >= PROTOCOL_CODE_LIMIT)
        return 0;
    uint32_t value = 0;
    int digits = reply->protocol_code == PROTOCOL_TWO_BYTE ? 2 : 4;
    for (int i = 0; i < digits; ++i)
        value = (value << 7) | ReplyByte(rx, size, at++);
    reply->packet_size = value;
    reply->capabilities = ReplyByte(rx, size, at);
    return 1;
}

uint32_t PackSevenBit(const unsigned char* src, unsigned char* dst, uint32_t count, unsigned char* checksum)
{
    uint32_t out = 0;
    unsigned sum = 0;
    for (uint32_t pos = 0; pos < count; pos += 7) {
        uint32_t k = count - pos < 7 ? count - pos : 7;
        unsigned char high = 0;
        for (uint32_t i = 0; i < k; ++i)
            high |= (unsigned char)(((src[pos + i] >> 7) & 1) << i);
        dst[out++] = high;
        sum += high;
        for (uint32_t i = 0; i < k; ++i) {
            unsigned char b = (unsigned char)(src[pos + i] & 0x7F);
            dst[out++] = b;
            sum += b;
        }
    }
    if (checksum)
        *checksum = (unsigned char)((sum & 0xFF) & 0x7F);
    return out;
}

void DeviceStatusText(unsigned int status, char* out)
{
    static const char* const texts[] = {
        "Unknown Error",       "Product ID Error", "Member ID Error", "Format Error",
        "Block Code Error",    "Packet Number Error", "Checksum Error", "Timeout Error",
        "Hardware Error",      "Flash Write Error", "User Aborted", "Version Error",
    };
    unsigned s = status & 0xFF;
    const char* t = (s >= 1 && s < sizeof(texts) / sizeof(texts[0])) ? texts[s] : texts[0];
    strcpy(out, t);
}

namespace {

// The failure text of a status reply whose status (at `at`) is not 0.
void StatusFailureText(const unsigned char* rx, size_t size, size_t at, char* err)
{
    unsigned status = rx[at];
    char text[ERROR_TEXT_SIZE];
    if (status < DEVICE_STATUS_EXPLAINED) {
        char what[32];
        DeviceStatusText(status, what);
        snprintf(text, sizeof(text), "Rx Status Error : %s", what);
    } else {
        int n = snprintf(text, sizeof(text), "Rx Status Error(Exp) : 0x%X", status);
        // The device's own text follows, up to a zero byte, the end of the
        // message or the end of what was received, whichever comes first.
        for (size_t i = at + 1; i < size && n < ERROR_TEXT_SIZE - 1; ++i) {
            unsigned char c = rx[i];
            if (c == 0 || c == MSG_SYSEX_END)
                break;
            text[n++] = (char)c;
        }
        text[n] = 0;
    }
    SetErrorText(err, text);
}

// The frame up to the code: start, manufacturer, update ID and product ID.
// Returns the code's offset, or 0 with the reason in err.
size_t CheckReplyHead(const unsigned char* rx, size_t size, const FileInfo* info, char* err)
{
    // A byte beyond the received data counts as missing and fails its check.
    if (size < 1 || (rx[0] != MSG_SYSEX_START && rx[0] != MSG_SYSEX_END)) {
        SetErrorText(err, "Rx Msg Error(0:Not Exclusive)");
        return 0;
    }
    if (size < 2 || rx[1] != MSG_MANUFACTURER_ID) {
        SetErrorText(err, "Rx Msg Error(1:Not ORLO ID)");
        return 0;
    }
    if (size < 3 || rx[2] != MSG_VUP_ID) {
        SetErrorText(err, "Rx Msg Error(2:VUP ID Error)");
        return 0;
    }
    int p = ProductIdLength(info->product_id);
    int mismatch = 0;
    for (int i = 0; i < p; ++i) {
        if ((size_t)(3 + i) >= size || rx[3 + i] != info->product_id[i])
            mismatch = 1;
    }
    if (mismatch) {
        SetErrorText(err, "Rx Msg Error(Product ID Error)");
        return 0;
    }
    return 3 + (size_t)p;
}

} // namespace

int CheckReply(const unsigned char* rx, size_t size, const FileInfo* info, unsigned char expected, char* err)
{
    size_t code_at = CheckReplyHead(rx, size, info, err);
    if (!code_at)
        return 0;
    if (code_at >= size || (rx[code_at] != expected && rx[code_at] != MsgStatus)) {
        SetErrorText(err, "Rx Msg Error(Msg Code Error)");
        return 0;
    }
    int payload = (int)code_at + 1;
    if (rx[code_at] != MsgStatus)
        return payload;

    // A status reply, expected or in place of the expected one.
    if ((size_t)payload >= size) {
        SetErrorText(err, "Rx Msg Error(Msg Code Error)");
        return 0;
    }
    if (rx[payload] == 0)
        return payload;
    StatusFailureText(rx, size, (size_t)payload, err);
    return 0;
}

namespace {

const uint32_t PROTO0_NUMBER_MAX = 0x3FFF;
const uint32_t PROTO1_FIELD_MAX = 0x0FFFFFFF;

int RefuseNumber(char* err, const char* format, uint32_t value)
{
    snprintf(err, ERROR_TEXT_SIZE, format, (unsigned)value);
    return 0;
}

} // namespace

int CheckBlockNumbers(const FileInfo* info, int protocol_code, uint32_t packet_size, char* err)
{
    uint32_t limit = protocol_code == 0 ? PROTO0_NUMBER_MAX : PROTO1_FIELD_MAX;
    if (protocol_code != 0) {
        if (info->base_address > limit)
            return RefuseNumber(err, "Error - Address is out of range(%08X).", info->base_address);
        if (info->block_length > limit)
            return RefuseNumber(err, "Error - Block length is out of range(%u).", info->block_length);
        if (packet_size > limit)
            return RefuseNumber(err, "Error - Packet size is out of range(%u).", packet_size);
    }
    if (info->block_length == 0)
        return 1;
    uint64_t last = ((uint64_t)info->block_offset + info->block_length) / packet_size - 1;
    if (last > limit)
        return RefuseNumber(err, "Error - Packet number is out of range(%u).", (uint32_t)(last > 0xFFFFFFFFu ? 0xFFFFFFFFu : last));
    return 1;
}
