// Opening the kernel MIDI link against the test bed's kernel USB-MIDI driver:
// the four open texts in the order of the steps, nothing left open or running
// after a failed open, and the device count (first count, changes, unchanged
// answers, the first device number), with the pipes always of device 0.
// A process of its own: the count state lives from the process's start.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "kernelmidi.h"
#include "kmclient.h"
#include "support/kmopen.h"
#include "support/testbed.h"

using namespace testbed;

namespace {

vckm_status Status()
{
    vckm_status st;
    EXPECT_TRUE(VcKmStatus(&st));
    return st;
}

// Opens the link and returns its error text ("" on success).
std::string Open()
{
    char err[ERROR_TEXT_SIZE] = "";
    int r = KernelMidiOpen(err);
    EXPECT_EQ(r, err[0] == 0 ? 1 : 0) << err;
    return err;
}

// A failed open leaves no file of any device open and no thread behind.
void ExpectNothingLeft(int threads)
{
    vckm_status st = Status();
    for (int d = 0; d < VCKM_DEVICES; ++d)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(0u, st.dev[d].open_now[k]) << "device " << d << " kind " << k;
    EXPECT_EQ(threads, ThreadCount());
}

TEST(KernelMidiOpen, TextsInStepOrderAndTheDeviceCount)
{
    KmOpenChecksOn();
    {
        // GoogleTest starts a thread of its own at the first scoped trace.
        SCOPED_TRACE("start");
    }
    VctlOk("kmidi install");
    for (unsigned d = 0; d < VCKM_DEVICES; ++d)
        ASSERT_TRUE(VcKmUnplug(d));
    ASSERT_TRUE(VcKmClear());
    const int threads = ThreadCount();

    // Step 1: no device 0 at all.
    EXPECT_EQ(" Kernel MIDI driver open error.\n", Open());
    ExpectNothingLeft(threads);

    // Step 2: device 0 opens for step 1 but not for the count. The first count
    // of the process sends no change request and finds nothing.
    VctlOk("kmidi plug 0");
    ASSERT_TRUE(VcKmRefuse(0, VCKM_OPEN_DEVICE, VCKM_ALWAYS, 1));
    EXPECT_EQ(" No device is connected\n", Open());
    ExpectNothingLeft(threads);
    vckm_status st = Status();
    for (int d = 0; d < VCKM_DEVICES; ++d)
        EXPECT_EQ(0u, st.dev[d].opens[VCKM_CHANGE]) << d;

    // Step 3: the devices changed (plugs): the count asks device 0, counts 0
    // and 2; the in-pipe fails.
    ASSERT_TRUE(VcKmClear());
    ASSERT_TRUE(VcKmPlug(2));
    ASSERT_TRUE(VcKmRefuse(0, VCKM_OPEN_IN, 1));
    EXPECT_EQ(" MIDI-IN pipe open error.\n", Open());
    ExpectNothingLeft(threads);
    st = Status();
    EXPECT_EQ(1u, st.dev[0].opens[VCKM_CHANGE]);
    EXPECT_EQ(1u, st.dev[2].opens[VCKM_OPEN_DEVICE]);
    EXPECT_EQ(0u, st.dev[2].opens[VCKM_CHANGE]);

    // Step 4: unchanged answer: the count stops at device 0 with the previous
    // count; the out-pipe fails and the in-pipe is closed again.
    ASSERT_TRUE(VcKmRefuse(0, VCKM_OPEN_OUT, 1));
    EXPECT_EQ(" MIDI-OUT pipe open error.\n", Open());
    ExpectNothingLeft(threads);
    st = Status();
    EXPECT_EQ(2u, st.dev[0].opens[VCKM_CHANGE]);
    EXPECT_EQ(1u, st.dev[2].opens[VCKM_OPEN_DEVICE]);
    EXPECT_EQ(1u, st.dev[0].opens[VCKM_OPEN_IN]);
    EXPECT_EQ(0u, st.dev[0].opens[VCKM_OPEN_OUT]);

    // Device 0 missing from a count that found a change: device 2 becomes the
    // first device number; the pipes are still device 0's.
    ASSERT_TRUE(VcKmClear());
    ASSERT_TRUE(VcKmPlug(3));
    ASSERT_TRUE(VcKmRefuse(0, VCKM_OPEN_DEVICE, 1, 1));
    EXPECT_EQ("", Open());
    KernelMidiClose();
    st = Status();
    EXPECT_EQ(1u, st.dev[2].opens[VCKM_CHANGE]);
    EXPECT_EQ(1u, st.dev[3].opens[VCKM_OPEN_DEVICE]);
    EXPECT_EQ(1u, st.dev[0].opens[VCKM_OPEN_IN]);
    EXPECT_EQ(1u, st.dev[0].opens[VCKM_OPEN_OUT]);
    for (int d = 1; d < VCKM_DEVICES; ++d)
        EXPECT_EQ(0u, st.dev[d].opens[VCKM_OPEN_IN] + st.dev[d].opens[VCKM_OPEN_OUT]) << d;

    // The next count starts at device 2: device 0 only sees step 1's open.
    ASSERT_TRUE(VcKmClear());
    EXPECT_EQ("", Open());
    KernelMidiClose();
    st = Status();
    EXPECT_EQ(1u, st.dev[0].opens[VCKM_OPEN_DEVICE]);
    EXPECT_EQ(1u, st.dev[2].opens[VCKM_CHANGE]);

    // Devices 2 and 3 gone: counting from 2 finds none, although device 0 is
    // there; the count after that starts at 0 again and finds it.
    ASSERT_TRUE(VcKmUnplug(2));
    ASSERT_TRUE(VcKmUnplug(3));
    EXPECT_EQ(" No device is connected\n", Open());
    ExpectNothingLeft(threads);
    EXPECT_EQ("", Open());
    KernelMidiClose();
    ExpectNothingLeft(threads);

    // A change request that fails counts as "unchanged": device 1, new, is
    // not looked at.
    ASSERT_TRUE(VcKmClear());
    ASSERT_TRUE(VcKmPlug(1));
    ASSERT_TRUE(VcKmRefuse(0, VCKM_CHANGE, 1));
    EXPECT_EQ("", Open());
    KernelMidiClose();
    st = Status();
    EXPECT_EQ(0u, st.dev[1].opens[VCKM_OPEN_DEVICE]);
    EXPECT_EQ(1u, st.changed);
    ASSERT_TRUE(VcKmUnplug(1));
}

} // namespace
