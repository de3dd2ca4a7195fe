// The USB bulk device library and link against the virtual controller.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "protocol.h"
#include "support/testbed.h"
#include "usbbulk.h"
#include "usblink.h"

using namespace testbed;

namespace {

class UsbLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() { init_cusbbulk(); }
    static void TearDownTestSuite() { free_cusbbulk(); }
    void SetUp() override
    {
        VctlOk("fault clear");
        VctlOk("set pid any");
        VctlOk("reset");
    }
    void TearDown() override
    {
        UsbLinkClose();
        if (layout_changed_) {
            VctlOk("layout 0");
            VctlOk("replug");
        }
    }
    void Layout(int n)
    {
        layout_changed_ = true;
        VctlOk("layout " + std::to_string(n));
        VctlOk("replug");
    }
    // Pipe indexes in the order the host opened them.
    static std::vector<int> OpenedPipes()
    {
        std::vector<int> pipes;
        for (const std::string& line : WireLog()) {
            size_t at = line.find("host: pipe ");
            if (at != std::string::npos)
                pipes.push_back(atoi(line.c_str() + at + 11));
        }
        return pipes;
    }
    // Sends an inquiry over the link and checks the device's reply.
    static void InquiryRoundTrip()
    {
        const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
        unsigned char rx[RX_BUFFER_SIZE];
        memset(rx, 0, sizeof(rx));
        ASSERT_EQ(1, UsbLinkSend(inquiry, sizeof(inquiry)));
        ASSERT_EQ(1, UsbLinkReceive(rx, sizeof(rx)));
        FileInfo fi;
        memset(&fi, 0, sizeof(fi));
        fi.product_id[0] = 0x44;
        fi.product_id[1] = 0xFF;
        fi.product_id[2] = 0xFF;
        char err[ERROR_TEXT_SIZE] = "";
        EXPECT_EQ(5, CheckReply(rx, sizeof(rx), &fi, MsgInquiryReply, err)) << err;
    }

    bool layout_changed_ = false;
};

TEST_F(UsbLink, LibraryFindsOpensAndRegistersTheDevice)
{
    int slot = UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(1, UsbCheckDevice(slot));
    EXPECT_EQ(-1, UsbOpenDeviceVID(USBBULK_VENDOR_ID, 0x1002));
    EXPECT_EQ(-1, UsbOpenDeviceVID(0x0945, USBBULK_UPDATE_PRODUCT_ID));

    unsigned long packet = 0;
    HANDLE in = UsbOpenPipe(slot, 0x80, &packet);
    ASSERT_NE(INVALID_HANDLE_VALUE, in);
    EXPECT_EQ(64u, packet);
    EXPECT_EQ(INVALID_HANDLE_VALUE, UsbOpenPipe(slot, 0xC0, NULL)); // no interrupt IN in this layout
    EXPECT_EQ(INVALID_HANDLE_VALUE, UsbOpenPipe(slot, 0x81, NULL)); // only one bulk IN
    EXPECT_EQ(INVALID_HANDLE_VALUE, UsbOpenPipe(-1, 0x80, NULL));
    EXPECT_EQ(INVALID_HANDLE_VALUE, UsbOpenPipe(32, 0x80, NULL));
    CloseHandle(in);
    EXPECT_EQ(std::vector<int>{0}, OpenedPipes());

    UsbCloseDevice(slot);
    EXPECT_EQ(0, UsbCheckDevice(slot));
    EXPECT_FALSE(UsbAbortPipe(slot));
    // The freed slot is the lowest free one again.
    EXPECT_EQ(slot, UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID));
    UsbCloseDevice(slot);
}

