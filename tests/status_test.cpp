/*
 * status_test.cpp - the recording-status request: the record as a freshly initialized device
 * reports it, partial and oversized outputs, the cancel that shows in the next request, inputs
 * too short to carry the cancel byte, and desktop units.
 */
#include "support/driver_harness.h"

#include <stddef.h>
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

bool AllZeroExcept(const RECORDING_STATUS &Status, size_t Offset, size_t Length) {
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&Status);
    for (size_t i = 0; i < sizeof(Status); i++) {
        if ((i < Offset || i >= Offset + Length) && bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST_F(StatusTest, FreshRecorderReportsIdleWithSixtyBuffersAndZeroElsewhere) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();
    RECORDING_STATUS status = Snapshot(handle);
    EXPECT_EQ(RECSTAT_IDLE, status.recordingStatus);
    EXPECT_EQ(60u, status.buffersOrChecksum);
    EXPECT_TRUE(AllZeroExcept(status, offsetof(RECORDING_STATUS, buffersOrChecksum), 4));
}

TEST_F(StatusTest, OutputLengthDecidesHowMuchOfTheRecordIsReturned) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();
    RECORDING_STATUS whole = Snapshot(handle);

    UCHAR out[100];
    memset(out, 0xEE, sizeof(out));
    IoctlResult none = Poll(handle, false, sizeof(RECORDING_STATUS), out, 0);
    EXPECT_EQ(STATUS_SUCCESS, none.Status);
    EXPECT_EQ(0u, none.Returned);

    IoctlResult ten = Poll(handle, false, sizeof(RECORDING_STATUS), out, 10);
    EXPECT_EQ(STATUS_SUCCESS, ten.Status);
    ASSERT_EQ(10u, ten.Returned);
    EXPECT_EQ(0, memcmp(out, &whole, 10));
    EXPECT_EQ(0xEE, out[10]);

    memset(out, 0xEE, sizeof(out));
    IoctlResult exact = Poll(handle, false, sizeof(RECORDING_STATUS), out, 64);
    EXPECT_EQ(64u, exact.Returned);
    EXPECT_EQ(0, memcmp(out, &whole, 64));

    memset(out, 0xEE, sizeof(out));
    IoctlResult larger = Poll(handle, false, sizeof(RECORDING_STATUS), out, sizeof(out));
    EXPECT_EQ(STATUS_SUCCESS, larger.Status);
    EXPECT_EQ(64u, larger.Returned);
    EXPECT_EQ(0, memcmp(out, &whole, 64));
    EXPECT_EQ(0xEE, out[64]) << "nothing beyond the record may be returned";
}

TEST_F(StatusTest, CancelShowsInTheNextRequestAndWorksWithoutOutput) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();

    RECORDING_STATUS out = {};
    IoctlResult asking = Poll(handle, true, sizeof(RECORDING_STATUS), &out, sizeof(out));
    EXPECT_EQ(STATUS_SUCCESS, asking.Status);
    EXPECT_EQ(0, out.bCancel) << "the request that cancels shows the record from before it";
    EXPECT_EQ(1, Snapshot(handle).bCancel);
    EXPECT_EQ(1, Snapshot(handle).bCancel) << "the flag stays until the next recording";

    /* On a second recorder: a cancel with no output at all is still honoured. */
    PlugRecorder();
    HANDLE second = OpenRecorder(1);
    IoctlResult blind = Poll(second, true, sizeof(RECORDING_STATUS), nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, blind.Status);
    EXPECT_EQ(0u, blind.Returned);
    EXPECT_EQ(1, Snapshot(second).bCancel);
    EXPECT_EQ(RECSTAT_IDLE, Snapshot(second).recordingStatus);
}

TEST_F(StatusTest, InputTooShortForTheCancelByteIsNeverReadPast) {
    PlugRecorder();
    HANDLE handle = OpenRecorder();

    /* Four bytes of input and a 64-byte output: the byte at offset 4 of the shared system
     * buffer is not part of the input (it holds whatever the pool held) and is no cancel. */
    RECORDING_STATUS out = {};
    for (ULONG inLength = 0; inLength <= 4; inLength++) {
        IoctlResult r = Poll(handle, true, inLength, &out, sizeof(out));
        EXPECT_EQ(STATUS_SUCCESS, r.Status) << inLength;
        EXPECT_EQ(sizeof(RECORDING_STATUS), r.Returned);
    }
    EXPECT_EQ(0, Snapshot(handle).bCancel);

    /* Five bytes carry the cancel byte. */
    Poll(handle, true, 5, &out, sizeof(out));
    EXPECT_EQ(1, Snapshot(handle).bCancel);
}

TEST_F(StatusTest, DesktopUnitReportsZerosAndACancelOnlySetsTheFlag) {
    PlugDesktopUnit();
    HANDLE handle = OpenDesktopUnit();
    RECORDING_STATUS status = Snapshot(handle);
    EXPECT_TRUE(AllZeroExcept(status, 0, 0));

    RECORDING_STATUS out = {};
    IoctlResult r = Poll(handle, true, sizeof(RECORDING_STATUS), &out, sizeof(out));
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    status = Snapshot(handle);
    EXPECT_EQ(1, status.bCancel);
    EXPECT_TRUE(AllZeroExcept(status, offsetof(RECORDING_STATUS, bCancel), 1));
}
