/*
 * status_test.cpp - the recording-status request: the record as a freshly initialized device
 * reports it, partial and oversized outputs, the cancel that shows in the next request, inputs
 * too short to carry the cancel byte, a cancel without output, and desktop units.
 */
#include "support/driver_harness.h"

#include <string.h>

#include "../driver/writer.h"

namespace {

class StatusTest : public DriverHarness {
protected:
    /* A status request with separate input and output buffers of the given lengths. */
    IoctlResult Poll(HANDLE Handle, bool Cancel, ULONG InLength, void *Out, ULONG OutLength) {
        RECORDING_STATUS in = {};
        in.bCancel = Cancel ? 1 : 0;
        return Ioctl(Handle, IOCTL_RECORDER_RECORDING_STATUS, InLength ? &in : nullptr, InLength,
                     Out, OutLength);
    }

    RECORDING_STATUS Snapshot(HANDLE Handle) {
        RECORDING_STATUS out;
        memset(&out, 0xEE, sizeof(out));
        IoctlResult r = Poll(Handle, false, sizeof(RECORDING_STATUS), &out, sizeof(out));
        EXPECT_EQ(STATUS_SUCCESS, r.Status);
        EXPECT_EQ(sizeof(RECORDING_STATUS), r.Returned);
        return out;
    }
};

/* Whether Status is all zeros but for the cancel flag and the buffer count given. */
bool ZerosBut(const RECORDING_STATUS &Status, UCHAR Cancel, ULONG Buffers) {
    RECORDING_STATUS expected = {};
    expected.bCancel = Cancel;
    expected.buffersOrChecksum = Buffers;
    return memcmp(&expected, &Status, sizeof(Status)) == 0;
}

} // namespace

TEST_F(StatusTest, FreshRecordAndTheOutputLengthDecidingHowMuchOfItIsReturned) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();
    const RECORDING_STATUS whole = Snapshot(handle);
    EXPECT_TRUE(ZerosBut(whole, 0, 60)) << "idle, 60 buffers";

    /* Output length and bytes returned: nothing beyond the record may be returned. */
    const ULONG lengths[][2] = {{0, 0}, {10, 10}, {64, 64}, {100, 64}};
    for (const ULONG *length : lengths) {
        UCHAR out[100];
        memset(out, 0xEE, sizeof(out));
        IoctlResult r = Poll(handle, false, sizeof(RECORDING_STATUS), out, length[0]);
        EXPECT_EQ(STATUS_SUCCESS, r.Status) << length[0];
        ASSERT_EQ(length[1], r.Returned) << length[0];
        EXPECT_EQ(0, memcmp(out, &whole, length[1])) << length[0];
        EXPECT_EQ(0xEE, out[length[1]]) << length[0];
    }
}

TEST_F(StatusTest, CancelShowsInTheNextRequestAndNeedsTheCancelByteInTheInput) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();

    /* Up to four bytes of input with a 64-byte output: the byte at offset 4 of the shared
     * system buffer is not part of the input (it holds whatever the pool held), no cancel. */
    RECORDING_STATUS out = {};
    for (ULONG inLength = 0; inLength <= 4; inLength++) {
        IoctlResult r = Poll(handle, true, inLength, &out, sizeof(out));
        EXPECT_EQ(STATUS_SUCCESS, r.Status) << inLength;
        EXPECT_EQ(sizeof(RECORDING_STATUS), r.Returned);
    }
    EXPECT_EQ(0, Snapshot(handle).bCancel);

    /* Five bytes carry it; the request that cancels shows the record from before it. */
    out.bCancel = 1;
    EXPECT_EQ(STATUS_SUCCESS, Poll(handle, true, 5, &out, sizeof(out)).Status);
    EXPECT_EQ(0, out.bCancel);
    EXPECT_EQ(1, Snapshot(handle).bCancel);
    EXPECT_EQ(1, Snapshot(handle).bCancel) << "the flag stays until the next recording";

    /* On a second recorder: a cancel with no output at all is still honoured. */
    PlugRecorder();
    HANDLE second = OpenRecorder(1);
    IoctlResult blind = Poll(second, true, sizeof(RECORDING_STATUS), nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, blind.Status);
    EXPECT_EQ(0u, blind.Returned);
    EXPECT_TRUE(ZerosBut(Snapshot(second), 1, 60)) << "idle, cancel set";
}

TEST_F(StatusTest, DesktopUnitReportsZerosAndACancelOnlySetsTheFlag) {
    PlugDesktopUnit();
    HANDLE handle = OpenDesktopUnit();
    EXPECT_TRUE(ZerosBut(Snapshot(handle), 0, 0));
    RECORDING_STATUS out = {};
    EXPECT_EQ(STATUS_SUCCESS, Poll(handle, true, sizeof(RECORDING_STATUS), &out, 4).Status);
    EXPECT_TRUE(ZerosBut(Snapshot(handle), 1, 0));
}