TEST_F(UsbLink, PipeNamesFollowTheEndpointIndex)
{
    struct Case {
        int layout;
        std::vector<int> read_then_write;
    };
    const Case cases[] = {{0, {0, 1}}, {1, {1, 0}}, {2, {1, 2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        Layout(c.layout);
        VctlOk("reset");
        char err[ERROR_TEXT_SIZE] = "";
        ASSERT_EQ(1, UsbLinkOpen(err)) << err;
        EXPECT_EQ(c.read_then_write, OpenedPipes());
        InquiryRoundTrip();
        UsbLinkClose();
    }
}

TEST_F(UsbLink, ReadReturnsOneTransferOfAtMostSixteenBytes)
{
    char err[ERROR_TEXT_SIZE] = "";
    ASSERT_EQ(1, UsbLinkOpen(err)) << err;
    VctlOk("fault long 40 --on inquiry");
    const unsigned char inquiry[] = {0xF0, 0x42, 0x23, 0x44, 0x00, 0xF7};
    unsigned char rx[64];
    memset(rx, 0xEE, sizeof(rx));
    ASSERT_EQ(1, UsbLinkSend(inquiry, sizeof(inquiry)));
    ASSERT_EQ(1, UsbLinkReceive(rx, sizeof(rx)));
    EXPECT_EQ(0xF0, rx[0]);
    EXPECT_NE(0xEE, rx[15]);
    EXPECT_EQ(0xEE, rx[16]); // nothing beyond the first 16 bytes
    // The rest of that transfer is gone: the next exchange gets its own reply.
    InquiryRoundTrip();
}

DWORD WINAPI BlockedReceive(LPVOID result)
{
    unsigned char rx[RX_BUFFER_SIZE];
    *static_cast<int*>(result) = UsbLinkReceive(rx, sizeof(rx));
    return 0;
}

TEST_F(UsbLink, AbortEndsAReadBlockedOnAnotherThread)
{
    char err[ERROR_TEXT_SIZE] = "";
    ASSERT_EQ(1, UsbLinkOpen(err)) << err;
    int result = 7;
    HANDLE thread = CreateThread(NULL, 0, BlockedReceive, &result, 0, NULL);
    // Nothing was asked, so nothing comes: the read stays pending.
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 300));
    UsbLinkAbort();
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    EXPECT_EQ(0, result);
    // The link is still usable after the abort.
    InquiryRoundTrip();
}

TEST_F(UsbLink, OpenFailsWithItsMessageInStepOrder)
{
    char err[ERROR_TEXT_SIZE] = "";
    VctlOk("unplug");
    EXPECT_EQ(0, UsbLinkOpen(err));
    EXPECT_STREQ("Usb Open Error!(Can't find VerUp Device)", err);
    VctlOk("plug");

    Layout(3); // no endpoints at all
    EXPECT_EQ(0, UsbLinkOpen(err));
    EXPECT_STREQ("Usb Open Error!(Failed to open read-pipe)", err);

    Layout(4); // a bulk IN but no bulk OUT
    EXPECT_EQ(0, UsbLinkOpen(err));
    EXPECT_STREQ("Usb Open Error!(Failed to open write-pipe)", err);

    // Failed opens released their slots: all 32 can still be taken.
    std::vector<int> slots;
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i) {
        int s = UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID);
        ASSERT_GE(s, 0) << i;
        slots.push_back(s);
    }
    for (int s : slots)
        UsbCloseDevice(s);
}

TEST_F(UsbLink, AllSlotsInUseLooksLikeNoDevice)
{
    std::vector<int> slots;
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i) {
        int s = UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID);
        ASSERT_EQ(i, s);
        slots.push_back(s);
    }
    char err[ERROR_TEXT_SIZE] = "";
    EXPECT_EQ(0, UsbLinkOpen(err));
    EXPECT_STREQ("Usb Open Error!(Can't find VerUp Device)", err);
    UsbCloseDevice(slots[5]);
    strcpy(err, "untouched");
    EXPECT_EQ(1, UsbLinkOpen(err));
    EXPECT_STREQ("untouched", err);
    UsbLinkClose();
    for (int s : slots)
        UsbCloseDevice(s);
}

TEST_F(UsbLink, OpeningAnOpenLinkReleasesTheEarlierDevice)
{
    char err[ERROR_TEXT_SIZE] = "";
    for (int i = 0; i < 3 * USBBULK_MAX_DEVICES; ++i)
        ASSERT_EQ(1, UsbLinkOpen(err)) << i << ": " << err;
    InquiryRoundTrip();
    UsbLinkClose();
    // Every slot is free again.
    std::vector<int> slots;
    for (int i = 0; i < USBBULK_MAX_DEVICES; ++i)
        slots.push_back(UsbOpenDevice(USBBULK_UPDATE_PRODUCT_ID));
    EXPECT_EQ(USBBULK_MAX_DEVICES - 1, slots.back());
    for (int s : slots)
        UsbCloseDevice(s);
}

} // namespace
