// The virtual controller's device model, driven the way the updater drives a
// controller: messages built with the updater's own helpers, data packets
// written in three pieces, replies checked with CheckReply.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge.h"
#include "commands.h"
#include "devmodel.h"
#include "testdata.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Host {
    FileInfo fi = ProductId(0x10);
    int protocol = 1;
    std::unique_ptr<DeviceModel> m{new DeviceModel()};

    Host() { ModelInit(m.get()); }

    Bytes Msg(unsigned char code, const Bytes& payload) const { return HostMessage(fi, code, payload); }
    void Send(const Bytes& b) { ModelFeed(m.get(), b.data(), b.size()); }

    Bytes Number(uint32_t n) const
    {
        if (protocol == 0)
            return Bytes{(unsigned char)((n >> 7) & 0x7F), (unsigned char)(n & 0x7F)};
        Bytes b(4);
        Put28Bit(b.data(), n);
        return b;
    }
    void SetMode(int raw, unsigned char code, uint32_t base, uint32_t length, unsigned char major, unsigned char minor,
                 uint32_t psize)
    {
        Bytes p{(unsigned char)raw, code};
        if (protocol) {
            Bytes a = Number(base), l = Number(length);
            p.insert(p.end(), a.begin(), a.end());
            p.insert(p.end(), l.begin(), l.end());
        }
        p.push_back((unsigned char)(major | 0x40));
        p.push_back(minor);
        if (protocol) {
            Bytes s = Number(psize);
            p.insert(p.end(), s.begin(), s.end());
        }
        Send(Msg(MsgSetMode, p));
    }
    // As the updater sends a data packet: head with number, data, checksum + F7.
    void Data(uint32_t number, const Bytes& packet, int raw, int bad_sum = 0)
    {
        unsigned char tx[16];
        int n = BuildMessageHead(tx, &fi, MsgData);
        Bytes head(tx, tx + n), num = Number(number);
        head.insert(head.end(), num.begin(), num.end());
        Send(head);
        unsigned char sum = 0;
        Bytes body;
        if (raw) {
            body = packet;
            for (unsigned char c : packet)
                sum = (unsigned char)(sum + c);
        } else {
            body.resize(packet.size() + packet.size() / 7 + 1);
            body.resize(PackSevenBit(packet.data(), body.data(), (uint32_t)packet.size(), &sum));
        }
        Send(body);
        Send(Bytes{(unsigned char)(sum + bad_sum), 0xF7});
    }
    void Fill(uint32_t number, unsigned char value)
    {
        Bytes p = Number(number);
        p.push_back(value >> 4);
        p.push_back(value & 0x0F);
        Send(Msg(MsgFill, p));
    }

    std::vector<Bytes> Replies()
    {
        std::vector<Bytes> out;
        ModelReply r;
        while (ModelTakeReply(m.get(), &r))
            out.push_back(Bytes(r.bytes, r.bytes + r.length));
        return out;
    }
    Bytes One()
    {
        std::vector<Bytes> r = Replies();
        EXPECT_EQ(1u, r.size());
        return r.empty() ? Bytes() : r[0];
    }
    // The reply through the updater's check: offset of the payload, or 0 and the text.
    int Check(const Bytes& reply, unsigned char expected, std::string* text = NULL)
    {
        char err[ERROR_TEXT_SIZE] = "";
        int at = CheckReply(reply.data(), reply.size(), &fi, expected, err);
        if (text)
            *text = err;
        return at;
    }
    int Status() // status of the one reply waiting, -1 when none
    {
        std::vector<Bytes> r = Replies();
        if (r.size() != 1)
            return -1;
        size_t at = 3 + (size_t)ProductIdLength(fi.product_id);
        EXPECT_EQ(MsgStatus, r[0][at]);
        return r[0][at + 1];
    }
    Bytes Flash(uint64_t address, size_t n)
    {
        Bytes b(n);
        EXPECT_EQ(1, ModelFlashRead(m.get(), address, b.data(), n));
        return b;
    }
    std::string Log()
    {
        std::string s;
        for (size_t i = 0; i < ModelLogCount(m.get()); ++i)
            s += std::string(ModelLogLine(m.get(), i)) + "\n";
        return s;
    }
};

Bytes Pattern(size_t n, unsigned variant)
{
    return TestPattern(n, variant);
}

// ---------------------------------------------------------------- assembly

TEST(ModelAssembly, SplitWritesAndByteByByteGiveTheSameResult)
{
    Bytes packet = Pattern(256, 1);
    Host a, b;
    a.SetMode(0, 1, 0, 0x200, 1, 5, 256);
    EXPECT_EQ(0, a.Status());
    a.Data(0, packet, 0); // three writes
    EXPECT_EQ(0, a.Status());

    // The same packet one byte per write, with noise before the F0.
    b.Send(Bytes{0x00, 0x7F, 0xF7});
    b.SetMode(0, 1, 0, 0x200, 1, 5, 256);
    EXPECT_EQ(0, b.Status());
    unsigned char tx[16];
    int n = BuildMessageHead(tx, &b.fi, MsgData);
    Bytes whole(tx, tx + n), num = b.Number(0), packed(300);
    whole.insert(whole.end(), num.begin(), num.end());
    unsigned char sum;
    packed.resize(PackSevenBit(packet.data(), packed.data(), 256, &sum));
    whole.insert(whole.end(), packed.begin(), packed.end());
    whole.push_back(sum);
    whole.push_back(0xF7);
    for (unsigned char c : whole)
        ModelFeed(b.m.get(), &c, 1);
    EXPECT_EQ(0, b.Status());
    EXPECT_EQ(packet, a.Flash(0, 256));
    EXPECT_EQ(packet, b.Flash(0, 256));
    EXPECT_EQ(3u, b.m->stray_bytes);
}

TEST(ModelAssembly, CutAndBrokenMessagesAreDroppedAndTheNextOneIsAnswered)
{
    Host h;
    // An inquiry cut off by a new F0, a status byte inside a message, then a good one.
    h.Send(Bytes{0xF0, 0x42, 0x23, 0x10});
    h.Send(Bytes{0xF0, 0x42, 0x90, 0x10, 0x00, 0xF7});
    EXPECT_TRUE(h.Replies().empty());
    h.Send(h.Msg(MsgInquiry, Bytes()));
    EXPECT_GT(h.Check(h.One(), MsgInquiryReply), 0);
    // Messages of another maker are not answered.
    h.Send(Bytes{0xF0, 0x41, 0x23, 0x10, 0x00, 0xF7});
    EXPECT_TRUE(h.Replies().empty());
    // A message longer than any packet is dropped whole.
    Bytes huge(MODEL_MAX_MESSAGE + 10, 0x01);
    huge[0] = 0xF0;
    huge.back() = 0xF7;
    h.Send(huge);
    EXPECT_TRUE(h.Replies().empty());
    h.Send(h.Msg(MsgVersionRequest, Bytes{1}));
    EXPECT_GT(h.Check(h.One(), MsgVersionReply), 0);
}

// ---------------------------------------------------------------- queries

TEST(ModelQueries, InquiryReplyFormsPassTheUpdatersCheck)
{
    Host h;
    h.m->cfg.protocol = 0;
    h.m->cfg.packet_size = 0x100;
    h.m->cfg.caps = 0x03;
    h.Send(h.Msg(MsgInquiry, Bytes{0x05})); // with an inquiry parameter
    Bytes r = h.One();
    int at = h.Check(r, MsgInquiryReply);
    ASSERT_EQ(5, at);
    EXPECT_EQ(Bytes({0xF0, 0x42, 0x23, 0x10, 0x01, 0x00, 0x02, 0x00, 0x03, 0xF7}), r);

    h.m->cfg.protocol = 1;
    h.m->cfg.packet_size = 0x8000;
    h.fi = ProductId(0x44, 0x01, 0x02); // three-byte product ID: the longest reply, 14 bytes
    h.Send(h.Msg(MsgInquiry, Bytes()));
    r = h.One();
    ASSERT_EQ(14u, r.size());
    at = h.Check(r, MsgInquiryReply);
    ASSERT_EQ(7, at);
    EXPECT_EQ(1, r[at]);
    EXPECT_EQ(0x8000u, ((uint32_t)r[at + 1] << 21) | (r[at + 2] << 14) | (r[at + 3] << 7) | r[at + 4]);
}

TEST(ModelQueries, AnswersWithTheProductIdTheHostUsedUnlessOneIsConfigured)
{
    const FileInfo ids[] = {ProductId(0x10), ProductId(0x10, 0x00), ProductId(0x7F, 0x00, 0x08)};
    for (const FileInfo& fi : ids) {
        Host h;
        h.fi = fi;
        h.Send(h.Msg(MsgVersionRequest, Bytes{0x02}));
        Bytes r = h.One();
        int at = h.Check(r, MsgVersionReply);
        ASSERT_GT(at, 0) << ProductIdLength(fi.product_id);
        EXPECT_EQ(1, r[at]);
        EXPECT_EQ(0, r[at + 1]);
    }
    Host h;
    const unsigned char pid[] = {0x10, 0x01};
    ASSERT_EQ(1, ModelSetProductId(h.m.get(), pid, 2));
    h.fi = ProductId(0x10, 0x02);
    h.Send(h.Msg(MsgInquiry, Bytes()));
    std::string text;
    EXPECT_EQ(0, h.Check(h.One(), MsgInquiryReply, &text));
    EXPECT_EQ("Rx Status Error : Product ID Error", text);
}

// ---------------------------------------------------------------- blocks

TEST(ModelBlocks, Protocol1AddressesAndVersionTakenOverAfterTheLastPacket)
{
    Host h;
    ModelSetVersion(h.m.get(), 0x03, 1, 2);
    // Block at base 0x10000, offset 0x800, length 0x200: the updater sends packets 8 and 9.
    h.SetMode(0, 0x03, 0x10000, 0x200, 1, 5, 0x100);
    EXPECT_EQ(0, h.Status());
    Bytes p8 = Pattern(0x100, 8), p9 = Pattern(0x100, 9);
    h.Data(8, p8, 0);
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(1, h.m->cfg.version[3][0]);
    EXPECT_EQ(2, h.m->cfg.version[3][1]); // not yet: one packet of the block is missing
    h.Data(9, p9, 0);
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(p8, h.Flash(0x10800, 0x100));
    EXPECT_EQ(p9, h.Flash(0x10900, 0x100));
    EXPECT_EQ(Bytes(0x100, 0xFF), h.Flash(0x10700, 0x100)); // untouched flash reads erased
    h.Send(h.Msg(MsgVersionRequest, Bytes{0x03}));
    Bytes r = h.One();
    int at = h.Check(r, MsgVersionReply);
    EXPECT_EQ(1, r[at]);
    EXPECT_EQ(5, r[at + 1]);
}

TEST(ModelBlocks, Protocol0UsesTheDefaultBaseAndTakesTheVersionWhenTheHostMovesOn)
{
    Host h;
    h.protocol = 0;
    h.m->cfg.protocol = 0;
    h.m->cfg.packet_size = 0x80;
    h.m->cfg.default_base = 0x4000;
    h.SetMode(0, 0x01, 0, 0, 2, 1, 0);
    EXPECT_EQ(0, h.Status());
    Bytes p = Pattern(0x80, 3);
    h.Data(300, p, 0); // a number above 127 needs both 7-bit bytes
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(p, h.Flash(0x4000 + 300 * 0x80, 0x80));
    EXPECT_EQ(1, h.m->cfg.version[1][0]);
    h.Send(h.Msg(MsgInquiry, Bytes()));
    h.Replies();
    EXPECT_EQ(2, h.m->cfg.version[1][0]);
    EXPECT_EQ(1, h.m->cfg.version[1][1]);

    // An aborted block, and one with an error, keep the old version.
    h.SetMode(0, 0x02, 0, 0, 3, 0, 0);
    h.Data(0, p, 0);
    h.Replies();
    ModelHostAbort(h.m.get());
    h.Send(h.Msg(MsgInquiry, Bytes()));
    h.Replies();
    EXPECT_EQ(1, h.m->cfg.version[2][0]);
    h.SetMode(0, 0x02, 0, 0, 3, 0, 0);
    h.Data(0, p, 0, 1);
    h.Data(0, p, 0);
    EXPECT_EQ(3u, h.Replies().size());
    h.Send(h.Msg(MsgVersionRequest, Bytes{0x02}));
    Bytes r = h.One();
    EXPECT_EQ(1, r[h.Check(r, MsgVersionReply)]);
}

TEST(ModelBlocks, PackedChecksumErrorsFailTheBlockAndWriteNothing)
{
    Host h;
    h.SetMode(0, 0x01, 0, 0x200, 1, 9, 0x100);
    h.Replies();
    h.Data(0, Pattern(0x100, 1), 0, 1);
    EXPECT_EQ(STATUS_CHECKSUM, h.Status());
    EXPECT_EQ(Bytes(0x100, 0xFF), h.Flash(0, 0x100));
    h.Data(0, Pattern(0x100, 1), 0);
    h.Data(1, Pattern(0x100, 2), 0);
    h.Replies();
    EXPECT_EQ(0, h.m->cfg.version[1][1]); // an error in the block: version kept
    // A packed packet of the wrong length is a format error.
    h.Send(h.Msg(MsgData, Bytes{0, 0, 0, 0, 0x01, 0x02, 0x03}));
    EXPECT_EQ(STATUS_FORMAT, h.Status());
}

TEST(ModelBlocks, RawPacketsCarryAnyByteAndUseTheUnmaskedSum)
{
    Host h;
    h.SetMode(1, 0x01, 0x2000, 0x100, 1, 1, 0x80);
    EXPECT_EQ(0, h.Status());
    // F0 and F7 inside the data, and a sum above 0x7F.
    Bytes p(0x80, 0xF7);
    p[0] = 0xF0;
    unsigned sum = 0;
    for (unsigned char c : p)
        sum += c;
    p[5] = (unsigned char)(p[5] + 0xC0 - (sum & 0xFF));
    sum = 0;
    for (unsigned char c : p)
        sum += c;
    ASSERT_EQ(0xC0u, sum & 0xFF);
    h.Data(1, p, 1);
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(p, h.Flash(0x2080, 0x80));
    h.Data(0, p, 1, 0x80); // the sum masked to 7 bits is wrong in raw mode
    EXPECT_EQ(STATUS_CHECKSUM, h.Status());
    // A raw packet not closed by F7 is refused; the stream recovers.
    unsigned char tx[16];
    int n = BuildMessageHead(tx, &h.fi, MsgData);
    Bytes bad(tx, tx + n);
    bad.resize(bad.size() + 4 + 0x80 + 1, 0x00);
    bad.push_back(0x00);
    h.Send(bad);
    EXPECT_EQ(STATUS_FORMAT, h.Status());
    h.Send(h.Msg(MsgFill, Bytes{0, 0, 0, 0, 0x0A, 0x05}));
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(Bytes(0x80, 0xA5), h.Flash(0x2000, 0x80));

    Host no_raw;
    no_raw.m->cfg.caps = CAP_FILL;
    no_raw.SetMode(1, 0x01, 0, 0x100, 1, 1, 0x80);
    EXPECT_EQ(STATUS_FORMAT, no_raw.Status());
}

TEST(ModelBlocks, FillNeedsItsCapabilityAndFlashEndsAtTheLimit)
{
    Host h;
    h.m->cfg.flash_limit = 0x1000;
    h.SetMode(0, 0x01, 0x0F00, 0x200, 1, 1, 0x100);
    h.Replies();
    h.Fill(0, 0x5A);
    EXPECT_EQ(0, h.Status());
    EXPECT_EQ(Bytes(0x100, 0x5A), h.Flash(0xF00, 0x100));
    h.Fill(1, 0x5A); // 0x1000..0x10FF lies beyond the flash
    EXPECT_EQ(STATUS_FLASH_WRITE, h.Status());
    std::string text;
    h.Fill(1, 0x00);
    EXPECT_EQ(0, h.Check(h.One(), MsgStatus, &text));
    EXPECT_EQ("Rx Status Error : Flash Write Error", text);

    Host nofill;
    nofill.m->cfg.caps = CAP_RAW_DATA;
    nofill.SetMode(0, 0x01, 0, 0x100, 1, 1, 0x100);
    nofill.Replies();
    nofill.Fill(0, 0xFF);
    EXPECT_EQ(STATUS_FORMAT, nofill.Status());
    nofill.Data(0, Bytes(0x100, 0xFF), 0);
    EXPECT_EQ(0, nofill.Status());
}

TEST(ModelBlocks, SetModeIsCheckedAndDataBeforeItIsRefused)
{
    Host h;
    h.Data(0, Pattern(0x100, 1), 0);
    EXPECT_EQ(STATUS_FORMAT, h.Status());
    h.Send(h.Msg(MsgSetMode, Bytes{0, 1, 0x41, 0})); // protocol 0 layout sent to a protocol 1 device
    EXPECT_EQ(STATUS_FORMAT, h.Status());
    h.SetMode(0, 1, 0, 0x100, 1, 0, 0); // packet size 0
    EXPECT_EQ(STATUS_FORMAT, h.Status());
    h.SetMode(0, 1, 0, 0x100, 1, 0, 0x100);
    EXPECT_EQ(0, h.Status());
}

// ---------------------------------------------------------------- faults

ModelFault Fault(int kind, int target, uint32_t at, int value = 0, const char* text = "")
{
    ModelFault f;
    memset(&f, 0, sizeof(f));
    f.kind = kind;
    f.target = target;
    f.at = at;
    f.value = value;
    snprintf(f.text, sizeof(f.text), "%s", text);
    return f;
}

TEST(ModelFaults, StatusOnTheNthPacketOnly)
{
    Host h;
    ModelFault f = Fault(FaultStatus, TargetPacket, 3, STATUS_FLASH_WRITE);
    ASSERT_EQ(1, ModelArmFault(h.m.get(), &f));
    h.SetMode(0, 1, 0, 0x400, 1, 1, 0x100);
    EXPECT_EQ(0, h.Status()); // set-mode does not count as a packet
    h.Data(0, Pattern(0x100, 0), 0);
    EXPECT_EQ(0, h.Status());
    h.Fill(1, 0x11);
    EXPECT_EQ(0, h.Status());
    h.Data(2, Pattern(0x100, 2), 0);
    EXPECT_EQ(STATUS_FLASH_WRITE, h.Status());
    EXPECT_EQ(Bytes(0x100, 0xFF), h.Flash(0x200, 0x100)); // the failed packet is not written
    h.Data(2, Pattern(0x100, 2), 0);
    EXPECT_EQ(0, h.Status()); // one-shot
    EXPECT_NE(std::string::npos, h.Log().find("[fault: status 0x09]"));
}

TEST(ModelFaults, StatusTextsAsTheUpdaterReportsThem)
{
    struct {
        int status;
        const char* text;
        const char* want;
    } cases[] = {
        {6, "", "Rx Status Error : Checksum Error"},
        {11, "", "Rx Status Error : Version Error"},
        {12, "", "Rx Status Error : Unknown Error"},
        {0x41, "abc", "Rx Status Error(Exp) : 0x41abc"},
    };
    for (auto& c : cases) {
        Host h;
        ModelFault f = Fault(FaultStatus, TargetSetMode, 1, c.status, c.text);
        ModelArmFault(h.m.get(), &f);
        h.SetMode(0, 1, 0, 0x100, 1, 1, 0x100);
        std::string text;
        EXPECT_EQ(0, h.Check(h.One(), MsgStatus, &text));
        EXPECT_EQ(c.want, text);
        h.Data(0, Pattern(0x100, 0), 0); // the refused set-mode set no mode
        EXPECT_EQ(STATUS_FORMAT, h.Status());
    }
}

TEST(ModelFaults, MalformedRepliesFailTheirCheck)
{
    struct {
        int malform;
        const char* want;
    } cases[] = {
        {MalformManufacturer, "Rx Msg Error(1:Not ORLO ID)"},
        {MalformVupId, "Rx Msg Error(2:VUP ID Error)"},
        {MalformProductId, "Rx Msg Error(Product ID Error)"},
        {MalformCode, "Rx Msg Error(Msg Code Error)"},
    };
    for (auto& c : cases) {
        Host h;
        ModelFault f = Fault(FaultMalformed, TargetInquiry, 2, c.malform);
        ModelArmFault(h.m.get(), &f);
        h.Send(h.Msg(MsgInquiry, Bytes()));
        EXPECT_GT(h.Check(h.One(), MsgInquiryReply), 0);
        h.Send(h.Msg(MsgInquiry, Bytes()));
        std::string text;
        EXPECT_EQ(0, h.Check(h.One(), MsgInquiryReply, &text));
        EXPECT_EQ(c.want, text);
    }
}

TEST(ModelFaults, SilentLateLongAndUnplug)
{
    Host h;
    ModelFault silent = Fault(FaultSilent, TargetVersion, 1);
    ModelFault late = Fault(FaultDelay, TargetAny, 2, 750);
    ModelFault lng = Fault(FaultLong, TargetInquiry, 2, 24);
    ModelArmFault(h.m.get(), &silent);
    ModelArmFault(h.m.get(), &late);
    ModelArmFault(h.m.get(), &lng);
    h.Send(h.Msg(MsgVersionRequest, Bytes{1})); // silent fires; "any" counts it as 1
    EXPECT_TRUE(h.Replies().empty());
    h.Send(h.Msg(MsgInquiry, Bytes())); // delay fires (any #2)
    ModelReply r;
    ASSERT_EQ(1, ModelTakeReply(h.m.get(), &r));
    EXPECT_EQ(750, r.delay_ms);
    h.Send(h.Msg(MsgInquiry, Bytes())); // long fires (inquiry #2)
    ASSERT_EQ(1, ModelTakeReply(h.m.get(), &r));
    EXPECT_EQ(24, r.length);
    EXPECT_EQ(0xF7, r.bytes[23]);
    EXPECT_GT(h.Check(Bytes(r.bytes, r.bytes + 16), MsgInquiryReply), 0); // the 16 bytes the updater reads

    Host u;
    ModelFault unplug = Fault(FaultUnplug, TargetPacket, 2);
    ModelArmFault(u.m.get(), &unplug);
    u.SetMode(0, 1, 0, 0x300, 1, 1, 0x100);
    u.Replies();
    u.Data(0, Pattern(0x100, 0), 0);
    EXPECT_EQ(0, u.Status());
    EXPECT_EQ(0, ModelTakeUnplug(u.m.get()));
    u.Data(1, Pattern(0x100, 1), 0);
    EXPECT_TRUE(u.Replies().empty());
    EXPECT_EQ(1, ModelTakeUnplug(u.m.get()));
    EXPECT_EQ(0, ModelTakeUnplug(u.m.get()));
    u.Send(u.Msg(MsgInquiry, Bytes())); // gone: nothing answers
    EXPECT_TRUE(u.Replies().empty());
    ModelPlugged(u.m.get());
    u.Send(u.Msg(MsgInquiry, Bytes()));
    EXPECT_GT(u.Check(u.One(), MsgInquiryReply), 0);
    u.Data(2, Pattern(0x100, 2), 0); // a power cycle forgets the mode
    EXPECT_EQ(STATUS_FORMAT, u.Status());
    EXPECT_EQ(0, u.m->cfg.version[1][1]); // the interrupted block kept 1.00
}

TEST(ModelFaults, RefusedConfigurationsReachTheHost)
{
    Host h;
    h.m->cfg.protocol = 2;
    h.m->cfg.packet_size = 40000;
    h.Send(h.Msg(MsgInquiry, Bytes()));
    Bytes r = h.One();
    int at = h.Check(r, MsgInquiryReply);
    EXPECT_EQ(2, r[at]);
    EXPECT_EQ(40000u, ((uint32_t)r[at + 1] << 21) | (r[at + 2] << 14) | (r[at + 3] << 7) | r[at + 4]);
    h.m->cfg.protocol = 0;
    h.m->cfg.packet_size = 0;
    h.Send(h.Msg(MsgInquiry, Bytes()));
    r = h.One();
    EXPECT_EQ(Bytes({0xF0, 0x42, 0x23, 0x10, 0x01, 0x00, 0x00, 0x00, 0x03, 0xF7}), r);
}

// ---------------------------------------------------------------- log

TEST(ModelLog, BothDirectionsInOrderAndTheRingKeepsTheLatest)
{
    Host h;
    h.Send(h.Msg(MsgInquiry, Bytes()));
    h.SetMode(1, 0x05, 0, 0x100, 1, 2, 0x100);
    h.Data(0, Pattern(0x100, 0), 1);
    std::string log = h.Log();
    size_t a = log.find("H>D F0 42 23 10 00 F7 | inquiry");
    size_t b = log.find("D>H F0 42 23 10 01 ");
    size_t c = log.find("set-mode raw, block 0x05");
    size_t d = log.find("data #0 raw, address 0x000000");
    size_t e = log.find("(267 bytes)");
    ASSERT_NE(std::string::npos, a);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
    EXPECT_NE(std::string::npos, e);
    EXPECT_NE(std::string::npos, log.find("block 0x05 complete: version now 1.02"));

    h.m->cfg.log_capacity = 4;
    ModelReset(h.m.get());
    for (int i = 0; i < 5; ++i)
        h.Send(h.Msg(MsgVersionRequest, Bytes{(unsigned char)i}));
    ASSERT_EQ(4u, ModelLogCount(h.m.get()));
    EXPECT_EQ(7u, ModelLogFirstSeq(h.m.get()));
    EXPECT_NE(nullptr, strstr(ModelLogLine(h.m.get(), 0), "block 0x03"));
    EXPECT_NE(nullptr, strstr(ModelLogLine(h.m.get(), 3), "D>H"));
}

// ---------------------------------------------------------------- bridge and commands

TEST(Bridge, RecordsSurviveAnySplit)
{
    unsigned char buf[64];
    Bytes stream;
    const unsigned char w[] = {0xF0, 0x42, 0x23};
    size_t n = BridgeEncode(BRIDGE_WRITE, w, 3, buf);
    stream.insert(stream.end(), buf, buf + n);
    n = BridgeEncode(BRIDGE_ABORT, NULL, 0, buf);
    stream.insert(stream.end(), buf, buf + n);
    const unsigned char pipe[] = {1, 0, 0, 0};
    n = BridgeEncode(BRIDGE_OPENED, pipe, 4, buf);
    stream.insert(stream.end(), buf, buf + n);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        BridgeReader r;
        BridgeReaderInit(&r);
        std::vector<BridgeRecord> out;
        EXPECT_EQ(1, BridgeFeed(&r, stream.data(), cut, &out));
        EXPECT_EQ(1, BridgeFeed(&r, stream.data() + cut, stream.size() - cut, &out));
        ASSERT_EQ(3u, out.size()) << cut;
        EXPECT_EQ(Bytes(w, w + 3), out[0].payload);
        EXPECT_EQ(BRIDGE_ABORT, out[1].type);
        EXPECT_TRUE(out[1].payload.empty());
        EXPECT_EQ(BRIDGE_OPENED, out[2].type);
    }
    BridgeReader r;
    BridgeReaderInit(&r);
    std::vector<BridgeRecord> out;
    const unsigned char broken[] = {1, 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_EQ(0, BridgeFeed(&r, broken, sizeof(broken), &out));
    EXPECT_TRUE(out.empty());
}

TEST(Commands, SettingsAndFaultsFromTheirWords)
{
    Host h;
    std::string out;
    EXPECT_EQ(0, ApplyCommand(h.m.get(), {"set", "version", "0x03", "2.07"}, &out));
    EXPECT_EQ(2, h.m->cfg.version[3][0]);
    EXPECT_EQ(7, h.m->cfg.version[3][1]);
    EXPECT_EQ(0, ApplyCommand(h.m.get(), {"set", "pid", "10", "7f"}, &out));
    EXPECT_EQ(2, h.m->cfg.pid_length);
    EXPECT_EQ(0x7F, h.m->cfg.pid[1]);
    EXPECT_EQ(2, ApplyCommand(h.m.get(), {"set", "pid", "80"}, &out));
    EXPECT_EQ(2, ApplyCommand(h.m.get(), {"set", "version", "3", "2"}, &out));
    EXPECT_EQ(2, ApplyCommand(h.m.get(), {"set", "protocol", "-1"}, &out));
    EXPECT_EQ(0, ApplyCommand(h.m.get(), {"fault", "status", "65", "--at", "4", "--text", "flash busy"}, &out));
    EXPECT_EQ(0, ApplyCommand(h.m.get(), {"fault", "malformed", "vup", "--on", "inquiry"}, &out));
    EXPECT_EQ(2, ApplyCommand(h.m.get(), {"fault", "delay", "10", "--at", "0"}, &out));
    ASSERT_EQ(2, h.m->fault_count);
    EXPECT_EQ(0x41, h.m->faults[0].value);
    EXPECT_EQ(4u, h.m->faults[0].at);
    EXPECT_STREQ("flash busy", h.m->faults[0].text);
    EXPECT_EQ(TargetInquiry, h.m->faults[1].target);
    EXPECT_EQ(0, ApplyCommand(h.m.get(), {"fault", "clear"}, &out));
    EXPECT_EQ(0, h.m->fault_count);

    unsigned major, minor;
    EXPECT_EQ(1, ParseVersion("1.08", &major, &minor));
    EXPECT_EQ(8u, minor);
    EXPECT_EQ(0, ParseVersion("1.", &major, &minor));
    EXPECT_EQ(0, ParseVersion("1.2.3", &major, &minor));
}

} // namespace
